#include "disks/diskmonitor.h"

#include "disks/emptydiskmonitor.h"
#ifdef Q_OS_LINUX
#include "disks/linux/udisksdiskmonitor.h"
#endif

std::unique_ptr<DiskMonitor> createDiskMonitor()
{
#ifdef Q_OS_LINUX
    return std::make_unique<UdisksDiskMonitor>();
#else
    // Platforms without a monitor of real removable disks write to
    // --target-file only.
    return std::make_unique<EmptyDiskMonitor>();
#endif
}
