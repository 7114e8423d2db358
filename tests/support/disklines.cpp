#include "disklines.h"

QStringList describe(const QList<Disk> &disks)
{
    QStringList lines;
    for (const Disk &disk : disks)
        lines << QStringLiteral("%1|%2|%3|%4").arg(disk.id, disk.device, disk.model).arg(disk.size);
    return lines;
}
