#pragma once

#include "disks/diskmonitor.h"

#include <functional>

// A disk monitor whose list the test sets; each change is announced like a
// card being inserted or removed.
class ScriptedDiskMonitor : public DiskMonitor
{
    Q_OBJECT

public:
    using DeviceFactory = std::function<std::unique_ptr<BlockDevice>(const Disk &)>;

    explicit ScriptedDiskMonitor(QList<Disk> disks = {}, QObject *parent = nullptr);

    QList<Disk> disks() const override;
    std::unique_ptr<BlockDevice> createDevice(const Disk &disk) const override;

    // Replaces the list and emits disksChanged().
    void setDisks(const QList<Disk> &disks);
    // Without a factory createDevice() answers null.
    void setDeviceFactory(DeviceFactory factory);

private:
    QList<Disk> m_disks;
    DeviceFactory m_factory;
};
