// Renders the application window offscreen, page by page, to PNG files so that
// a reviewer can look at the layout without a display:
//     tessaro_screenshots OUTDIR
// Every picture comes from a real Backend driven through its public calls,
// with a catalog written to a temporary folder; only the disk list (which
// needs hardware) and the write state (which needs a write) are scripted.

#include "backendtestaccess.h"
#include "scripteddiskmonitor.h"

#include <QColor>
#include <QCommandLineParser>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLocale>
#include <QNetworkProxy>
#include <QPainter>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>
#include <QTranslator>
#include <QtQml/QQmlExtensionPlugin>

#include <functional>

Q_IMPORT_QML_PLUGIN(TessaroPlugin)

namespace {

const QByteArray Digest = QByteArray(64, 'a');

QByteArray catalogDocument(const QString &minVersion)
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

bool writeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
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

struct Shot
{
    QString name;
    QString manifest;
    std::function<void(Backend &)> setup;
    bool confirmation = false;
    bool noDisks = false;
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

    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tessaro"));
    QCoreApplication::setApplicationVersion(Backend::Version);

    // The texts of the user's language, chosen as the application chooses them.
    QTranslator translator;
    if (translator.load(QLocale(), QStringLiteral("tessaro"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        QCoreApplication::installTranslator(&translator);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Renders the Tessaro window, page by page, to PNG files."));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("outdir"), QStringLiteral("Folder that receives the PNG files."));
    parser.process(app);
    if (parser.positionalArguments().size() != 1)
        parser.showHelp(2);
    const QDir out(parser.positionalArguments().constFirst());
    if (!QDir().mkpath(out.path())) {
        QTextStream(stderr) << "Cannot create " << out.path() << "\n";
        return 1;
    }

    const QString catalog = dir.filePath(QStringLiteral("catalog/images.json"));
    const QString outdated = dir.filePath(QStringLiteral("catalog/outdated.json"));
    const QString localImage = dir.filePath(QStringLiteral("downloads/tessaro-alpha-2.1-custom.img"));
    if (!writeFile(catalog, catalogDocument(QString()))
        || !writeFile(outdated, catalogDocument(QStringLiteral("0.2.0")))
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
    const auto toImage = [](Backend &b) {
        b.selectProduct(QStringLiteral("alpha"));
        b.selectDevice(QStringLiteral("pocket"));
        b.selectImage(QStringLiteral("stable"));
    };
    const auto toDisk = [toImage](Backend &b) {
        toImage(b);
        b.chooseDisk();
        b.selectDisk(QStringLiteral("usb-1"));
    };

    const QList<Shot> shots{
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
            {QStringLiteral("11-writing"), catalog,
             [toDisk](Backend &b) {
                 toDisk(b);
                 BackendTestAccess::setState(b, Backend::State::Writing);
                 BackendTestAccess::setProgress(b, 1638000000, 3900000000);
             }},
            {QStringLiteral("12-done"), catalog,
             [toDisk](Backend &b) {
                 toDisk(b);
                 BackendTestAccess::setState(b, Backend::State::Done);
             }},
    };

    // Software rendering gives the same pictures on every machine.
    QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));

    int failures = 0;
    for (const Shot &shot : shots) {
        Backend backend(shot.manifest, QString());
        BackendTestAccess::setMonitor(backend,
                                      std::make_unique<ScriptedDiskMonitor>(shot.noDisks ? QList<Disk>() : disks));

        QQmlApplicationEngine engine;
        engine.setInitialProperties({{QStringLiteral("backend"), QVariant::fromValue(&backend)}});
        engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Tessaro/qml/Main.qml")));
        auto *window = engine.rootObjects().isEmpty()
                ? nullptr
                : qobject_cast<QQuickWindow *>(engine.rootObjects().constFirst());
        if (!window) {
            QTextStream(stderr) << shot.name << ": the window cannot be created\n";
            return 1;
        }
        if (shot.setup)
            shot.setup(backend);
        if (shot.confirmation) {
            QObject *dialog = window->findChild<QObject *>(QStringLiteral("confirmDialog"));
            if (dialog)
                QMetaObject::invokeMethod(dialog, "open");
        }
        settle(400);

        const QString path = out.filePath(shot.name + QStringLiteral(".png"));
        if (window->grabWindow().save(path, "PNG")) {
            QTextStream(stdout) << path << "\n";
        } else {
            QTextStream(stderr) << "Cannot write " << path << "\n";
            ++failures;
        }
    }
    return failures == 0 ? 0 : 1;
}
