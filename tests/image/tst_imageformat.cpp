#include "image/imageformat.h"
#include "image/imagesources.h"

#include "image/testarchives.h"

#include <QTemporaryDir>
#include <QTest>

using namespace testarchives;

// A file chosen on the computer is read as what its first bytes say, not
// as what its name says; what cannot be read is refused, never written raw.
class TestImageFormat : public QObject, private PayloadFolder
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(createPayload(1048576 + 77, 23));
    }

    void contentBeforeName_data()
    {
        const QString unpack = QStringLiteral("; unpack it first and choose the image inside");
        const QString empty = QStringLiteral("the image is empty");
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("message");   // empty: reads the image back
        QTest::addColumn<QString>("name");      // of the file the command writes
        const auto row = [](const char *name, const QString &command, const QString &message,
                            const QString &file = QStringLiteral("card.img")) {
            QTest::newRow(name) << command << message << file;
        };
        row("ZIP named .img", "zip -q - disk.img", "");
        row("xz named .img", "xz -c disk.img", "");
        row("zstd named .img", "zstd -q -c disk.img", "");
        row("gzip named .img", "gzip -c disk.img", "the file is compressed with gzip" + unpack);
        row("bzip2 named .img", "bzip2 -c disk.img", "the file is compressed with bzip2" + unpack);
        row("7z named .img", "7z a -bd -t7z packed.7z disk.img >/dev/null && cat packed.7z",
            "the file is a 7z archive" + unpack);
        row("lzip named .img", "lzip -c disk.img", "the file is compressed with lzip" + unpack);
        row("LZ4 frame named .img", "lz4 -q -c disk.img", "the file is compressed with LZ4" + unpack);
        // LZMA-alone has no signature: only the name tells it.
        row("LZMA-alone named .LZMA", "xz --format=lzma -c disk.img", "the file is compressed with LZMA" + unpack,
            "card.img.LZMA");

        // Nothing to write is refused before the card is touched, whatever holds the nothing.
        row("empty file", ":", empty);
        row("ZIP of an empty image", ": > e.img; zip -q - e.img", empty);
        row("xz of an empty image", "xz -c </dev/null", empty);
        row("zstd of an empty image", ": > e.img; zstd -q -c e.img", empty);
    }
    void contentBeforeName()
    {
        QFETCH(QString, command);
        QFETCH(QString, message);
        QFETCH(QString, name);
        const QString error = runTool(QStringLiteral("sh"), { QStringLiteral("-c"), command + QStringLiteral(" > ") + name },
                                  m_dir.path());
        QVERIFY2(error.isEmpty(), qPrintable(error));

        const std::unique_ptr<ImageSource> source = createLocalImageSource(m_dir.filePath(name));
        const Outcome outcome = stream(*source, 1 << 20);
        if (message.isEmpty()) {
            QVERIFY2(outcome.opened && !outcome.readFailed, qPrintable(outcome.errorString));
            QCOMPARE(outcome.size, qint64(m_payload.size()));
            QVERIFY(outcome.data == m_payload);
        } else {
            QVERIFY(!outcome.opened);
            QCOMPARE(outcome.failure, int(ImageSource::Failure::Unsupported));
            QCOMPARE(outcome.errorString, message);
        }
    }

    // Disk images start with boot code, a partition table or zeros.
    void imagesStayPlain_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("zeros") << QByteArray(512, '\0');
        QTest::newRow("x86 boot jump") << QByteArray("\xEB\x3C\x90mkfs.fat", 11);
        QTest::newRow("shorter than a signature") << QByteArray("PK\x03", 3);
        QTest::newRow("BZh without a block size") << QByteArray("BZh0....", 8);
        QTest::newRow("gzip magic, other method") << QByteArray("\x1F\x8B\x07\x00", 4);
    }
    void imagesStayPlain()
    {
        QFETCH(QByteArray, head);
        QCOMPARE(int(imageFormatOf(head)), int(ImageFormat::Raw));
    }
};

QTEST_GUILESS_MAIN(TestImageFormat)
#include "tst_imageformat.moc"
