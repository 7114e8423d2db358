#include "write/imageprobe.h"

#include "image/imagesources.h"
#include "support/cardimage.h"
#include "support/programrun.h"
#include "support/testfiles.h"

#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

using BootPartition = ImageProbe::BootPartition;
Q_DECLARE_METATYPE(BootPartition)

// What an image tells before it is written, read through the same sources
// the write reads it through, from files made by the real tools.
class TestImageProbe : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_cardPath;

    QString path(const QString &name) const { return m_dir.filePath(name); }

private slots:
    void initTestCase()
    {
        m_cardPath = path(QStringLiteral("card.img"));
        CardImage::Options options;
        options.fatBits = 32;
        CardImage image;
        QVERIFY2(image.create(m_cardPath, options), qPrintable(image.errorString()));
        const QString folder = m_dir.path();
        const QString card = QStringLiteral("card.img");
        QCOMPARE(runTool(QStringLiteral("zip"), {QStringLiteral("-q"), QStringLiteral("card.zip"), card}, folder), QString());
        QCOMPARE(runTool(QStringLiteral("xz"), {QStringLiteral("-k"), card}, folder), QString());
        QCOMPARE(runTool(QStringLiteral("zstd"), {QStringLiteral("-q"), QStringLiteral("-k"), card}, folder), QString());
        QCOMPARE(runTool(QStringLiteral("gzip"), {QStringLiteral("-k"), card}, folder), QString());

        QVERIFY(writeFile(path(QStringLiteral("random.img")), randomBytes(1024 * 1024, 3)));
        CardImage linux;
        options.partitionType = 0x83;
        QVERIFY2(linux.create(path(QStringLiteral("linux.img")), options), qPrintable(linux.errorString()));
        // A first partition that starts after 80 MiB: its boot sector lies
        // deeper than the probe reads.
        CardImage deep;
        options.partitionType = 0;
        options.partitionLba = 80 * 2048;
        QVERIFY2(deep.create(path(QStringLiteral("deep.img")), options), qPrintable(deep.errorString()));
    }

    void probe_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<BootPartition>("bootPartition");
        QTest::addColumn<QString>("problem");
        QTest::addColumn<qint64>("size");

        const qint64 card = QFileInfo(m_cardPath).size();
        const auto sizeOf = [this](const char *name) { return QFileInfo(path(QLatin1String(name))).size(); };
        QTest::newRow("plain card image") << "card.img" << true << BootPartition::Usable << QString() << card;
        QTest::newRow("card image in a ZIP archive") << "card.zip" << true << BootPartition::Usable << QString()
                                                     << card;
        QTest::newRow("card image compressed with xz") << "card.img.xz" << true << BootPartition::Usable << QString()
                                                       << card;
        QTest::newRow("card image compressed with zstd") << "card.img.zst" << true << BootPartition::Usable
                                                         << QString() << card;
        QTest::newRow("no partition table") << "random.img" << true << BootPartition::Missing
                                            << "no MBR partition table" << sizeOf("random.img");
        QTest::newRow("first partition is not FAT") << "linux.img" << true << BootPartition::Missing
                                                    << "the first partition is not FAT (type 0x83)"
                                                    << sizeOf("linux.img");
        QTest::newRow("boot sector past the bytes read") << "deep.img" << true << BootPartition::Unknown << QString()
                                                         << sizeOf("deep.img");
        QTest::newRow("file refused as it is") << "card.img.gz" << false << BootPartition::Unknown << QString()
                                               << qint64(0);
        QTest::newRow("missing file") << "missing.img" << false << BootPartition::Unknown << QString() << qint64(0);
    }
    void probe()
    {
        QFETCH(QString, file);
        QFETCH(bool, opened);
        QFETCH(BootPartition, bootPartition);
        QFETCH(QString, problem);
        QFETCH(qint64, size);

        const std::unique_ptr<ImageSource> source = createLocalImageSource(path(file));
        const ImageProbe probe = ImageProbe::run(*source);
        QCOMPARE(probe.opened, opened);
        QCOMPARE(probe.bootPartition, bootPartition);
        QCOMPARE(probe.bootProblem, problem);
        QCOMPARE(probe.size, size);
        QCOMPARE(probe.errorString.isEmpty(), opened);
    }
};

QTEST_GUILESS_MAIN(TestImageProbe)
#include "tst_imageprobe.moc"
