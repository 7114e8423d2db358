#include "disks/removabledisks.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

const QString PhysicalDrivePrefix = QStringLiteral("\\\\.\\PhysicalDrive");

// Card readers, SD and MMC hosts hold removable media even when the drive
// calls itself fixed; virtual disks are never cards; any other bus counts
// only with the removable-media flag.
bool busAdmits(const WinDrive &drive)
{
    switch (drive.bus) {
    case WinDrive::Usb:
    case WinDrive::Sd:
    case WinDrive::Mmc:
        return true;
    case WinDrive::Virtual:
        return false;
    default:
        return drive.removableMedia;
    }
}

// A CD, DVD or Blu-ray drive takes no raw image, whatever its bus.
bool isOpticalOnly(const UdisksDrive &drive)
{
    return !drive.mediaCompatibility.isEmpty()
           && std::all_of(drive.mediaCompatibility.cbegin(), drive.mediaCompatibility.cend(),
                          [](const QString &media) { return media.startsWith(QLatin1String("optical")); });
}

// eMMC soldered to the board sits on the same "sdio" bus as a card slot;
// only its medium does not come out.
bool isSolderedMmc(const UdisksDrive &drive)
{
    return drive.connectionBus == QLatin1String("sdio") && !drive.mediaRemovable
           && drive.mediaCompatibility.contains(QLatin1String("flash_mmc"));
}

bool udisksDriveAdmits(const UdisksDrive &drive)
{
    if (drive.ignored || isOpticalOnly(drive) || isSolderedMmc(drive))
        return false;
    return drive.removable || drive.mediaRemovable || drive.connectionBus == QLatin1String("usb")
           || drive.connectionBus == QLatin1String("sdio");
}

// The boot areas and the replay-protected area of an eMMC are block
// devices of their own beside the user area, whatever the drive says.
bool isMmcSpecialArea(const QString &device)
{
    static const QRegularExpression area(QStringLiteral("(^|/)mmcblk[0-9]+(boot[0-9]+|rpmb)$"));
    return area.match(device).hasMatch();
}

bool udisksBlockAdmits(const UdisksBlock &block, const QList<QString> &systemDevices)
{
    return !block.ignored && !block.system && block.size > 0 && !systemDevices.contains(block.device)
           && !isMmcSpecialArea(block.device);
}

} // namespace

QList<Disk> removableWindowsDisks(const QList<WinDrive> &drives, const QList<int> &systemDisks)
{
    QList<WinDrive> kept;
    for (const WinDrive &drive : drives) {
        if (drive.size > 0 && busAdmits(drive) && !systemDisks.contains(drive.number))
            kept.append(drive);
    }
    std::sort(kept.begin(), kept.end(),
              [](const WinDrive &a, const WinDrive &b) { return a.number < b.number; });

    QList<Disk> disks;
    for (const WinDrive &drive : kept)
        disks.append(windowsDisk(drive));
    return disks;
}

Disk windowsDisk(const WinDrive &drive)
{
    Disk disk;
    disk.id = windowsDiskPath(drive.number);
    disk.device = QStringLiteral("PhysicalDrive%1").arg(drive.number);
    if (!drive.mountPoints.isEmpty())
        disk.device += QStringLiteral(" (%1)").arg(drive.mountPoints.join(QStringLiteral(", ")));
    disk.model = (drive.vendor.trimmed() + QLatin1Char(' ') + drive.product.trimmed()).trimmed();
    disk.size = drive.size;
    disk.serial = drive.serial;
    return disk;
}

QList<Disk> removableDisks(const QList<UdisksDrive> &drives, const QList<UdisksBlock> &blocks,
                           const QList<QString> &systemDevices)
{
    QList<Disk> disks;
    for (const UdisksBlock &block : blocks) {
        if (!udisksBlockAdmits(block, systemDevices))
            continue;
        for (const UdisksDrive &drive : drives) {
            if (drive.path == block.drive && udisksDriveAdmits(drive))
                disks.append(udisksDisk(drive, block));
        }
    }
    // QString's operator< compares UTF-16 code units, not the locale's order.
    std::sort(disks.begin(), disks.end(),
              [](const Disk &a, const Disk &b) { return a.device < b.device; });
    return disks;
}

Disk udisksDisk(const UdisksDrive &drive, const UdisksBlock &block)
{
    return Disk{block.id, block.device, (drive.vendor + QLatin1Char(' ') + drive.model).trimmed(), block.size,
                drive.serial};
}

QString windowsDiskPath(int number)
{
    return PhysicalDrivePrefix + QString::number(number);
}

int windowsDiskNumber(const QString &id)
{
    if (!id.startsWith(PhysicalDrivePrefix))
        return -1;
    bool ok = false;
    const int number = id.mid(PhysicalDrivePrefix.size()).toInt(&ok, 10);
    return ok ? number : -1;
}
