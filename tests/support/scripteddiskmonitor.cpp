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

bool ScriptedDiskMonitor::canPowerOff(const Disk &disk) const
{
    return m_canPowerOff && m_disks.contains(disk);
}

void ScriptedDiskMonitor::powerOff(const Disk &disk)
{
    if (!canPowerOff(disk)) {
        DiskMonitor::powerOff(disk);
        return;
    }
    QMetaObject::invokeMethod(
            this,
            [this, disk] {
                m_disks.removeAll(disk);
                emit disksChanged();
                emit powerOffFinished(disk.id, QString());
            },
            Qt::QueuedConnection);
}
