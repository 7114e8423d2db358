#include "disks/emptydiskmonitor.h"

QList<Disk> EmptyDiskMonitor::disks() const
{
    return {};
}

std::unique_ptr<BlockDevice> EmptyDiskMonitor::createDevice(const Disk &) const
{
    return nullptr;
}
