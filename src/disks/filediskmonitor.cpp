#include "disks/filediskmonitor.h"

#include "disks/fileblockdevice.h"

#include <limits>

FileDiskMonitor::FileDiskMonitor(const QString &path, QObject *parent)
    : DiskMonitor(parent)
    , m_path(path)
{
}

QList<Disk> FileDiskMonitor::disks() const
{
    return {Disk{m_path, m_path, QStringLiteral("--target-file"), std::numeric_limits<qint64>::max()}};
}

std::unique_ptr<BlockDevice> FileDiskMonitor::createDevice(const Disk &) const
{
    return std::make_unique<FileBlockDevice>(m_path, -1, FileBlockDevice::OpenMode::CreateOrTruncate);
}
