#pragma once

#include "disks/diskmonitor.h"

#include <QMap>
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
    // The disk id is listed, disabled, with reason; an empty reason lets it be.
    void refuse(const QString &id, const QString &reason);
    // Whether this very disk (same place, model and size) is listed.
    bool isListed(const Disk &disk) const;

    // What the image needs on the card; 0 when not known, which lets every
    // disk be chosen.
    qint64 imageSize() const { return m_imageSize; }
    void setImageSize(qint64 size);

    QString diskId() const { return m_diskId; }
    // The chosen disk while it is present.
    std::optional<Disk> chosenDisk() const;
    QString diskName() const;
    QString diskSize() const;

    // Ignores a disk that is absent, refused or too small.
    void choose(const QString &id);
    void clear();

    // Powering a listed disk off, as the monitor can.
    bool canPowerOff(const Disk &disk) const;
    void powerOff(const Disk &disk);

signals:
    void disksChanged();
    void diskChanged();
    void powerOffFinished(const QString &diskId, const QString &error);

private:
    std::optional<Disk> find(const QString &id) const;
    // Why disk cannot be chosen; empty when it can.
    QString refusal(const Disk &disk) const;
    void watchMonitor();
    void update();

    std::unique_ptr<DiskMonitor> m_monitor;
    qint64 m_imageSize = 0;
    QString m_diskId;
    QMap<QString, QString> m_refusals; // by disk id
};
