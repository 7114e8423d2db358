#include "disks/linux/linuxsystem.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <functional>

namespace {

struct Mount
{
    QString point;
    QString device; // major:minor
    QString source;
    QString type;
    QString options; // the file system's own, as mountinfo escapes them
};

// Paths (through overlays and loop devices) followed for one question, and
// sysfs folders walked; a real system needs a handful of each.
constexpr int MaxPaths = 64;
constexpr int MaxFolders = 256;

// Mount points in mountinfo escape blanks and backslashes as octal.
QString unescaped(const QString &field)
{
    QString text = field;
    static const QRegularExpression octal(QStringLiteral("\\\\([0-7]{3})"));
    QRegularExpressionMatch match;
    int from = 0;
    while ((match = octal.match(text, from)).hasMatch()) {
        text.replace(match.capturedStart(), 4, QChar(match.captured(1).toInt(nullptr, 8)));
        from = match.capturedStart() + 1;
    }
    return text;
}

QList<Mount> readMounts(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<Mount> mounts;
    for (const QByteArray &line : file.readAll().split('\n')) {
        // id parent major:minor root point options [optional...] - type source super
        const QStringList fields = QString::fromLocal8Bit(line).split(QLatin1Char(' '));
        const int separator = fields.indexOf(QStringLiteral("-"));
        if (fields.size() < 5 || separator < 0 || separator + 2 >= fields.size())
            continue;
        mounts.append(Mount{unescaped(fields.at(4)), fields.at(2), unescaped(fields.at(separator + 2)),
                            fields.at(separator + 1), fields.value(separator + 3)});
    }
    return mounts;
}

// The folders an overlay file system is made of: a live system's root is
// one, over a squashfs image that lies on the stick it started from.
QStringList overlayLayers(const QString &options)
{
    QStringList layers;
    for (const QString &option : options.split(QLatin1Char(','))) {
        const qsizetype equals = option.indexOf(QLatin1Char('='));
        const QString name = option.left(equals);
        if (name == QLatin1String("lowerdir") || name == QLatin1String("lowerdir+")
            || name == QLatin1String("upperdir")) {
            for (const QString &layer : option.mid(equals + 1).split(QLatin1Char(':'), Qt::SkipEmptyParts))
                layers.append(unescaped(layer));
        }
    }
    return layers;
}

// The file a loop device reads, from its sysfs folder; empty for any other
// device.
QString backingFile(const QDir &device)
{
    QFile file(device.filePath(QStringLiteral("loop/backing_file")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString path = QString::fromLocal8Bit(file.readAll()).trimmed();
    if (path.endsWith(QLatin1String(" (deleted)")))
        path.chop(10);
    return path;
}

bool contains(const QString &mountPoint, const QString &path)
{
    return path == mountPoint || mountPoint == QLatin1String("/")
           || path.startsWith(mountPoint + QLatin1Char('/'));
}

// The mount that a path lies on: the deepest mount point above it, and of
// several at the same point the last, which hides the others.
const Mount *mountOf(const QList<Mount> &mounts, const QString &path)
{
    const Mount *found = nullptr;
    for (const Mount &mount : mounts) {
        if (contains(mount.point, path) && (!found || mount.point.size() >= found->point.size()))
            found = &mount;
    }
    return found;
}

} // namespace

QList<QString> LinuxSystem::systemDevices(const QString &programFolder) const
{
    const QDir top(root);
    const QList<Mount> mounts = readMounts(top.filePath(QStringLiteral("proc/self/mountinfo")));

    // The sysfs folders of the block devices that hold the system.
    QStringList folders;
    const auto addBlock = [&](const QString &deviceFile) {
        const QString name = QFileInfo(QFileInfo(top.filePath(deviceFile.mid(1))).canonicalFilePath()).fileName();
        if (!name.isEmpty())
            folders.append(top.filePath(QStringLiteral("sys/class/block/") + name));
    };
    QStringList paths{QStringLiteral("/"), QStringLiteral("/boot"), QStringLiteral("/boot/efi"),
                      QStringLiteral("/usr"), QStringLiteral("/var"), QStringLiteral("/home"), programFolder};

    QFile swaps(top.filePath(QStringLiteral("proc/swaps")));
    if (swaps.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> lines = swaps.readAll().split('\n');
        for (const QByteArray &line : lines.mid(1)) {
            const QStringList fields = QString::fromLocal8Bit(line).simplified().split(QLatin1Char(' '));
            if (fields.size() < 2)
                continue;
            if (fields.at(1) == QLatin1String("partition"))
                addBlock(unescaped(fields.at(0)));
            else
                paths.append(unescaped(fields.at(0)));
        }
    }

    // The block device that holds path: the mount's own, or an overlay's
    // layers' (each in turn on a block device, or a loop device's file).
    QSet<QString> followed;
    std::function<void(const QString &)> addPath = [&](const QString &path) {
        if (followed.contains(path) || followed.size() >= MaxPaths)
            return;
        followed.insert(path);
        const Mount *mount = mountOf(mounts, path);
        if (!mount)
            return;
        const QString byNumber = top.filePath(QStringLiteral("sys/dev/block/") + mount->device);
        // File systems on anonymous devices (btrfs, overlays) have no sysfs
        // entry of their own; their source names the block device, if any.
        if (QFileInfo::exists(byNumber))
            folders.append(byNumber);
        else if (mount->source.startsWith(QLatin1String("/dev/")))
            addBlock(mount->source);
        else if (mount->type == QLatin1String("overlay"))
            for (const QString &layer : overlayLayers(mount->options))
                addPath(layer);
    };
    for (const QString &path : paths)
        addPath(path);

    QList<QString> devices;
    QSet<QString> seen;
    // Bounded: a name the file system cannot hold (one with a NUL in it)
    // has no canonical form, and its "slaves" grew a longer name each turn.
    while (!folders.isEmpty() && seen.size() < MaxFolders) {
        const QString folder = QFileInfo(folders.takeFirst()).canonicalFilePath();
        if (folder.isEmpty() || seen.contains(folder))
            continue;
        seen.insert(folder);
        const QDir dir(folder);
        if (dir.exists(QStringLiteral("partition"))) {
            folders.append(QFileInfo(folder).path());
            continue;
        }
        const QStringList slaves = QDir(dir.filePath(QStringLiteral("slaves")))
                                           .entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        if (!slaves.isEmpty()) {
            for (const QString &slave : slaves)
                folders.append(dir.filePath(QStringLiteral("slaves/") + slave));
            continue;
        }
        // A live system's image is a file on the stick it started from.
        if (const QString file = backingFile(dir); !file.isEmpty())
            addPath(file);
        const QString device = QStringLiteral("/dev/") + dir.dirName();
        if (!devices.contains(device))
            devices.append(device);
    }
    return devices;
}
