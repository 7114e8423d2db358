#include "app/translations.h"
#include "backend/backend.h"
#include "core/appinfo.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QIcon>
#include <QLocale>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QtQml/QQmlExtensionPlugin>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

Q_IMPORT_QML_PLUGIN(TessaroPlugin)

namespace {

#ifdef Q_OS_WIN
// Wine's Direct3D shader compiler cannot compile Qt Quick's shaders, and the
// window would stay blank; its OpenGL draws. Only where the user has not
// chosen how the window draws (QSG_RHI_BACKEND, QT_QUICK_BACKEND).
void drawWithOpenGlUnderWine()
{
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const bool wine = ntdll && GetProcAddress(ntdll, "wine_get_version");
    if (wine && qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND") && qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::OpenGL);
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tessaro"));
    QCoreApplication::setApplicationVersion(AppInfo::Version);
    QGuiApplication::setWindowIcon(QIcon(QStringLiteral(":/logo.png")));

    Translations translations;
    translations.install(QLocale());

    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    QCommandLineOption targetFileOption(QStringLiteral("target-file"),
                                        QStringLiteral("Write to this file instead of an SD card (debug)."),
                                        QStringLiteral("path"));
    targetFileOption.setFlags(QCommandLineOption::HiddenFromHelp);
    QCommandLineOption manifestOption(QStringLiteral("manifest"),
                                      QStringLiteral("Load the image catalog from this URL or file."),
                                      QStringLiteral("url|file"),
                                      AppInfo::DefaultCatalog);
    parser.addOption(targetFileOption);
    parser.addOption(manifestOption);
    parser.process(app);
    const QString targetFile = parser.value(targetFileOption);
    const QString manifest = parser.value(manifestOption);

    Backend backend(manifest, targetFile);

#ifdef Q_OS_WIN
    drawWithOpenGlUnderWine();
#endif
    QQuickStyle::setStyle(QStringLiteral("Fusion"));
    QQmlApplicationEngine engine;
    engine.setInitialProperties({{QStringLiteral("backend"), QVariant::fromValue(&backend)}});
    QObject::connect(&engine, &QQmlApplicationEngine::objectCreationFailed, &app,
                     []() { QCoreApplication::exit(1); }, Qt::QueuedConnection);
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    engine.loadFromModule("Tessaro", "Main");
#else
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Tessaro/qml/Main.qml")));
#endif
    Translations::removeEngineCatalog(engine);
    return app.exec();
}
