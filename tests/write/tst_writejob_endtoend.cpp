#include "bootfiles.h"
#include "progressrecorder.h"
#include "write/writejob.h"

#include "disks/alignedbuffer.h"
#include "disks/fileblockdevice.h"
#include "image/imagecache.h"
#include "image/imagedownload.h"
#include "image/imagesources.h"
#include "image/testarchives.h"
#include "support/cardimage.h"
#include "support/freespace.h"
#include "support/nginxserver.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <functional>
#include <memory>

using Phase = WriteJob::Phase;
using Error = WriteJob::Error;

namespace {

constexpr qint64 Chunk = WriteJob::ChunkSize;

using ProgressText::byteReports;
using ProgressText::fileReports;
using ProgressText::report;
using Recorder = ProgressRecorder;

// One catalog build served by nginx: a card image zipped by a real archiver.
struct Build
{
    QByteArray image;
    QByteArray imageSha;
    QByteArray archive;
    QByteArray archiveSha;
    qint64 partitionOffset = 0;
    qint64 partitionBytes = 0;
    QMap<QString, QByteArray> shipped; // files the image carries in its root
};

} // namespace

class TestWriteJobEndToEnd : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_served;
    QTemporaryDir m_builds;
    std::unique_ptr<NginxServer> m_nginx;
    QMap<QString, Build> m_build; // by archive name without ".zip"
    std::unique_ptr<QTemporaryDir> m_dir;

    QString path(const QString &name) const { return m_dir->filePath(name); }
    QString cacheDir() const { return path(QStringLiteral("cache")); }

    RemoteImage remote(const QString &name) const
    {
        const Build &build = m_build[name];
        return RemoteImage{m_nginx->url(QStringLiteral("/%1.zip").arg(name)), build.archive.size(), build.archiveSha};
    }

    // A job as the controller makes one for a catalog build: the source reads
    // the archive the download puts into the cache.
    std::unique_ptr<WriteJob> catalogJob(const RemoteImage &image, const QByteArray &imageSha,
                                         const QString &cache, qint64 targetSize = -1)
    {
        const ImageCache imageCache(cache);
        auto job = std::make_unique<WriteJob>(
                std::make_unique<ZipImageSource>(imageCache.pathFor(image.sha256)),
                std::make_unique<FileBlockDevice>(path(QStringLiteral("target.img")), targetSize,
                                                  FileBlockDevice::OpenMode::CreateOrTruncate));
        job->setDownload(std::make_unique<ImageDownload>(imageCache, image));
        job->setExpectedSha256(imageSha);
        job->setBootFiles(BootFiles);
        return job;
    }

    int requestsFor(const QString &name) const
    {
        return m_nginx->accessLog().filter(QStringLiteral("GET /%1.zip ").arg(name)).size();
    }

    QStringList cacheEntries() const
    {
        return QDir(cacheDir()).entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    }

    bool makeBuild(const QString &name, int fatBits, const QStringList &archiver)
    {
        const QString imagePath = m_builds.filePath(name + QStringLiteral(".img"));
        CardImage card;
        CardImage::Options options;
        options.fatBits = fatBits;
        options.label = QStringLiteral("TESSARO");
        Build build;
        build.shipped = {
            {QStringLiteral("README.TXT"), "Tessaro test build\n"},
            {QStringLiteral("KERNEL.BIN"), randomBytes(70000, 11)},
            {QStringLiteral("CONFIG.TXT"), "product=none\n"},
        };
        if (!card.create(imagePath, options))
            return false;
        for (auto file = build.shipped.cbegin(); file != build.shipped.cend(); ++file) {
            if (!card.mcopy(file.key(), file.value()))
                return false;
        }
        // Bytes after the partition, so that the image ends inside a sector.
        QFile file(imagePath);
        if (!file.open(QIODevice::Append) || file.write(randomBytes(300, 12)) != 300)
            return false;
        file.close();

        const QString archivePath = m_served.filePath(name + QStringLiteral(".zip"));
        const QString problem = runTool(archiver.first(), archiver.mid(1) << archivePath << name + QStringLiteral(".img"),
                                                  m_builds.path());
        if (!problem.isEmpty()) {
            qWarning("%s", qPrintable(problem));
            return false;
        }
        build.image = readFile(imagePath);
        build.imageSha = sha256(build.image);
        build.archive = readFile(archivePath);
        build.archiveSha = sha256(build.archive);
        build.partitionOffset = card.partitionOffset();
        build.partitionBytes = card.partitionBytes();
        m_build.insert(name, build);
        return true;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(makeBuild(QStringLiteral("fat32"), 32, {QStringLiteral("zip"), QStringLiteral("-q"), QStringLiteral("-X")}));
        QVERIFY(makeBuild(QStringLiteral("fat16"), 16,
                          {QStringLiteral("7z"), QStringLiteral("a"), QStringLiteral("-tzip"), QStringLiteral("-mm=Deflate")}));
        // Copies for the tests that count requests, so that no other test's
        // requests are counted.
        for (const QString &copy : {QStringLiteral("again"), QStringLiteral("kept")}) {
            QVERIFY(QFile::copy(m_served.filePath(QStringLiteral("fat16.zip")), m_served.filePath(copy + QStringLiteral(".zip"))));
            m_build.insert(copy, m_build[QStringLiteral("fat16")]);
        }
        // Only ever cancelled: at nginx's slow rate it would take a minute.
        QVERIFY(writeFile(m_served.filePath(QStringLiteral("big.zip")),
                                        randomBytes(4 * 1024 * 1024, 13)));
        m_nginx = std::make_unique<NginxServer>(m_served.path());
        QVERIFY2(m_nginx->start(), qPrintable(m_nginx->errorString()));
    }

    void init() { m_dir = std::make_unique<QTemporaryDir>(); }
    void cleanup() { m_dir.reset(); }

    void endToEnd_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("FAT32 card deflated by zip") << "fat32";
        QTest::newRow("FAT16 card deflated by 7z") << "fat16";
    }
    void endToEnd()
    {
        QFETCH(QString, name);
        const Build &build = m_build[name];
        const QString target = path(QStringLiteral("target.img"));
        std::unique_ptr<WriteJob> job = catalogJob(remote(name), build.imageSha, cacheDir());
        Recorder recorder(*job);
        QByteArray beforeBootFiles;
        recorder.onReport = [&](Phase phase, qint64, qint64) {
            if (phase == Phase::Finalizing && beforeBootFiles.isNull())
                beforeBootFiles = readFile(target);
        };
        const int requests = requestsFor(name);
        job->run();

        QCOMPARE(job->error(), Error::None);
        QCOMPARE(job->errorDetail(), QString());
        QCOMPARE(job->writtenSha256(), build.imageSha);

        // Downloading until the whole archive is there, then the other phases in order.
        const qint64 downloads = recorder.reports.filter(QStringLiteral("Downloading ")).size();
        QVERIFY(downloads >= 1);
        QCOMPARE(recorder.reports.at(downloads - 1),
                 report(Phase::Downloading, build.archive.size(), build.archive.size()));
        QCOMPARE(recorder.reports.mid(downloads), byteReports(Phase::Writing, build.image.size())
                         + byteReports(Phase::Verifying, build.image.size()) + fileReports(BootFiles.size()));
        QTRY_COMPARE(requestsFor(name), requests + 1);
        QCOMPARE(cacheEntries(), QStringList{QString::fromLatin1(build.archiveSha.toHex() + ".zip")});

        // The image as written, padded with zeros to whole sectors.
        const qint64 paddedSize = AlignedBuffer::roundUp(build.image.size(), 512);
        QVERIFY(paddedSize > build.image.size());
        const QByteArray padded = build.image + QByteArray(paddedSize - build.image.size(), '\0');
        QCOMPARE(beforeBootFiles.size(), paddedSize);
        QVERIFY(beforeBootFiles == padded);
        // The boot files change the partition only.
        const QByteArray written = readFile(target);
        const qint64 partitionEnd = build.partitionOffset + build.partitionBytes;
        QCOMPARE(written.size(), paddedSize);
        QVERIFY(written.left(build.partitionOffset) == padded.left(build.partitionOffset));
        QVERIFY(written.mid(partitionEnd) == padded.mid(partitionEnd));

        CardImage card(target, build.partitionOffset, build.partitionBytes);
        QVERIFY2(card.fsck(), qPrintable(card.errorString()));
        QMap<QString, QByteArray> expected = build.shipped;
        expected.insert(BootFiles);
        QVERIFY2(card.holds(expected), qPrintable(card.errorString()));
    }

    // A card image chosen on the computer as a multi-block .img.xz: written,
    // read back and finished like a catalog build, with no download.
    void localXzImage()
    {
        const Build &build = m_build[QStringLiteral("fat32")];
        const QString problem = runTool(
                QStringLiteral("sh"),
                {QStringLiteral("-c"), QStringLiteral("xz -T2 --block-size=256KiB -c fat32.img > %1")
                                               .arg(path(QStringLiteral("card.img.xz")))},
                m_builds.path());
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        const QString target = path(QStringLiteral("target.img"));
        WriteJob job(createLocalImageSource(path(QStringLiteral("card.img.xz"))),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
        job.setBootFiles(BootFiles);
        Recorder recorder(job);
        job.run();

        QCOMPARE(job.error(), Error::None);
        QCOMPARE(job.writtenSha256(), build.imageSha);
        QCOMPARE(recorder.reports, byteReports(Phase::Writing, build.image.size())
                         + byteReports(Phase::Verifying, build.image.size()) + fileReports(BootFiles.size()));
        const QByteArray written = readFile(target);
        QCOMPARE(written.size(), AlignedBuffer::roundUp(build.image.size(), 512));
        QVERIFY(written.left(build.partitionOffset) == build.image.left(build.partitionOffset));
        CardImage card(target, build.partitionOffset, build.partitionBytes);
        QVERIFY2(card.fsck(), qPrintable(card.errorString()));
        QCOMPARE(card.mtype(QStringLiteral("SETUP.INI")), std::optional<QByteArray>(BootFiles.value(QStringLiteral("SETUP.INI"))));
        QCOMPARE(card.mtype(QStringLiteral("KERNEL.BIN")), std::optional<QByteArray>(build.shipped.value(QStringLiteral("KERNEL.BIN"))));
    }

    void downloadFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<Error>("error");
        QTest::addColumn<QString>("detail"); // a pattern

        QTest::newRow("archive not on the server") << "missing" << Error::NetworkError << "HTTP 404";
        QTest::newRow("no server on the port") << "closed port" << Error::NetworkError << "Connection refused";
        QTest::newRow("archive with another digest") << "digest" << Error::DownloadChecksumMismatch
                                                     << "sha256 mismatch";
        QTest::newRow("cache volume too small") << "space" << Error::CacheFull
                                                << "1152921504606846976 bytes needed, \\d+ available";
        QTest::newRow("cache folder cannot be made") << "cache folder" << Error::CacheIoError
                                                     << "cannot create .*/file/cache";
    }
    void downloadFailures()
    {
        QFETCH(QString, fault);
        QFETCH(Error, error);
        QFETCH(QString, detail);

        RemoteImage image = remote(QStringLiteral("fat16"));
        QString cache = cacheDir();
        if (fault == QLatin1String("missing")) {
            image.url = m_nginx->url(QStringLiteral("/missing.zip"));
        } else if (fault == QLatin1String("closed port")) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            image.url.setPort(probe.serverPort());
            probe.close();
        } else if (fault == QLatin1String("digest")) {
            image.sha256 = sha256("another archive");
        } else if (fault == QLatin1String("space")) {
            if (knownFreeSpace(cache) < 0)
                QSKIP("The free space of the cache volume cannot be determined here");
            image.size = qint64(1) << 60;
        } else if (fault == QLatin1String("cache folder")) {
            QVERIFY(writeFile(path(QStringLiteral("file")), "a file, not a folder"));
            cache = path(QStringLiteral("file/cache"));
        }
        std::unique_ptr<WriteJob> job = catalogJob(image, m_build[QStringLiteral("fat16")].imageSha, cache);
        Recorder recorder(*job);
        job->run();

        QCOMPARE(job->error(), error);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(detail)).match(job->errorDetail()).hasMatch(),
                 qPrintable(job->errorDetail()));
        // The device was never opened, so the target file was never made.
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("target.img"))));
        QCOMPARE(recorder.reports.filter(QRegularExpression(QStringLiteral("^(Writing|Verifying|Finalizing) "))),
                 QStringList());
        QVERIFY(!QFileInfo::exists(ImageCache(cache).pathFor(image.sha256)));
    }

    // As the controller does it: from the GUI thread while the job runs on
    // its own, during a slow download.
    void cancelWhileDownloading()
    {
        const QByteArray archive = readFile(m_served.filePath(QStringLiteral("big.zip")));
        const RemoteImage image{m_nginx->url(QStringLiteral("/slow/big.zip")), archive.size(), sha256(archive)};
        std::unique_ptr<WriteJob> job = catalogJob(image, QByteArray(), cacheDir());
        QStringList received;
        connect(job.get(), &WriteJob::progress, this, [&](Phase phase, qint64 done, qint64 total) {
            received << report(phase, done, total);
            job->cancel();
        });

        std::unique_ptr<QThread> worker(QThread::create([&job] { job->run(); }));
        QEventLoop loop;
        connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
        // Without the cancel the download would take a minute.
        QTimer::singleShot(30000, &loop, &QEventLoop::quit);
        worker->start();
        loop.exec();
        QVERIFY(worker->isFinished());
        worker->wait();

        QCOMPARE(job->error(), Error::Cancelled);
        QCOMPARE(job->errorDetail(), QString());
        QVERIFY(!received.isEmpty());
        QCOMPARE(received.filter(QStringLiteral("Downloading ")), received);
        // What arrived stays for a resume; nothing was written.
        const ImageCache cache(cacheDir());
        const qint64 kept = QFileInfo(cache.partialPathFor(image.sha256)).size();
        QVERIFY(kept > 0 && kept < archive.size());
        QVERIFY(!QFileInfo::exists(cache.pathFor(image.sha256)));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("target.img"))));
    }

    void cancelKeepsCachedArchive_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<qint64>("done");

        QTest::newRow("while writing") << Phase::Writing << Chunk;
        QTest::newRow("while verifying") << Phase::Verifying << Chunk;
        QTest::newRow("at the start of the boot files") << Phase::Finalizing << qint64(0);
    }
    void cancelKeepsCachedArchive()
    {
        QFETCH(Phase, phase);
        QFETCH(qint64, done);

        const QString name = QStringLiteral("kept");
        const Build &build = m_build[name];
        std::unique_ptr<WriteJob> job = catalogJob(remote(name), build.imageSha, cacheDir());
        Recorder recorder(*job);
        recorder.onReport = [&](Phase reported, qint64 reportedDone, qint64) {
            if (reported == phase && reportedDone == done)
                job->cancel();
        };
        job->run();
        QCOMPARE(job->error(), Error::Cancelled);
        QCOMPARE(job->errorDetail(), QString());
        const QString archive = ImageCache(cacheDir()).pathFor(build.archiveSha);
        QVERIFY(QFileInfo::exists(archive));

        // The next job writes from the cache without asking the server.
        QTRY_VERIFY(requestsFor(name) > 0);
        const int requests = requestsFor(name);
        job = catalogJob(remote(name), build.imageSha, cacheDir());
        job->run();
        QCOMPARE(job->error(), Error::None);
        QTest::qWait(100);
        QCOMPARE(requestsFor(name), requests);
    }

    // An archive that turns out unusable after its download is removed from
    // the cache, so that the next job fetches it again; other failures keep it.
    void damagedCacheIsDownloadedAgain_data()
    {
        QTest::addColumn<QString>("damage");
        QTest::addColumn<Error>("error");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<bool>("downloads");
        QTest::addColumn<bool>("kept");

        QTest::newRow("cached archive cut short") << "cut" << Error::CorruptImage
                                                  << "invalid zip file: end of central directory not found"
                                                  << false << false;
        QTest::newRow("cached archive with a damaged byte") << "byte" << Error::CorruptImage << QString()
                                                            << false << false;
        QTest::newRow("image digest differs from the catalog's") << "image digest" << Error::ChecksumMismatch
                                                                 << QString() << true << false;
        QTest::newRow("target too small") << "small target" << Error::TargetTooSmall << QString() << true << true;
    }
    void damagedCacheIsDownloadedAgain()
    {
        QFETCH(QString, damage);
        QFETCH(Error, error);
        QFETCH(QString, detail);
        QFETCH(bool, downloads);
        QFETCH(bool, kept);

        const QString name = QStringLiteral("again");
        const Build &build = m_build[name];
        const QString archive = ImageCache(cacheDir()).pathFor(build.archiveSha);
        QByteArray imageSha = build.imageSha;
        qint64 targetSize = -1;
        if (damage == QLatin1String("cut")) {
            QVERIFY(QDir().mkpath(cacheDir()));
            QVERIFY(writeFile(archive, build.archive.left(build.archive.size() - 100)));
        } else if (damage == QLatin1String("byte")) {
            QVERIFY(QDir().mkpath(cacheDir()));
            QByteArray damaged = build.archive;
            damaged[1000] = char(~damaged.at(1000));
            QVERIFY(writeFile(archive, damaged));
        } else if (damage == QLatin1String("image digest")) {
            imageSha = sha256("another image");
        } else if (damage == QLatin1String("small target")) {
            targetSize = 1000;
        }

        const int requests = requestsFor(name);
        std::unique_ptr<WriteJob> job = catalogJob(remote(name), imageSha, cacheDir(), targetSize);
        job->run();
        QCOMPARE(job->error(), error);
        if (!detail.isNull())
            QCOMPARE(job->errorDetail(), detail);
        QCOMPARE(QFileInfo::exists(archive), kept);
        QTRY_COMPARE(requestsFor(name), requests + (downloads ? 1 : 0));

        job = catalogJob(remote(name), build.imageSha, cacheDir());
        Recorder recorder(*job);
        job->run();
        QCOMPARE(job->error(), Error::None);
        QCOMPARE(job->writtenSha256(), build.imageSha);
        QTRY_COMPARE(requestsFor(name), requests + (downloads ? 1 : 0) + (kept ? 0 : 1));
        QCOMPARE(cacheEntries(), QStringList{QString::fromLatin1(build.archiveSha.toHex() + ".zip")});
    }
};

QTEST_GUILESS_MAIN(TestWriteJobEndToEnd)
#include "tst_writejob_endtoend.moc"
