#include "cli/commandline.h"

#include "core/appinfo.h"
#include "core/writeplan.h"

#include <QCommandLineParser>

namespace {

// Each option with the commands that take it; the help lists them in this order.
struct OptionInfo
{
    const char *name;
    const char *valueName; // null for a flag
    const char *help;
    QStringList commands;
};

const QList<OptionInfo> &optionInfos()
{
    static const QList<OptionInfo> infos{
            {"manifest", "url|file",
             "Read the image catalog from this URL or file (default: the maker's catalog).",
             {"catalog", "write", "verify", "cache"}},
            {"product", "id", "The product of the catalog build, or whose boot files go with IMAGE_FILE.",
             {"write", "verify"}},
            {"device", "id", "The device model of the catalog build.", {"write", "verify"}},
            {"image", "id", "The catalog build.", {"write", "verify"}},
            {"disk", "id", "A disk (an id from 'tessaro-cli disks'); repeatable.", {"write", "verify"}},
            {"target-file", "path", "A file that stands in for a card; repeatable.", {"write", "verify"}},
            {"no-verify", nullptr, "Do not read the cards back after writing.", {"write"}},
            {"watch", nullptr,
             "Write every disk whose model matches a --model that appears from now on, one after the other or "
             "several at once, until Ctrl-C; disks already there are never touched. Needs --yes.",
             {"write"}},
            {"model", "pattern",
             "With --watch: a pattern on the disk's model, such as \"*Card Reader*\" (* and ? as in file names, "
             "any letter case); repeatable.",
             {"write"}},
            {"yes", nullptr, "Write without asking; needed when standard input is not a terminal.", {"write"}},
            {"partial", nullptr, "With clean: remove every partial download, and nothing else.", {"cache"}},
            {"all", nullptr, "With clean: remove every download.", {"cache"}},
            {"json", nullptr, "Print one JSON object per line on standard output, for scripts.",
             {"disks", "catalog", "write", "verify", "cache"}},
    };
    return infos;
}

struct CommandInfo
{
    const char *name;
    const char *usage;       // after the command's name
    const char *summary;     // for the program's help
    const char *description; // for the command's; lines of at most 90 characters
};

const QList<CommandInfo> &commandInfos()
{
    static const QList<CommandInfo> infos{
            {"disks", "", "List the disks that can be written.", "List the disks that can be written: id, device, model, size."},
            {"catalog", "", "List the catalog's products, devices and builds.",
             "List the catalog's products, their devices and builds (marking those that cannot be\n"
             "written, with the reason), and the entries the catalog's checks refused."},
            {"write", "[IMAGE_FILE]", "Write a build or an image file to cards.",
             "Write a catalog build (--product, --device and --image) or the local IMAGE_FILE (.img,\n"
             ".zip, .img.xz or .img.zst) to one or more cards at once (--disk, --target-file), or to\n"
             "every card that arrives (--watch). The build is downloaded once into the cache; each card\n"
             "is verified unless --no-verify is given, then set up as the product."},
            {"verify", "[IMAGE_FILE]", "Compare cards with a build or an image file.",
             "Read one or more cards back (--disk, --target-file) and compare them with a catalog build\n"
             "or IMAGE_FILE: the card must hold the image from its first byte, with the product's boot\n"
             "files where the write put them (a local IMAGE_FILE written without --product has none)."},
            {"cache", "list|clean", "List the downloaded builds, or remove them.",
             "list: the downloads in the cache: build (where the catalog knows it), size, complete or\n"
             "partial, date. clean: remove the downloads of builds that the catalog no longer lists;\n"
             "with --partial every partial download, with --all every download."},
    };
    return infos;
}

const CommandInfo *commandInfo(const QString &name)
{
    for (const CommandInfo &info : commandInfos()) {
        if (name == QLatin1String(info.name))
            return &info;
    }
    return nullptr;
}

// text in lines of at most width characters, broken at blanks, each after
// indent blanks but the first.
QString wrapped(const QString &text, int width, int indent)
{
    QStringList lines{QString()};
    for (const QString &word : text.split(QLatin1Char(' '))) {
        if (!lines.last().isEmpty() && lines.last().size() + 1 + word.size() > width)
            lines << QString();
        lines.last() += (lines.last().isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return lines.join(QLatin1Char('\n') + QString(indent, QLatin1Char(' ')));
}

QString optionLines(const QString &command)
{
    QString text;
    for (const OptionInfo &option : optionInfos()) {
        if (!command.isEmpty() && !option.commands.contains(command))
            continue;
        QString name = QStringLiteral("--") + QLatin1String(option.name);
        if (option.valueName)
            name += QLatin1Char(' ') + QString::fromLatin1(option.valueName).toUpper();
        text += QStringLiteral("  %1 %2\n").arg(name, -22).arg(wrapped(QLatin1String(option.help), 66, 25));
        if (command.isEmpty())
            text += QStringLiteral("  %1 (%2)\n").arg(QString(), -22).arg(option.commands.join(QStringLiteral(", ")));
    }
    return text;
}

const QString ExitStatus = QStringLiteral(
        "Exit status: 0 success; 1 a card failed or differs, or the catalog or a disk could not be\n"
        "used; 2 usage error; 130 cancelled by Ctrl-C, 143 by SIGTERM, 129 by SIGHUP.\n");

// The argument the user typed for the option name (which the parser reports
// without its dashes), or the name with two dashes.
QString typedOption(const QStringList &arguments, const QString &name)
{
    for (const QString &argument : arguments.mid(1)) {
        if (argument == QLatin1String("--"))
            break;
        QString bare = argument;
        while (bare.startsWith(QLatin1Char('-')))
            bare.remove(0, 1);
        if (argument.startsWith(QLatin1Char('-')) && bare.section(QLatin1Char('='), 0, 0) == name)
            return argument.section(QLatin1Char('='), 0, 0);
    }
    return QStringLiteral("--") + name;
}

// The parser's error, naming an unknown option as it was typed (the parser
// names it without its dashes).
QString parseError(const QCommandLineParser &parser, const QStringList &arguments)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty())
        return QStringLiteral("Unknown option '%1'.").arg(typedOption(arguments, unknown.first()));
    return parser.errorText();
}

} // namespace

QString CommandLine::helpText(const QString &command)
{
    if (const CommandInfo *info = commandInfo(command)) {
        const QString usage = QStringLiteral("%1 %2").arg(command, QLatin1String(info->usage)).trimmed();
        return QStringLiteral("Usage: tessaro-cli %1 [OPTIONS]\n%2\n\nOptions:\n%3"
                              "  -h, --help             Show this help.\n\n%4")
                .arg(usage, QLatin1String(info->description), optionLines(command), ExitStatus);
    }
    QString text = QStringLiteral(
            "Usage: tessaro-cli COMMAND [OPTIONS]\n"
            "Prepares SD cards from the Tessaro image catalog without a window.\n"
            "\n"
            "Commands:\n");
    for (const CommandInfo &info : commandInfos()) {
        const QString name = QStringLiteral("%1 %2").arg(QLatin1String(info.name), QLatin1String(info.usage));
        text += QStringLiteral("  %1 %2\n").arg(name.trimmed(), -22).arg(QLatin1String(info.summary));
    }
    text += QStringLiteral("\n'tessaro-cli COMMAND --help' tells more of each.\n\nOptions:\n") + optionLines(QString());
    text += QStringLiteral(
            "  -h, --help             Show this help; after a command, the command's own.\n"
            "  --version              Show the version.\n"
            "\n"
            "Writing erases the cards. It starts only with --yes or, on a terminal, when the device\n"
            "names are typed back. Ctrl-C cancels every card; a download resumes on the next run.\n"
            "\n");
    return text + ExitStatus;
}

CommandLine CommandLine::parse(const QStringList &arguments, QString *error)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOption(help);
    parser.addOption(version);
    QList<QCommandLineOption> options;
    for (const OptionInfo &info : optionInfos()) {
        QCommandLineOption option(QLatin1String(info.name), QLatin1String(info.help));
        if (info.valueName)
            option.setValueName(QLatin1String(info.valueName));
        options.append(option);
        parser.addOption(option);
    }

    CommandLine line;
    if (!parser.parse(arguments)) {
        *error = parseError(parser, arguments);
        // A script that asked for records gets its error as one.
        line.json = arguments.contains(QStringLiteral("--json")) || arguments.contains(QStringLiteral("-json"));
        return line;
    }
    line.json = parser.isSet(QStringLiteral("json"));
    QStringList positional = parser.positionalArguments();
    const QString command = positional.isEmpty() ? QString() : positional.takeFirst();
    if (parser.isSet(help)) {
        line.command = Command::Help;
        line.helpTopic = commandInfo(command) ? command : QString();
        return line;
    }
    if (parser.isSet(version)) {
        line.command = Command::Version;
        return line;
    }

    if (command.isEmpty()) {
        *error = QStringLiteral("No command given.");
        return line;
    }
    if (!commandInfo(command)) {
        *error = QStringLiteral("Unknown command '%1'.").arg(command);
        return line;
    }
    for (int i = 0; i < options.size(); ++i) {
        if (parser.isSet(options[i]) && !optionInfos()[i].commands.contains(command)) {
            *error = QStringLiteral("The option --%1 does not go with '%2'.")
                             .arg(QLatin1String(optionInfos()[i].name), command);
            return line;
        }
    }

    const auto value = [&](const char *name) { return parser.value(QLatin1String(name)); };
    const auto isSet = [&](const char *name) { return parser.isSet(QLatin1String(name)); };
    line.manifest = isSet("manifest") ? value("manifest") : AppInfo::DefaultCatalog;
    line.productId = value("product");
    line.deviceId = value("device");
    line.imageId = value("image");
    line.disks = parser.values(QStringLiteral("disk"));
    line.targetFiles = parser.values(QStringLiteral("target-file"));
    line.models = parser.values(QStringLiteral("model"));
    line.watch = isSet("watch");
    line.verify = !isSet("no-verify");
    line.yes = isSet("yes");
    line.partial = isSet("partial");
    line.all = isSet("all");

    const auto expectNoArguments = [&]() {
        if (positional.isEmpty())
            return true;
        *error = QStringLiteral("Unexpected argument '%1'.").arg(positional.first());
        return false;
    };
    if (command == QLatin1String("disks")) {
        if (expectNoArguments())
            line.command = Command::Disks;
        return line;
    }
    if (command == QLatin1String("catalog")) {
        if (expectNoArguments())
            line.command = Command::Catalog;
        return line;
    }
    if (command == QLatin1String("cache")) {
        const QString action = positional.isEmpty() ? QString() : positional.takeFirst();
        if (action != QLatin1String("list") && action != QLatin1String("clean")) {
            *error = QStringLiteral("Give 'cache list' or 'cache clean'.");
            return line;
        }
        if (!expectNoArguments())
            return line;
        if (action == QLatin1String("list") && (line.partial || line.all)) {
            *error = QStringLiteral("--partial and --all go with 'cache clean'.");
            return line;
        }
        if (line.partial && line.all) {
            *error = QStringLiteral("Give either --partial or --all, not both.");
            return line;
        }
        line.command = action == QLatin1String("list") ? Command::CacheList : Command::CacheClean;
        return line;
    }

    // write and verify: an image and the cards.
    if (positional.size() > 1) {
        *error = QStringLiteral("Only one image file can be given at a time.");
        return line;
    }
    line.imageFile = positional.value(0);
    if (!line.imageFile.isEmpty()) {
        if (!line.deviceId.isEmpty() || !line.imageId.isEmpty()) {
            *error = QStringLiteral("Give either an image file or --device and --image, not both.");
            return line;
        }
    } else if (line.productId.isEmpty() || line.deviceId.isEmpty() || line.imageId.isEmpty()) {
        *error = QStringLiteral("Give an image file, or --product, --device and --image.");
        return line;
    }
    if (line.watch) {
        if (!line.disks.isEmpty() || !line.targetFiles.isEmpty()) {
            *error = QStringLiteral("--watch writes the disks that arrive: give no --disk or --target-file.");
            return line;
        }
        if (line.models.isEmpty()) {
            *error = QStringLiteral("--watch needs at least one --model.");
            return line;
        }
        if (!line.yes) {
            *error = QStringLiteral("--watch needs --yes: no one is asked before each disk is erased.");
            return line;
        }
        line.command = Command::Write;
        return line;
    }
    if (!line.models.isEmpty()) {
        *error = QStringLiteral("--model goes with --watch.");
        return line;
    }
    if (line.disks.isEmpty() && line.targetFiles.isEmpty()) {
        *error = QStringLiteral("Give at least one --disk or --target-file.");
        return line;
    }
    // "a.img", "./a.img" and a link to it are one card.
    bool sameFile = false;
    for (qsizetype i = 0; i < line.targetFiles.size() && !sameFile; ++i) {
        for (qsizetype j = i + 1; j < line.targetFiles.size() && !sameFile; ++j)
            sameFile = WritePlan::isSameFile(line.targetFiles.at(i), line.targetFiles.at(j));
    }
    if (line.disks.removeDuplicates() > 0 || sameFile) {
        *error = QStringLiteral("The same card is named twice.");
        return line;
    }
    line.command = command == QLatin1String("write") ? Command::Write : Command::Verify;
    return line;
}
