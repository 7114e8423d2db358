#pragma once

#include "disks/blockdevice.h"
#include "disks/disk.h"

#include <QObject>

#include <memory>

// The source of the candidate disk list. Lives on the GUI thread; disks()
// and createDevice() are called there and disksChanged() is delivered there.
class DiskMonitor : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Already filtered and ordered by the implementation.
    virtual QList<Disk> disks() const = 0;
    // A new, unopened device for disk, or null when this monitor cannot
    // address it.
    virtual std::unique_ptr<BlockDevice> createDevice(const Disk &disk) const = 0;
    // Why the list cannot be had (no system service to ask, say); empty while
    // it can. An empty list with an empty error means no disk is there.
    virtual QString errorString() const { return QString(); }
    // Whether the list is in: false until a monitor that looks for the disks
    // in the background has looked once (and announced it), so that an empty
    // list is not taken for no disks too early.
    virtual bool hasListed() const { return true; }

    // Whether the drive that holds disk can be powered off, so that the user
    // can pull it out safely. None by default.
    virtual bool canPowerOff(const Disk &disk) const;
    // Unmounts what the system mounted of disk and powers its drive off;
    // powerOffFinished follows, later, on this thread.
    virtual void powerOff(const Disk &disk);

signals:
    // The list, or the error, changed.
    void disksChanged();
    // error is empty when the drive was powered off.
    void powerOffFinished(const QString &diskId, const QString &error);
};

// The platform's monitor. Never the file monitor: the Backend makes that
// itself when a target file is given.
std::unique_ptr<DiskMonitor> createDiskMonitor();

// False where this process may list the disks but not open them for writing
// before the user raises its rights: on Windows, a process that runs without
// an administrator's elevated rights.
bool mayOpenDisks();
