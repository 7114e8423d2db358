#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "core/appinfo.h"

#include <QCoreApplication>
#include <QJsonObject>
#include <QLoggingCategory>

// tessaro-cli: the window's work without a window, for several cards at once.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Standard error is the user's here: the diagnostics that the window
    // keeps to its log would repeat, in other words, what the commands say.
    // QT_LOGGING_RULES turns them on again.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false\n*.warning=false"));
    QCoreApplication::setApplicationName(QStringLiteral("Tessaro"));
    QCoreApplication::setApplicationVersion(AppInfo::Version);

    QString error;
    const CommandLine line = CommandLine::parse(QCoreApplication::arguments(), &error);
    switch (line.command) {
    case CommandLine::Command::None:
        console::err(QStringLiteral("tessaro-cli: %1\nRun 'tessaro-cli --help' for the commands and options.\n")
                             .arg(error));
        if (line.json)
            console::outJson({{"event", "error"}, {"message", error}, {"exitStatus", commands::UsageError}});
        return commands::UsageError;
    case CommandLine::Command::Help:
        console::out(CommandLine::helpText(line.helpTopic));
        return commands::Success;
    case CommandLine::Command::Version:
        console::out(QStringLiteral("tessaro-cli %1\n").arg(AppInfo::Version));
        return commands::Success;
    case CommandLine::Command::Disks:
        return commands::disks(line);
    case CommandLine::Command::Catalog:
        return commands::catalog(line);
    case CommandLine::Command::Write:
        return commands::write(line);
    case CommandLine::Command::Verify:
        return commands::verify(line);
    case CommandLine::Command::CacheList:
        return commands::cacheList(line);
    case CommandLine::Command::CacheClean:
        return commands::cacheClean(line);
    }
    return commands::UsageError;
}
