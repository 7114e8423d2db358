#pragma once

#include "disks/diskmonitor.h"

// Makes one ordinary file stand in for a card (--target-file). The list never
// changes, and the file is so large that no image is too large for it.
class FileDiskMonitor : public DiskMonitor
{
    Q_OBJECT

public:
    explicit FileDiskMonitor(const QString &path, QObject *parent = nullptr);

    QList<Disk> disks() const override;
    std::unique_ptr<BlockDevice> createDevice(const Disk &disk) const override;

private:
    QString m_path;
};
