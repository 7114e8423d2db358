#pragma once

#include "disks/diskmonitor.h"

#include <QObject>
#include <QString>
#include <QVariantList>

#include <memory>
#include <optional>

// The disks a card can be written to and the one the user chose. A disk
// smaller than the image cannot be chosen, and the choice is dropped when
// its disk goes away or the image grows past it.
class DiskChoice : public QObject
{
    Q_OBJECT

public:
    explicit DiskChoice(std::unique_ptr<DiskMonitor> monitor, QObject *parent = nullptr);

    // Replaces the source of the disk list, as if its disks had changed.
    void setMonitor(std::unique_ptr<DiskMonitor> monitor);
    const DiskMonitor &monitor() const { return *m_monitor; }

    // The list as the disk page shows it, one map per disk.
    QVariantList disks() const;

    // What the image needs on the card; 0 when not known, which lets every
    // disk be chosen.
    qint64 imageSize() const { return m_imageSize; }
    void setImageSize(qint64 size);

    QString diskId() const { return m_diskId; }
    // The chosen disk while it is present.
    std::optional<Disk> chosenDisk() const;
    QString diskName() const;
    QString diskSize() const;

    // Ignores a disk that is absent or too small.
    void choose(const QString &id);
    void clear();

signals:
    void disksChanged();
    void diskChanged();

private:
    std::optional<Disk> find(const QString &id) const;
    void update();

    std::unique_ptr<DiskMonitor> m_monitor;
    qint64 m_imageSize = 0;
    QString m_diskId;
};
