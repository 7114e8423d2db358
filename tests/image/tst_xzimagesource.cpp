#include "image/xzimagesource.h"

#include "image/compressedstreamfolder.h"

#include <QTest>

using namespace testarchives;

// Files made by the real xz at test time, read back through the source.
class TestXzImageSource : public QObject, private CompressedStreamFolder
{
    Q_OBJECT

public:
    TestXzImageSource()
        : CompressedStreamFolder("image.img.xz",
                                 [](const QString &path) { return std::make_unique<XzImageSource>(path); })
    {
    }

private slots:
    void initTestCase()
    {
        QVERIFY(createPayload(3 * 1048576 + 4321, 21));
    }

    // The size is known from the indexes, before anything is decoded.
    void streamsTheImage_data()
    {
        addStreamColumns();
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
    void streamsTheImage() { checkStreamsThePayload(); }

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
        addFailureColumns();
        const int corrupt = int(ImageSource::Failure::Corrupt);
        const QString damaged = QStringLiteral("corrupt xz data: an integrity check or the compressed stream is damaged");
        QTest::newRow("cut in the middle") << "xz -c disk.img" << "truncate" << true << corrupt << "truncated xz file";
        QTest::newRow("flipped byte in the compressed data") << "xz -c disk.img" << "flip" << false << corrupt << damaged;
        QTest::newRow("flipped byte in a block of many")
            << "xz -c -T2 --block-size=256KiB disk.img" << "flip" << false << corrupt << damaged;
        QTest::newRow("not xz at all")
            << "head -c 100000 disk.img" << "" << true << corrupt << "invalid xz file: no xz stream at the start";
    }
    void failures() { checkFailure(); }

    // The first block header follows the 12-byte stream header; xz writes no
    // sizes into it here, so its one filter's flags come right after the size
    // and flag bytes: ID 0x21 (LZMA2), one property byte, the dictionary size
    // code. 37 means 1.5 GiB.
    void dictionaryAboveOneGibIsRefused()
    {
        const Outcome outcome = streamDamaged(QStringLiteral("xz -c disk.img"), [](QByteArray &bytes) {
            const int header = 12;
            const int headerSize = (quint8(bytes.at(header)) + 1) * 4;
            QCOMPARE(int(bytes.at(header + 1)), 0);
            QCOMPARE(int(bytes.at(header + 2)), 0x21);
            bytes[header + 4] = char(37);
            putLittleEndian32(bytes, header + headerSize - 4, crc32Of(bytes.mid(header, headerSize - 4)));
        });
        if (QTest::currentTestFailed())
            return;
        compareFailure(outcome, false, int(ImageSource::Failure::Unsupported),
                       QStringLiteral("xz dictionaries larger than 1 GiB are not supported"));
    }
};

QTEST_GUILESS_MAIN(TestXzImageSource)
#include "tst_xzimagesource.moc"
