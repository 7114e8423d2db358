#include "backend/backend.h"
#include "freespace.h"
#include "image/imagecache.h"
#include "programrun.h"
#include "writefixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <algorithm>

#include <unistd.h>

using State = Backend::State;
using Script = ScriptedCard::Script;
using Call = ScriptedCard::Call;

namespace {

// A port on which nothing listens (it did a moment ago).
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

// Writes through the Backend from startWrite to the result: catalog builds
// served by nginx or named beside a catalog file, local images, and every
// way a write can fail, with the card checked by fsck.fat and mtools.
class TestBackendWrite : public WriteTestCase
{
    Q_OBJECT

private:
    // Build "x" of the FAT16 archive, with changes; a null value removes its key.
    QJsonObject changedBuild(const QJsonObject &changes) const
    {
        QJsonObject build = m_fixture.buildEntry(QStringLiteral("x"), QStringLiteral("X"), QStringLiteral("1"),
                                                 QStringLiteral("builds/card16.zip"), m_fixture.archive16,
                                                 m_fixture.image16);
        for (auto change = changes.begin(); change != changes.end(); ++change) {
            if (change->isNull())
                build.remove(change.key());
            else if (change->isString())
                build.insert(change.key(), change->toString().replace(QStringLiteral("%CLOSED%"),
                                                                      QString::number(closedPort())));
            else
                build.insert(change.key(), *change);
        }
        return build;
    }

private slots:
    void catalogBuildEndToEnd_data()
    {
        QTest::addColumn<bool>("overHttp");
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("writeName");
        QTest::addColumn<BootFiles>("bootFiles");
        QTest::addColumn<bool>("resume"); // half of the archive is in the cache already

        QTest::newRow("build with the product's boot files over HTTP")
                << true << "stable" << "Alpha Stable (2.1)" << ProductFiles << false;
        QTest::newRow("build with boot files of its own over HTTP")
                << true << "custom" << "Alpha Custom (3.0)" << CustomFiles << false;
        QTest::newRow("download resumed over HTTP")
                << true << "stable" << "Alpha Stable (2.1)" << ProductFiles << true;
        QTest::newRow("catalog file naming an archive beside it")
                << false << "stable" << "Alpha Stable (2.1)" << ProductFiles << false;
        QTest::newRow("catalog file with the archive half copied")
                << false << "custom" << "Alpha Custom (3.0)" << CustomFiles << true;
    }
    void catalogBuildEndToEnd()
    {
        QFETCH(bool, overHttp);
        QFETCH(QString, image);
        QFETCH(QString, writeName);
        QFETCH(BootFiles, bootFiles);
        QFETCH(bool, resume);
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));
        const qint64 prefix = resume ? m_fixture.archive32.size / 2 : 0;
        if (resume) {
            QFile archive(m_fixture.archive32.path);
            QVERIFY(archive.open(QIODevice::ReadOnly));
            QVERIFY(writeFile(ImageCache(ImageCache::defaultDir()).partialPathFor(m_fixture.archive32.sha256),
                              archive.read(prefix)));
        }

        Backend backend(overHttp ? m_fixture.catalogUrl() : m_fixture.catalogPath(), target);
        QVERIFY(waitLoaded(backend));
        QCOMPARE(backend.catalogState(), Backend::CatalogState::Ready);
        chooseBuild(backend, image);
        backend.selectDisk(target);
        QVERIFY(backend.canWrite());
        QCOMPARE(backend.setupProductName(), QStringLiteral("Alpha"));
        const int served = m_fixture.nginx().accessLog().size();

        QString nameWhenShown;
        QStringList phases;
        connect(&backend, &Backend::stateChanged, &backend, [&] {
            if (backend.state() == State::Writing)
                nameWhenShown = backend.writeName();
        });
        connect(&backend, &Backend::progressChanged, &backend, [&] {
            if (phases.isEmpty() || phases.last() != backend.phaseLabel())
                phases << backend.phaseLabel();
        });
        backend.startWrite();
        QCOMPARE(backend.state(), State::Writing);
        QCOMPARE(nameWhenShown, writeName);
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Downloading"));
        QCOMPARE(backend.progress(), 0.0);
        QPointer<QThread> thread = backend.writeRun().thread();
        QVERIFY(thread);

        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.errorMessage(), QString());
        QCOMPARE(backend.state(), State::Done);
        QVERIFY(!backend.cancelling());
        QCOMPARE(backend.writeName(), writeName);
        QCOMPARE(phases, (QStringList{QStringLiteral("Downloading"), QStringLiteral("Writing"),
                                      QStringLiteral("Verifying"), QStringLiteral("Finalizing: setting up Alpha")}));
        QCOMPARE(backend.progress(), 1.0);
        QTRY_VERIFY(thread.isNull());
        QVERIFY(!backend.writeRun().job());

        checkCard(target, m_fixture.card32, bootFiles);
        if (QTest::currentTestFailed())
            return;
        QCOMPARE(testcache::files(), QStringList{m_fixture.archive32.hex() + QStringLiteral(".zip")});
        // The archive's relative url is taken from beside the catalog.
        const QString request = resume ? QStringLiteral("GET /cat/builds/card32.zip 206 bytes=%1-").arg(prefix)
                                       : QStringLiteral("GET /cat/builds/card32.zip 200 -");
        if (overHttp)
            QTRY_VERIFY(m_fixture.nginx().accessLog().mid(served).contains(request));
        else
            QCOMPARE(m_fixture.nginx().accessLog().size(), served);
    }

    void localImageEndToEnd_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<bool>("asProduct");
        QTest::addColumn<BootFiles>("bootFiles");

        QTest::newRow("plain image alone") << "card16.img" << false << BootFiles();
        QTest::newRow("plain image set up as the product") << "card16.img" << true << ProductFiles;
        QTest::newRow("zip archive set up as the product") << "www/cat/builds/card32.zip" << true << ProductFiles;
    }
    void localImageEndToEnd()
    {
        QFETCH(QString, file);
        QFETCH(bool, asProduct);
        QFETCH(BootFiles, bootFiles);
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));

        Backend backend(m_fixture.catalogPath(), target);
        if (asProduct)
            backend.selectProduct(QStringLiteral("alpha"));
        else
            backend.useLocalFileOnly();
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.file(file)));
        backend.chooseDisk();
        backend.selectDisk(target);
        QVERIFY(backend.canWrite());

        QStringList phases;
        connect(&backend, &Backend::progressChanged, &backend, [&] {
            if (phases.isEmpty() || phases.last() != backend.phaseLabel())
                phases << backend.phaseLabel();
        });
        backend.startWrite();
        QCOMPARE(backend.writeName(), QFileInfo(file).fileName());
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Writing"));
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.errorMessage(), QString());
        QCOMPARE(backend.state(), State::Done);

        QStringList expectedPhases{QStringLiteral("Writing"), QStringLiteral("Verifying")};
        if (asProduct)
            expectedPhases << QStringLiteral("Finalizing: setting up Alpha");
        QCOMPARE(phases, expectedPhases);
        const bool fat32 = file.endsWith(QLatin1String("card32.zip"));
        checkCard(target, fat32 ? m_fixture.card32 : m_fixture.card16, bootFiles);
        if (QTest::currentTestFailed())
            return;
        if (!asProduct)
            QCOMPARE(fileSha256(target), m_fixture.image16.sha256);
        // No download: the cache stays as it was.
        QCOMPARE(testcache::files(), QStringList());
    }

    // A file target is emptied before the image is read: one that is the image
    // is refused with the image, one in the download cache on the disk page,
    // both before the erase question.
    void fileTargetRefusals_data()
    {
        QTest::addColumn<QString>("link");   // how the target names the file: "", "symbolic" or "hard"
        QTest::addColumn<bool>("inCache");   // the file is the cached archive of the build, else a local image
        QTest::addColumn<QString>("target"); // inside the cache when inCache; %FILE% is the file itself
        QTest::addColumn<QString>("message");

        const QString isImage = QStringLiteral("Cannot write to %TARGET%: it is the image being written.");
        const QString inCache =
                QStringLiteral("Cannot write to %TARGET%: it is inside the download cache folder %CACHE%.");
        QTest::newRow("the local image itself") << "" << false << "%FILE%" << isImage;
        QTest::newRow("a symbolic link to the local image") << "symbolic" << false << "link.img" << isImage;
        QTest::newRow("a hard link to the local image") << "hard" << false << "link.img" << isImage;
        QTest::newRow("the cached archive of the build") << "" << true << "%FILE%" << inCache;
        QTest::newRow("a link to the cached archive") << "symbolic" << true << "link.img" << inCache;
        QTest::newRow("a file not yet made in the cache") << "" << true << "%CACHE%/new/card.img" << inCache;
        QTest::newRow("a disk") << "" << false << "/dev/loop0"
                                << "Cannot write to %TARGET%: it is a disk, not a file. Choose disks with --disk in "
                                   "tessaro-cli, or in the window's list of disks without --target-file.";
    }
    void fileTargetRefusals()
    {
        QFETCH(QString, link);
        QFETCH(bool, inCache);
        QFETCH(QString, target);
        QFETCH(QString, message);
        if (target.startsWith(QLatin1String("/dev/")) && !QFileInfo(target).exists())
            QSKIP("needs a block device node");
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir dir;
        const QString cacheDir = ImageCache::defaultDir();
        const QString file = inCache ? ImageCache(cacheDir).pathFor(m_fixture.archive32.sha256)
                                     : dir.filePath(QStringLiteral("card16.img"));
        QVERIFY(QDir().mkpath(QFileInfo(file).path()));
        QVERIFY(QFile::copy(inCache ? m_fixture.archive32.path : m_fixture.image16.path, file));
        const QByteArray digest = fileSha256(file);
        target.replace(QStringLiteral("%FILE%"), file).replace(QStringLiteral("%CACHE%"), cacheDir);
        if (QFileInfo(target).isRelative())
            target = dir.filePath(target);
        if (link == QLatin1String("symbolic"))
            QVERIFY(QFile::link(file, target));
        else if (link == QLatin1String("hard"))
            QCOMPARE(::link(QFile::encodeName(file).constData(), QFile::encodeName(target).constData()), 0);

        Backend backend(m_fixture.catalogPath(), target);
        QVERIFY(waitLoaded(backend));
        message.replace(QStringLiteral("%TARGET%"), target).replace(QStringLiteral("%CACHE%"), cacheDir);
        if (inCache) {
            chooseBuild(backend, QStringLiteral("stable"));
            const QVariantMap disk = backend.disks().value(0).toMap();
            QCOMPARE(disk.value(QStringLiteral("enabled")).toBool(), false);
            QCOMPARE(disk.value(QStringLiteral("reason")).toString(), message);
        } else {
            backend.useLocalFileOnly();
            backend.setImageUrl(QUrl::fromLocalFile(file));
            QVERIFY(waitChecked(backend));
            QCOMPARE(backend.imageRefusal(), message);
            QVERIFY(!backend.imageReady());
        }
        backend.selectDisk(target);
        QVERIFY(!backend.canWrite());
        backend.startWrite();
        QCOMPARE(backend.state(), State::Idle);
        QCOMPARE(fileSha256(file), digest);
        QVERIFY(!QFileInfo::exists(cacheDir + QStringLiteral("/new")));
    }

    void catalogBuildFailures_data()
    {
        QTest::addColumn<QJsonObject>("changes"); // to a working build; null removes the key
        QTest::addColumn<bool>("blockCache");
        QTest::addColumn<qint64>("cardSize");
        // %CACHE% is the cache folder; a message that starts with ^ is a pattern.
        QTest::addColumn<QString>("message");
        QTest::addColumn<QStringList>("cacheAfter"); // %ARCHIVE% is the build's digest
        QTest::addColumn<bool>("cardTouched");
        QTest::addColumn<bool>("catalogFile"); // else served by nginx

        const QString part = QStringLiteral("%ARCHIVE%.part");
        const QString downloadDamaged = QStringLiteral(
                "The downloaded image is damaged (checksum mismatch) and was discarded; the SD card was not "
                "touched. Retry to download it again.");
        const QString imageMismatch = QStringLiteral(
                "The image does not match the catalog (checksum mismatch): the SD card is not usable. "
                "Download the image again.");

        QTest::newRow("archive not on the server")
                << QJsonObject{{"url", "builds/missing.zip"}} << false << qint64(-1)
                << "Download failed: HTTP 404. Check the network connection and retry." << QStringList{part} << false << false;
        QTest::newRow("server not listening")
                << QJsonObject{{"url", "http://127.0.0.1:%CLOSED%/cat/builds/card16.zip"}} << false << qint64(-1)
                << "Download failed: Connection refused. Check the network connection and retry." << QStringList{part}
                << false << false;
        QTest::newRow("archive file missing")
                << QJsonObject{{"url", "file:///nonexistent/tessaro/card16.zip"}} << false << qint64(-1)
                << "Download failed: No such file or directory. Check the network connection and retry."
                << QStringList{part} << false << true;
        QTest::newRow("archive digest differs")
                << QJsonObject{{"sha256", QStringLiteral("ab").repeated(32)}} << false << qint64(-1) << downloadDamaged
                << QStringList() << false << false;
        QTest::newRow("image digest differs")
                << QJsonObject{{"extractSha256", QStringLiteral("cd").repeated(32)}} << false << qint64(-1)
                << imageMismatch << QStringList() << true << false;
        QTest::newRow("damaged archive")
                << QJsonObject{{"url", "builds/damaged.zip"},
                               {"size", m_fixture.damaged.size},
                               {"sha256", m_fixture.damaged.hex()}}
                << false << qint64(-1) << "The image file is damaged and the SD card is not usable: CRC32 mismatch"
                << QStringList() << true << false;
        QTest::newRow("archive larger than the free space")
                << QJsonObject{{"size", qint64(1000000000000000)}} << false << qint64(-1)
                << "^Not enough free disk space to download the image: 1000000000000000 bytes needed, \\d+ available$"
                << QStringList{part} << false << false;
        QTest::newRow("cache folder cannot be made")
                << QJsonObject() << true << qint64(-1)
                << "Cannot save the image in the cache folder: cannot create %CACHE%"
                << QStringList() << false << false;
        // Without an extracted size every card is offered; the job finds out.
        QTest::newRow("card smaller than the image")
                << QJsonObject{{"extractSize", QJsonValue()}} << false << qint64(1024 * 1024)
                << "The SD card is smaller than the image." << QStringList{QStringLiteral("%ARCHIVE%.zip")} << true << false;
    }
    void catalogBuildFailures()
    {
        QFETCH(QJsonObject, changes);
        QFETCH(bool, blockCache);
        QFETCH(qint64, cardSize);
        QFETCH(QString, message);
        QFETCH(QStringList, cacheAfter);
        QFETCH(bool, cardTouched);
        QFETCH(bool, catalogFile);
        if (QTest::currentDataTag() == QLatin1String("archive larger than the free space")
            && knownFreeSpace(ImageCache::defaultDir()) < 0)
            QSKIP("The free space of the cache volume cannot be determined here");

        QVERIFY(m_fixture.writeCatalog({changedBuild(changes)}));
        if (blockCache)
            QVERIFY(writeFile(ImageCache::defaultDir(), "a file where the folder should be"));

        QTemporaryDir cards;
        Script script;
        script.path = cards.filePath(QStringLiteral("card.img"));
        script.size = cardSize;
        Backend backend(catalogFile ? m_fixture.catalogPath() : m_fixture.catalogUrl(), QString());
        QVERIFY(waitLoaded(backend));
        attachCard(backend, script, cardSize > 0 ? cardSize : ListedCardSize);
        chooseBuild(backend, QStringLiteral("x"));
        QVERIFY(writeOnto(backend, CardId));

        QCOMPARE(backend.state(), State::Failed);
        QVERIFY(!backend.cancelling());
        message.replace(QStringLiteral("%CACHE%"), ImageCache::defaultDir());
        if (message.startsWith(QLatin1Char('^')))
            QVERIFY2(QRegularExpression(message).match(backend.errorMessage()).hasMatch(),
                     qPrintable(backend.errorMessage()));
        else
            QCOMPARE(backend.errorMessage(), message);
        cacheAfter.replaceInStrings(QStringLiteral("%ARCHIVE%"), m_fixture.archive16.hex());
        QCOMPARE(testcache::files(), cacheAfter);
        QCOMPARE(QFile::exists(script.path), cardTouched);
    }

    // A catalog entry that cannot be right is listed disabled, with the
    // reason, and cannot be chosen: nothing is downloaded or written.
    void refusedBuilds_data()
    {
        QTest::addColumn<QJsonObject>("changes");
        QTest::addColumn<bool>("catalogFile"); // else served by nginx
        QTest::addColumn<QString>("reason");

        // Files only from a catalog that is a file itself, and never on another computer.
        const QString notAllowed =
                QStringLiteral("The catalog entry of this image is faulty: its address %1 is not allowed.");
        QTest::newRow("file address from a catalog on a server")
                << QJsonObject{{"url", "file:///nonexistent/tessaro/card16.zip"}} << false
                << notAllowed.arg("file:///nonexistent/tessaro/card16.zip");
        QTest::newRow("file address on another computer")
                << QJsonObject{{"url", "file://fileserver/share/card16.zip"}} << true
                << notAllowed.arg("file://fileserver/share/card16.zip");
        QTest::newRow("address of another scheme")
                << QJsonObject{{"url", "ftp://127.0.0.1/cat/builds/card16.zip"}} << false
                << notAllowed.arg("ftp://127.0.0.1/cat/builds/card16.zip");
        const QString faulty =
                QStringLiteral("The catalog entry of this image is faulty: its %1 is not a SHA-256 digest.");
        QTest::newRow("archive digest not hexadecimal") << QJsonObject{{"sha256", "n/a"}} << false
                                                        << faulty.arg("sha256");
        QTest::newRow("archive digest one digit short")
                << QJsonObject{{"sha256", m_fixture.archive16.hex().chopped(1)}} << false << faulty.arg("sha256");
        QTest::newRow("image digest decoding to nothing") << QJsonObject{{"extractSha256", "unknown"}} << false
                                                          << faulty.arg("extractSha256");
        QTest::newRow("image digest decoding to one byte") << QJsonObject{{"extractSha256", "n/a"}} << false
                                                           << faulty.arg("extractSha256");
    }
    void refusedBuilds()
    {
        QFETCH(QJsonObject, changes);
        QFETCH(bool, catalogFile);
        QFETCH(QString, reason);
        QVERIFY(m_fixture.writeCatalog({changedBuild(changes)}));
        Backend backend(catalogFile ? m_fixture.catalogPath() : m_fixture.catalogUrl(), QString());
        QVERIFY(waitLoaded(backend));
        const int served = m_fixture.nginx().accessLog().size();
        chooseBuild(backend, QStringLiteral("x"));

        const QVariantList images = backend.images();
        const auto build = std::find_if(images.cbegin(), images.cend(), [](const QVariant &e) {
            return e.toMap().value(QStringLiteral("id")) == QLatin1String("x");
        });
        QVERIFY(build != images.cend());
        QCOMPARE(build->toMap().value(QStringLiteral("enabled")).toBool(), false);
        QCOMPARE(build->toMap().value(QStringLiteral("reason")).toString(), reason);
        QCOMPARE(backend.imageId(), QString());
        QCOMPARE(backend.step(), Backend::Step::ImageStep);
        QCOMPARE(testcache::files(), QStringList());
        QCOMPARE(m_fixture.nginx().accessLog().size(), served);
    }

    // What a local image tells when it is chosen keeps it from the disk
    // page, with the reason on the image page.
    void refusedLocalImages_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<bool>("asProduct");
        QTest::addColumn<QString>("imageRefusal");
        QTest::addColumn<QString>("setupRefusal");

        QTest::newRow("image file missing") << "missing.img" << false
                                            << "Cannot read the image: No such file or directory" << QString();
        QTest::newRow("encrypted archive") << "encrypted.zip" << false
                                           << "Unsupported zip format: encrypted zip entries are not supported"
                                           << QString();
        QTest::newRow("compressed file not read here")
                << "card16.img.gz" << false
                << "Unsupported image format: the file is compressed with gzip; unpack it first and choose the "
                   "image inside"
                << QString();
        QTest::newRow("empty file") << "empty.img" << false << "The image is empty: there is nothing to write."
                                    << QString();
        QTest::newRow("no partition for the product's boot files")
                << "zeros.img" << true << QString()
                << "The SD card cannot be set up as Alpha with this image: no MBR partition table.";
        QTest::newRow("no partition, and no product to set up") << "zeros.img" << false << QString() << QString();
    }
    void refusedLocalImages()
    {
        QFETCH(QString, image);
        QFETCH(bool, asProduct);
        QFETCH(QString, imageRefusal);
        QFETCH(QString, setupRefusal);
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir dir;
        const QString path = dir.filePath(image);
        if (image == QLatin1String("card16.img.gz")) {
            QVERIFY(QFile::copy(m_fixture.image16.path, dir.filePath(QStringLiteral("card16.img"))));
            QCOMPARE(runTool(QStringLiteral("gzip"), {QStringLiteral("card16.img")}, dir.path()), QString());
        } else if (image == QLatin1String("empty.img")) {
            QVERIFY(writeFile(path, QByteArray()));
        } else if (image != QLatin1String("missing.img")) {
            QVERIFY(QFile::copy(m_fixture.file(image), path));
        }

        Backend backend(m_fixture.catalogPath(), QString());
        if (asProduct) {
            backend.selectProduct(QStringLiteral("alpha"));
            backend.selectDevice(QStringLiteral("s"));
        } else {
            backend.useLocalFileOnly();
        }
        backend.setImageUrl(QUrl::fromLocalFile(path));
        QVERIFY(waitChecked(backend));
        QCOMPARE(backend.imageRefusal(), imageRefusal);
        QCOMPARE(backend.setupRefusal(), setupRefusal);
        const bool refused = !imageRefusal.isEmpty() || !setupRefusal.isEmpty();
        QCOMPARE(backend.imageReady(), !refused);
        backend.chooseDisk();
        QCOMPARE(backend.step(), refused ? Backend::Step::ImageStep : Backend::Step::DiskStep);
    }

    // Written as it is by the user's explicit choice: the card holds the
    // image, no boot file is written; another image asks again.
    void writeWithoutSettingUpAProduct()
    {
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogPath(), target);
        backend.selectProduct(QStringLiteral("alpha"));
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.zeros.path));
        QVERIFY(waitChecked(backend));
        QVERIFY(!backend.setupRefusal().isEmpty());
        QCOMPARE(backend.setupProductName(), QStringLiteral("Alpha"));

        backend.setWriteWithoutSetup(true);
        QVERIFY(backend.imageReady());
        QCOMPARE(backend.setupProductName(), QString());
        backend.chooseDisk();
        QStringList phases;
        connect(&backend, &Backend::progressChanged, &backend, [&] {
            if (phases.isEmpty() || phases.last() != backend.phaseLabel())
                phases << backend.phaseLabel();
        });
        QVERIFY(writeOnto(backend, target));
        QCOMPARE(backend.state(), State::Done);
        QCOMPARE(phases, (QStringList{QStringLiteral("Writing"), QStringLiteral("Verifying")}));
        QCOMPARE(fileSha256(target), m_fixture.zeros.sha256);

        // The choice holds for this image only.
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.image16.path));
        QVERIFY(!backend.writeWithoutSetup());
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.zeros.path));
        QVERIFY(waitChecked(backend));
        QVERIFY(!backend.imageReady());
    }

    // A build whose archive is not in the cache yet is read after the
    // download and before the card is opened; then, with the archive
    // cached, the refusal shows when it is chosen.
    void buildWithoutBootPartition()
    {
        QVERIFY(m_fixture.writeCatalog({m_fixture.buildEntry(QStringLiteral("zeros"), QStringLiteral("Zeros"),
                                                             QStringLiteral("1"), QStringLiteral("builds/zeros.zip"),
                                                             m_fixture.zerosArchive, m_fixture.zeros)}));
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogUrl(), target);
        QVERIFY(waitLoaded(backend));
        chooseBuild(backend, QStringLiteral("zeros"));
        QVERIFY(!backend.imageChecking());
        QCOMPARE(backend.setupRefusal(), QString());
        QVERIFY(writeOnto(backend, target));

        QCOMPARE(backend.state(), State::Failed);
        QCOMPARE(backend.errorMessage(),
                 QStringLiteral("The image has no partition for the product's boot files (no MBR partition table); "
                                "the SD card was not touched. Go back to the image to write it without setting up a "
                                "product."));
        QVERIFY(!QFile::exists(target));
        QVERIFY(!backend.canRetry());
        QVERIFY(waitChecked(backend));
        QCOMPARE(backend.setupRefusal(),
                 QStringLiteral("The SD card cannot be set up as Alpha with this image: no MBR partition table."));
        QVERIFY(!backend.canWrite());
    }

    void localImageFailures_data()
    {
        const QString removed =
                QStringLiteral("The SD card was removed during the operation: insert it again and retry.");
        using Failure = BlockDevice::Failure;
        QTest::addColumn<QString>("image");
        QTest::addColumn<bool>("asProduct");
        QTest::addColumn<bool>("verify");
        QTest::addColumn<Script>("card");
        QTest::addColumn<QString>("message");

        QTest::newRow("damaged archive") << "www/cat/builds/damaged.zip" << false << true << Script()
                                         << "The image file is damaged and the SD card is not usable: CRC32 mismatch";
        Script noFolder;
        noFolder.path = QStringLiteral("/nonexistent/tessaro/card.img");
        QTest::newRow("card in a missing folder") << "card16.img" << false << true << noFolder
                                                  << "Cannot open the SD card: No such file or directory";
        Script full;
        full.path = QStringLiteral("/dev/full");
        QTest::newRow("card that takes no data")
                << "card16.img" << false << true << full
                << "Error reading or writing the SD card, it may be faulty: No space left on device";
        QTest::newRow("write-protected card")
                << "card16.img" << false << true
                << Script::failing(Call::Open, 1, Failure::WriteProtected,
                                   QStringLiteral("The media is write protected."))
                << "The SD card is write-protected: move the lock switch on the card or adapter and retry.";
        QTest::newRow("card removed while writing")
                << "card16.img" << false << true
                << Script::failing(Call::Write, 2, Failure::Removed, QStringLiteral("The device is not ready."))
                << removed;
        QTest::newRow("access denied")
                << "card16.img" << false << true
                << Script::failing(Call::Open, 1, Failure::PermissionDenied, QStringLiteral("Access is denied."))
                << "Permission denied to access the SD card: Access is denied.";
        QTest::newRow("flush fails")
                << "card16.img" << false << true
                << Script::failing(Call::Flush, 1, Failure::IoError,
                                   QStringLiteral("The semaphore timeout period has expired."))
                << "Error reading or writing the SD card, it may be faulty: The semaphore timeout period has expired.";
        QTest::newRow("read-back fails")
                << "card16.img" << false << true
                << Script::failing(Call::Read, 2, Failure::IoError,
                                   QStringLiteral("The request could not be performed."))
                << "Error reading or writing the SD card, it may be faulty: The request could not be performed.";
        Script corrupting;
        corrupting.corruptReadBack = true;
        QTest::newRow("read-back differs")
                << "card16.img" << false << true << corrupting
                << "Verification failed: the data read back from the SD card differs from what was written. "
                   "The SD card is probably faulty: try another one.";
        // Without verification the first read is the boot-file writer's.
        QTest::newRow("card removed while setting up the product")
                << "card16.img" << true << false
                << Script::failing(Call::Read, 1, Failure::Removed, QStringLiteral("The device is not ready."))
                << removed;
    }
    void localImageFailures()
    {
        QFETCH(QString, image);
        QFETCH(bool, asProduct);
        QFETCH(bool, verify);
        QFETCH(Script, card);
        QFETCH(QString, message);
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir cards;
        if (card.path.isEmpty())
            card.path = cards.filePath(QStringLiteral("card.img"));

        Backend backend(m_fixture.catalogPath(), QString());
        attachCard(backend, card);
        if (asProduct)
            backend.selectProduct(QStringLiteral("alpha"));
        backend.setVerify(verify);
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.file(image)));
        backend.chooseDisk();
        QVERIFY(writeOnto(backend, CardId));
        QCOMPARE(backend.errorMessage(), message);
        QCOMPARE(backend.state(), State::Failed);
        QVERIFY(!backend.cancelling());
    }

};

QTEST_GUILESS_MAIN(TestBackendWrite)
#include "tst_backendwrite.moc"
