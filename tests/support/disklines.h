#pragma once

#include "disks/disk.h"

#include <QList>
#include <QStringList>

// "id|device|model|size" per disk, so a row states its expected list in one line.
QStringList describe(const QList<Disk> &disks);
