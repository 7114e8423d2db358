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
