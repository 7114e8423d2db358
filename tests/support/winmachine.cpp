#include "winmachine.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QSet>
#include <QtEndian>

#include <cstring>
#include <map>
#include <mutex>

namespace {

constexpr DWORD ErrorNoMoreFiles = 18;
constexpr DWORD ErrorInvalidHandle = 6;
constexpr GUID DiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

struct Object
{
    enum Kind { Find, Volume, Disk, Interface, DeviceSet, Token } kind;
    int index = 0; // of the volume or disk; the next volume of a search
    DWORD access = 0;
    DWORD flags = 0;
    qint64 position = 0;
    bool dismounted = false; // a volume handle that a dismount left useless
};

struct Machine
{
    std::recursive_mutex mutex;
    WinMachine::State state;
    QHash<QString, int> calls;
    QHash<int, int> faultCalls; // by fault index, for faults on one path
    QHash<QString, std::function<void()>> hooks;
    std::map<quintptr, Object> handles;
    quintptr nextHandle = 0x100;
    QHash<int, QByteArray> bytes;   // by disk number
    QHash<int, quintptr> locks;     // volume index -> locking handle
    QHash<int, int> lockAttempts;   // by volume index
    QSet<int> dismounted;           // volume indexes
    qint64 slept = 0;
};

Machine &machine()
{
    static Machine instance;
    return instance;
}

thread_local DWORD lastError = 0;

BOOL fail(DWORD error)
{
    lastError = error;
    return FALSE;
}

HANDLE failHandle(DWORD error)
{
    lastError = error;
    return INVALID_HANDLE_VALUE;
}

// Counts the call, runs its hook and plays its faults; the injected error, or 0.
DWORD enter(const QString &call, const QString &path = QString())
{
    std::function<void()> hook;
    {
        std::lock_guard lock(machine().mutex);
        hook = machine().hooks.value(call);
    }
    if (hook)
        hook();
    std::lock_guard lock(machine().mutex);
    const int count = ++machine().calls[call];
    QList<WinMachine::Fault> &faults = machine().state.faults;
    for (int i = 0; i < faults.size(); ++i) {
        if (faults[i].call != call)
            continue;
        int at = count;
        if (!faults[i].path.isEmpty()) {
            if (faults[i].path.compare(path, Qt::CaseInsensitive) != 0)
                continue;
            at = ++machine().faultCalls[i];
        }
        if (at < faults[i].from)
            continue;
        for (WinMachine::Disk &disk : machine().state.disks) {
            if (disk.number == faults[i].removesDisk)
                disk.present = false;
        }
        if (faults[i].error)
            return faults[i].error;
    }
    return 0;
}

QString controlName(DWORD code)
{
    // Each control code under its own name.
#define TESSARO_NAMED(code) {code, QStringLiteral(#code)}
    static const QHash<DWORD, QString> names{
        TESSARO_NAMED(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS),
        TESSARO_NAMED(IOCTL_STORAGE_QUERY_PROPERTY),
        TESSARO_NAMED(IOCTL_STORAGE_GET_DEVICE_NUMBER),
        TESSARO_NAMED(IOCTL_STORAGE_CHECK_VERIFY2),
        TESSARO_NAMED(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX),
        TESSARO_NAMED(IOCTL_DISK_GET_LENGTH_INFO),
        TESSARO_NAMED(IOCTL_DISK_IS_WRITABLE),
        TESSARO_NAMED(IOCTL_DISK_UPDATE_PROPERTIES),
        TESSARO_NAMED(FSCTL_LOCK_VOLUME),
        TESSARO_NAMED(FSCTL_DISMOUNT_VOLUME),
    };
#undef TESSARO_NAMED
    return names.value(code, QStringLiteral("DeviceIoControl"));
}

QByteArray &bytesOf(const WinMachine::Disk &disk)
{
    QByteArray &bytes = machine().bytes[disk.number];
    if (bytes.size() != disk.size)
        bytes.resize(disk.size, '\0');
    return bytes;
}

// Windows refuses raw writes to a disk while one of its volumes is mounted.
bool mountedVolumeOn(int number)
{
    const QList<WinMachine::Volume> &volumes = machine().state.volumes;
    for (int i = 0; i < volumes.size(); ++i) {
        if (volumes[i].extents.contains(number) && !machine().locks.contains(i))
            return true;
    }
    return false;
}

// Another program lets go after heldFor refused attempts, or once the
// volume was dismounted under it, or never.
BOOL lockVolume(int index, quintptr handle)
{
    const int held = machine().state.volumes[index].heldFor;
    const int attempt = ++machine().lockAttempts[index];
    const bool free = held == WinMachine::HeldUntilDismounted ? machine().dismounted.contains(index)
            : held == WinMachine::HeldForever                 ? false
                                                              : attempt > held;
    if (!free || machine().locks.contains(index))
        return fail(ERROR_ACCESS_DENIED);
    machine().locks.insert(index, handle);
    return TRUE;
}

// Every handle of the volume becomes useless but the one that holds its lock:
// a dismount of a volume that others hold open invalidates their handles and
// the dismounting one alike.
void dismount(int index)
{
    const quintptr holder = machine().locks.value(index, 0);
    for (auto &[id, object] : machine().handles) {
        if (object.kind == Object::Volume && object.index == index && id != holder)
            object.dismounted = true;
    }
    machine().dismounted.insert(index);
}

// A sector-strict transfer on an unbuffered handle: offset, length and
// buffer address are whole sectors.
bool aligned(const Object &object, const WinMachine::Disk &disk, const void *buffer, DWORD length)
{
    if (!(object.flags & FILE_FLAG_NO_BUFFERING))
        return true;
    const int sector = disk.bytesPerSector > 0 ? disk.bytesPerSector : 512;
    return object.position % sector == 0 && length % sector == 0 && reinterpret_cast<quintptr>(buffer) % sector == 0;
}

// The disk behind an I/O handle, or an error.
DWORD diskFor(const Object *object, const WinMachine::Disk **disk)
{
    if (!object || object->kind != Object::Disk)
        return ErrorInvalidHandle;
    *disk = &machine().state.disks[object->index];
    return (*disk)->present ? 0 : ERROR_DEVICE_NOT_CONNECTED;
}

void release(quintptr handle)
{
    for (auto lock = machine().locks.begin(); lock != machine().locks.end();) {
        lock = lock.value() == handle ? machine().locks.erase(lock) : std::next(lock);
    }
    machine().handles.erase(handle);
}

HANDLE newHandle(Object object)
{
    const quintptr id = machine().nextHandle++;
    machine().handles.emplace(id, object);
    return reinterpret_cast<HANDLE>(id);
}

Object *objectOf(HANDLE handle)
{
    const auto found = machine().handles.find(reinterpret_cast<quintptr>(handle));
    return found == machine().handles.end() ? nullptr : &found->second;
}

// Writes text and a NUL into a buffer of `length` characters.
bool copyOut(const QString &text, LPWSTR buffer, DWORD length)
{
    if (DWORD(text.size()) + 1 > length)
        return false;
    text.toWCharArray(buffer);
    buffer[text.size()] = 0;
    return true;
}

int volumeIndex(const QString &name)
{
    const QList<WinMachine::Volume> &volumes = machine().state.volumes;
    for (int i = 0; i < volumes.size(); ++i) {
        if (volumes[i].name.compare(name, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

int diskIndex(const QString &path, bool interface)
{
    const QList<WinMachine::Disk> &disks = machine().state.disks;
    for (int i = 0; i < disks.size(); ++i) {
        const QString diskPath = interface ? WinMachine::interfacePath(disks[i].number)
                                           : QStringLiteral("\\\\.\\PhysicalDrive%1").arg(disks[i].number);
        if (path.compare(diskPath, Qt::CaseInsensitive) == 0 && (!interface || disks[i].hasInterface))
            return i;
    }
    return -1;
}

QList<int> interfaceDisks()
{
    QList<int> indexes;
    for (int i = 0; i < machine().state.disks.size(); ++i) {
        if (machine().state.disks[i].hasInterface)
            indexes << i;
    }
    return indexes;
}

void put32(LPVOID out, int offset, quint32 value)
{
    qToLittleEndian(value, static_cast<char *>(out) + offset);
}

void put64(LPVOID out, int offset, qint64 value)
{
    qToLittleEndian(value, static_cast<char *>(out) + offset);
}

BOOL diskControl(const WinMachine::Disk &disk, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                 DWORD outSize, LPDWORD returned)
{
    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY: {
        const char zero[12] = {};
        if (inSize != 12 || std::memcmp(in, zero, 12) != 0)
            return fail(ERROR_INVALID_PARAMETER);
        if (disk.descriptor.isEmpty())
            return fail(ERROR_INVALID_FUNCTION);
        const DWORD bytes = std::min<DWORD>(outSize, DWORD(disk.descriptor.size()));
        std::memcpy(out, disk.descriptor.constData(), bytes);
        *returned = bytes;
        return TRUE;
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX:
        if (disk.size <= 0)
            return fail(ERROR_NOT_READY);
        if (outSize < sizeof(DISK_GEOMETRY_EX))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        put32(out, offsetof(DISK_GEOMETRY, BytesPerSector), quint32(disk.bytesPerSector));
        put64(out, offsetof(DISK_GEOMETRY_EX, DiskSize), disk.size);
        *returned = sizeof(DISK_GEOMETRY_EX);
        return TRUE;
    case IOCTL_DISK_GET_LENGTH_INFO:
        if (disk.size <= 0)
            return fail(ERROR_NOT_READY);
        if (outSize < 8)
            return fail(ERROR_INSUFFICIENT_BUFFER);
        put64(out, 0, disk.size);
        *returned = 8;
        return TRUE;
    case IOCTL_DISK_IS_WRITABLE:
        return disk.writeProtected ? fail(ERROR_WRITE_PROTECT) : TRUE;
    case IOCTL_STORAGE_CHECK_VERIFY2:
        return disk.size > 0 ? TRUE : fail(ERROR_NOT_READY);
    case IOCTL_DISK_UPDATE_PROPERTIES:
        return TRUE;
    default:
        return fail(ERROR_INVALID_FUNCTION);
    }
}

QString messageText(DWORD code)
{
    static const QHash<DWORD, QString> texts{
        {ERROR_FILE_NOT_FOUND, QStringLiteral("The system cannot find the file specified.")},
        {ERROR_ACCESS_DENIED, QStringLiteral("Access is denied.")},
        {ERROR_WRITE_PROTECT, QStringLiteral("The media is write protected.")},
        {ERROR_NOT_READY, QStringLiteral("The device is not ready.")},
        {ERROR_GEN_FAILURE, QStringLiteral("A device attached to the system is not functioning.")},
        {ERROR_INVALID_PARAMETER, QStringLiteral("The parameter is incorrect.")},
        {ERROR_SHARING_VIOLATION, QStringLiteral("The process cannot access the file because it is being used by another process.")},
        {ERROR_HANDLE_DISK_FULL, QStringLiteral("The disk is full.")},
        {ERROR_DEVICE_NOT_CONNECTED, QStringLiteral("The device is not connected.")},
    };
    return texts.value(code, QStringLiteral("Windows error %1.").arg(code)) + QStringLiteral("\r\n");
}

} // namespace

void WinMachine::install(const State &state)
{
    std::lock_guard lock(machine().mutex);
    machine().state = state;
    machine().calls.clear();
    machine().faultCalls.clear();
    machine().bytes.clear();
    machine().lockAttempts.clear();
    machine().dismounted.clear();
    machine().slept = 0;
    machine().hooks.clear();
}

QByteArray WinMachine::bytes(int number)
{
    std::lock_guard lock(machine().mutex);
    for (const Disk &disk : machine().state.disks) {
        if (disk.number == number)
            return bytesOf(disk);
    }
    return {};
}

void WinMachine::setBytes(int number, const QByteArray &bytes)
{
    std::lock_guard lock(machine().mutex);
    machine().bytes[number] = bytes;
}

bool WinMachine::isLocked(int index)
{
    std::lock_guard lock(machine().mutex);
    return machine().locks.contains(index);
}

qint64 WinMachine::slept()
{
    std::lock_guard lock(machine().mutex);
    return machine().slept;
}

int WinMachine::calls(const QString &call)
{
    std::lock_guard lock(machine().mutex);
    return machine().calls.value(call);
}

int WinMachine::openHandles()
{
    std::lock_guard lock(machine().mutex);
    return int(machine().handles.size());
}

void WinMachine::setHook(const QString &call, std::function<void()> hook)
{
    std::lock_guard lock(machine().mutex);
    machine().hooks.insert(call, std::move(hook));
}

QByteArray WinMachine::descriptor(const QByteArray &vendor, const QByteArray &product, int busType,
                                  bool removableMedia, const QByteArray &serial)
{
    QByteArray bytes(sizeof(STORAGE_DEVICE_DESCRIPTOR), '\0');
    const int vendorAt = vendor.isNull() ? 0 : int(bytes.size());
    bytes += vendor + '\0';
    const int productAt = int(bytes.size());
    bytes += product + '\0';
    const int serialAt = serial.isNull() ? 0 : int(bytes.size());
    if (!serial.isNull())
        bytes += serial + '\0';
    put32(bytes.data(), offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset), quint32(serialAt));
    put32(bytes.data(), offsetof(STORAGE_DEVICE_DESCRIPTOR, Size), quint32(bytes.size()));
    bytes[offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia)] = removableMedia ? 1 : 0;
    put32(bytes.data(), offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset), quint32(vendorAt));
    put32(bytes.data(), offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset), quint32(productAt));
    put32(bytes.data(), offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType), quint32(busType));
    return bytes;
}

WinMachine::Disk WinMachine::disk(int number, int busType, bool removableMedia, qint64 size,
                                  const QByteArray &vendor, const QByteArray &product, const QByteArray &serial)
{
    Disk disk;
    disk.number = number;
    disk.descriptor = descriptor(vendor, product, busType, removableMedia, serial);
    disk.size = size;
    return disk;
}

WinMachine::Volume WinMachine::volume(int index, const QStringList &paths, const QList<int> &extents)
{
    return Volume{volumeName(index), paths, extents, true};
}

WinMachine::State WinMachine::desktopWithCard(int busType, qint64 size, const QByteArray &vendor,
                                              const QByteArray &product, const QByteArray &serial)
{
    State machine = desktop();
    machine.disks << disk(2, busType, true, size, vendor, product, serial);
    machine.volumes << volume(1, {QStringLiteral("E:\\")}, {2});
    return machine;
}

WinMachine::State WinMachine::desktop()
{
    constexpr int BusTypeSata = 11;
    State state;
    state.disks << disk(0, BusTypeSata, false, 500'000'000'000, "ATA", "Samsung SSD");
    state.volumes << volume(0, {QStringLiteral("C:\\")}, {0});
    return state;
}

QString WinMachine::volumeName(int index)
{
    return QStringLiteral("\\\\?\\Volume{%1-0000-0000-0000-000000000000}").arg(index, 8, 10, QLatin1Char('0'));
}

QString WinMachine::interfacePath(int number)
{
    return QStringLiteral("\\\\?\\storage#disk#%1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}").arg(number);
}

HANDLE FindFirstVolumeW(LPWSTR volumeName, DWORD length)
{
    if (const DWORD error = enter(QStringLiteral("FindFirstVolumeW")))
        return failHandle(error);
    std::lock_guard lock(machine().mutex);
    if (machine().state.volumes.isEmpty())
        return failHandle(ErrorNoMoreFiles);
    if (!copyOut(machine().state.volumes.first().name + QLatin1Char('\\'), volumeName, length))
        return failHandle(ERROR_MORE_DATA);
    return newHandle({Object::Find, 1});
}

BOOL FindNextVolumeW(HANDLE find, LPWSTR volumeName, DWORD length)
{
    if (const DWORD error = enter(QStringLiteral("FindNextVolumeW")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    Object *search = objectOf(find);
    if (!search || search->kind != Object::Find)
        return fail(ErrorInvalidHandle);
    if (search->index >= machine().state.volumes.size())
        return fail(ErrorNoMoreFiles);
    if (!copyOut(machine().state.volumes[search->index].name + QLatin1Char('\\'), volumeName, length))
        return fail(ERROR_MORE_DATA);
    ++search->index;
    return TRUE;
}

BOOL FindVolumeClose(HANDLE find)
{
    enter(QStringLiteral("FindVolumeClose"));
    std::lock_guard lock(machine().mutex);
    return machine().handles.erase(reinterpret_cast<quintptr>(find)) ? TRUE : fail(ErrorInvalidHandle);
}

BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR volumeName, LPWSTR names, DWORD length, PDWORD returnLength)
{
    if (const DWORD error = enter(QStringLiteral("GetVolumePathNamesForVolumeNameW")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    QString name = QString::fromWCharArray(volumeName);
    if (!name.endsWith(QLatin1Char('\\')))
        return fail(ERROR_INVALID_PARAMETER);
    name.chop(1);
    const int index = volumeIndex(name);
    if (index < 0)
        return fail(ERROR_FILE_NOT_FOUND);
    QString list;
    for (const QString &path : machine().state.volumes[index].paths)
        list += path + QChar(0);
    list += QChar(0);
    *returnLength = DWORD(list.size());
    if (DWORD(list.size()) > length)
        return fail(ERROR_MORE_DATA);
    list.toWCharArray(names);
    return TRUE;
}

BOOL GetVolumePathNameW(LPCWSTR fileName, LPWSTR volumePathName, DWORD length)
{
    if (const DWORD error = enter(QStringLiteral("GetVolumePathNameW")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    QString path = QString::fromWCharArray(fileName);
    if (path == QDir::toNativeSeparators(QCoreApplication::applicationDirPath()))
        path = machine().state.programFolder;
    path += QLatin1Char('\\');
    QString best;
    for (const WinMachine::Volume &volume : machine().state.volumes) {
        for (const QString &mountPoint : volume.paths) {
            if (path.startsWith(mountPoint, Qt::CaseInsensitive) && mountPoint.size() > best.size())
                best = mountPoint;
        }
    }
    if (best.isEmpty())
        return fail(ERROR_FILE_NOT_FOUND);
    return copyOut(best, volumePathName, length) ? TRUE : fail(ERROR_MORE_DATA);
}

BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR mountPoint, LPWSTR volumeName, DWORD length)
{
    if (const DWORD error = enter(QStringLiteral("GetVolumeNameForVolumeMountPointW")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    const QString path = QString::fromWCharArray(mountPoint);
    for (const WinMachine::Volume &volume : machine().state.volumes) {
        if (volume.paths.contains(path, Qt::CaseInsensitive))
            return copyOut(volume.name + QLatin1Char('\\'), volumeName, length) ? TRUE : fail(ERROR_MORE_DATA);
    }
    return fail(ERROR_FILE_NOT_FOUND);
}

UINT GetSystemWindowsDirectoryW(LPWSTR buffer, UINT size)
{
    if (const DWORD error = enter(QStringLiteral("GetSystemWindowsDirectoryW")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    const QString &folder = machine().state.windowsFolder;
    if (!copyOut(folder, buffer, size))
        return UINT(folder.size() + 1);
    return UINT(folder.size());
}

HANDLE CreateFileW(LPCWSTR fileName, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                   DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const QString path = QString::fromWCharArray(fileName);
    if (const DWORD error = enter(QStringLiteral("CreateFileW"), path))
        return failHandle(error);
    std::lock_guard lock(machine().mutex);
    if (shareMode != (FILE_SHARE_READ | FILE_SHARE_WRITE) || security || disposition != OPEN_EXISTING
        || templateFile)
        return failHandle(ERROR_INVALID_PARAMETER);
    if (const int volume = volumeIndex(path); volume >= 0)
        return newHandle({Object::Volume, volume, access, flags});
    if (const int disk = diskIndex(path, false); disk >= 0 && machine().state.disks[disk].present)
        return newHandle({Object::Disk, disk, access, flags});
    if (const int disk = diskIndex(path, true); disk >= 0 && machine().state.disks[disk].present)
        return newHandle({Object::Interface, disk, access, flags});
    return failHandle(ERROR_FILE_NOT_FOUND);
}

BOOL DeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                     LPDWORD returned, LPOVERLAPPED overlapped)
{
    if (const DWORD error = enter(controlName(code)))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    const Object *object = objectOf(device);
    if (!object || overlapped || !returned)
        return fail(ERROR_INVALID_PARAMETER);
    *returned = 0;
    if (object->kind == Object::Volume) {
        const WinMachine::Volume &volume = machine().state.volumes.value(object->index);
        if (object->dismounted)
            return fail(ERROR_NOT_READY);
        if (code == FSCTL_LOCK_VOLUME || code == FSCTL_DISMOUNT_VOLUME) {
            if (object->access != (GENERIC_READ | GENERIC_WRITE))
                return fail(ERROR_ACCESS_DENIED);
            if (code == FSCTL_LOCK_VOLUME)
                return lockVolume(object->index, reinterpret_cast<quintptr>(device));
            dismount(object->index);
            return TRUE;
        }
        if (code != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS || !volume.extentsReadable)
            return fail(ERROR_INVALID_FUNCTION);
        const DWORD bytes = DWORD(offsetof(VOLUME_DISK_EXTENTS, Extents) + sizeof(DISK_EXTENT) * volume.extents.size());
        if (bytes > outSize)
            return fail(ERROR_MORE_DATA);
        put32(out, 0, quint32(volume.extents.size()));
        for (int i = 0; i < volume.extents.size(); ++i)
            put32(out, int(offsetof(VOLUME_DISK_EXTENTS, Extents) + sizeof(DISK_EXTENT) * i), quint32(volume.extents[i]));
        *returned = bytes;
        return TRUE;
    }
    if (object->kind != Object::Disk && object->kind != Object::Interface)
        return fail(ERROR_INVALID_FUNCTION);
    const WinMachine::Disk &disk = machine().state.disks.value(object->index);
    if (!disk.present)
        return fail(ERROR_DEVICE_NOT_CONNECTED);
    if (code == IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        if (outSize < sizeof(STORAGE_DEVICE_NUMBER))
            return fail(ERROR_INSUFFICIENT_BUFFER);
        put32(out, offsetof(STORAGE_DEVICE_NUMBER, DeviceType), disk.deviceType);
        put32(out, offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber), quint32(disk.number));
        put32(out, offsetof(STORAGE_DEVICE_NUMBER, PartitionNumber), 0xffffffffu);
        *returned = sizeof(STORAGE_DEVICE_NUMBER);
        return TRUE;
    }
    return diskControl(disk, code, in, inSize, out, outSize, returned);
}

BOOL CloseHandle(HANDLE object)
{
    enter(QStringLiteral("CloseHandle"));
    std::lock_guard lock(machine().mutex);
    if (!objectOf(object))
        return fail(ErrorInvalidHandle);
    release(reinterpret_cast<quintptr>(object));
    return TRUE;
}

// The pseudo handle of the running process, as Windows gives it.
HANDLE GetCurrentProcess()
{
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));
}

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE *token)
{
    if (const DWORD error = enter(QStringLiteral("OpenProcessToken")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    if (process != GetCurrentProcess())
        return fail(ErrorInvalidHandle);
    *token = newHandle({Object::Token, 0, access});
    return TRUE;
}

BOOL GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS informationClass, LPVOID information, DWORD length,
                         PDWORD returnLength)
{
    if (const DWORD error = enter(QStringLiteral("GetTokenInformation")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    const Object *object = objectOf(token);
    if (!object || object->kind != Object::Token)
        return fail(ErrorInvalidHandle);
    if (!(object->access & TOKEN_QUERY))
        return fail(ERROR_ACCESS_DENIED);
    if (informationClass != TokenElevation)
        return fail(ERROR_INVALID_PARAMETER);
    *returnLength = sizeof(TOKEN_ELEVATION);
    if (length < sizeof(TOKEN_ELEVATION))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    static_cast<TOKEN_ELEVATION *>(information)->TokenIsElevated = machine().state.elevated ? 1 : 0;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPointer, DWORD method)
{
    if (const DWORD error = enter(QStringLiteral("SetFilePointerEx")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    Object *object = objectOf(file);
    const WinMachine::Disk *disk = nullptr;
    if (const DWORD error = diskFor(object, &disk))
        return fail(error);
    if (method != FILE_BEGIN || distance.QuadPart < 0 || newPointer)
        return fail(ERROR_INVALID_PARAMETER);
    object->position = distance.QuadPart;
    return TRUE;
}

namespace {

// WriteFile and ReadFile: the checks Windows makes before moving bytes, in
// its order (an injected fault, a disk that is gone, a misaligned request,
// missing access), then `move`, which returns 0 or the call's error.
template<typename Move>
BOOL transfer(const QString &call, HANDLE file, const void *buffer, DWORD length, LPDWORD done,
              LPOVERLAPPED overlapped, DWORD access, Move move)
{
    const DWORD injected = enter(call);
    std::lock_guard lock(machine().mutex);
    Object *object = objectOf(file);
    const WinMachine::Disk *disk = nullptr;
    *done = 0;
    if (injected == WinMachine::NothingTransferred)
        return TRUE;
    if (injected)
        return fail(injected);
    if (const DWORD error = diskFor(object, &disk))
        return fail(error);
    if (overlapped || !aligned(*object, *disk, buffer, length))
        return fail(ERROR_INVALID_PARAMETER);
    if (!(object->access & access))
        return fail(ERROR_ACCESS_DENIED);
    if (const DWORD error = move(*object, *disk))
        return fail(error);
    return TRUE;
}

} // namespace

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD length, LPDWORD written, LPOVERLAPPED overlapped)
{
    return transfer(QStringLiteral("WriteFile"), file, buffer, length, written, overlapped, GENERIC_WRITE,
                    [&](Object &object, const WinMachine::Disk &disk) -> DWORD {
                        if (mountedVolumeOn(disk.number))
                            return ERROR_ACCESS_DENIED;
                        if (disk.writeProtected)
                            return ERROR_WRITE_PROTECT;
                        QByteArray &bytes = bytesOf(disk);
                        if (object.position + length > bytes.size())
                            return ERROR_INVALID_PARAMETER;
                        std::memcpy(bytes.data() + object.position, buffer, length);
                        object.position += length;
                        *written = length;
                        return 0;
                    });
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD length, LPDWORD read, LPOVERLAPPED overlapped)
{
    return transfer(QStringLiteral("ReadFile"), file, buffer, length, read, overlapped, GENERIC_READ,
                    [&](Object &object, const WinMachine::Disk &disk) -> DWORD {
                        // The disk driver refuses a read past the end as a whole.
                        const QByteArray &bytes = bytesOf(disk);
                        if (object.position + length > bytes.size())
                            return ERROR_INVALID_PARAMETER;
                        std::memcpy(buffer, bytes.constData() + object.position, length);
                        object.position += length;
                        *read = length;
                        return 0;
                    });
}

BOOL FlushFileBuffers(HANDLE file)
{
    if (const DWORD error = enter(QStringLiteral("FlushFileBuffers")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    const WinMachine::Disk *disk = nullptr;
    if (const DWORD error = diskFor(objectOf(file), &disk))
        return fail(error);
    return TRUE;
}

void Sleep(DWORD milliseconds)
{
    enter(QStringLiteral("Sleep"));
    std::lock_guard lock(machine().mutex);
    machine().slept += milliseconds;
}

DWORD GetLastError()
{
    return lastError;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer,
                     DWORD size, void *arguments)
{
    if (flags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS) || source || languageId || arguments)
        return fail(ERROR_INVALID_PARAMETER);
    const QString text = messageText(messageId);
    return copyOut(text, buffer, size) ? DWORD(text.size()) : fail(ERROR_INSUFFICIENT_BUFFER);
}

HDEVINFO SetupDiGetClassDevsW(const GUID *classGuid, PCWSTR enumerator, HWND parent, DWORD flags)
{
    if (const DWORD error = enter(QStringLiteral("SetupDiGetClassDevsW")))
        return failHandle(error);
    std::lock_guard lock(machine().mutex);
    if (!classGuid || std::memcmp(classGuid, &DiskInterface, sizeof(GUID)) != 0 || enumerator || parent
        || flags != (DIGCF_PRESENT | DIGCF_DEVICEINTERFACE))
        return failHandle(ERROR_INVALID_PARAMETER);
    return newHandle({Object::DeviceSet, 0});
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID *interfaceClass,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data)
{
    if (const DWORD error = enter(QStringLiteral("SetupDiEnumDeviceInterfaces")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    const Object *object = objectOf(set);
    if (!object || object->kind != Object::DeviceSet || device || !interfaceClass
        || std::memcmp(interfaceClass, &DiskInterface, sizeof(GUID)) != 0 || data->cbSize != sizeof *data)
        return fail(ERROR_INVALID_PARAMETER);
    const QList<int> disks = interfaceDisks();
    if (index >= DWORD(disks.size()))
        return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = DiskInterface;
    data->Reserved = ULONG_PTR(disks[int(index)]);
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD size,
                                      PDWORD required, PSP_DEVINFO_DATA device)
{
    if (const DWORD error = enter(QStringLiteral("SetupDiGetDeviceInterfaceDetailW")))
        return fail(error);
    std::lock_guard lock(machine().mutex);
    const Object *object = objectOf(set);
    if (!object || object->kind != Object::DeviceSet || !data || device)
        return fail(ERROR_INVALID_PARAMETER);
    const QString path = WinMachine::interfacePath(machine().state.disks.value(int(data->Reserved)).number);
    const DWORD needed = DWORD(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + sizeof(WCHAR) * (path.size() + 1));
    if (required)
        *required = needed;
    if (!detail || size < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return fail(ERROR_INVALID_PARAMETER);
    path.toWCharArray(detail->DevicePath);
    detail->DevicePath[path.size()] = 0;
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    enter(QStringLiteral("SetupDiDestroyDeviceInfoList"));
    std::lock_guard lock(machine().mutex);
    return machine().handles.erase(reinterpret_cast<quintptr>(set)) ? TRUE : fail(ErrorInvalidHandle);
}
