#include "disks/win/winblockdevice.h"

#include "disks/disktexts.h"
#include "disks/removabledisks.h"

#include <algorithm>
#include <optional>

namespace {

constexpr DWORD ReadWrite = GENERIC_READ | GENERIC_WRITE;
// The image goes straight to the card: nothing waits in the system's cache
// when the job reads it back or the card is pulled.
constexpr DWORD Unbuffered = FILE_FLAG_NO_BUFFERING | FILE_FLAG_WRITE_THROUGH;
constexpr qint64 MaxTransfer = 1073741824; // a single ReadFile/WriteFile moves at most 1 GiB
constexpr int LockAttempts = 20;
// Some programs let go of a volume only once it is dismounted under them.
constexpr int DismountAfterAttempt = 11;
constexpr DWORD LockRetryWait = 100; // ms
// Some readers report a pulled card as a CRC or device error first.
constexpr DWORD ProbeWait = 500; // ms
// ERROR_NO_SUCH_DEVICE; not every Windows SDK (mingw-w64's) defines it.
constexpr DWORD ErrorNoSuchDevice = 433;

bool control(const windisks::Handle &handle, DWORD code, void *out = nullptr, DWORD outSize = 0)
{
    DWORD returned = 0;
    return DeviceIoControl(handle.get(), code, nullptr, 0, out, outSize, &returned, nullptr);
}

} // namespace

WinBlockDevice::WinBlockDevice(const Disk &disk)
    : m_number(windowsDiskNumber(disk.id))
    , m_name(QStringLiteral("PhysicalDrive%1").arg(m_number))
    , m_chosen(disk)
{
}

WinBlockDevice::~WinBlockDevice()
{
    close();
}

bool WinBlockDevice::open()
{
    m_failure = Failure::IoError;
    m_errorString.clear();
    const QList<windisks::Volume> volumes = windisks::volumes();
    if (checkDisk(volumes) && lockVolumes(volumes) && openDisk() && readProperties())
        return true;
    release();
    return false;
}

bool WinBlockDevice::checkDisk(const QList<windisks::Volume> &volumes)
{
    const std::optional<WinDrive> drive = windisks::drive(m_number, volumes);
    if (!drive)
        return fail(Failure::Removed, disktexts::NoLongerConnected.arg(m_name));
    if (drive->size <= 0)
        return fail(Failure::Removed, disktexts::NoMedia.arg(m_name));
    if (!isSameHardware(windowsDisk(*drive), m_chosen))
        return fail(Failure::Removed, disktexts::Replaced.arg(m_name));
    QList<int> systemDisks;
    if (!windisks::systemDisks(volumes, &systemDisks))
        return fail(Failure::IoError, QStringLiteral("cannot find the disk hosting Windows"));
    if (removableWindowsDisks({*drive}, systemDisks).isEmpty())
        return fail(Failure::IoError, disktexts::NotRemovable.arg(m_name));
    return true;
}

bool WinBlockDevice::lockVolumes(const QList<windisks::Volume> &volumes)
{
    for (const windisks::Volume &volume : volumes) {
        if (!volume.diskNumbers.contains(m_number))
            continue;
        windisks::Handle handle;
        if (!openVolume(volume, &handle) || !lockVolume(volume, &handle))
            return false;
        if (!control(handle, FSCTL_DISMOUNT_VOLUME))
            qWarning("Cannot dismount %s: %s", qPrintable(volume.name),
                     qPrintable(windisks::errorString(GetLastError())));
        m_lockedVolumes.push_back(std::move(handle));
    }
    return true;
}

bool WinBlockDevice::openVolume(const windisks::Volume &volume, windisks::Handle *handle)
{
    *handle = windisks::open(volume.name, ReadWrite, 0);
    if (handle->isValid())
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED)
        return fail(Failure::PermissionDenied,
                    QStringLiteral("cannot open %1: %2").arg(volume.name, windisks::errorString(error)));
    return failIo(error, "open a volume of");
}

bool WinBlockDevice::lockVolume(const windisks::Volume &volume, windisks::Handle *handle)
{
    for (int attempt = 1; attempt <= LockAttempts; ++attempt) {
        if (control(*handle, FSCTL_LOCK_VOLUME))
            return true;
        if (attempt == DismountAfterAttempt) {
            // Dismounting a volume that others hold makes every handle of it
            // useless, this one too: the rest of the attempts need a new one.
            control(*handle, FSCTL_DISMOUNT_VOLUME);
            *handle = windisks::Handle();
            if (!openVolume(volume, handle))
                return false;
        }
        Sleep(LockRetryWait);
    }
    const QString shown = volume.mountPoints.isEmpty() ? volume.name : volume.mountPoints.join(QStringLiteral(", "));
    return fail(Failure::IoError, disktexts::InUse.arg(shown));
}

bool WinBlockDevice::openDisk()
{
    m_disk = windisks::open(windowsDiskPath(m_number), ReadWrite, Unbuffered);
    if (m_disk.isValid())
        return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED)
        return fail(Failure::PermissionDenied,
                    QStringLiteral("cannot open %1: %2").arg(m_name, windisks::errorString(error)));
    return failIo(error, "open");
}

bool WinBlockDevice::readProperties()
{
    if (!control(m_disk, IOCTL_DISK_IS_WRITABLE)) {
        const DWORD error = GetLastError();
        if (error == ERROR_WRITE_PROTECT)
            return fail(Failure::WriteProtected, disktexts::WriteProtected.arg(m_name));
        return failIo(error, "query");
    }
    // GET_LENGTH_INFO, one 64-bit length; mingw-w64 lacks the structure.
    qint64 length = 0;
    if (!control(m_disk, IOCTL_DISK_GET_LENGTH_INFO, &length, sizeof length))
        return failIo(GetLastError(), "read the size of");
    DISK_GEOMETRY_EX geometry{};
    if (!control(m_disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &geometry, sizeof geometry))
        return failIo(GetLastError(), "read the size of");
    if (length <= 0)
        return fail(Failure::Removed, disktexts::NoMedia.arg(m_name));
    m_size = length;
    m_sectorSize = geometry.Geometry.BytesPerSector ? int(geometry.Geometry.BytesPerSector) : 512;
    return true;
}

void WinBlockDevice::close()
{
    if (m_disk.isValid()) {
        FlushFileBuffers(m_disk.get());
        if (!control(m_disk, IOCTL_DISK_UPDATE_PROPERTIES))
            qWarning("Cannot update the properties of %s: %s", qPrintable(m_name),
                     qPrintable(windisks::errorString(GetLastError())));
        m_disk = windisks::Handle();
    }
    m_lockedVolumes.clear();
}

void WinBlockDevice::release()
{
    m_disk = windisks::Handle();
    m_lockedVolumes.clear();
}

qint64 WinBlockDevice::size() const
{
    return m_size;
}

int WinBlockDevice::sectorSize() const
{
    return m_sectorSize;
}

bool WinBlockDevice::seek(qint64 offset)
{
    LARGE_INTEGER distance{};
    distance.QuadPart = offset;
    if (!SetFilePointerEx(m_disk.get(), distance, nullptr, FILE_BEGIN))
        return failIo(GetLastError(), "seek on");
    m_position = offset;
    return true;
}

bool WinBlockDevice::write(const char *data, qint64 length)
{
    while (length > 0) {
        const DWORD piece = DWORD(std::min(length, MaxTransfer));
        DWORD written = 0;
        if (!WriteFile(m_disk.get(), data, piece, &written, nullptr))
            return failIo(GetLastError(), "write to");
        if (written == 0)
            return failIo(ERROR_HANDLE_DISK_FULL, "write to");
        data += written;
        length -= written;
        m_position += written;
    }
    return true;
}

qint64 WinBlockDevice::read(char *data, qint64 length)
{
    // The disk driver refuses a read that runs past the end of the disk as a
    // whole; the part before the end is what a caller gets.
    length = std::min(length, std::max<qint64>(0, m_size - m_position));
    qint64 total = 0;
    while (total < length) {
        const DWORD piece = DWORD(std::min(length - total, MaxTransfer));
        DWORD read = 0;
        if (!ReadFile(m_disk.get(), data + total, piece, &read, nullptr)) {
            failIo(GetLastError(), "read from");
            return -1;
        }
        if (read == 0)
            break;
        total += read;
        m_position += read;
    }
    return total;
}

bool WinBlockDevice::flush()
{
    if (!FlushFileBuffers(m_disk.get()))
        return failIo(GetLastError(), "flush");
    return true;
}

bool WinBlockDevice::dropCaches()
{
    // The disk is unbuffered: nothing but the device's own cache to push.
    return flush();
}

QString WinBlockDevice::errorString() const
{
    return m_errorString;
}

BlockDevice::Failure WinBlockDevice::failure() const
{
    return m_failure;
}

bool WinBlockDevice::fail(Failure failure, const QString &text)
{
    m_failure = failure;
    m_errorString = text;
    return false;
}

bool WinBlockDevice::failIo(unsigned long code, const char *verb)
{
    QString text = QStringLiteral("cannot %1 %2: %3").arg(QLatin1String(verb), m_name, windisks::errorString(code));
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_NOT_READY:
    case ERROR_DEV_NOT_EXIST:
    case ErrorNoSuchDevice:
    case ERROR_MEDIA_CHANGED:
    case ERROR_NO_MEDIA_IN_DRIVE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
        return fail(Failure::Removed, text);
    case ERROR_WRITE_PROTECT:
        return fail(Failure::WriteProtected, text);
    case ERROR_ACCESS_DENIED:
    case ERROR_CRC:
    case ERROR_GEN_FAILURE:
    case ERROR_SEM_TIMEOUT:
    case ERROR_IO_DEVICE: {
        // These also come from a card that is being pulled: ask the device
        // whether it is still there once it has settled.
        Sleep(ProbeWait);
        if (!m_disk.isValid() || !control(m_disk, IOCTL_STORAGE_CHECK_VERIFY2))
            return fail(Failure::Removed, text);
        // Windows refuses raw writes to a volume that is mounted.
        if (code == ERROR_ACCESS_DENIED)
            text += QStringLiteral(" (a partition of the SD card was mounted again)");
        return fail(Failure::IoError, text);
    }
    default:
        return fail(Failure::IoError, text);
    }
}
