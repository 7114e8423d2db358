#include "disks/win/windisks.h"

#include "disks/removabledisks.h"

#include <QCoreApplication>
#include <QDir>
#include <QtEndian>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace {

constexpr DWORD NameLength = MAX_PATH;

// The device-control records are read at fixed offsets from byte buffers;
// the layouts are checked against the system's own structures below.
namespace Extents { // VOLUME_DISK_EXTENTS
constexpr DWORD BufferSize = 800; // 33 extents; with more the query fails
constexpr int Count = 0;
constexpr int FirstDiskNumber = 8;
constexpr int Stride = 24;
}
namespace Descriptor { // STORAGE_DEVICE_DESCRIPTOR
constexpr DWORD BufferSize = 1024;
constexpr DWORD MinimumSize = 40; // anything shorter lacks the fields below
constexpr int RemovableMedia = 10;
constexpr int VendorIdOffset = 12;
constexpr int ProductIdOffset = 16;
constexpr int SerialNumberOffset = 24;
constexpr int BusType = 28;
}
namespace Geometry { // DISK_GEOMETRY_EX
constexpr DWORD BufferSize = 40;
constexpr int DiskSize = 24;
}
namespace DeviceNumber { // STORAGE_DEVICE_NUMBER
constexpr DWORD BufferSize = 12;
constexpr int DeviceType = 0;
constexpr int Number = 4;
}

static_assert(offsetof(VOLUME_DISK_EXTENTS, Extents) + offsetof(DISK_EXTENT, DiskNumber) == Extents::FirstDiskNumber);
static_assert(sizeof(DISK_EXTENT) == Extents::Stride);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) == Descriptor::RemovableMedia);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset) == Descriptor::VendorIdOffset);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset) == Descriptor::ProductIdOffset);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset) == Descriptor::SerialNumberOffset);
static_assert(offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType) == Descriptor::BusType);
static_assert(offsetof(DISK_GEOMETRY_EX, DiskSize) == Geometry::DiskSize);
static_assert(sizeof(DISK_GEOMETRY_EX) == Geometry::BufferSize);
static_assert(offsetof(STORAGE_DEVICE_NUMBER, DeviceNumber) == DeviceNumber::Number);
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == DeviceNumber::BufferSize);
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12);

// GUID_DEVINTERFACE_DISK; spelled out so that no GUID library has to be linked.
constexpr GUID DiskInterface = {0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};

quint32 field32(const std::vector<char> &buffer, int offset)
{
    return qFromLittleEndian<quint32>(buffer.data() + offset);
}

QString fromWide(const std::vector<WCHAR> &buffer)
{
    return QString::fromWCharArray(buffer.data());
}

QString withoutTrailingBackslash(QString path)
{
    if (path.endsWith(QLatin1Char('\\')))
        path.chop(1);
    return path;
}

bool deviceIoControl(HANDLE handle, DWORD code, std::vector<char> *out, DWORD *returned = nullptr,
                     void *in = nullptr, DWORD inSize = 0)
{
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(handle, code, in, inSize, out->data(), DWORD(out->size()), &bytes, nullptr);
    if (returned)
        *returned = bytes;
    return ok;
}

// Drive letters only: a path of three characters ending in ":\".
QStringList driveLetters(const std::wstring &guidPath)
{
    std::vector<WCHAR> names(NameLength);
    DWORD needed = 0;
    while (!GetVolumePathNamesForVolumeNameW(guidPath.c_str(), names.data(), DWORD(names.size()), &needed)) {
        if (GetLastError() != ERROR_MORE_DATA || needed <= names.size())
            return {};
        names.assign(needed, 0);
    }
    QStringList letters;
    for (const WCHAR *name = names.data(); *name; name += std::char_traits<WCHAR>::length(name) + 1) {
        const QString path = QString::fromWCharArray(name);
        if (path.size() == 3 && path.endsWith(QLatin1String(":\\")))
            letters << path.left(2);
    }
    return letters;
}

QList<int> diskNumbers(const QString &volume)
{
    QList<int> numbers;
    const windisks::Handle handle = windisks::open(volume, 0, 0);
    if (!handle.isValid())
        return numbers;
    std::vector<char> extents(Extents::BufferSize, 0);
    DWORD returned = 0;
    if (!deviceIoControl(handle.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, &extents, &returned))
        return numbers;
    const quint32 count = field32(extents, Extents::Count);
    for (quint32 i = 0; i < count; ++i) {
        const qint64 at = Extents::FirstDiskNumber + qint64(Extents::Stride) * i;
        if (at + 4 > qint64(returned))
            break;
        const int number = int(field32(extents, int(at)));
        if (!numbers.contains(number))
            numbers.append(number);
    }
    return numbers;
}

// The GUID path of the volume holding `path`, comparable with Volume::name;
// empty when it cannot be found (a network share, for one).
QString volumeOf(const QString &path)
{
    const std::wstring native = QDir::toNativeSeparators(path).toStdWString();
    std::vector<WCHAR> mountPoint(NameLength, 0);
    if (!GetVolumePathNameW(native.c_str(), mountPoint.data(), NameLength))
        return {};
    std::vector<WCHAR> volume(NameLength, 0);
    if (!GetVolumeNameForVolumeMountPointW(mountPoint.data(), volume.data(), NameLength))
        return {};
    return withoutTrailingBackslash(fromWide(volume));
}

QString descriptorString(const std::vector<char> &descriptor, unsigned long offset)
{
    if (offset == 0 || offset >= descriptor.size())
        return {};
    const auto begin = descriptor.begin() + std::ptrdiff_t(offset);
    const auto end = std::find(begin, descriptor.end(), '\0');
    return QString::fromLatin1(&*begin, end - begin).simplified();
}

int busOf(quint32 busType)
{
    switch (busType) {
    case BusTypeUsb:
        return WinDrive::Usb;
    case BusTypeSd:
        return WinDrive::Sd;
    case BusTypeMmc:
        return WinDrive::Mmc;
    case BusTypeVirtual:
    case BusTypeFileBackedVirtual:
        return WinDrive::Virtual;
    default:
        return WinDrive::Other;
    }
}

std::optional<WinDrive> driveOf(HANDLE disk, int number, const QList<windisks::Volume> &volumes)
{
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    std::vector<char> descriptor(Descriptor::BufferSize, 0);
    DWORD returned = 0;
    if (!deviceIoControl(disk, IOCTL_STORAGE_QUERY_PROPERTY, &descriptor, &returned, &query, sizeof query)
        || returned < Descriptor::MinimumSize)
        return std::nullopt;
    descriptor.resize(std::min<DWORD>(returned, Descriptor::BufferSize));

    WinDrive drive;
    drive.number = number;
    drive.vendor = descriptorString(descriptor, field32(descriptor, Descriptor::VendorIdOffset));
    drive.product = descriptorString(descriptor, field32(descriptor, Descriptor::ProductIdOffset));
    drive.serial = descriptorString(descriptor, field32(descriptor, Descriptor::SerialNumberOffset));
    drive.removableMedia = descriptor[Descriptor::RemovableMedia] != 0;
    drive.bus = busOf(field32(descriptor, Descriptor::BusType));

    // A reader without a card answers everything but its size: it stays a
    // drive of size 0, which the removable-disk rule then drops.
    std::vector<char> geometry(Geometry::BufferSize, 0);
    if (deviceIoControl(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, &geometry))
        drive.size = qFromLittleEndian<qint64>(geometry.data() + Geometry::DiskSize);

    for (const windisks::Volume &volume : volumes) {
        if (volume.diskNumbers.contains(number))
            drive.mountPoints += volume.mountPoints;
    }
    std::sort(drive.mountPoints.begin(), drive.mountPoints.end());
    return drive;
}

void addOnce(QList<int> *disks, const QList<int> &numbers)
{
    for (int number : numbers) {
        if (!disks->contains(number))
            disks->append(number);
    }
}

QList<WinDrive> interfaceDrives(const QList<windisks::Volume> &volumes)
{
    QList<WinDrive> drives;
    const HDEVINFO set = SetupDiGetClassDevsW(&DiskInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return drives;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &DiskInterface, index, &data); ++index) {
        DWORD size = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
        if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
            continue;
        // DWORD-sized elements keep the detail record aligned.
        std::vector<DWORD> buffer((size + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr))
            continue;
        const windisks::Handle handle = windisks::open(QString::fromWCharArray(detail->DevicePath), 0, 0);
        if (!handle.isValid())
            continue;
        std::vector<char> number(DeviceNumber::BufferSize, 0);
        if (!deviceIoControl(handle.get(), IOCTL_STORAGE_GET_DEVICE_NUMBER, &number))
            continue;
        const int deviceNumber = int(field32(number, DeviceNumber::Number));
        if (field32(number, DeviceNumber::DeviceType) != FILE_DEVICE_DISK || deviceNumber < 0)
            continue;
        if (const std::optional<WinDrive> drive = driveOf(handle.get(), deviceNumber, volumes))
            drives.append(*drive);
    }
    SetupDiDestroyDeviceInfoList(set);
    return drives;
}

} // namespace

namespace windisks {

Handle::Handle(HANDLE handle)
    : m_handle(handle)
{
}

Handle::Handle(Handle &&other) noexcept
    : m_handle(other.m_handle)
{
    other.m_handle = INVALID_HANDLE_VALUE;
}

Handle &Handle::operator=(Handle &&other) noexcept
{
    if (this != &other) {
        if (isValid())
            CloseHandle(m_handle);
        m_handle = other.m_handle;
        other.m_handle = INVALID_HANDLE_VALUE;
    }
    return *this;
}

Handle::~Handle()
{
    if (isValid())
        CloseHandle(m_handle);
}

QList<Volume> volumes()
{
    QList<Volume> result;
    std::vector<WCHAR> name(NameLength, 0);
    const HANDLE find = FindFirstVolumeW(name.data(), NameLength);
    if (find == INVALID_HANDLE_VALUE)
        return result;
    do {
        const QString guidPath = fromWide(name);
        Volume volume;
        volume.name = withoutTrailingBackslash(guidPath);
        volume.mountPoints = driveLetters(guidPath.toStdWString());
        volume.diskNumbers = diskNumbers(volume.name);
        result.append(volume);
    } while (FindNextVolumeW(find, name.data(), NameLength));
    FindVolumeClose(find);
    return result;
}

std::optional<WinDrive> drive(int number, const QList<Volume> &volumes)
{
    const Handle disk = open(windowsDiskPath(number), 0, 0);
    if (!disk.isValid())
        return std::nullopt;
    return driveOf(disk.get(), number, volumes);
}

bool systemDisks(const QList<Volume> &volumes, QList<int> *disks)
{
    std::vector<WCHAR> folder(NameLength, 0);
    const UINT length = GetSystemWindowsDirectoryW(folder.data(), NameLength);
    if (length == 0 || length >= NameLength)
        return false;
    const QString windowsVolume = volumeOf(fromWide(folder));
    if (windowsVolume.isEmpty())
        return false;
    const QString programVolume = volumeOf(QCoreApplication::applicationDirPath());

    disks->clear();
    bool found = false;
    for (const Volume &volume : volumes) {
        if (volume.name.compare(windowsVolume, Qt::CaseInsensitive) == 0) {
            found = found || !volume.diskNumbers.isEmpty();
            addOnce(disks, volume.diskNumbers);
        } else if (!programVolume.isEmpty() && volume.name.compare(programVolume, Qt::CaseInsensitive) == 0) {
            addOnce(disks, volume.diskNumbers);
        }
    }
    return found;
}

QList<Disk> removableDisks()
{
    const QList<Volume> all = volumes();
    QList<int> system;
    if (!systemDisks(all, &system)) {
        qWarning("Cannot find the disk hosting Windows: no SD card is listed");
        return {};
    }
    return removableWindowsDisks(interfaceDrives(all), system);
}

Handle open(const QString &path, unsigned long access, unsigned long flags)
{
    const std::wstring native = path.toStdWString();
    return Handle(CreateFileW(native.c_str(), DWORD(access), FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, DWORD(flags), nullptr));
}

QString errorString(unsigned long code)
{
    std::vector<WCHAR> text(1024, 0);
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        DWORD(code), 0, text.data(), DWORD(text.size()), nullptr);
    // The system's texts end with a line break, which has no place inside
    // a one-line message.
    return QString::fromWCharArray(text.data(), int(length)).trimmed();
}

bool elevated()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return true;
    const Handle owner(token);
    TOKEN_ELEVATION elevation{};
    DWORD length = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &length))
        return true;
    return elevation.TokenIsElevated != 0;
}

} // namespace windisks
