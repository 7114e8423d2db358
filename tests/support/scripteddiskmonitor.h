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

    // Whether the listed disks can be powered off; powering one off takes it
    // out of the list, later, as a drive that goes.
    void setPowerOff(bool can) { m_canPowerOff = can; }
    bool canPowerOff(const Disk &disk) const override;
    void powerOff(const Disk &disk) override;

private:
    QList<Disk> m_disks;
    DeviceFactory m_factory;
    bool m_canPowerOff = false;
};
