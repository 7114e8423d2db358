#include "image/crc32.h"
#include "image/rawinflate.h"
#include "image/sha256.h"
#include "testarchives.h"

#include <QCryptographicHash>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QTest>

using namespace testarchives;

// CRC-32, SHA-256 and inflate, each through the library the build chose,
// against zlib's or Qt's own on real bytes fed in uneven pieces.
class TestChecksumsAndInflate : public QObject
{
    Q_OBJECT

    QByteArray m_machineCode; // over a megabyte of it

private slots:
    void initTestCase()
    {
        qInfo("CRC-32 through %s, SHA-256 through %s, inflate through %s", Crc32::implementation(),
              Sha256::implementation(), RawInflate::implementation());
#ifdef Q_OS_WIN
        m_machineCode = readFile(QLibraryInfo::path(QLibraryInfo::BinariesPath) + QStringLiteral("/Qt6Core.dll"));
#else
        m_machineCode = readFile(QLibraryInfo::path(QLibraryInfo::LibrariesPath) + QStringLiteral("/libQt6Core.so.6"));
#endif
        QVERIFY(m_machineCode.size() > 1000000);
    }

    // The ZIP CRC-32, whole and in uneven pieces.
    void crc32AgreesWithZlib_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<qint64>("piece");
        QTest::newRow("empty") << QByteArray() << qint64(1);
        QTest::newRow("check value") << QByteArray("123456789") << qint64(9);
        QTest::newRow("machine code, bytes one by one") << m_machineCode.left(100000) << qint64(1);
        QTest::newRow("machine code, 1000-byte pieces") << m_machineCode << qint64(1000);
        QTest::newRow("disk-image-like bytes, whole") << mixedPayload(3000000, 9) << qint64(3000000);
    }
    void crc32AgreesWithZlib()
    {
        QFETCH(QByteArray, data);
        QFETCH(qint64, piece);
        Crc32 crc;
        for (qint64 at = 0; at < data.size(); at += piece)
            crc.addData(data.constData() + at, std::min(piece, data.size() - at));
        QCOMPARE(crc.value(), crc32Of(data));
        if (data == "123456789")
            QCOMPARE(crc.value(), 0xCBF43926u);
    }

    // Pieces that cross the 64-byte blocks every way.
    void sha256AgreesWithQt_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<qint64>("piece");
        const QByteArray mixed = mixedPayload(3000000, 5);
        QTest::newRow("empty") << QByteArray() << qint64(1);
        QTest::newRow("machine code, bytes one by one") << m_machineCode.left(200000) << qint64(1);
        QTest::newRow("machine code, 63-byte pieces") << m_machineCode << qint64(63);
        QTest::newRow("machine code, 4 MiB pieces") << m_machineCode << qint64(4 << 20);
        QTest::newRow("disk-image-like bytes, 4097-byte pieces") << mixed << qint64(4097);
    }
    void sha256AgreesWithQt()
    {
        QFETCH(QByteArray, data);
        QFETCH(qint64, piece);
        Sha256 hash;
        hash.addData("left over", 9);
        hash.reset();
        for (qint64 at = 0; at < data.size(); at += piece) {
            hash.addData(data.constData() + at, std::min(piece, data.size() - at));
            // A digest on the way must not disturb the rest.
            if (at == 0)
                QCOMPARE(hash.result(), QCryptographicHash::hash(data.left(piece), QCryptographicHash::Sha256));
        }
        QCOMPARE(hash.result(), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
    }

    // Deflate streams made by zlib and by gzip, fed and drained in pieces of
    // every size from a byte to whole buffers: the bytes that come out are
    // the bytes that went in.
    void inflateDecodesWhatWasDeflated_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("compressed");
        QTest::addColumn<qint64>("inputPiece");
        QTest::addColumn<qint64>("outputPiece");
        const QByteArray mixed = mixedPayload(3000000, 3);

        QTest::newRow("machine code, zlib, 1 MiB in, 4 MiB out")
                << m_machineCode << rawDeflate(m_machineCode) << qint64(1 << 20) << qint64(4 << 20);
#ifndef Q_OS_WIN // gzip is not there
        QTemporaryDir dir;
        const auto gzip = [&](const QByteArray &data, const char *level) {
            writeFile(dir.filePath(QStringLiteral("data")), data);
            const QString error = runTool(QStringLiteral("gzip"), {"-n", "-f", level, "data"}, dir.path());
            // The raw stream follows gzip's 10-byte header; the 8-byte trailer
            // after it is never reached.
            return error.isEmpty() ? readFile(dir.filePath(QStringLiteral("data.gz"))).mid(10) : QByteArray();
        };

        QTest::newRow("machine code, gzip -9, 1000 in, 65537 out")
                << m_machineCode << gzip(m_machineCode, "-9") << qint64(1000) << qint64(65537);
        QTest::newRow("disk-image-like bytes, gzip -1, 1 MiB in, 4 MiB out")
                << mixed << gzip(mixed, "-1") << qint64(1 << 20) << qint64(4 << 20);
#endif
        QTest::newRow("disk-image-like bytes, fixed codes, 4 MiB in, 4099 out")
                << mixed << rawDeflate(mixed, true) << qint64(4 << 20) << qint64(4099);
        QTest::newRow("machine code, zlib, bytes one by one")
                << m_machineCode.left(50000) << rawDeflate(m_machineCode.left(50000)) << qint64(1) << qint64(1);
    }
    void inflateDecodesWhatWasDeflated()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, compressed);
        QFETCH(qint64, inputPiece);
        QFETCH(qint64, outputPiece);
        QVERIFY(!compressed.isEmpty());

        RawInflate inflate;
        QVERIFY(inflate.init());
        QByteArray output(data.size() + 100, '\0');
        qint64 consumed = 0;
        qint64 produced = 0;
        while (!inflate.finished()) {
            // With all input taken the decoder may still hold output.
            if (inflate.inputLeft() == 0 && consumed < compressed.size()) {
                const qint64 piece = std::min(inputPiece, compressed.size() - consumed);
                inflate.setInput(compressed.constData() + consumed, piece);
                consumed += piece;
            }
            const qint64 count = inflate.inflate(output.data() + produced, std::min(outputPiece, output.size() - produced));
            QVERIFY2(count >= 0, qPrintable(inflate.errorString()));
            QVERIFY2(count > 0 || inflate.inputLeft() > 0 || consumed < compressed.size() || inflate.finished(),
                     "the decoder stalls before the end of the stream");
            produced += count;
        }
        QCOMPARE(produced, qint64(data.size()));
        QVERIFY(output.left(produced) == data);
    }
};

QTEST_GUILESS_MAIN(TestChecksumsAndInflate)
#include "tst_checksumsandinflate.moc"
