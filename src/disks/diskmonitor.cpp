#include "disks/diskmonitor.h"

#include "disks/emptydiskmonitor.h"
#ifdef Q_OS_LINUX
#include "disks/linux/udisksdiskmonitor.h"
#endif

#ifdef Q_OS_WIN
#include "disks/win/windiskmonitor.h"
#include "disks/win/windisks.h"
#endif

bool DiskMonitor::canPowerOff(const Disk &) const
{
    return false;
}

void DiskMonitor::powerOff(const Disk &disk)
{
    // Delivered later, as from a monitor that can.
    QMetaObject::invokeMethod(
            this, [this, id = disk.id] { emit powerOffFinished(id, QStringLiteral("the drive cannot be powered off")); },
            Qt::QueuedConnection);
}

std::unique_ptr<DiskMonitor> createDiskMonitor()
{
#if defined(Q_OS_WIN)
    return std::make_unique<WinDiskMonitor>();
#elif defined(Q_OS_LINUX)
    return std::make_unique<UdisksDiskMonitor>();
#else
    // Elsewhere the program writes to --target-file.
    return std::make_unique<EmptyDiskMonitor>();
#endif
}

bool mayOpenDisks()
{
#if defined(Q_OS_WIN)
    return windisks::elevated();
#else
    return true;
#endif
}
