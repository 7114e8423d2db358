// Renders the application window offscreen, page by page, to PNG files so that
// a reviewer can look at the layout without a display:
//     tessaro_screenshots [--lang CODE] OUTDIR
// Every picture comes from a real Backend driven through its public calls,
// with a catalog written to a temporary folder. The writing and result pages
// come from real writes of zipped FAT32 card images served by nginx from
// 127.0.0.1; only the disk list (which needs hardware) is scripted, and the
// card is a file written at about the pace of a real one. A catalog with
// twelve products, twelve devices and twenty builds, and a card reader with
// eight slots, show the lists at the window's minimum size, at their top and
// scrolled to their end. Two pictures show the keyboard focus: on a build
// beside the chosen one, and on Cancel in the erase question. Others show a
// build refused for its catalog entry, the question asked when the window is
// closed during a write, and a failed download with Retry. The Windows build,
// which has neither nginx nor mkfs.fat, takes its one result page from a
// write of the local image file into a file.

#include "app/translations.h"
#include "appwindow.h"
#ifndef Q_OS_WIN
#include "cardbuild.h"
#endif
#include "catalogdocument.h"
#include "core/appinfo.h"
#include "disks/fileblockdevice.h"
#ifndef Q_OS_WIN
#include "nginxserver.h"
#endif
#include "scripteddiskmonitor.h"
#include "testfiles.h"

#include <QColor>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QLocale>
#include <QNetworkProxy>
#include <QPainter>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <QtQml/QQmlExtensionPlugin>

#include <algorithm>
#include <functional>

Q_IMPORT_QML_PLUGIN(TessaroPlugin)

namespace {

const QByteArray Digest = QByteArray(64, 'a');

QByteArray showcaseCatalog(const QString &minVersion)
{
    QByteArray json = R"({
  "schemaVersion": 1,)";
    if (!minVersion.isEmpty())
        json += "\n  \"minTessaroVersion\": \"" + minVersion.toUtf8() + "\",";
    json += R"(
  "devices": [
    {"id": "pocket", "name": "Pocket 3"},
    {"id": "desk", "name": "Desk Station"},
    {"id": "wall", "name": "Wall Panel 10\""}
  ],
  "products": [
    {"id": "alpha", "name": "Alpha", "icon": "icons/alpha.png",
     "bootFiles": {"PRODUCT.TXT": "alpha\n"},
     "images": [
       {"id": "stable", "name": "Stable", "description": "Recommended for most users",
        "version": "2.1", "url": "alpha-2.1.zip", "size": 734003200, "sha256": "DIGEST",
        "extractSize": 3900000000, "devices": ["pocket", "desk", "wall"]},
       {"id": "nightly", "name": "Nightly", "version": "2.2-dev.417",
        "url": "alpha-nightly.zip", "size": 741000000, "sha256": "DIGEST",
        "devices": ["pocket", "desk"]}
     ]},
    {"id": "beta", "name": "Beta Kiosk", "icon": "icons/beta.png",
     "images": [
       {"id": "stable", "name": "Stable", "version": "1.4", "url": "beta-1.4.zip",
        "size": 512000000, "sha256": "DIGEST", "extractSize": 2000000000, "devices": ["wall"]}
     ]},
    {"id": "gamma", "name": "Gamma", "icon": "icons/gamma.png",
     "images": [
       {"id": "lts", "name": "LTS", "version": "5.0", "url": "gamma-5.0.zip",
        "size": 402000000, "sha256": "DIGEST", "devices": ["desk"]}
     ]}
  ]
}
)";
    return json.replace("DIGEST", Digest);
}

// The showcase catalog with a Nightly build whose digest is no SHA-256
// digest: listed, disabled, with the reason.
QByteArray refusedBuildCatalog()
{
    QByteArray json = showcaseCatalog(QString());
    const qsizetype digest = json.indexOf(Digest, json.indexOf("alpha-nightly.zip"));
    return json.replace(digest, Digest.size(), "n/a");
}

// Lists longer than the window at its minimum size: twelve products, and for
// Alpha twelve devices and twenty builds.
QByteArray showcaseCrowdedCatalog()
{
    CatalogDocument document;
    const QStringList deviceIds = document.numberedDevices(QStringLiteral("model-"), QStringLiteral("Pocket "), 12);
    QJsonArray builds;
    for (int i = 20; i >= 1; --i) {
        QJsonObject build = CatalogDocument::build(
                QStringLiteral("build-%1").arg(i), i == 20 ? QStringLiteral("Stable") : QStringLiteral("Archive"),
                QStringLiteral("2.%1").arg(i), QStringLiteral("alpha-2.%1.zip").arg(i), 700000000 + i * 1000000,
                QString::fromLatin1(Digest), deviceIds);
        if (i % 2 == 0)
            build.insert(QStringLiteral("extractSize"), 3900000000LL);
        builds.append(build);
    }
    static const char *const Names[] = {"Alpha", "Beta Kiosk", "Gamma", "Delta", "Epsilon", "Zeta",
                                        "Eta", "Theta", "Iota", "Kappa", "Lambda", "Mu"};
    static const char *const Icons[] = {"alpha", "beta", "gamma"};
    for (int i = 0; i < 12; ++i) {
        document.product(i == 0 ? QStringLiteral("alpha") : QStringLiteral("product-%1").arg(i), QLatin1String(Names[i]),
                         builds, {{QStringLiteral("icon"), QStringLiteral("icons/%1.png").arg(QLatin1String(Icons[i % 3]))}});
    }
    return document.toJson();
}

// A product picture: a coloured tile with the product's initial.
bool writeIcon(const QString &path, const QColor &colour, QChar initial)
{
    QImage image(144, 144, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(colour);
    painter.setPen(Qt::NoPen);
    painter.drawRoundedRect(QRectF(8, 8, 128, 128), 28, 28);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setPixelSize(80);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(image.rect(), Qt::AlignCenter, QString(initial));
    painter.end();
    QDir().mkpath(QFileInfo(path).path());
    return image.save(path, "PNG");
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

#ifndef Q_OS_WIN
// A card that takes its time: a file written and read back at about the pace
// of a real SD card, so that every phase of a write stays on screen long
// enough to be pictured with its speed and time left.
class PacedDevice : public BlockDevice
{
public:
    static constexpr qint64 BytesPerSecond = 16 * 1000 * 1000;

    explicit PacedDevice(std::unique_ptr<BlockDevice> device)
        : m_device(std::move(device))
    {
    }

    bool open() override { return m_device->open(); }
    void close() override { m_device->close(); }
    qint64 size() const override { return m_device->size(); }
    int sectorSize() const override { return m_device->sectorSize(); }
    bool seek(qint64 offset) override { return m_device->seek(offset); }
    bool write(const char *data, qint64 length) override
    {
        pace(length);
        return m_device->write(data, length);
    }
    qint64 read(char *data, qint64 length) override
    {
        pace(length);
        return m_device->read(data, length);
    }
    bool flush() override { return m_device->flush(); }
    bool dropCaches() override { return m_device->dropCaches(); }
    QString errorString() const override { return m_device->errorString(); }
    Failure failure() const override { return m_device->failure(); }

private:
    static void pace(qint64 bytes) { QThread::usleep(quint64(bytes * 1000000 / BytesPerSecond)); }

    std::unique_ptr<BlockDevice> m_device;
};

// The catalog of the pictured writes: Alpha's "Stable" build, large enough
// for a download that shows its speed, a "Previous" build whose archive is
// not on the server, and a "Nightly" build that names no
// image size, so that a card too small for it can be chosen and fails.
QByteArray writeCatalogDocument(const QJsonObject &stable, const QJsonObject &nightly)
{
    QJsonObject stableEntry = stable;
    stableEntry.insert(QStringLiteral("id"), QStringLiteral("stable"));
    stableEntry.insert(QStringLiteral("name"), QStringLiteral("Stable"));
    stableEntry.insert(QStringLiteral("version"), QStringLiteral("2.1"));
    stableEntry.insert(QStringLiteral("devices"), QJsonArray{QStringLiteral("pocket")});
    QJsonObject nightlyEntry = nightly;
    nightlyEntry.remove(QStringLiteral("extractSize"));
    nightlyEntry.insert(QStringLiteral("id"), QStringLiteral("nightly"));
    nightlyEntry.insert(QStringLiteral("name"), QStringLiteral("Nightly"));
    nightlyEntry.insert(QStringLiteral("version"), QStringLiteral("2.2-dev.417"));
    nightlyEntry.insert(QStringLiteral("devices"), QJsonArray{QStringLiteral("pocket")});
    QJsonObject previousEntry = stable;
    previousEntry.insert(QStringLiteral("id"), QStringLiteral("previous"));
    previousEntry.insert(QStringLiteral("name"), QStringLiteral("Previous"));
    previousEntry.insert(QStringLiteral("version"), QStringLiteral("2.0"));
    previousEntry.insert(QStringLiteral("url"), QStringLiteral("alpha-2.0.zip"));
    previousEntry.insert(QStringLiteral("sha256"), QString::fromLatin1(QByteArray(64, 'b')));
    previousEntry.insert(QStringLiteral("devices"), QJsonArray{QStringLiteral("pocket")});
    const QJsonObject catalog{
            {QStringLiteral("schemaVersion"), 1},
            {QStringLiteral("devices"),
             QJsonArray{QJsonObject{{QStringLiteral("id"), QStringLiteral("pocket")},
                                    {QStringLiteral("name"), QStringLiteral("Pocket 3")}}}},
            {QStringLiteral("products"),
             QJsonArray{QJsonObject{
                     {QStringLiteral("id"), QStringLiteral("alpha")},
                     {QStringLiteral("name"), QStringLiteral("Alpha")},
                     {QStringLiteral("bootFiles"),
                      QJsonObject{{QStringLiteral("PRODUCT.TXT"), QStringLiteral("alpha\n")},
                                  {QStringLiteral("CONFIG.TXT"), QStringLiteral("mode=standard\n")}}},
                     {QStringLiteral("images"), QJsonArray{stableEntry, previousEntry, nightlyEntry}},
             }}},
    };
    return QJsonDocument(catalog).toJson();
}
#endif

// Whether a visible item of the window shows text (the catalog's names must
// be on the page, not only somewhere in the model).
bool showsText(const QQuickItem *item, const QString &text)
{
    if (!item->isVisible())
        return false;
    if (item->property("text").toString().contains(text))
        return true;
    const QList<QQuickItem *> children = item->childItems();
    return std::any_of(children.cbegin(), children.cend(),
                       [&text](const QQuickItem *child) { return showsText(child, text); });
}

struct Shot
{
    QString name;
    QString manifest;
    std::function<void(Backend &)> setup;
    bool confirmation = false;
    bool noDisks = false;
    // At the window's minimum size, with the disks of a card reader with
    // eight slots; and, when scroll names a list, scrolled to its end.
    bool minimumSize = false;
    QString scroll = QString();
    // Keys pressed once the page shows ("Tab Return"), to picture the
    // keyboard focus.
    QString keys = QString();
    // Texts the page must show.
    QStringList shows = QStringList();
};

} // namespace

int main(int argc, char *argv[])
{
    // Nothing of the user's own download cache may be touched: a catalog that
    // loads prunes the cache of every build it does not list.
    QTemporaryDir dir;
    if (!dir.isValid()) {
        QTextStream(stderr) << "Cannot create a temporary folder\n";
        return 1;
    }
    qputenv("XDG_CACHE_HOME", QFile::encodeName(dir.filePath(QStringLiteral("cache"))));
#ifdef Q_OS_WIN
    // Windows has no such variable: the cache moves to a folder of its own.
    QStandardPaths::setTestModeEnabled(true);
#endif

    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tessaro"));
    QCoreApplication::setApplicationVersion(AppInfo::Version);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Renders the Tessaro window, page by page, to PNG files."));
    parser.addHelpOption();
    const QCommandLineOption langOption(
            QStringLiteral("lang"),
            QStringLiteral("Render as on a system in this language (for example it); default: this system's."),
            QStringLiteral("code"));
    parser.addOption(langOption);
    parser.addPositionalArgument(QStringLiteral("outdir"), QStringLiteral("Folder that receives the PNG files."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QDir out(parser.positionalArguments().constFirst());
    if (!QDir().mkpath(out.path())) {
        QTextStream(stderr) << "Cannot create " << out.path() << "\n";
        return 1;
    }

    // The texts and number formats of the language, chosen as the application
    // chooses them for the system's.
    if (parser.isSet(langOption))
        QLocale::setDefault(QLocale(parser.value(langOption)));
    Translations translations;
    translations.install(QLocale());

    const QString catalog = dir.filePath(QStringLiteral("catalog/images.json"));
    const QString outdated = dir.filePath(QStringLiteral("catalog/outdated.json"));
    const QString localImage = dir.filePath(QStringLiteral("downloads/tessaro-alpha-2.1-custom.img"));
    const QString large = dir.filePath(QStringLiteral("catalog/large.json"));
    const QString refused = dir.filePath(QStringLiteral("catalog/refused.json"));
    const QString refusedBuild = dir.filePath(QStringLiteral("catalog/refused-build.json"));
    if (!writeFile(catalog, showcaseCatalog(QString()))
        || !writeFile(large, showcaseCrowdedCatalog())
        // Valid, but its one product names no image and is refused.
        || !writeFile(refused, R"({"schemaVersion": 1, "devices": [], "products": [{"id": "alpha", "name": "Alpha"}]})")
        || !writeFile(outdated, showcaseCatalog(QStringLiteral("0.2.0")))
        || !writeFile(refusedBuild, refusedBuildCatalog())
        || !writeFile(localImage, QByteArray(1 << 20, '\0'))
        || !writeIcon(dir.filePath(QStringLiteral("catalog/icons/alpha.png")), QColor(0x2e7d32), QLatin1Char('A'))
        || !writeIcon(dir.filePath(QStringLiteral("catalog/icons/beta.png")), QColor(0x1565c0), QLatin1Char('B'))
        || !writeIcon(dir.filePath(QStringLiteral("catalog/icons/gamma.png")), QColor(0xc62828), QLatin1Char('G'))) {
        QTextStream(stderr) << "Cannot write the demo files in " << dir.path() << "\n";
        return 1;
    }

    // A catalog server that accepts the connection and never answers keeps the
    // catalog loading for as long as the picture takes.
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    QTcpServer silentServer;
    if (!silentServer.listen(QHostAddress::LocalHost)) {
        QTextStream(stderr) << "Cannot listen on 127.0.0.1: " << silentServer.errorString() << "\n";
        return 1;
    }
    const QString silentUrl = QStringLiteral("http://127.0.0.1:%1/images/images.json").arg(silentServer.serverPort());

    const QList<Disk> disks{
            {QStringLiteral("usb-1"), QStringLiteral("/dev/sdb"), QStringLiteral("Generic SD Card Reader"),
             31914983424},
            {QStringLiteral("usb-2"), QStringLiteral("/dev/sdc"), QString(), 2000000000},
    };
    // Steps from the product page to the image page of a build, and on to
    // the disk page with a disk chosen; both catalogs have the product alpha.
    using Steps = std::function<void(Backend &)>;
    const auto toImageOf = [](const QString &device, const QString &image) -> Steps {
        return [device, image](Backend &b) {
            b.selectProduct(QStringLiteral("alpha"));
            b.selectDevice(device);
            b.selectImage(image);
        };
    };
    const auto toDiskOf = [](const Steps &toImage, const QString &disk) -> Steps {
        return [toImage, disk](Backend &b) {
            toImage(b);
            b.chooseDisk();
            b.selectDisk(disk);
        };
    };
    const Steps toImage = toImageOf(QStringLiteral("pocket"), QStringLiteral("stable"));
    const Steps toDisk = toDiskOf(toImage, QStringLiteral("usb-1"));

    QList<Shot> shots{
            {QStringLiteral("01-product-loading"), silentUrl, {}},
            {QStringLiteral("02-product-unavailable"), dir.filePath(QStringLiteral("missing/images.json")), {}},
            {QStringLiteral("03-product-update-required"), outdated, {}},
            {QStringLiteral("04-product"), catalog,
             [](Backend &b) {
                 b.selectProduct(QStringLiteral("alpha"));
                 b.back();
             }},
            {QStringLiteral("05-device"), catalog,
             [](Backend &b) {
                 b.selectProduct(QStringLiteral("alpha"));
                 b.selectDevice(QStringLiteral("pocket"));
                 b.back();
             }},
            {QStringLiteral("06-image"), catalog, toImage},
            {QStringLiteral("07-image-local-file"), catalog,
             [localImage](Backend &b) {
                 b.useLocalFileOnly();
                 b.setImageUrl(QUrl::fromLocalFile(localImage));
             }},
            {QStringLiteral("08-disk"), catalog, toDisk},
            {QStringLiteral("09-disk-none"), catalog,
             [toImage](Backend &b) {
                 toImage(b);
                 b.chooseDisk();
             },
             false, true},
            {QStringLiteral("10-confirmation"), catalog, toDisk, true},
            {QStringLiteral("19-product-no-products"), refused, {}},
    };
    // The keyboard focus beside the chosen build, and on Cancel beside the
    // highlighted "Erase and write".
    // The catalog's names on the pages that list them.
    for (Shot &shot : shots) {
        if (shot.name == QLatin1String("04-product"))
            shot.shows = QStringList{QStringLiteral("Alpha"), QStringLiteral("Beta Kiosk"), QStringLiteral("Gamma")};
        else if (shot.name == QLatin1String("06-image"))
            shot.shows = QStringList{QStringLiteral("Stable"), QStringLiteral("Nightly")};
    }
    Shot imageFocus{QStringLiteral("40-image-keyboard-focus"), catalog, toImage};
    imageFocus.keys = QStringLiteral("Down");
    Shot confirmationFocus{QStringLiteral("41-confirmation-keyboard-focus"), catalog, toDisk};
    confirmationFocus.keys = QStringLiteral("Tab Shift+Tab Return");
    shots.append({imageFocus, confirmationFocus});
    shots.append({QStringLiteral("42-image-refused-build"), refusedBuild, toImage});
    QList<Shot> smallShots;
    const auto toLargeDevice = [](Backend &b) { b.selectProduct(QStringLiteral("alpha")); };
    const Steps toLargeImage = toImageOf(QStringLiteral("model-1"), QStringLiteral("build-20"));
    const Steps toLargeDisk = toDiskOf(toLargeImage, QStringLiteral("slot-1"));
    const QList<std::pair<QString, Steps>> lists{
            {QStringLiteral("product"), {}},
            {QStringLiteral("device"), toLargeDevice},
            {QStringLiteral("image"), toLargeImage},
            {QStringLiteral("disk"), toLargeDisk},
    };
    int number = 20;
    for (const auto &[page, setup] : lists) {
        for (const bool scrolled : {false, true}) {
            Shot shot{QStringLiteral("%1-%2-minimum-size%3")
                              .arg(number++)
                              .arg(page, scrolled ? QStringLiteral("-scrolled") : QString()),
                      large, setup};
            shot.minimumSize = true;
            if (scrolled)
                shot.scroll = page + QStringLiteral("Scroll");
            smallShots.append(shot);
        }
    }

    // Software rendering gives the same pictures on every machine.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    int failures = 0;
    const auto save = [&out, &failures](QQuickWindow *window, const QString &name) {
        const QString path = out.filePath(name + QStringLiteral(".png"));
        if (window->grabWindow().save(path, "PNG")) {
            QTextStream(stdout) << path << "\n";
        } else {
            QTextStream(stderr) << "Cannot write " << path << "\n";
            ++failures;
        }
    };

    QList<Disk> readerSlots;
    for (int i = 1; i <= 8; ++i)
        readerSlots.append({QStringLiteral("slot-%1").arg(i), QStringLiteral("/dev/sd%1").arg(QLatin1Char(char('a' + i))),
                            QStringLiteral("Multi-Card Reader Slot %1").arg(i), 15931539456});
    for (const Shot &shot : shots + smallShots) {
        Backend backend(shot.manifest, QString());
        backend.diskChoice().setMonitor(std::make_unique<ScriptedDiskMonitor>(
                                                       shot.noDisks ? QList<Disk>()
                                                                    : shot.minimumSize ? readerSlots : disks));
        AppWindow screen(backend);
        if (!screen.window()) {
            QTextStream(stderr) << shot.name << ": the window cannot be created\n";
            return 1;
        }
        if (shot.minimumSize)
            screen.window()->resize(screen.window()->minimumSize());
        if (shot.setup)
            shot.setup(backend);
        if (!shot.scroll.isEmpty()) {
            settle(200);
            QQuickItem *list = screen.find(shot.scroll);
            if (!list) {
                QTextStream(stderr) << shot.name << ": no list " << shot.scroll << "\n";
                return 1;
            }
            list->setProperty("contentY", list->property("contentHeight").toReal() - list->height());
        }
        settle(100);
        for (const QString &key : shot.keys.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const QKeyCombination combination = QKeySequence::fromString(key)[0];
            QTest::keyClick(screen.window(), combination.key(), combination.keyboardModifiers());
            settle(100);
        }
        if (shot.confirmation) {
            QObject *dialog = screen.window()->findChild<QObject *>(QStringLiteral("confirmDialog"));
            if (dialog)
                QMetaObject::invokeMethod(dialog, "open");
        }
        settle(400);
        for (const QString &text : shot.shows) {
            if (!showsText(screen.window()->contentItem(), text)) {
                QTextStream(stderr) << shot.name << ": the page does not show " << text << "\n";
                ++failures;
            }
        }
        save(screen.window(), shot.name);
    }

#ifdef Q_OS_WIN
    // Without nginx and mkfs.fat, the result page comes from a real write of
    // the local image into a file standing in for the card.
    {
        const QString card = dir.filePath(QStringLiteral("cards/card.img"));
        QDir().mkpath(QFileInfo(card).path());
        Backend backend(catalog, card);
        AppWindow screen(backend);
        if (!screen.window()) {
            QTextStream(stderr) << "The window cannot be created\n";
            return 1;
        }
        backend.useLocalFileOnly();
        backend.setImageUrl(QUrl::fromLocalFile(localImage));
        backend.chooseDisk();
        backend.selectDisk(card);
        backend.startWrite();
        if (!QTest::qWaitFor([&backend] { return backend.state() != Backend::State::Writing; }, 60000)
            || backend.state() != Backend::State::Done) {
            QTextStream(stderr) << "15-done: the write ended with \"" << backend.errorMessage() << "\"\n";
            return 1;
        }
        settle(400);
        save(screen.window(), QStringLiteral("15-done"));
    }
    return failures == 0 ? 0 : 1;
#else
    // Real writes: the builds come from nginx at a modest rate, the cards are
    // files. Each picture is taken the moment the Backend reaches the state it
    // shows; the Backend changes only on this thread, so it holds still for
    // the picture while the write goes on.
    const QString www = dir.filePath(QStringLiteral("www"));
    CardBuild stable;
    CardBuild nightly;
    if (!stable.make(www, QStringLiteral("alpha-2.1"), 192 * 1024)
        || !nightly.make(www, QStringLiteral("alpha-2.2-nightly"), 0)) {
        QTextStream(stderr) << "Cannot make the card builds: " << stable.errorString() << nightly.errorString()
                            << "\n";
        return 1;
    }
    if (!writeFile(www + QStringLiteral("/images.json"),
                   writeCatalogDocument(stable.catalogFields(), nightly.catalogFields()))) {
        QTextStream(stderr) << "Cannot write the catalog in " << www << "\n";
        return 1;
    }
    NginxServer nginx(www);
    if (!nginx.start()) {
        QTextStream(stderr) << "Cannot start nginx: " << nginx.errorString() << "\n";
        return 1;
    }

    const Disk smallCard{QStringLiteral("usb-3"), QStringLiteral("/dev/sdd"), QStringLiteral("Old SD Card"), 16000000};
    auto monitor = std::make_unique<ScriptedDiskMonitor>(QList<Disk>{disks.constFirst(), smallCard});
    // The Done page offers to eject a card whose drive can be powered off.
    monitor->setPowerOff(true);
    const QString cards = dir.filePath(QStringLiteral("cards"));
    QDir().mkpath(cards);
    monitor->setDeviceFactory([cards](const Disk &disk) -> std::unique_ptr<BlockDevice> {
        auto file = std::make_unique<FileBlockDevice>(cards + QLatin1Char('/') + disk.id, disk.size,
                                                      FileBlockDevice::OpenMode::CreateOrTruncate);
        return std::make_unique<PacedDevice>(std::move(file));
    });

    // Under the slow prefix the catalog's relative build URLs are slow too.
    Backend backend(nginx.url(QStringLiteral("/slow/images.json")).toString(), QString());
    backend.diskChoice().setMonitor(std::move(monitor));
    AppWindow screen(backend);
    if (!screen.window()) {
        QTextStream(stderr) << "The window cannot be created\n";
        return 1;
    }
    using Phase = WriteJob::Phase;
    const auto inPhase = [&backend](Phase phase, bool withProgress) {
        return [&backend, phase, withProgress] {
            // In the phases that move bytes, the texts that need a speed sample.
            const bool moved = phase == Phase::Finalizing ? backend.progress() > 0 : !backend.timeLeftText().isEmpty();
            return backend.state() == Backend::State::Writing && backend.writeRun().meter().phase() == phase
                    && (!withProgress || moved);
        };
    };
    // Waits for condition, checked at every change the Backend announces, so
    // that even a phase as short as the boot files' is caught; then runs
    // action, if any, and takes the picture before anything else happens.
    const auto shoot = [&](const QString &name, const std::function<bool()> &condition,
                           const std::function<void()> &action = {}) {
        QEventLoop loop;
        bool taken = false;
        const auto check = [&] {
            if (taken || !condition())
                return;
            taken = true;
            if (action)
                action();
            save(screen.window(), name);
            loop.quit();
        };
        QObject::connect(&backend, &Backend::progressChanged, &loop, check);
        QObject::connect(&backend, &Backend::stateChanged, &loop, check);
        check();
        if (!taken) {
            QTimer::singleShot(60000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        if (!taken) {
            QTextStream(stderr) << name << ": the write never got there; it ended with \"" << backend.errorMessage()
                                << "\"\n";
            ++failures;
        }
    };
    // A result page: the state holds once reached, and the page is pictured
    // once it has been laid out for it.
    const auto shootResult = [&](const QString &name, Backend::State state) {
        if (!QTest::qWaitFor([&backend, state] { return backend.state() == state; }, 60000)) {
            QTextStream(stderr) << name << ": the write never got there; it ended with \"" << backend.errorMessage()
                                << "\"\n";
            ++failures;
            return;
        }
        settle(300);
        save(screen.window(), name);
    };
    const auto write = [&backend](const QString &image, const QString &disk) {
        backend.reset();
        backend.selectProduct(QStringLiteral("alpha"));
        backend.selectDevice(QStringLiteral("pocket"));
        backend.selectImage(image);
        backend.chooseDisk();
        backend.selectDisk(disk);
        backend.startWrite();
    };

    if (!QTest::qWaitFor([&backend] { return backend.catalogState() != Backend::CatalogState::Loading; }, 20000)
        || backend.catalogState() != Backend::CatalogState::Ready) {
        QTextStream(stderr) << "The catalog of the writes did not load: " << backend.catalogError() << "\n";
        return 1;
    }

    write(QStringLiteral("stable"), QStringLiteral("usb-1"));
    shoot(QStringLiteral("11-writing-downloading"), inPhase(Phase::Downloading, true));
    // Closing the window meanwhile asks first; the write goes on.
    QObject *closeQuestion = screen.window()->findChild<QObject *>(QStringLiteral("closeQuestion"));
    shoot(QStringLiteral("43-close-question"), inPhase(Phase::Downloading, true), [&screen] {
        screen.window()->close();
        settle(400);
    });
    if (closeQuestion)
        QMetaObject::invokeMethod(closeQuestion, "reject");
    shoot(QStringLiteral("12-writing-writing"), inPhase(Phase::Writing, true));
    shoot(QStringLiteral("13-writing-verifying"), inPhase(Phase::Verifying, true));
    shoot(QStringLiteral("14-writing-finalizing"), inPhase(Phase::Finalizing, true));
    shootResult(QStringLiteral("15-done"), Backend::State::Done);

    // The same build again, from the cache this time, cancelled while writing.
    write(QStringLiteral("stable"), QStringLiteral("usb-1"));
    shoot(QStringLiteral("16-writing-cancelling"), inPhase(Phase::Writing, true), [&backend] { backend.cancel(); });
    shootResult(QStringLiteral("17-cancelled"), Backend::State::Cancelled);

    // A card too small for a build whose image size the catalog does not say.
    write(QStringLiteral("nightly"), QStringLiteral("usb-3"));
    shootResult(QStringLiteral("18-failed"), Backend::State::Failed);

    // A build whose archive the server does not have: the download fails,
    // the card is untouched, and Retry is offered.
    write(QStringLiteral("previous"), QStringLiteral("usb-1"));
    shootResult(QStringLiteral("44-download-failed-retry"), Backend::State::Failed);

    return failures == 0 ? 0 : 1;
#endif
}
