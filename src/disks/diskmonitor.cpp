#include "disks/diskmonitor.h"

#include "disks/emptydiskmonitor.h"

std::unique_ptr<DiskMonitor> createDiskMonitor()
{
    // Only the Windows build has a monitor of real removable disks; elsewhere
    // the program writes to --target-file.
    return std::make_unique<EmptyDiskMonitor>();
}
