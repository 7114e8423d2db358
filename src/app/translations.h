#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QTranslator>

class QQmlApplicationEngine;

// The catalogs the window speaks: the program's own for the user's language,
// and Qt's catalog of its own texts (the buttons of Qt's dialogs, the file
// dialog) for that same language, so that a window never mixes two
// languages. A language the program has no catalog for gets neither: every
// text stays English, Qt's included.
class Translations
{
public:
    Translations() = default;
    Q_DISABLE_COPY_MOVE(Translations)

    // Installs the catalogs for locale; the translators take themselves out
    // again when this object goes. Returns the program's language ("it",
    // "en"), or an empty string when it has no catalog for locale.
    QString install(const QLocale &locale);

    // QQmlApplicationEngine installs Qt's catalog for the system language
    // when it is made, whatever language the program speaks: this takes it
    // out again. Call once the engine has loaded.
    static void removeEngineCatalog(QQmlApplicationEngine &engine);

    // Where Qt's catalogs are looked for, in order: beside the program (a
    // Windows build ships them in its "translations" folder) and then Qt's
    // own location (where Debian's qt6-translations-l10n puts them).
    static QStringList qtCatalogFolders();

private:
    QTranslator m_program;
    QTranslator m_qt;
};
