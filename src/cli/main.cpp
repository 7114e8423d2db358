#include "cli/commandline.h"
#include "cli/commands.h"
#include "cli/console.h"
#include "core/appinfo.h"

#include <QCoreApplication>

// tessaro-cli: the window's work without a window, for several cards at once.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tessaro"));
    QCoreApplication::setApplicationVersion(AppInfo::Version);

    QString error;
    const CommandLine line = CommandLine::parse(QCoreApplication::arguments(), &error);
    switch (line.command) {
    case CommandLine::Command::None:
        console::err(QStringLiteral("tessaro-cli: %1\nRun 'tessaro-cli --help' for the commands and options.\n")
                             .arg(error));
        return commands::UsageError;
    case CommandLine::Command::Help:
        console::out(CommandLine::helpText());
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
    }
    return commands::UsageError;
}
