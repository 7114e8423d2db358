#pragma once

#include "disks/diskmonitor.h"

// The monitor of platforms without removable-disk support: it lists no disks.
class EmptyDiskMonitor : public DiskMonitor
{
    Q_OBJECT

public:
    using DiskMonitor::DiskMonitor;

    QList<Disk> disks() const override;
    std::unique_ptr<BlockDevice> createDevice(const Disk &disk) const override;
};
