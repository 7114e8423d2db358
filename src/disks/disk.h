#pragma once

#include <QList>
#include <QString>

// One candidate target disk, as a disk monitor reports it.
struct Disk
{
    QString id;     // the monitor's key; the Backend finds its choice again by it
    QString device; // shown to the user
    QString model;  // may be empty
    qint64 size = 0;
    // As the device reports it; empty when it reports none. Not shown. (The
    // initializer lets older code list the four fields above alone.)
    QString serial = QString();
};

// Field by field; QList's == then compares disk lists in order, which is how
// a monitor tells whether its list changed.
inline bool operator==(const Disk &a, const Disk &b)
{
    return a.id == b.id && a.device == b.device && a.model == b.model && a.size == b.size
           && a.serial == b.serial;
}

inline bool operator!=(const Disk &a, const Disk &b)
{
    return !(a == b);
}

// Whether two records describe one piece of hardware: the same model, size
// and serial. The system hands a disk's number or name on to the next disk
// that appears, so id and device say nothing of this.
inline bool isSameHardware(const Disk &a, const Disk &b)
{
    return a.model == b.model && a.size == b.size && a.serial == b.serial;
}
