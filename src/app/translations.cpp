#include "app/translations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QQmlApplicationEngine>

QString Translations::install(const QLocale &locale)
{
    if (!m_program.load(locale, QStringLiteral("tessaro"), QStringLiteral("_"), QStringLiteral(":/i18n")))
        return QString();
    QCoreApplication::installTranslator(&m_program);

    // English is the source language of Qt's texts as of the program's.
    const QString language = m_program.language();
    if (language == QLatin1String("en"))
        return language;
    for (const QString &folder : qtCatalogFolders()) {
        // "qt_it.qm" names the catalogs of each Qt module ("qtbase_it.qm" and
        // so on), which are loaded from the same folder.
        if (m_qt.load(QLocale(language), QStringLiteral("qt"), QStringLiteral("_"), folder)) {
            QCoreApplication::installTranslator(&m_qt);
            break;
        }
    }
    return language;
}

void Translations::removeEngineCatalog(QQmlApplicationEngine &engine)
{
    for (QTranslator *translator : engine.findChildren<QTranslator *>(Qt::FindDirectChildrenOnly))
        QCoreApplication::removeTranslator(translator);
}

QStringList Translations::qtCatalogFolders()
{
    const QString programFolder = QCoreApplication::applicationDirPath();
    return {programFolder + QStringLiteral("/translations"), programFolder,
            QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
}
