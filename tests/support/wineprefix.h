#pragma once

#include "programrun.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// Windows programs run under Wine (Debian's wine64) in a prefix: the one
// WINEPREFIX names, when it is set, which its owner made and stops; else a
// fresh one in a temporary folder, made for a Windows user whose name is not
// ASCII and stopped (wineserver -k) by the destructor.
class WinePrefix
{
public:
    // The Windows user of a fresh prefix.
    static const QString UserName;

    WinePrefix() = default;
    ~WinePrefix();

    WinePrefix(const WinePrefix &) = delete;
    WinePrefix &operator=(const WinePrefix &) = delete;

    // Finds Wine and makes the prefix where none is given.
    bool start();
    QString errorString() const { return m_errorString; }

    QString path() const { return m_path; }
    // The profile folder of the prefix's Windows user (C:\users\<name>).
    QString userFolder() const;

    // What Windows programs see of a Linux path: drive Z: is "/".
    static QString windowsPath(const QString &linuxPath);

    // The environment of a Windows program: the prefix, Wine's messages off,
    // DLLs also from these Linux folders. Wine keeps the QT_ variables of
    // Linux from Windows programs; set them prefixed with WINE (for example
    // WINEQT_QPA_PLATFORM).
    QProcessEnvironment environment(const QStringList &dllFolders = {}) const;

    // Runs a Windows program to its end (options.environment is replaced
    // when it lacks WINEPREFIX).
    ProgramRun run(const QString &program, const QStringList &arguments, ProgramOptions options) const;
    // The program that starts Windows programs.
    QString wine() const { return m_wine; }

private:
    bool fail(const QString &text);

    QString m_wine;
    QString m_wineserver;
    QString m_path;
    QTemporaryDir m_dir;
    bool m_owned = false;
    QString m_errorString;
};
