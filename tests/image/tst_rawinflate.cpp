#include "image/rawinflate.h"
#include "testarchives.h"

#include <QTemporaryDir>
#include <QTest>

using namespace testarchives;

// The decoder on deflate streams made by zlib and by gzip, fed and drained in
// pieces of every size from a byte to whole buffers: whichever library is
// built, the bytes that come out are the bytes that went in.
class TestRawInflate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { qInfo("inflate through %s", RawInflate::implementation()); }

    void decodesWhatWasDeflated_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("compressed");
        QTest::addColumn<qint64>("inputPiece");
        QTest::addColumn<qint64>("outputPiece");
        const QByteArray library = readFile(QStringLiteral("/usr/lib/x86_64-linux-gnu/libQt6Core.so.6"));
        QVERIFY(library.size() > 1000000);
        const QByteArray mixed = mixedPayload(3000000, 3);

        QTemporaryDir dir;
        const auto gzip = [&](const QByteArray &data, const char *level) {
            writeFile(dir.filePath(QStringLiteral("data")), data);
            const QString error = runTool(QStringLiteral("gzip"), {"-n", "-f", level, "data"}, dir.path());
            // The raw stream follows gzip's 10-byte header; the 8-byte trailer
            // after it is never reached.
            return error.isEmpty() ? readFile(dir.filePath(QStringLiteral("data.gz"))).mid(10) : QByteArray();
        };

        QTest::newRow("machine code, zlib, 1 MiB in, 4 MiB out")
                << library << rawDeflate(library) << qint64(1 << 20) << qint64(4 << 20);
        QTest::newRow("machine code, gzip -9, 1000 in, 65537 out")
                << library << gzip(library, "-9") << qint64(1000) << qint64(65537);
        QTest::newRow("disk-image-like bytes, gzip -1, 1 MiB in, 4 MiB out")
                << mixed << gzip(mixed, "-1") << qint64(1 << 20) << qint64(4 << 20);
        QTest::newRow("disk-image-like bytes, fixed codes, 4 MiB in, 4099 out")
                << mixed << rawDeflate(mixed, true) << qint64(4 << 20) << qint64(4099);
        QTest::newRow("machine code, zlib, bytes one by one")
                << library.left(50000) << rawDeflate(library.left(50000)) << qint64(1) << qint64(1);
    }
    void decodesWhatWasDeflated()
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

QTEST_GUILESS_MAIN(TestRawInflate)
#include "tst_rawinflate.moc"
