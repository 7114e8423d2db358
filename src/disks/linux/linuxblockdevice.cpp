#include "disks/linux/linuxblockdevice.h"

#include "disks/disktexts.h"
#include "disks/removabledisks.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDir>
#include <QFile>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

// Seeks past 2 GiB on 32-bit systems need the 64-bit off_t the build asks for.
static_assert(sizeof(off_t) == 8, "off_t must be 64 bit: build with _FILE_OFFSET_BITS=64");

namespace {

// Linux moves at most this much in one read or write call.
constexpr qint64 MaxTransfer = 0x40000000;

// What open(2) failed with, from UDisks2's report of it, which gives the
// system's text only, in the C locale the service runs in; 0 when the text
// is none of those that matter here.
int openError(const QString &message)
{
    static const std::pair<const char *, int> errors[] = {
            {"Device or resource busy", EBUSY},       // held by another program
            {"Read-only file system", EROFS},         // the lock switch of an SD card
            {"No medium found", ENOMEDIUM},           // the card left the reader
            {"No such device or address", ENXIO},
            {"No such device", ENODEV},
    };
    for (const auto &[text, error] : errors) {
        if (message.endsWith(QLatin1String(text)))
            return error;
    }
    return 0;
}

const QString UdisksError = QStringLiteral("org.freedesktop.UDisks2.Error.");

} // namespace

LinuxBlockDevice::LinuxBlockDevice(const Disk &disk, const QString &drive, const LinuxSystem &system)
    : m_chosen(disk), m_drive(drive), m_objectPath(disk.id), m_device(disk.device), m_system(system)
{
}

LinuxBlockDevice::~LinuxBlockDevice()
{
    close();
}

bool LinuxBlockDevice::open()
{
    m_failure = Failure::IoError;
    m_errorString.clear();
    release();
    udisks::Objects objects;
    QString error;
    if (!udisks::managedObjects(m_system.bus, &objects, &error))
        return fail(Failure::IoError, QStringLiteral("cannot ask UDisks2 about %1: %2").arg(m_device, error));
    if (checkDisk(objects) && unmount(objects) && openDisk() && readProperties())
        return true;
    release();
    return false;
}

bool LinuxBlockDevice::checkDisk(const udisks::Objects &objects)
{
    const QList<UdisksBlock> blocks = udisks::wholeDisks(objects);
    const auto block = std::find_if(blocks.cbegin(), blocks.cend(),
                                    [this](const UdisksBlock &b) { return b.id == m_objectPath; });
    if (block == blocks.cend() || block->device != m_device)
        return fail(Failure::Removed, disktexts::NoLongerConnected.arg(m_device));
    if (block->size <= 0)
        return fail(Failure::Removed, disktexts::NoMedia.arg(m_device));
    const QList<UdisksDrive> drives = udisks::drives(objects);
    const auto drive = std::find_if(drives.cbegin(), drives.cend(),
                                    [this](const UdisksDrive &d) { return d.path == m_drive; });
    if (block->drive != m_drive || drive == drives.cend() || !isSameHardware(udisksDisk(*drive, *block), m_chosen))
        return fail(Failure::Removed, disktexts::Replaced.arg(m_device));
    const QList<QString> systemDevices = m_system.systemDevices(QCoreApplication::applicationDirPath());
    if (removableDisks(drives, {*block}, systemDevices).isEmpty())
        return fail(Failure::IoError, disktexts::NotRemovable.arg(m_device));
    return true;
}

bool LinuxBlockDevice::unmount(const udisks::Objects &objects)
{
    const QMap<QString, QStringList> mounted = udisks::mountedFilesystems(objects, m_objectPath);
    for (auto filesystem = mounted.cbegin(); filesystem != mounted.cend(); ++filesystem) {
        QDBusMessage call = QDBusMessage::createMethodCall(udisks::Service, filesystem.key(),
                                                           udisks::FilesystemInterface, QStringLiteral("Unmount"));
        call << QVariantMap();
        // Unmounting waits for the data still on its way to the card.
        const QDBusMessage reply = m_system.bus.call(call, QDBus::Block, 120000);
        if (reply.type() == QDBusMessage::ErrorMessage)
            return failDBus(reply.errorName(), reply.errorMessage(), "unmount", filesystem.value().join(QStringLiteral(", ")));
    }
    return true;
}

bool LinuxBlockDevice::openDisk()
{
    if (m_system.openThroughUdisks)
        return openThroughUdisks();
    m_fd = ::open(m_device.toLocal8Bit().constData(), O_RDWR | O_EXCL | O_DIRECT | O_CLOEXEC);
    return m_fd >= 0 || failErrno(errno, "open");
}

bool LinuxBlockDevice::openThroughUdisks()
{
    QDBusMessage call = QDBusMessage::createMethodCall(udisks::Service, m_objectPath, udisks::BlockInterface,
                                                       QStringLiteral("OpenDevice"));
    call << QStringLiteral("rw") << QVariantMap{{QStringLiteral("flags"), O_EXCL | O_DIRECT}};
    // The service asks the user for authorisation first, which may take long.
    const QDBusMessage reply = m_system.bus.call(call, QDBus::Block, 10 * 60 * 1000);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        if (const int error = openError(reply.errorMessage()))
            return failErrno(error, "open");
        return failDBus(reply.errorName(), reply.errorMessage(), "open", m_device);
    }
    const auto descriptor = reply.arguments().value(0).value<QDBusUnixFileDescriptor>();
    // The descriptor object closes its own copy.
    m_fd = descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
    if (m_fd < 0)
        return failErrno(descriptor.isValid() ? errno : EBADF, "open");
    return true;
}

bool LinuxBlockDevice::readProperties()
{
    int readOnly = 0;
    if (::ioctl(m_fd, BLKROGET, &readOnly) != 0)
        return failErrno(errno, "query");
    if (readOnly)
        return fail(Failure::WriteProtected, disktexts::WriteProtected.arg(m_device));
    quint64 length = 0;
    int sectorSize = 0;
    if (::ioctl(m_fd, BLKGETSIZE64, &length) != 0 || ::ioctl(m_fd, BLKSSZGET, &sectorSize) != 0)
        return failErrno(errno, "read the size of");
    if (length == 0)
        return fail(Failure::Removed, disktexts::NoMedia.arg(m_device));
    m_size = qint64(length);
    m_sectorSize = sectorSize > 0 ? sectorSize : 512;
    return true;
}

void LinuxBlockDevice::close()
{
    if (m_fd < 0)
        return;
    ::fsync(m_fd);
    // The kernel learns the new partitions only when asked. A disk without
    // partition support answers EINVAL, and without CAP_SYS_ADMIN the ioctl
    // is refused, but then udev re-reads the table when the device is closed.
    if (::ioctl(m_fd, BLKRRPART) != 0 && errno != EINVAL && errno != EACCES) {
        qWarning("Cannot re-read the partition table of %s: %s", qPrintable(m_device),
                 qPrintable(qt_error_string(errno)));
    }
    release();
}

void LinuxBlockDevice::release()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

qint64 LinuxBlockDevice::size() const
{
    return m_size;
}

int LinuxBlockDevice::sectorSize() const
{
    return m_sectorSize;
}

bool LinuxBlockDevice::seek(qint64 offset)
{
    return ::lseek(m_fd, offset, SEEK_SET) == offset || failTransfer(errno, "seek on");
}

bool LinuxBlockDevice::write(const char *data, qint64 length)
{
    for (qint64 done = 0; done < length;) {
        const ssize_t written = ::write(m_fd, data + done, size_t(qMin(length - done, MaxTransfer)));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return failTransfer(errno, "write to");
        if (written == 0)
            return failTransfer(ENOSPC, "write to");
        done += written;
    }
    return true;
}

qint64 LinuxBlockDevice::read(char *data, qint64 length)
{
    qint64 done = 0;
    while (done < length) {
        const ssize_t count = ::read(m_fd, data + done, size_t(qMin(length - done, MaxTransfer)));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            failTransfer(errno, "read from");
            return -1;
        }
        if (count == 0)
            break;
        done += count;
    }
    return done;
}

bool LinuxBlockDevice::flush()
{
    return ::fsync(m_fd) == 0 || failTransfer(errno, "flush");
}

bool LinuxBlockDevice::dropCaches()
{
    // Reads bypass the page cache already (O_DIRECT); the flush also empties
    // the disk's own write cache. Dropping the buffer cache as well keeps a
    // reader of the device file that does not bypass it from seeing stale
    // blocks; it needs CAP_SYS_ADMIN and is only a courtesy.
    if (!flush())
        return false;
    ::ioctl(m_fd, BLKFLSBUF, 0);
    return true;
}

QString LinuxBlockDevice::errorString() const
{
    return m_errorString;
}

BlockDevice::Failure LinuxBlockDevice::failure() const
{
    return m_failure;
}

bool LinuxBlockDevice::fail(Failure kind, const QString &text)
{
    m_failure = kind;
    m_errorString = text;
    return false;
}

bool LinuxBlockDevice::failErrno(int error, const char *verb)
{
    const QString text = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(verb), m_device, qt_error_string(error));
    switch (error) {
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
        return fail(Failure::Removed, text);
    case EROFS:
        return fail(Failure::WriteProtected, disktexts::WriteProtected.arg(m_device));
    case EACCES:
    case EPERM:
        return fail(Failure::PermissionDenied, text);
    case EBUSY:
        return fail(Failure::IoError, disktexts::InUse.arg(m_device));
    default:
        return fail(Failure::IoError, text);
    }
}

bool LinuxBlockDevice::failTransfer(int error, const char *verb)
{
    // A pulled card fails the transfer under way with EIO, or with ENOSPC
    // once its size reads 0; the device tells which it was.
    if (!isPresent())
        return fail(Failure::Removed,
                    QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(verb), m_device, qt_error_string(error)));
    return failErrno(error, verb);
}

bool LinuxBlockDevice::isPresent() const
{
    struct stat status {};
    const QDir devices(QDir(m_system.root).filePath(QStringLiteral("sys/dev/block")));
    if (::fstat(m_fd, &status) != 0 || !S_ISBLK(status.st_mode) || !devices.exists())
        return true; // nothing to ask: the failure stands as the kernel gave it
    // A stick that leaves takes its entry with it; a card pulled from a
    // reader leaves the reader's entry with the size 0.
    QFile size(devices.filePath(QStringLiteral("%1:%2/size").arg(major(status.st_rdev)).arg(minor(status.st_rdev))));
    return size.open(QIODevice::ReadOnly) && size.readAll().trimmed().toLongLong() > 0;
}

bool LinuxBlockDevice::failDBus(const QString &errorName, const QString &message, const char *verb,
                                const QString &what)
{
    const QString text = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(verb), what, message);
    // The user closed polkit's password dialog.
    if (errorName == UdisksError + QLatin1String("NotAuthorizedDismissed"))
        return fail(Failure::Cancelled, text);
    // An administrator could allow it, but nothing can ask for the password:
    // no authentication agent runs (a terminal, a remote session).
    if (errorName == UdisksError + QLatin1String("NotAuthorizedCanObtain"))
        return fail(Failure::PermissionDenied,
                    text + QStringLiteral(" (no password dialog can be shown here: run it as administrator, "
                                          "for example tessaro-cli with sudo)"));
    if (errorName.startsWith(UdisksError + QLatin1String("NotAuthorized")))
        return fail(Failure::PermissionDenied, text);
    if (errorName == UdisksError + QLatin1String("DeviceBusy"))
        return fail(Failure::IoError, disktexts::InUse.arg(what));
    return fail(Failure::IoError, text);
}
