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
             {"catalog", "write"}},
            {"product", "id", "The product to write, or to set a local image file up as.", {"write"}},
            {"device", "id", "The device model of the catalog build to write.", {"write"}},
            {"image", "id", "The catalog build to write.", {"write"}},
            {"disk", "id", "Write to this disk (an id from 'tessaro-cli disks'); repeatable.", {"write"}},
            {"target-file", "path", "Write to this file instead of a disk; repeatable.", {"write"}},
            {"no-verify", nullptr, "Do not read the cards back after writing.", {"write"}},
            {"yes", nullptr, "Write without asking; needed when standard input is not a terminal.", {"write"}},
            {"json", nullptr, "Print one JSON object per line on standard output, for scripts.",
             {"disks", "catalog", "write"}},
    };
    return infos;
}

} // namespace

QString CommandLine::helpText()
{
    QString text = QStringLiteral(
            "Usage: tessaro-cli COMMAND [OPTIONS]\n"
            "Prepares SD cards from the Tessaro image catalog without a window.\n"
            "\n"
            "Commands:\n"
            "  disks                   List the disks that can be written: id, device, model, size.\n"
            "  catalog                 List the catalog's products, their devices and builds, and the\n"
            "                          entries the catalog's checks refused.\n"
            "  write [IMAGE_FILE]      Write a catalog build (--product, --device and --image) or the\n"
            "                          local IMAGE_FILE (.img, .zip, .img.xz or .img.zst) to one or\n"
            "                          more cards at once (--disk, --target-file). The build is\n"
            "                          downloaded once into the cache; each card is verified unless\n"
            "                          --no-verify is given.\n"
            "\n"
            "Options:\n");
    for (const OptionInfo &option : optionInfos()) {
        QString name = QStringLiteral("--") + QLatin1String(option.name);
        if (option.valueName)
            name += QLatin1Char(' ') + QString::fromLatin1(option.valueName).toUpper();
        text += QStringLiteral("  %1 %2\n").arg(name, -22).arg(QLatin1String(option.help));
        text += QStringLiteral("  %1 (%2)\n").arg(QString(), -22).arg(option.commands.join(QStringLiteral(", ")));
    }
    text += QStringLiteral(
            "  -h, --help             Show this help.\n"
            "  --version              Show the version.\n"
            "\n"
            "Writing erases the cards. It starts only with --yes or, on a terminal, when the device\n"
            "names are typed back. Ctrl-C cancels every card; a download resumes on the next run.\n"
            "\n"
            "Exit status: 0 every card written; 1 a card failed or the catalog could not be used;\n"
            "2 usage error; 130 cancelled.\n");
    return text;
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
        *error = parser.errorText();
        return line;
    }
    if (parser.isSet(help)) {
        line.command = Command::Help;
        return line;
    }
    if (parser.isSet(version)) {
        line.command = Command::Version;
        return line;
    }

    QStringList positional = parser.positionalArguments();
    if (positional.isEmpty()) {
        *error = QStringLiteral("No command given.");
        return line;
    }
    const QString command = positional.takeFirst();
    if (!QStringList{"disks", "catalog", "write"}.contains(command)) {
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
    line.manifest = parser.isSet(QStringLiteral("manifest")) ? value("manifest") : AppInfo::DefaultCatalog;
    line.productId = value("product");
    line.deviceId = value("device");
    line.imageId = value("image");
    line.disks = parser.values(QStringLiteral("disk"));
    line.targetFiles = parser.values(QStringLiteral("target-file"));
    line.verify = !parser.isSet(QStringLiteral("no-verify"));
    line.yes = parser.isSet(QStringLiteral("yes"));
    line.json = parser.isSet(QStringLiteral("json"));

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
    if (positional.size() > 1) {
        *error = QStringLiteral("Only one image file can be written at a time.");
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
    line.command = Command::Write;
    return line;
}
