// What the rule that never offers a disk of the running system reads, given
// as bytes: /proc/self/mountinfo, /proc/swaps and a tree of sysfs folders,
// links and device files, made afresh below a root folder for each input,
// then asked for the disks that hold the system. The input is sections
// separated by lines of "%%": the mountinfo text, the swaps text, the tree,
// and the program's folder. The tree has one entry a line: "d PATH" a
// folder, "f PATH TEXT" a file holding the rest of the line (a loop device's
// backing_file), "l PATH TARGET" a symbolic link; paths are below the root,
// targets relative.
#include "disks/linux/linuxsystem.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

// Enough for a desktop's disks with partitions, device-mapper and RAID.
constexpr int MaxTreeEntries = 96;

bool isBelowRoot(const QByteArray &path)
{
    if (path.isEmpty() || path.startsWith('/') || path.size() > 240)
        return false;
    const QList<QByteArray> parts = path.split('/');
    return !parts.contains("..") && !parts.contains(".") && !parts.contains(QByteArray());
}

bool writeText(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

void makeTree(const QDir &root, const QByteArray &tree)
{
    int entries = 0;
    for (const QByteArray &line : tree.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 2 || !isBelowRoot(fields.at(1)) || ++entries > MaxTreeEntries)
            continue;
        const QString path = root.filePath(QString::fromUtf8(fields.at(1)));
        const QByteArray &kind = fields.at(0);
        if (kind == "d") {
            QDir().mkpath(path);
        } else if (kind == "f") {
            const qsizetype text = kind.size() + 1 + fields.at(1).size() + 1;
            writeText(path, line.size() > text ? line.mid(text) + '\n' : QByteArray());
        } else if (kind == "l" && fields.size() == 3 && !fields.at(2).isEmpty() && !fields.at(2).startsWith('/')) {
            QDir().mkpath(QFileInfo(path).path());
            QFile::link(QString::fromUtf8(fields.at(2)), path);
        }
    }
}

// A path with a NUL in it (an escaped "\\000" in mountinfo) makes Qt warn
// at every file access; the kernel never writes one.
QtMessageHandler previousHandler = nullptr;

void quietAboutNul(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith(QLatin1String("Broken filename passed to function")))
        return;
    if (previousHandler)
        previousHandler(type, context, message);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_linuxsystem";
    static char *argv[] = { name, nullptr };
    static QCoreApplication app(argc, argv);
    // In memory where there is a tmpfs: a tree per input is many files.
    static QTemporaryDir top(QFileInfo(QStringLiteral("/dev/shm")).isDir()
                                     ? QStringLiteral("/dev/shm/fuzz_linuxsystem-XXXXXX")
                                     : QDir::tempPath() + QStringLiteral("/fuzz_linuxsystem-XXXXXX"));
    static const bool quiet = (previousHandler = qInstallMessageHandler(quietAboutNul), true);
    Q_UNUSED(quiet);
    // Made once: its bus connection plays no part here.
    static LinuxSystem system;

    const QString rootPath = top.filePath(QStringLiteral("root"));
    QDir(rootPath).removeRecursively();
    const QDir root(rootPath);
    if (!top.isValid() || !QDir().mkpath(rootPath))
        std::abort();

    QList<QByteArray> sections = QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)).split('\n');
    QList<QByteArray> texts(1);
    for (const QByteArray &line : sections) {
        if (line == "%%")
            texts.append(QByteArray());
        else
            texts.last() += line + '\n';
    }
    texts.resize(4);
    if (!writeText(root.filePath(QStringLiteral("proc/self/mountinfo")), texts.at(0))
        || !writeText(root.filePath(QStringLiteral("proc/swaps")), texts.at(1)))
        std::abort();
    makeTree(root, texts.at(2));
    const QString programFolder = QString::fromUtf8(texts.at(3).trimmed());

    system.root = rootPath;
    const QList<QString> devices = system.systemDevices(programFolder.isEmpty() ? QStringLiteral("/opt/tessaro")
                                                                                : programFolder);
    for (const QString &device : devices) {
        if (!device.startsWith(QLatin1String("/dev/")) || devices.count(device) != 1)
            std::abort();
    }
    return 0;
}
