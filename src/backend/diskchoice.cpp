#include "backend/diskchoice.h"

#include "core/datasize.h"

#include <QCoreApplication>

DiskChoice::DiskChoice(std::unique_ptr<DiskMonitor> monitor, QObject *parent)
    : QObject(parent)
    , m_monitor(std::move(monitor))
{
    watchMonitor();
}

void DiskChoice::setMonitor(std::unique_ptr<DiskMonitor> monitor)
{
    m_monitor = std::move(monitor);
    watchMonitor();
    update();
}

void DiskChoice::watchMonitor()
{
    connect(m_monitor.get(), &DiskMonitor::disksChanged, this, &DiskChoice::update);
    connect(m_monitor.get(), &DiskMonitor::powerOffFinished, this, &DiskChoice::powerOffFinished);
}

QString DiskChoice::refusal(const Disk &disk) const
{
    if (const QString reason = m_refusals.value(disk.id); !reason.isEmpty())
        return reason;
    if (m_imageSize > 0 && disk.size < m_imageSize) {
        // The disk page's texts belong to the window's context.
        return QCoreApplication::translate("Backend", "Too small: the image needs %1").arg(formatDataSize(m_imageSize));
    }
    return {};
}

QVariantList DiskChoice::disks() const
{
    QVariantList list;
    for (const Disk &disk : m_monitor->disks()) {
        const QString reason = refusal(disk);
        list.append(QVariantMap{
                {QStringLiteral("id"), disk.id},
                {QStringLiteral("device"), disk.device},
                {QStringLiteral("model"), disk.model},
                {QStringLiteral("size"), formatDataSize(disk.size)},
                {QStringLiteral("enabled"), reason.isEmpty()},
                {QStringLiteral("reason"), reason},
        });
    }
    return list;
}

void DiskChoice::refuse(const QString &id, const QString &reason)
{
    if (reason == m_refusals.value(id))
        return;
    if (reason.isEmpty())
        m_refusals.remove(id);
    else
        m_refusals.insert(id, reason);
    update();
}

bool DiskChoice::isListed(const Disk &disk) const
{
    return m_monitor->disks().contains(disk);
}

bool DiskChoice::canPowerOff(const Disk &disk) const
{
    return isListed(disk) && m_monitor->canPowerOff(disk);
}

void DiskChoice::powerOff(const Disk &disk)
{
    m_monitor->powerOff(disk);
}

void DiskChoice::setImageSize(qint64 size)
{
    if (size == m_imageSize)
        return;
    m_imageSize = size;
    update();
}

std::optional<Disk> DiskChoice::chosenDisk() const
{
    if (m_diskId.isEmpty())
        return std::nullopt;
    return find(m_diskId);
}

QString DiskChoice::diskName() const
{
    const std::optional<Disk> disk = chosenDisk();
    if (!disk)
        return {};
    if (disk->model.isEmpty())
        return disk->device;
    return QStringLiteral("%1 (%2)").arg(disk->model, disk->device);
}

QString DiskChoice::diskSize() const
{
    const std::optional<Disk> disk = chosenDisk();
    return disk ? formatDataSize(disk->size) : QString();
}

void DiskChoice::choose(const QString &id)
{
    const std::optional<Disk> disk = find(id);
    if (!disk || !refusal(*disk).isEmpty())
        return;
    if (id == m_diskId)
        return;
    m_diskId = id;
    emit diskChanged();
}

void DiskChoice::clear()
{
    if (m_diskId.isEmpty())
        return;
    m_diskId.clear();
    emit diskChanged();
}

std::optional<Disk> DiskChoice::find(const QString &id) const
{
    for (const Disk &disk : m_monitor->disks()) {
        if (disk.id == id)
            return disk;
    }
    return std::nullopt;
}

void DiskChoice::update()
{
    if (!m_diskId.isEmpty()) {
        const std::optional<Disk> disk = find(m_diskId);
        if (!disk || !refusal(*disk).isEmpty())
            m_diskId.clear();
    }
    emit disksChanged();
    emit diskChanged();
}
