// The window's first size on screens of several sizes and scale factors. Each
// row starts this program again on an offscreen screen of its own (Qt's
// offscreen platform takes the screen from a file, the scale factor from
// QT_SCALE_FACTOR); there the window opens on the disk page and tells where
// it is and what of the page it shows.

#include "appwindow.h"
#include "programrun.h"
#include "testfiles.h"

#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QQuickStyle>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTextStream>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TessaroPlugin)

namespace {

const char *const ProbeVariable = "TST_WINDOWSIZE_PROBE";

// The controls at the foot of the disk page, which must be on the window.
const char *const FootControls[] = {"verifyCheckBox", "diskBackButton", "writeButton"};

QJsonArray rectJson(const QRect &rect)
{
    return {rect.x(), rect.y(), rect.width(), rect.height()};
}

QRect rectFromJson(const QJsonValue &value)
{
    const QJsonArray a = value.toArray();
    return QRect(a.at(0).toInt(), a.at(1).toInt(), a.at(2).toInt(), a.at(3).toInt());
}

// The child: the window as main() makes it, on the disk page, described on
// standard output as one JSON object.
int probe(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("card.img"));
    if (!dir.isValid() || !writeFile(image, QByteArray(4096, '\0')))
        return 2;
    Backend backend(dir.filePath(QStringLiteral("missing.json")), dir.filePath(QStringLiteral("target.img")));
    backend.useLocalFileOnly();
    backend.setImageUrl(QUrl::fromLocalFile(image));
    backend.chooseDisk();
    AppWindow ui(backend);
    QQuickWindow *window = ui.window();
    if (!window)
        return 3;
    QTest::qWait(100); // the layouts settle

    QJsonObject outside;
    for (const char *name : FootControls) {
        QQuickItem *item = ui.find(QLatin1String(name));
        const QRectF place = item ? item->mapRectToScene(QRectF(0, 0, item->width(), item->height())) : QRectF();
        outside.insert(QLatin1String(name), !item || !item->isVisible()
                               || !QRectF(0, 0, window->width(), window->height()).contains(place));
    }
    const QJsonObject report{
            {QStringLiteral("available"), rectJson(window->screen()->availableGeometry())},
            {QStringLiteral("frame"), rectJson(window->frameGeometry())},
            {QStringLiteral("size"), QJsonArray{window->width(), window->height()}},
            {QStringLiteral("minimum"), QJsonArray{window->minimumWidth(), window->minimumHeight()}},
            {QStringLiteral("outside"), outside},
    };
    QTextStream(stdout) << QJsonDocument(report).toJson(QJsonDocument::Compact) << Qt::endl;
    return 0;
}

} // namespace

class tst_WindowSize : public QObject
{
    Q_OBJECT

private slots:
    void firstSizeFitsTheScreen_data();
    void firstSizeFitsTheScreen();
};

void tst_WindowSize::firstSizeFitsTheScreen_data()
{
    QTest::addColumn<QSize>("screen");      // in device pixels
    QTest::addColumn<QString>("scale");
    QTest::addColumn<QSize>("size");        // the window's first size, in Qt's pixels
    QTest::addColumn<QSize>("minimum");

    QTest::newRow("full HD at scale 1: the designed size") << QSize(1920, 1080) << "1" << QSize(640, 480)
                                                           << QSize(480, 360);
    QTest::newRow("900 pixels high at scale 2") << QSize(1600, 900) << "2" << QSize(640, 386) << QSize(480, 360);
    QTest::newRow("720 pixels high at scale 2") << QSize(1280, 720) << "2" << QSize(608, 296) << QSize(480, 296);
}

void tst_WindowSize::firstSizeFitsTheScreen()
{
    QFETCH(QSize, screen);
    QFETCH(QString, scale);
    QFETCH(QSize, size);
    QFETCH(QSize, minimum);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString config = dir.filePath(QStringLiteral("screens.json"));
    const QJsonObject screenEntry{{QStringLiteral("name"), QStringLiteral("Screen")},
                                  {QStringLiteral("x"), 0},
                                  {QStringLiteral("y"), 0},
                                  {QStringLiteral("width"), screen.width()},
                                  {QStringLiteral("height"), screen.height()},
                                  {QStringLiteral("logicalDpi"), 96},
                                  {QStringLiteral("logicalBaseDpi"), 96},
                                  {QStringLiteral("dpr"), 1}};
    QVERIFY(writeFile(config, QJsonDocument(QJsonObject{{QStringLiteral("screens"), QJsonArray{screenEntry}}}).toJson()));

    ProgramOptions options;
    options.environment.insert(QString::fromLatin1(ProbeVariable), QStringLiteral("1"));
    options.environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen:configfile=") + config);
    options.environment.insert(QStringLiteral("QT_SCALE_FACTOR"), scale);
    options.timeoutMs = 60000;
    const ProgramRun run = runProgram(QCoreApplication::applicationFilePath(), {}, options);
    QVERIFY2(run.succeeded(), qPrintable(run.problem + QLatin1Char('\n') + QString::fromLocal8Bit(run.errors)));
    const QJsonObject report = QJsonDocument::fromJson(run.output.trimmed().split('\n').constLast()).object();
    QVERIFY2(!report.isEmpty(), run.output.constData());

    // The screen is what the row asked for, in Qt's pixels.
    const QRect available = rectFromJson(report.value(QStringLiteral("available")));
    QCOMPARE(available.size(), (QSizeF(screen) / scale.toDouble()).toSize());
    const QJsonArray shown = report.value(QStringLiteral("size")).toArray();
    QCOMPARE(QSize(shown.at(0).toInt(), shown.at(1).toInt()), size);
    const QJsonArray smallest = report.value(QStringLiteral("minimum")).toArray();
    QCOMPARE(QSize(smallest.at(0).toInt(), smallest.at(1).toInt()), minimum);
    const QRect frame = rectFromJson(report.value(QStringLiteral("frame")));
    QVERIFY2(available.contains(frame), qPrintable(QStringLiteral("frame %1,%2 %3x%4")
                                                    .arg(frame.x()).arg(frame.y()).arg(frame.width()).arg(frame.height())));
    const QJsonObject outside = report.value(QStringLiteral("outside")).toObject();
    for (const char *name : FootControls)
        QVERIFY2(!outside.value(QLatin1String(name)).toBool(true), name);
}

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsSet(ProbeVariable))
        return probe(argc, argv);
    QCoreApplication app(argc, argv);
    tst_WindowSize test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_windowsize.moc"
