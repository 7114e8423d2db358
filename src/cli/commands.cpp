#include "cli/commands.h"

#include "cli/cardcheck.h"
#include "cli/cardwatcher.h"
#include "cli/commandline.h"
#include "cli/confirmation.h"
#include "cli/console.h"
#include "cli/progressprinter.h"
#include "cli/workloop.h"
#include "core/appinfo.h"
#include "core/cardbatch.h"
#include "core/catalogloader.h"
#include "core/datasize.h"
#include "core/writemessages.h"
#include "core/writeplan.h"
#include "disks/diskmonitor.h"
#include "disks/fileblockdevice.h"
#include "disks/filediskmonitor.h"
#include "image/imagecache.h"
#include "image/imagedownload.h"
#include "write/imageprobe.h"

#include <QDateTime>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QLocale>
#include <QLockFile>
#include <QThread>
#include <QTimer>

#include <optional>

namespace {

// A monitor that looks for the disks in the background has its first list
// within this time.
constexpr int FirstListWait = 10000;

// Whether the monitor has its list, waiting for a first one.
bool hasListed(DiskMonitor &monitor)
{
    if (!monitor.hasListed() && monitor.errorString().isEmpty()) {
        QEventLoop loop;
        QObject::connect(&monitor, &DiskMonitor::disksChanged, &loop, &QEventLoop::quit);
        QTimer::singleShot(FirstListWait, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return monitor.hasListed() && monitor.errorString().isEmpty();
}

QString listError(const DiskMonitor &monitor)
{
    const QString reason = monitor.errorString();
    return QStringLiteral("Cannot list the disks: %1")
            .arg(reason.isEmpty() ? QStringLiteral("the system gave no list in time") : reason);
}

// The catalog, or nothing and *error saying why it cannot be used.
std::optional<Catalog> loadCatalog(const QUrl &url, QString *error)
{
    CatalogLoader loader;
    std::optional<Catalog> catalog;
    bool ended = false;
    QEventLoop loop;
    QObject::connect(&loader, &CatalogLoader::loaded, &loop, [&](const Catalog &loaded) {
        catalog = loaded;
        ended = true;
        loop.quit();
    });
    QObject::connect(&loader, &CatalogLoader::failed, &loop, [&](const QString &message) {
        *error = message;
        ended = true;
        loop.quit();
    });
    loader.load(url);
    if (!ended)
        loop.exec();
    if (catalog && catalog->requiresNewerTessaro()) {
        *error = QStringLiteral("This catalog needs Tessaro %1 or newer; this is Tessaro %2.")
                         .arg(catalog->minTessaroVersion().toString(), AppInfo::Version);
        return std::nullopt;
    }
    return catalog;
}

// The name of each build of the catalog, by the digest (lowercase hexadecimal)
// its archive is stored under in the cache.
QMap<QString, QString> buildNames(const Catalog &catalog)
{
    QMap<QString, QString> names;
    for (const CatalogProduct &product : catalog.products()) {
        for (const CatalogDevice &device : catalog.devicesFor(product.id)) {
            for (const CatalogImage &image : catalog.imagesFor(product.id, device.id)) {
                // One archive may serve several builds.
                QString &name = names[image.sha256.toLower()];
                const QString build = QStringLiteral("%1 %2 (%3) for %4")
                                              .arg(product.name, image.name, image.version, device.name);
                name = name.isEmpty() ? build : name + QStringLiteral(", ") + build;
            }
        }
    }
    return names;
}

// The archives and partial downloads in the cache, by name; nothing else of
// the folder is the cache's.
QList<QFileInfo> cacheFiles()
{
    QDir folder(ImageCache::defaultDir());
    folder.setNameFilters({QStringLiteral("*.zip"), QStringLiteral("*.part")});
    folder.setFilter(QDir::Files);
    folder.setSorting(QDir::Name | QDir::IgnoreCase);
    return folder.entryInfoList();
}

// Writing erases the cards: on a terminal the user types their names back.
bool confirmed(const QStringList &names)
{
    console::err(QStringLiteral("Everything on these cards will be erased:\n  %1\n"
                                "Type their device names, separated by blanks, to go on: ")
                         .arg(names.join(QStringLiteral("\n  "))));
    return namesConfirmed(console::readLine(), names);
}

QString hex(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex());
}

ProgressPrinter::Mode printerMode(const CommandLine &line)
{
    if (line.json)
        return ProgressPrinter::Mode::Json;
    return console::errorIsTerminal() ? ProgressPrinter::Mode::Terminal : ProgressPrinter::Mode::Lines;
}

// The image and the cards of a write or a check, as the command line names
// them, resolved and checked before any card is opened.
struct Job
{
    std::optional<Catalog> catalog;
    QUrl catalogUrl;
    std::optional<WritePlan> plan;
    qint64 imageSize = 0;
    QString productName;
    QJsonObject image; // what the start record says of the image
    QList<Disk> disks;
    std::unique_ptr<DiskMonitor> monitor; // that listed the disks
};

// The plan of the build or file the command line names; an empty string, or
// the refusal.
QString planFor(const CommandLine &line, Job &job)
{
    job.catalogUrl = CatalogLoader::locationFor(line.manifest);
    if (line.writesBuild() || !line.productId.isEmpty()) {
        QString error;
        job.catalog = loadCatalog(job.catalogUrl, &error);
        if (!job.catalog)
            return error;
        const CatalogProduct *product = job.catalog->product(line.productId);
        if (!product)
            return QStringLiteral("The catalog has no product %1.").arg(line.productId);
        job.productName = product->name;
    }
    if (!line.writesBuild()) {
        job.plan = WritePlan::forLocalFile(line.imageFile, job.catalog ? job.catalog->localBootFiles(line.productId)
                                                                       : QMap<QString, QByteArray>());
        job.image = {{"file", QFileInfo(line.imageFile).absoluteFilePath()}};
        return job.plan->refusal();
    }
    job.plan = WritePlan::forBuild(*job.catalog, job.catalogUrl, line.productId, line.deviceId, line.imageId);
    if (!job.plan) {
        return QStringLiteral("The catalog has no image %1 of product %2 for device %3.")
                .arg(line.imageId, line.productId, line.deviceId);
    }
    for (const CatalogImage &image : job.catalog->imagesFor(line.productId, line.deviceId)) {
        if (image.id == line.imageId) {
            job.image = {{"product", line.productId}, {"device", line.deviceId}, {"build", line.imageId},
                         {"name", job.plan->name()}, {"version", image.version},
                         {"archiveSha256", image.sha256.toLower()}};
        }
    }
    return job.plan->refusal();
}

// Why the product's boot files cannot be set on the image, where the image
// can be read now (a local file, a build already in the cache); the job
// would find it only once every card is open.
QString setupRefusal(const CommandLine &line, const Job &job)
{
    if (job.plan->bootFiles().isEmpty() || !job.plan->imageAvailable())
        return {};
    const std::unique_ptr<ImageSource> source = job.plan->createSource();
    const ImageProbe probe = ImageProbe::run(*source);
    if (probe.bootPartition != ImageProbe::BootPartition::Missing)
        return {};
    const QString refusal = WriteMessages::setupRefusal(job.productName, probe.bootProblem);
    // A build is always set up as its product; a local file may be written as it is.
    return line.writesBuild() ? refusal
                              : refusal + QStringLiteral(" Leave out --product to write the image as it is.");
}

// The disks the command line names, found in the platform's list; the
// reasons for any that cannot be had.
QStringList findDisks(const CommandLine &line, Job &job)
{
    if (line.disks.isEmpty())
        return {};
    job.monitor = createDiskMonitor();
    if (!hasListed(*job.monitor))
        return {listError(*job.monitor)};
    QStringList problems;
    const QList<Disk> disks = job.monitor->disks();
    for (const QString &id : line.disks) {
        const auto disk = std::find_if(disks.cbegin(), disks.cend(), [&id](const Disk &d) { return d.id == id; });
        if (disk == disks.cend())
            problems << QStringLiteral("No disk %1 can be written; 'tessaro-cli disks' lists those that can.").arg(id);
        else
            job.disks << *disk;
    }
    return problems;
}

// The download of a build into the cache, before any card is opened: true
// when the archive is there. A failure or a cancel is told as the download's.
bool download(const WritePlan &plan, ProgressPrinter &printer, int *signal, QString *message)
{
    const std::unique_ptr<ImageDownload> download = plan.createDownload();
    std::atomic<bool> cancelled{false};
    bool done = false;
    QObject context;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        done = download->run(
                [&context, &printer](qint64 bytes, qint64 total) {
                    QMetaObject::invokeMethod(&context, [&printer, bytes, total] { printer.download(bytes, total); });
                },
                cancelled);
    }));
    WorkLoop loop(printer, [&cancelled] { cancelled = true; });
    QObject::connect(thread.get(), &QThread::finished, &context, [&loop] { loop.quit(); });
    thread->start();
    *signal = loop.exec();
    thread->wait();
    QCoreApplication::sendPostedEvents(&context);
    if (!done) {
        const WriteJob::Error error = WriteJob::errorFor(download->failure());
        *message = plan.outcomeMessage(error, download->errorString(), WriteJob::Phase::Downloading, false);
    }
    return done;
}

// Where a build's download stands before it starts, for the start record.
void describeDownload(const WritePlan &plan, QJsonObject &record, QString *human)
{
    if (!plan.downloads())
        return;
    const ImageCache cache(plan.cacheDir());
    const QByteArray digest = plan.remoteImage().sha256;
    const QFileInfo partial(cache.partialPathFor(digest));
    if (QFileInfo(cache.pathFor(digest)).isFile()) {
        record.insert(QStringLiteral("download"), QStringLiteral("cache"));
        *human = QStringLiteral(", from the cache");
    } else if (partial.isFile() && partial.size() > 0) {
        record.insert(QStringLiteral("download"), QStringLiteral("resumed"));
        record.insert(QStringLiteral("resumeFrom"), partial.size());
        *human = QStringLiteral(", resuming its download at %1").arg(formatDataSize(partial.size()));
    } else {
        record.insert(QStringLiteral("download"), QStringLiteral("fresh"));
    }
}

// Tells what is about to be written, and to which cards.
void announce(const CommandLine &line, const Job &job, const QStringList &targets)
{
    QJsonObject record{{"event", "start"}, {"image", job.image}, {"size", job.imageSize},
                       {"targets", QJsonArray::fromStringList(targets)}};
    const QByteArray expected = job.plan->expectedSha256();
    record.insert(QStringLiteral("sha256"), expected.isEmpty() ? QJsonValue() : QJsonValue(hex(expected)));
    if (line.watch)
        record.insert(QStringLiteral("models"), QJsonArray::fromStringList(line.models));
    QString human;
    describeDownload(*job.plan, record, &human);
    if (line.json)
        console::outJson(record);
    else
        console::err(QStringLiteral("Writing %1%2\n").arg(job.plan->name(), human));
}

// The human text of the outcome of a card's check.
QString checkMessage(const WritePlan &plan, WriteJob::Error error, const QString &detail)
{
    switch (error) {
    case WriteJob::Error::VerifyMismatch:
        return QStringLiteral("the card differs from the image, first at byte %1").arg(detail);
    case WriteJob::Error::TargetTooSmall:
        return QStringLiteral("the card is smaller than the image");
    case WriteJob::Error::Cancelled:
        return QStringLiteral("the check was cancelled");
    default:
        // A damaged image is found before any card is read, and none is written.
        return plan.outcomeMessage(error, detail, WriteJob::Phase::Verifying, false);
    }
}

int watch(const CommandLine &line, Job &job)
{
    job.monitor = createDiskMonitor();
    if (!hasListed(*job.monitor))
        return commands::refuse(line, commands::Failure, listError(*job.monitor));
    ProgressPrinter printer(printerMode(line), ProgressPrinter::Work::Write, line.verify, job.productName);
    // The disks there now are left alone, even while the build downloads.
    CardWatcher watcher(*job.monitor, *job.plan, line.verify, line.models, printer);
    announce(line, job, {});

    int signal = 0;
    if (job.plan->downloads()) {
        QString message;
        if (!download(*job.plan, printer, &signal, &message))
            return commands::refuse(line, signal != 0 ? console::statusFor(signal) : commands::Failure, message);
        job.imageSize = job.plan->imageSize();
    }
    if (signal == 0) {
        const QString waiting = QStringLiteral("Waiting for disks whose model matches %1; Ctrl-C ends.")
                                        .arg(line.models.join(QStringLiteral(" or ")));
        printer.note(waiting, {{"event", "watching"}, {"models", QJsonArray::fromStringList(line.models)}});
        WorkLoop loop(printer, [&watcher] { watcher.stop(); });
        QObject::connect(&watcher, &CardWatcher::finished, &watcher, [&loop] { loop.quit(); });
        watcher.start(job.imageSize);
        signal = loop.exec();
    }
    const int status = printer.exitStatus(signal);
    printer.summary(status);
    return status;
}

} // namespace

namespace commands {

int refuse(const CommandLine &line, int status, const QString &message)
{
    console::err(message + QLatin1Char('\n'));
    if (line.json)
        console::outJson({{"event", "error"}, {"message", message}, {"exitStatus", status}});
    return status;
}

int disks(const CommandLine &line)
{
    const std::unique_ptr<DiskMonitor> monitor = createDiskMonitor();
    if (!hasListed(*monitor))
        return refuse(line, Failure, listError(*monitor));
    const QList<Disk> disks = monitor->disks();
    for (const Disk &disk : disks) {
        if (line.json) {
            console::outJson({{"event", "disk"}, {"id", disk.id}, {"device", disk.device}, {"model", disk.model},
                              {"size", disk.size}});
        } else {
            console::out(QStringLiteral("%1\t%2\t%3\t%4\n").arg(disk.id, disk.device, disk.model, formatDataSize(disk.size)));
        }
    }
    if (line.json)
        console::outJson({{"event", "summary"}, {"disks", disks.size()}, {"exitStatus", Success}});
    else if (disks.isEmpty())
        console::err(QStringLiteral("No disk that can be written was found.\n"));
    return Success;
}

int catalog(const CommandLine &line)
{
    const QUrl url = CatalogLoader::locationFor(line.manifest);
    QString error;
    const std::optional<Catalog> catalog = loadCatalog(url, &error);
    if (!catalog)
        return refuse(line, Failure, error);
    int images = 0;
    int refused = 0;
    for (const CatalogProduct &product : catalog->products()) {
        if (!line.json)
            console::out(QStringLiteral("Product %1: %2\n").arg(product.id, product.name));
        for (const CatalogDevice &device : catalog->devicesFor(product.id)) {
            if (!line.json)
                console::out(QStringLiteral("  Device %1: %2\n").arg(device.id, device.name));
            for (const CatalogImage &image : catalog->imagesFor(product.id, device.id)) {
                // What write would refuse of the entry, before anything is downloaded.
                const QString refusal = WritePlan::forBuild(*catalog, url, product.id, device.id, image.id)->refusal();
                ++images;
                refused += refusal.isEmpty() ? 0 : 1;
                if (line.json) {
                    console::outJson({{"event", "image"}, {"product", product.id}, {"productName", product.name},
                                      {"device", device.id}, {"deviceName", device.name}, {"image", image.id},
                                      {"name", image.name}, {"version", image.version}, {"size", image.size},
                                      {"extractSize", image.extractSize},
                                      {"refused", refusal.isEmpty() ? QJsonValue() : QJsonValue(refusal)}});
                    continue;
                }
                QString text = QStringLiteral("    Image %1: %2, version %3").arg(image.id, image.name, image.version);
                if (image.size > 0)
                    text += QStringLiteral(", %1 download").arg(formatDataSize(image.size));
                if (image.extractSize > 0)
                    text += QStringLiteral(", %1 on the card").arg(formatDataSize(image.extractSize));
                if (!refusal.isEmpty())
                    text += QStringLiteral("; refused: %1").arg(refusal);
                console::out(text + QLatin1Char('\n'));
            }
        }
    }
    const QStringList ignored = catalog->validationErrors();
    if (!ignored.isEmpty() && !line.json)
        console::out(QStringLiteral("Entries the catalog's checks refused:\n"));
    for (const QString &message : ignored) {
        if (line.json)
            console::outJson({{"event", "ignored"}, {"message", message}});
        else
            console::out(QStringLiteral("  %1\n").arg(message));
    }
    if (line.json) {
        console::outJson({{"event", "summary"}, {"images", images}, {"refused", refused}, {"ignored", ignored.size()},
                          {"exitStatus", Success}});
    }
    return Success;
}

int write(const CommandLine &line)
{
    if (!line.yes && !console::inputIsTerminal())
        return refuse(line, UsageError,
                      QStringLiteral("Writing erases the cards: give --yes when standard input is not a terminal."));

    // Before anything is downloaded: the disks the user names are refused to
    // a program without the rights to open them.
    if (!line.disks.isEmpty() && !mayOpenDisks())
        return refuse(line, Failure, WriteMessages::needsAdministrator());

    Job job;
    if (const QString refusal = planFor(line, job); !refusal.isEmpty())
        return refuse(line, Failure, refusal);
    QStringList refusals;
    for (const QString &target : line.targetFiles)
        refusals << job.plan->targetRefusal(target);
    refusals.removeAll(QString());
    if (!refusals.isEmpty())
        return refuse(line, Failure, refusals.join(QLatin1Char('\n')));

    if (const QString refusal = setupRefusal(line, job); !refusal.isEmpty())
        return refuse(line, Failure, refusal);

    // Each card is checked against the image now, not after minutes of downloading.
    job.imageSize = job.plan->imageSize();
    if (line.watch)
        return watch(line, job);
    refusals = findDisks(line, job);
    for (const Disk &disk : job.disks)
        refusals << WritePlan::diskRefusal(disk, job.imageSize);
    for (const QString &target : line.targetFiles)
        refusals << WritePlan::targetFileRefusal(target, job.imageSize);
    refusals.removeAll(QString());
    if (!refusals.isEmpty())
        return refuse(line, Failure, refusals.join(QLatin1Char('\n')));

    CardBatch batch(*job.plan, line.verify);
    QStringList names;
    for (const Disk &disk : job.disks) {
        std::unique_ptr<BlockDevice> device = job.monitor->createDevice(disk);
        if (!device)
            return refuse(line, Failure, QStringLiteral("The disk %1 cannot be written.").arg(disk.device));
        batch.addCard(disk.device, std::move(device));
        names << disk.device;
    }
    // Only to resolve the names: the devices stand on their own, and a
    // monitor would otherwise go on watching the disks all through the write.
    job.monitor.reset();
    for (const QString &path : line.targetFiles) {
        const FileDiskMonitor files(path);
        batch.addCard(path, files.createDevice(files.disks().first()));
        names << path;
    }
    if (!line.yes && !confirmed(names))
        return refuse(line, Failure, QStringLiteral("The names do not match: nothing was written."));

    // The write, until every card has ended; Ctrl-C cancels them all.
    ProgressPrinter printer(printerMode(line), ProgressPrinter::Work::Write, line.verify, job.productName);
    announce(line, job, names);
    for (const QString &name : std::as_const(names))
        printer.addCard(name);
    QObject::connect(&batch, &CardBatch::downloadProgress, &batch,
                     [&printer](qint64 done, qint64 total) { printer.download(done, total); });
    QObject::connect(&batch, &CardBatch::cardProgress, &batch,
                     [&printer](int card, WriteJob::Phase phase, qint64 done, qint64 total) {
                         printer.progress(card, phase, done, total);
                     });
    QObject::connect(&batch, &CardBatch::cardFinished, &batch, [&printer, &batch](int card) {
        printer.finished(card, batch.error(card), batch.message(card), batch.writtenSha256(card));
    });
    WorkLoop loop(printer, [&batch] { batch.cancel(); });
    QObject::connect(&batch, &CardBatch::finished, &batch, [&loop] { loop.quit(); });
    batch.start();
    const int status = printer.exitStatus(loop.exec());
    printer.summary(status);
    return status;
}

int verify(const CommandLine &line)
{
    Job job;
    if (const QString refusal = planFor(line, job); !refusal.isEmpty())
        return refuse(line, Failure, refusal);
    QStringList problems = findDisks(line, job);
    for (const QString &path : line.targetFiles) {
        if (!QFileInfo::exists(path))
            problems << QStringLiteral("Cannot check %1: there is no such file.").arg(path);
    }
    if (!problems.isEmpty())
        return refuse(line, Failure, problems.join(QLatin1Char('\n')));

    ProgressPrinter printer(printerMode(line), ProgressPrinter::Work::Verify, false, job.productName);
    int signal = 0;
    if (job.plan->downloads() && !QFileInfo(ImageCache(job.plan->cacheDir()).pathFor(job.plan->remoteImage().sha256)).isFile()) {
        QString message;
        if (!download(*job.plan, printer, &signal, &message))
            return refuse(line, signal != 0 ? console::statusFor(signal) : Failure, message);
    }

    // Each card is read by a check of its own, all at once; a file target is
    // opened as it is, never emptied.
    struct Check
    {
        QString name;
        std::unique_ptr<CardCheck> check;
        std::unique_ptr<QThread> thread;
    };
    std::vector<Check> checks;
    const auto add = [&](const QString &name, std::unique_ptr<BlockDevice> device) {
        checks.push_back({name, std::make_unique<CardCheck>(job.plan->createSource(), std::move(device),
                                                            job.plan->bootFiles()),
                          nullptr});
    };
    for (const Disk &disk : job.disks) {
        std::unique_ptr<BlockDevice> device = job.monitor->createDevice(disk);
        if (!device)
            return refuse(line, Failure, QStringLiteral("The disk %1 cannot be read.").arg(disk.device));
        add(disk.device, std::move(device));
    }
    job.monitor.reset();
    for (const QString &path : line.targetFiles)
        add(path, std::make_unique<FileBlockDevice>(path, -1, FileBlockDevice::OpenMode::ExistingOnly));

    int running = int(checks.size());
    WorkLoop loop(printer, [&checks] {
        for (Check &check : checks)
            check.check->cancel();
    });
    for (Check &entry : checks) {
        const int index = printer.addCard(entry.name);
        CardCheck *check = entry.check.get();
        QObject::connect(check, &CardCheck::progress, check,
                         [&printer, index](WriteJob::Phase phase, qint64 done, qint64 total) {
                             printer.progress(index, phase, done, total);
                         });
        entry.thread.reset(QThread::create([check] { check->run(); }));
        QObject::connect(entry.thread.get(), &QThread::finished, check, [&, index, check] {
            printer.finished(index, check->error(), checkMessage(*job.plan, check->error(), check->errorDetail()),
                             check->cardSha256());
            if (--running == 0)
                loop.quit();
        });
    }
    for (Check &entry : checks)
        entry.thread->start();
    const int status = printer.exitStatus(loop.exec());
    printer.summary(status);
    return status;
}

int cacheList(const CommandLine &line)
{
    // Names are a help, not a need: the cache is listed without the catalog.
    QString error;
    const std::optional<Catalog> catalog = loadCatalog(CatalogLoader::locationFor(line.manifest), &error);
    if (!catalog)
        console::err(QStringLiteral("The builds are not named: %1\n").arg(error));
    const QMap<QString, QString> names = catalog ? buildNames(*catalog) : QMap<QString, QString>();

    qint64 bytes = 0;
    const QList<QFileInfo> files = cacheFiles();
    for (const QFileInfo &file : files) {
        const QString digest = file.baseName().toLower();
        const bool complete = file.suffix().compare(QLatin1String("zip"), Qt::CaseInsensitive) == 0;
        bytes += file.size();
        if (line.json) {
            console::outJson({{"event", "entry"}, {"file", file.fileName()}, {"sha256", digest},
                              {"name", names.value(digest)}, {"size", file.size()}, {"complete", complete},
                              {"modified", file.lastModified().toUTC().toString(Qt::ISODate)}});
            continue;
        }
        console::out(QStringLiteral("%1\t%2\t%3\t%4\t%5\n")
                             .arg(digest, names.value(digest, QStringLiteral("-")), formatDataSize(file.size()),
                                  complete ? QStringLiteral("complete") : QStringLiteral("partial"),
                                  QLocale().toString(file.lastModified(), QLocale::ShortFormat)));
    }
    if (line.json)
        console::outJson({{"event", "summary"}, {"entries", files.size()}, {"bytes", bytes}, {"exitStatus", Success}});
    else if (files.isEmpty())
        console::err(QStringLiteral("The cache %1 holds no downloads.\n").arg(ImageCache::defaultDir()));
    return Success;
}

int cacheClean(const CommandLine &line)
{
    // Without --partial or --all, what the catalog no longer lists goes, as
    // the window prunes it: that needs the catalog.
    QStringList kept;
    if (!line.partial && !line.all) {
        QString error;
        const std::optional<Catalog> catalog = loadCatalog(CatalogLoader::locationFor(line.manifest), &error);
        if (!catalog)
            return refuse(line, Failure, QStringLiteral("%1\nNothing was removed.").arg(error));
        kept = buildNames(*catalog).keys();
    }
    int removed = 0;
    qint64 freed = 0;
    QStringList failures;
    for (const QFileInfo &file : cacheFiles()) {
        const bool partial = file.suffix().compare(QLatin1String("part"), Qt::CaseInsensitive) == 0;
        if ((line.partial && !partial) || kept.contains(file.baseName().toLower()))
            continue;
        // A download running now, in this program or the window, holds its
        // files: they stay.
        QLockFile lock(file.absolutePath() + QLatin1Char('/') + file.fileName().section(QLatin1Char('.'), 0, 0)
                       + QStringLiteral(".lock"));
        ImageCache::prepareLock(lock);
        if (!lock.tryLock(0)) {
            const QString kept = QStringLiteral("Kept %1: a download of it is running.").arg(file.fileName());
            if (line.json)
                console::outJson({{"event", "kept"}, {"file", file.fileName()}, {"message", kept}});
            else
                console::err(kept + QLatin1Char('\n'));
            continue;
        }
        QFile entry(file.absoluteFilePath());
        const qint64 size = file.size();
        if (!entry.remove()) {
            failures << QStringLiteral("Cannot remove %1: %2").arg(file.absoluteFilePath(), entry.errorString());
            continue;
        }
        ++removed;
        freed += size;
        if (line.json)
            console::outJson({{"event", "removed"}, {"file", file.fileName()}, {"size", size}});
        else
            console::err(QStringLiteral("Removed %1 (%2)\n").arg(file.fileName(), formatDataSize(size)));
    }
    const int status = failures.isEmpty() ? Success : Failure;
    if (!failures.isEmpty())
        console::err(failures.join(QLatin1Char('\n')) + QLatin1Char('\n'));
    if (line.json) {
        console::outJson({{"event", "summary"}, {"removed", removed}, {"bytes", freed},
                          {"failures", QJsonArray::fromStringList(failures)}, {"exitStatus", status}});
    } else {
        console::err(QStringLiteral("%1 files removed, %2 freed.\n").arg(removed).arg(formatDataSize(freed)));
    }
    return status;
}

} // namespace commands
