#include "image/xzimagesource.h"

#include "image/testarchives.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace testarchives;

// Files made by the real xz at test time, read back through the source.
class TestXzImageSource : public QObject, private PayloadFolder
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(createPayload(3 * 1048576 + 4321, 21));
    }

    void streamsTheImage_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<qint64>("chunk");
        QTest::newRow("single stream") << "xz -c disk.img" << qint64(4 << 20);
        QTest::newRow("multi-block, two threads")
            << "xz -T2 --block-size=1MiB -c disk.img" << qint64(4 << 20);
        QTest::newRow("multi-block, odd reads")
            << "xz -T2 --block-size=300KiB -c disk.img" << qint64(999999);
        QTest::newRow("two streams concatenated")
            << "head -c 2000000 disk.img | xz -c; tail -c +2000001 disk.img | xz -c --check=sha256" << qint64(4 << 20);
        QTest::newRow("streams with padding between and after")
            << "head -c 1000 disk.img | xz -c; printf '\\0\\0\\0\\0'; tail -c +1001 disk.img | xz -c -T2 "
               "--block-size=2MiB; printf '\\0\\0\\0\\0\\0\\0\\0\\0'"
            << qint64(1 << 20);
        QTest::newRow("an empty stream after the image")
            << "xz -c disk.img; xz -c </dev/null" << qint64(4 << 20);
    }
    void streamsTheImage()
    {
        QFETCH(QString, command);
        QFETCH(qint64, chunk);
        const QString error = shell(QStringLiteral("(%1) > image.img.xz").arg(command));
        QVERIFY2(error.isEmpty(), qPrintable(error));

        XzImageSource source(path("image.img.xz"));
        const Outcome outcome = stream(source, chunk);
        QVERIFY2(outcome.opened && !outcome.readFailed, qPrintable(outcome.errorString));
        // Known from the indexes, before anything is decoded.
        QCOMPARE(outcome.size, qint64(m_payload.size()));
        QVERIFY(outcome.data == m_payload);
    }

    void emptyImage()
    {
        QVERIFY(shell(QStringLiteral("xz -c </dev/null > empty.img.xz")).isEmpty());
        XzImageSource source(path("empty.img.xz"));
        QVERIFY(source.open());
        QCOMPARE(source.size(), qint64(0));
        char byte;
        QCOMPARE(source.read(&byte, 1), qint64(0));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("onOpen");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");
        const int corrupt = int(ImageSource::Failure::Corrupt);
        const int unsupported = int(ImageSource::Failure::Unsupported);
        QTest::newRow("cut in the middle") << "truncate" << true << corrupt << "truncated xz file";
        QTest::newRow("flipped byte in the compressed data")
            << "flip" << false << corrupt << "corrupt xz data: an integrity check or the compressed stream is damaged";
        QTest::newRow("flipped byte in a block of many")
            << "flip many" << false << corrupt << "corrupt xz data: an integrity check or the compressed stream is damaged";
        QTest::newRow("dictionary of 1.5 GiB")
            << "window" << false << unsupported << "xz dictionaries larger than 1 GiB are not supported";
        QTest::newRow("not xz at all") << "plain" << true << corrupt << "invalid xz file: no xz stream at the start";
    }
    void failures()
    {
        QFETCH(QString, damage);
        QFETCH(bool, onOpen);
        QFETCH(int, failure);
        QFETCH(QString, message);
        const bool many = damage.endsWith(QLatin1String(" many"));
        QVERIFY(shell(QStringLiteral("xz -c %1 disk.img > damaged.img.xz").arg(many ? "-T2 --block-size=256KiB" : ""))
                        .isEmpty());
        QByteArray bytes = readFile(path("damaged.img.xz"));
        if (damage == QLatin1String("truncate")) {
            bytes.truncate(bytes.size() / 2);
        } else if (damage.startsWith(QLatin1String("flip"))) {
            bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x10);
        } else if (damage == QLatin1String("window")) {
            // The first block header follows the 12-byte stream header; xz
            // writes no sizes into it here, so its one filter's flags come
            // right after the size and flag bytes: ID 0x21 (LZMA2), one
            // property byte, the dictionary size code. 37 means 1.5 GiB.
            const int header = 12;
            const int headerSize = (quint8(bytes.at(header)) + 1) * 4;
            QCOMPARE(int(bytes.at(header + 1)), 0);
            QCOMPARE(int(bytes.at(header + 2)), 0x21);
            bytes[header + 4] = char(37);
            putLittleEndian32(bytes, header + headerSize - 4, crc32Of(bytes.mid(header, headerSize - 4)));
        } else {
            bytes = m_payload.left(100000);
        }
        QVERIFY(writeFile(path("damaged.img.xz"), bytes));

        XzImageSource source(path("damaged.img.xz"));
        const Outcome outcome = stream(source, 4 << 20);
        QCOMPARE(!outcome.opened, onOpen);
        QCOMPARE(outcome.readFailed, !onOpen);
        QCOMPARE(outcome.failure, failure);
        QCOMPARE(outcome.errorString, message);
    }
};

QTEST_GUILESS_MAIN(TestXzImageSource)
#include "tst_xzimagesource.moc"
