#include "disks/diskmonitor.h"

#include "disks/emptydiskmonitor.h"

#ifdef Q_OS_WIN
#include "disks/win/windiskmonitor.h"
#endif

std::unique_ptr<DiskMonitor> createDiskMonitor()
{
#ifdef Q_OS_WIN
    return std::make_unique<WinDiskMonitor>();
#else
    // Elsewhere the program writes to --target-file.
    return std::make_unique<EmptyDiskMonitor>();
#endif
}
