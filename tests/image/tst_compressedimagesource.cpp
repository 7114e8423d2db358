#include "image/xzimagesource.h"
#include "image/zstdimagesource.h"

#include "image/testarchives.h"

#include <QTest>

#include <functional>
#include <memory>

using namespace testarchives;

namespace {

std::unique_ptr<ImageSource> sourceFor(const QString &format, const QString &path)
{
    if (format == QLatin1String("xz"))
        return std::make_unique<XzImageSource>(path);
    return std::make_unique<ZstdImageSource>(path);
}

} // namespace

// Files made by the real xz and zstd at test time, read back through the
// sources. A row's command is a shell line, run in the payload folder, that
// writes the compressed image to its standard output.
class TestCompressedImageSource : public QObject, private PayloadFolder
{
    Q_OBJECT

    // The output of `command`, changed by `damage`, streamed in 4 MiB reads.
    Outcome streamDamaged(const QString &format, const QString &command,
                          const std::function<void(QByteArray &bytes)> &damage)
    {
        const QString file = path("damaged");
        const QString error = shell(QStringLiteral("(%1) > damaged").arg(command));
        if (!error.isEmpty()) {
            QTest::qFail(qPrintable(error), __FILE__, __LINE__);
            return {};
        }
        QByteArray bytes = readFile(file);
        damage(bytes);
        if (!writeFile(file, bytes)) {
            QTest::qFail("cannot write the damaged file", __FILE__, __LINE__);
            return {};
        }
        return stream(*sourceFor(format, file), 4 << 20);
    }

    static void compareFailure(const Outcome &outcome, bool onOpen, int failure, const QString &message)
    {
        QCOMPARE(!outcome.opened, onOpen);
        QCOMPARE(outcome.readFailed, !onOpen);
        QCOMPARE(outcome.failure, failure);
        QCOMPARE(outcome.errorString, message);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(createPayload(3 * 1048576 + 4321, 21));
    }

    // The size is known from the xz indexes or the zstd frame headers,
    // before anything is decoded.
    void streamsTheImage_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("command");
        QTest::addColumn<qint64>("chunk");
        QTest::newRow("xz: single stream") << "xz" << "xz -c disk.img" << qint64(4 << 20);
        QTest::newRow("xz: multi-block, two threads")
            << "xz" << "xz -T2 --block-size=1MiB -c disk.img" << qint64(4 << 20);
        QTest::newRow("xz: multi-block, odd reads")
            << "xz" << "xz -T2 --block-size=300KiB -c disk.img" << qint64(999999);
        QTest::newRow("xz: two streams concatenated")
            << "xz" << "head -c 2000000 disk.img | xz -c; tail -c +2000001 disk.img | xz -c --check=sha256"
            << qint64(4 << 20);
        QTest::newRow("xz: streams with padding between and after")
            << "xz"
            << "head -c 1000 disk.img | xz -c; printf '\\0\\0\\0\\0'; tail -c +1001 disk.img | xz -c -T2 "
               "--block-size=2MiB; printf '\\0\\0\\0\\0\\0\\0\\0\\0'"
            << qint64(1 << 20);
        QTest::newRow("xz: an empty stream after the image")
            << "xz" << "xz -c disk.img; xz -c </dev/null" << qint64(4 << 20);

        QTest::newRow("zstd: single frame") << "zstd" << "zstd -q -c disk.img" << qint64(4 << 20);
        QTest::newRow("zstd: single frame, odd reads") << "zstd" << "zstd -q -19 -c disk.img" << qint64(99999);
        QTest::newRow("zstd: two frames concatenated")
            << "zstd"
            << "head -c 2000000 disk.img > a; tail -c +2000001 disk.img > b; zstd -q -c --no-check a; zstd -q -c b"
            << qint64(1 << 20);
        QTest::newRow("zstd: an empty frame after the image")
            << "zstd" << ": > e; zstd -q -c disk.img; zstd -q -c e" << qint64(4 << 20);
    }
    void streamsTheImage()
    {
        QFETCH(QString, format);
        QFETCH(QString, command);
        QFETCH(qint64, chunk);
        const QString error = shell(QStringLiteral("(%1) > image").arg(command));
        QVERIFY2(error.isEmpty(), qPrintable(error));

        const Outcome outcome = stream(*sourceFor(format, path("image")), chunk);
        QVERIFY2(outcome.opened && !outcome.readFailed, qPrintable(outcome.errorString));
        QCOMPARE(outcome.size, qint64(m_payload.size()));
        QVERIFY(outcome.data == m_payload);
    }

    // `damage` done to the command's output: "truncate" cuts it in half,
    // "flip" flips a bit in its middle, "append" adds a line of garbage. In
    // the message %1 stands for the size of the undamaged output.
    void failures_data()
    {
        const int corrupt = int(ImageSource::Failure::Corrupt);
        const int unsupported = int(ImageSource::Failure::Unsupported);
        const QString damagedXz =
            QStringLiteral("corrupt xz data: an integrity check or the compressed stream is damaged");
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("onOpen");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("message");
        QTest::newRow("xz: cut in the middle")
            << "xz" << "xz -c disk.img" << "truncate" << true << corrupt << "truncated xz file";
        QTest::newRow("xz: flipped byte in the compressed data")
            << "xz" << "xz -c disk.img" << "flip" << false << corrupt << damagedXz;
        QTest::newRow("xz: flipped byte in a block of many")
            << "xz" << "xz -c -T2 --block-size=256KiB disk.img" << "flip" << false << corrupt << damagedXz;
        QTest::newRow("xz: not xz at all") << "xz" << "head -c 100000 disk.img" << "" << true << corrupt
                                           << "invalid xz file: no xz stream at the start";

        QTest::newRow("zstd: no content size")
            << "zstd" << "zstd -q -c --no-content-size disk.img" << "" << true << unsupported
            << "zstd frames that do not record their content size are not supported: "
               "the image size must be known before writing";
        QTest::newRow("zstd: cut in the middle")
            << "zstd" << "zstd -q -c disk.img" << "truncate" << true << corrupt << "truncated zstd file";
        QTest::newRow("zstd: flipped byte in the compressed data")
            << "zstd" << "zstd -q -c disk.img" << "flip" << false << corrupt << "zstd content checksum mismatch";
        QTest::newRow("zstd: not zstd at all")
            << "zstd" << "cat disk.img" << "" << true << corrupt << "invalid zstd file: no zstd frame at byte 0";
        QTest::newRow("zstd: data after the last frame")
            << "zstd" << "zstd -q -c disk.img" << "append" << true << corrupt
            << "invalid zstd file: no zstd frame at byte %1";
        QTest::newRow("zstd: a skippable frame of nearly 4 GiB first")
            << "zstd" << "zstd -q -c disk.img" << "skippable" << true << corrupt << "truncated zstd file";
    }
    void failures()
    {
        QFETCH(QString, format);
        QFETCH(QString, command);
        QFETCH(QString, damage);
        QFETCH(bool, onOpen);
        QFETCH(int, failure);
        QFETCH(QString, message);
        qint64 undamagedSize = 0;
        const Outcome outcome = streamDamaged(format, command, [&](QByteArray &bytes) {
            undamagedSize = bytes.size();
            if (damage == QLatin1String("truncate"))
                bytes.truncate(bytes.size() / 2);
            else if (damage == QLatin1String("flip"))
                bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x10);
            else if (damage == QLatin1String("append"))
                bytes.append("garbage\n");
            else if (damage == QLatin1String("skippable"))
                bytes.prepend(QByteArray::fromHex("5f2a4d18f8ffffff")); // magic, size 0xfffffff8
        });
        if (QTest::currentTestFailed())
            return;
        if (message.contains(QLatin1String("%1")))
            message = message.arg(undamagedSize);
        compareFailure(outcome, onOpen, failure, message);
    }

    // The first block header follows the 12-byte stream header; xz writes no
    // sizes into it here, so its one filter's flags come right after the size
    // and flag bytes: ID 0x21 (LZMA2), one property byte, the dictionary size
    // code. 37 means 1.5 GiB.
    void xzDictionaryAboveOneGibIsRefused()
    {
        const auto raiseDictionary = [](QByteArray &bytes) {
            const int header = 12;
            const int headerSize = (quint8(bytes.at(header)) + 1) * 4;
            QCOMPARE(int(bytes.at(header + 1)), 0);
            QCOMPARE(int(bytes.at(header + 2)), 0x21);
            bytes[header + 4] = char(37);
            putLittleEndian32(bytes, header + headerSize - 4, crc32Of(bytes.mid(header, headerSize - 4)));
        };
        const Outcome outcome = streamDamaged(QStringLiteral("xz"), QStringLiteral("xz -c disk.img"), raiseDictionary);
        if (QTest::currentTestFailed())
            return;
        compareFailure(outcome, false, int(ImageSource::Failure::Unsupported),
                       QStringLiteral("xz dictionaries larger than 1 GiB are not supported"));
    }

    // zstd itself never writes such a frame for a small file: a frame
    // header by hand, whose 2 GiB window the decoder would have to hold,
    // followed by one raw block.
    void zstdWindowAboveOneGibIsRefused()
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

QTEST_GUILESS_MAIN(TestCompressedImageSource)
#include "tst_compressedimagesource.moc"
