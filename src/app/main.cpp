#include "app/translations.h"
#include "backend/backend.h"
#include "core/appinfo.h"

#include <QCommandLineParser>
#include <QGuiApplication>
#include <QIcon>
#include <QLocale>
#include <QQmlApplicationEngine>
#include <QQuickStyle>
#include <QtQml/QQmlExtensionPlugin>

Q_IMPORT_QML_PLUGIN(TessaroPlugin)

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
