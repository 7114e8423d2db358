#include "wineprefix.h"

#include <QDir>
#include <QFileInfo>

const QString WinePrefix::UserName = QStringLiteral("Jürgen Čapek");

WinePrefix::~WinePrefix()
{
    if (m_owned && !m_wineserver.isEmpty()) {
        ProgramOptions options;
        options.environment.insert(QStringLiteral("WINEPREFIX"), m_path);
        runProgram(m_wineserver, {QStringLiteral("-k")}, options);
    }
}

bool WinePrefix::start()
{
    // Debian puts Wine's programs off PATH; the package lists them.
    const ProgramRun listing = runProgram(QStringLiteral("dpkg"), {QStringLiteral("-L"), QStringLiteral("wine64")});
    for (const QByteArray &line : listing.output.split('\n')) {
        const QString file = QString::fromLocal8Bit(line);
        // The package's documentation folder and lintian file bear the same names.
        const QFileInfo info(file);
        if (!info.isFile() || !info.isExecutable())
            continue;
        if (file.endsWith(QLatin1String("/wine64")))
            m_wine = file;
        else if (file.endsWith(QLatin1String("/wineserver64")))
            m_wineserver = file;
    }
    if (m_wine.isEmpty() || m_wineserver.isEmpty())
        return fail(QStringLiteral("wine64 is not installed (scripts/setup installs it)"));

    const QString given = qEnvironmentVariable("WINEPREFIX");
    if (!given.isEmpty()) {
        m_path = given;
        return true;
    }
    if (!m_dir.isValid())
        return fail(QStringLiteral("no temporary folder for the Wine prefix"));
    m_path = m_dir.path();
    m_owned = true;
    ProgramOptions options;
    options.environment = environment();
    const ProgramRun boot = runProgram(m_wine, {QStringLiteral("wineboot"), QStringLiteral("-i")}, options);
    if (!boot.succeeded())
        return fail(QStringLiteral("wineboot: ") + boot.problem);
    return true;
}

QString WinePrefix::userFolder() const
{
    const QDir users(m_path + QStringLiteral("/drive_c/users"));
    for (const QString &name : users.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (name != QLatin1String("Public"))
            return users.filePath(name);
    }
    return {};
}

QString WinePrefix::windowsPath(const QString &linuxPath)
{
    return QStringLiteral("Z:") + QFileInfo(linuxPath).absoluteFilePath().replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QProcessEnvironment WinePrefix::environment(const QStringList &dllFolders) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("WINEPREFIX"), m_path);
    environment.insert(QStringLiteral("WINEDEBUG"), QStringLiteral("-all"));
    // Wine maps the Windows names of files (the user's profile folder among
    // them) to Linux ones in the locale's character set.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    // Wine takes the Windows user, and so the profile folder, from USER: a
    // prefix made here has its own, on every run.
    if (m_owned)
        environment.insert(QStringLiteral("USER"), UserName);
    QStringList path;
    for (const QString &folder : dllFolders)
        path << windowsPath(folder);
    if (path.isEmpty())
        environment.remove(QStringLiteral("WINEPATH"));
    else
        environment.insert(QStringLiteral("WINEPATH"), path.join(QLatin1Char(';')));
    return environment;
}

ProgramRun WinePrefix::run(const QString &program, const QStringList &arguments, ProgramOptions options) const
{
    if (!options.environment.contains(QStringLiteral("WINEPREFIX")))
        options.environment = environment();
    return runProgram(m_wine, QStringList{program} + arguments, options);
}

bool WinePrefix::fail(const QString &text)
{
    m_errorString = text;
    return false;
}
