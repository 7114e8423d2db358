#include "cli/commands.h"

#include "cli/commandline.h"
#include "cli/confirmation.h"
#include "cli/console.h"
#include "cli/progressprinter.h"
#include "core/appinfo.h"
#include "core/cardbatch.h"
#include "core/catalogloader.h"
#include "core/datasize.h"
#include "core/writeplan.h"
#include "disks/diskmonitor.h"
#include "disks/filediskmonitor.h"

#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>

#include <optional>

namespace {

// A monitor that finds its disks in the background may start with none.
constexpr int FirstListWait = 2000;
// How often a pending Ctrl-C is looked for.
constexpr int InterruptPoll = 100;

QList<Disk> currentDisks(DiskMonitor &monitor)
{
    if (monitor.disks().isEmpty()) {
        QEventLoop loop;
        QObject::connect(&monitor, &DiskMonitor::disksChanged, &loop, &QEventLoop::quit);
        QTimer::singleShot(FirstListWait, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return monitor.disks();
}

// The catalog, or nothing after the user has been told why it cannot be used.
std::optional<Catalog> loadCatalog(const QUrl &url)
{
    CatalogLoader loader;
    std::optional<Catalog> catalog;
    QString error;
    bool ended = false;
    QEventLoop loop;
    QObject::connect(&loader, &CatalogLoader::loaded, &loop, [&](const Catalog &loaded) {
        catalog = loaded;
        ended = true;
        loop.quit();
    });
    QObject::connect(&loader, &CatalogLoader::failed, &loop, [&](const QString &message) {
        error = message;
        ended = true;
        loop.quit();
    });
    loader.load(url);
    if (!ended)
        loop.exec();
    if (!catalog) {
        console::err(error + QLatin1Char('\n'));
        return std::nullopt;
    }
    if (catalog->requiresNewerTessaro()) {
        console::err(QStringLiteral("This catalog needs Tessaro %1 or newer; this is Tessaro %2.\n")
                             .arg(catalog->minTessaroVersion().toString(), AppInfo::Version));
        return std::nullopt;
    }
    return catalog;
}

// Writing erases the cards: on a terminal the user types their names back.
bool confirmed(const QStringList &names)
{
    console::err(QStringLiteral("Everything on these cards will be erased:\n  %1\n"
                                "Type their device names, separated by blanks, to go on: ")
                         .arg(names.join(QStringLiteral("\n  "))));
    return namesConfirmed(console::readLine(), names);
}

} // namespace

namespace commands {

int disks(const CommandLine &line)
{
    const std::unique_ptr<DiskMonitor> monitor = createDiskMonitor();
    const QList<Disk> disks = currentDisks(*monitor);
    for (const Disk &disk : disks) {
        if (line.json)
            console::outJson({{"id", disk.id}, {"device", disk.device}, {"model", disk.model}, {"size", disk.size}});
        else
            console::out(QStringLiteral("%1\t%2\t%3\t%4\n").arg(disk.id, disk.device, disk.model, formatDataSize(disk.size)));
    }
    if (disks.isEmpty() && !line.json)
        console::err(QStringLiteral("No disk that can be written was found.\n"));
    return Success;
}

int catalog(const CommandLine &line)
{
    const std::optional<Catalog> catalog = loadCatalog(CatalogLoader::locationFor(line.manifest));
    if (!catalog)
        return Failure;
    for (const CatalogProduct &product : catalog->products()) {
        if (!line.json)
            console::out(QStringLiteral("Product %1: %2\n").arg(product.id, product.name));
        for (const CatalogDevice &device : catalog->devicesFor(product.id)) {
            if (!line.json)
                console::out(QStringLiteral("  Device %1: %2\n").arg(device.id, device.name));
            for (const CatalogImage &image : catalog->imagesFor(product.id, device.id)) {
                if (line.json) {
                    console::outJson({{"product", product.id}, {"productName", product.name}, {"device", device.id},
                                      {"deviceName", device.name}, {"image", image.id}, {"name", image.name},
                                      {"version", image.version}, {"size", image.size},
                                      {"extractSize", image.extractSize}});
                    continue;
                }
                QString text = QStringLiteral("    Image %1: %2, version %3").arg(image.id, image.name, image.version);
                if (image.size > 0)
                    text += QStringLiteral(", %1 download").arg(formatDataSize(image.size));
                if (image.extractSize > 0)
                    text += QStringLiteral(", %1 on the card").arg(formatDataSize(image.extractSize));
                console::out(text + QLatin1Char('\n'));
            }
        }
    }
    const QStringList ignored = catalog->validationErrors();
    if (!ignored.isEmpty() && !line.json)
        console::out(QStringLiteral("Entries the catalog's checks refused:\n"));
    for (const QString &message : ignored) {
        if (line.json)
            console::outJson({{"ignored", message}});
        else
            console::out(QStringLiteral("  %1\n").arg(message));
    }
    return Success;
}

int write(const CommandLine &line)
{
    if (!line.yes && !console::inputIsTerminal()) {
        console::err(QStringLiteral("Writing erases the cards: give --yes when standard input is not a terminal.\n"));
        return UsageError;
    }

    // The plan: a catalog build, or a local file (set up as a product when one is named).
    const QUrl catalogUrl = CatalogLoader::locationFor(line.manifest);
    std::optional<Catalog> catalog;
    if (line.writesBuild() || !line.productId.isEmpty()) {
        catalog = loadCatalog(catalogUrl);
        if (!catalog)
            return Failure;
        if (!catalog->product(line.productId)) {
            console::err(QStringLiteral("The catalog has no product %1.\n").arg(line.productId));
            return Failure;
        }
    }
    std::optional<WritePlan> plan;
    if (line.writesBuild()) {
        plan = WritePlan::forBuild(*catalog, catalogUrl, line.productId, line.deviceId, line.imageId);
        if (!plan) {
            console::err(QStringLiteral("The catalog has no image %1 of product %2 for device %3.\n")
                                 .arg(line.imageId, line.productId, line.deviceId));
            return Failure;
        }
    } else {
        plan = WritePlan::forLocalFile(line.imageFile,
                                       catalog ? catalog->localBootFiles(line.productId) : QMap<QString, QByteArray>());
    }
    QStringList refusals{plan->refusal()};
    for (const QString &target : line.targetFiles)
        refusals << plan->targetRefusal(target);
    refusals.removeAll(QString());
    if (!refusals.isEmpty()) {
        console::err(refusals.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        return Failure;
    }

    // The cards.
    CardBatch batch(*plan, line.verify);
    QStringList names;
    if (!line.disks.isEmpty()) {
        // Only to resolve the names: the devices stand on their own, and a
        // monitor would otherwise go on watching the disks all through the write.
        const std::unique_ptr<DiskMonitor> monitor = createDiskMonitor();
        const QList<Disk> disks = currentDisks(*monitor);
        for (const QString &id : line.disks) {
            const auto disk = std::find_if(disks.cbegin(), disks.cend(), [&id](const Disk &d) { return d.id == id; });
            std::unique_ptr<BlockDevice> device = disk == disks.cend() ? nullptr : monitor->createDevice(*disk);
            if (!device) {
                console::err(QStringLiteral("No disk %1 can be written; 'tessaro-cli disks' lists those that can.\n")
                                     .arg(id));
                return Failure;
            }
            batch.addCard(disk->device, std::move(device));
            names << disk->device;
        }
    }
    for (const QString &path : line.targetFiles) {
        const FileDiskMonitor files(path);
        batch.addCard(path, files.createDevice(files.disks().first()));
        names << path;
    }

    if (!line.yes && !confirmed(names)) {
        console::err(QStringLiteral("The names do not match: nothing was written.\n"));
        return Failure;
    }

    // The write, until every card has ended; Ctrl-C cancels them all.
    const ProgressPrinter::Mode mode = line.json ? ProgressPrinter::Mode::Json
            : console::errorIsTerminal()          ? ProgressPrinter::Mode::Terminal
                                                  : ProgressPrinter::Mode::Lines;
    const QString productName = catalog && catalog->product(line.productId) ? catalog->product(line.productId)->name
                                                                            : QString();
    ProgressPrinter printer(batch, mode, line.verify, productName);
    if (mode != ProgressPrinter::Mode::Json)
        console::err(QStringLiteral("Writing %1\n").arg(plan->name()));

    console::catchInterrupts();
    bool interrupted = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &batch, [&] {
        if (interrupted || !console::interrupted())
            return;
        interrupted = true;
        printer.cancelling();
        batch.cancel();
    });
    poll.start(InterruptPoll);
    QEventLoop loop;
    QObject::connect(&batch, &CardBatch::finished, &loop, &QEventLoop::quit);
    batch.start();
    loop.exec();
    poll.stop();

    int status = Success;
    for (int card = 0; card < batch.cardCount(); ++card) {
        if (batch.error(card) == WriteJob::Error::Cancelled)
            status = Cancelled;
        else if (batch.error(card) != WriteJob::Error::None && status == Success)
            status = Failure;
    }
    printer.summary(status);
    return status;
}

} // namespace commands
