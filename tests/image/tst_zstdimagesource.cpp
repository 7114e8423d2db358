#include "image/zstdimagesource.h"

#include "image/compressedstreamfolder.h"

#include <QTest>

using namespace testarchives;

// Files made by the real zstd at test time, read back through the source.
class TestZstdImageSource : public QObject, private CompressedStreamFolder
{
    Q_OBJECT

public:
    TestZstdImageSource()
        : CompressedStreamFolder("image.img.zst",
                                 [](const QString &path) { return std::make_unique<ZstdImageSource>(path); })
    {
    }

private slots:
    void initTestCase()
    {
        QVERIFY(createPayload(3 * 1048576 + 4321, 22));
    }

    // The size is known from the frame headers, before anything is decoded.
    void streamsTheImage_data()
    {
        addStreamColumns();
        QTest::newRow("single frame") << "zstd -q -c disk.img" << qint64(4 << 20);
        QTest::newRow("single frame, odd reads") << "zstd -q -19 -c disk.img" << qint64(99999);
        QTest::newRow("two frames concatenated")
            << "head -c 2000000 disk.img > a; tail -c +2000001 disk.img > b; zstd -q -c --no-check a; zstd -q -c b"
            << qint64(1 << 20);
        QTest::newRow("an empty frame after the image") << ": > e; zstd -q -c disk.img; zstd -q -c e" << qint64(4 << 20);
    }
    void streamsTheImage() { checkStreamsThePayload(); }

    void failures_data()
    {
        addFailureColumns();
        const int corrupt = int(ImageSource::Failure::Corrupt);
        const int unsupported = int(ImageSource::Failure::Unsupported);
        QTest::newRow("no content size")
            << "zstd -q -c --no-content-size disk.img" << "" << true << unsupported
            << "zstd frames that do not record their content size are not supported: "
               "the image size must be known before writing";
        QTest::newRow("cut in the middle") << "zstd -q -c disk.img" << "truncate" << true << corrupt << "truncated zstd file";
        QTest::newRow("flipped byte in the compressed data")
            << "zstd -q -c disk.img" << "flip" << false << corrupt << "zstd content checksum mismatch";
        QTest::newRow("not zstd at all")
            << "cat disk.img" << "" << true << corrupt << "invalid zstd file: no zstd frame at byte 0";
        QTest::newRow("data after the last frame")
            << "zstd -q -c disk.img" << "append" << true << corrupt << "invalid zstd file: no zstd frame at byte %1";
    }
    void failures() { checkFailure(); }

    // zstd itself never writes such a frame for a small file: a frame
    // header by hand, whose 2 GiB window the decoder would have to hold,
    // followed by one raw block.
    void windowAboveOneGibIsRefused()
    {
        const QByteArray content("boot");
        QByteArray frame("\x28\xB5\x2F\xFD", 4);
        frame.append(char(0x80));                 // 4-byte content size, window descriptor, no checksum
        frame.append(char(21 << 3));              // window 2^(10 + 21)
        frame.append(QByteArray(4, '\0'));
        putLittleEndian32(frame, 6, quint32(content.size()));
        const quint32 block = quint32(content.size()) << 3 | 1;  // raw, last
        frame.append(char(block & 0xFF)).append(char(block >> 8 & 0xFF)).append(char(block >> 16));
        frame.append(content);
        QVERIFY(writeFile(path("wide.img.zst"), frame));

        ZstdImageSource source(path("wide.img.zst"));
        QVERIFY(!source.open());
        QCOMPARE(int(source.failure()), int(ImageSource::Failure::Unsupported));
        QCOMPARE(source.errorString(), QStringLiteral("zstd windows larger than 1 GiB are not supported"));
    }
};

QTEST_GUILESS_MAIN(TestZstdImageSource)
#include "tst_zstdimagesource.moc"
