#pragma once

#include <QString>

// One block device as the UDisks service describes it.
struct UdisksBlock
{
    QString id;     // becomes the Disk's id
    QString device; // becomes the Disk's device, and is what system devices match
    QString drive;  // path of the UdisksDrive it belongs to
    bool ignored = false;
    qint64 size = 0;
    bool system = false; // the service counts it as a system device
};
