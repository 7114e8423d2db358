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
};

// Field by field; QList's == then compares disk lists in order, which is how
// a monitor tells whether its list changed.
inline bool operator==(const Disk &a, const Disk &b)
{
    return a.id == b.id && a.device == b.device && a.model == b.model && a.size == b.size;
}

inline bool operator!=(const Disk &a, const Disk &b)
{
    return !(a == b);
}
