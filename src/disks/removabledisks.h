#pragma once

#include "disks/disk.h"
#include "disks/udisksblock.h"
#include "disks/udisksdrive.h"
#include "disks/windrive.h"

#include <QList>

// The rule that decides which disks may be offered as write targets: whole,
// present, removable disks that do not hold the running system. Pure
// functions, so the Windows block device can apply the very same rule again
// when it opens the chosen disk.

// Windows drives; systemDisks are the disk numbers never to offer. Ordered by
// disk number.
QList<Disk> removableWindowsDisks(const QList<WinDrive> &drives, const QList<int> &systemDisks);

// UDisks block devices on their drives; systemDevices are device names never
// to offer. Never offered either: blocks the service counts as system devices
// or ignores, the boot and replay-protected areas of an eMMC, drives that
// take optical media only, and eMMC soldered to the board. Ordered by
// device name.
QList<Disk> removableDisks(const QList<UdisksDrive> &drives, const QList<UdisksBlock> &blocks,
                           const QList<QString> &systemDevices);

// The Disk an admitted drive is listed as; the block devices compare a disk
// they open with what the user was shown through these.
Disk windowsDisk(const WinDrive &drive);
Disk udisksDisk(const UdisksDrive &drive, const UdisksBlock &block);

// \\.\PhysicalDriveN, the path a Windows disk is opened by and the id of its Disk.
QString windowsDiskPath(int number);
// The disk number of such an id, or -1 for anything else.
int windowsDiskNumber(const QString &id);
