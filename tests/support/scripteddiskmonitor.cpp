#include "scripteddiskmonitor.h"

ScriptedDiskMonitor::ScriptedDiskMonitor(QList<Disk> disks, QObject *parent)
    : DiskMonitor(parent)
    , m_disks(std::move(disks))
{
}

QList<Disk> ScriptedDiskMonitor::disks() const
{
    return m_disks;
}

std::unique_ptr<BlockDevice> ScriptedDiskMonitor::createDevice(const Disk &disk) const
{
    return m_factory ? m_factory(disk) : nullptr;
}

void ScriptedDiskMonitor::setDisks(const QList<Disk> &disks)
{
    m_disks = disks;
    emit disksChanged();
}

void ScriptedDiskMonitor::setDeviceFactory(DeviceFactory factory)
{
    m_factory = std::move(factory);
}
