#pragma once

#include "disks/disk.h"
#include "disks/win/win32.h"
#include "disks/windrive.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The read-only questions the program asks Windows about volumes and disks.
// No state is kept between calls, so they run on any thread; every query
// failure drops only what it concerns.
namespace windisks {

struct Volume
{
    QString name;            // GUID path without its trailing backslash
    QStringList mountPoints; // drive letters ("E:"); folder mount points are left out
    QList<int> diskNumbers;  // disks of the extents, each once; empty when unreadable
};

// Owns one Windows handle and closes it. A handle whose open failed, and a
// moved-from one, hold INVALID_HANDLE_VALUE.
class Handle
{
public:
    Handle() = default;
    explicit Handle(HANDLE handle);
    Handle(Handle &&other) noexcept;
    Handle &operator=(Handle &&other) noexcept;
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    ~Handle();

    HANDLE get() const { return m_handle; }
    bool isValid() const { return m_handle != INVALID_HANDLE_VALUE; }

private:
    HANDLE m_handle = INVALID_HANDLE_VALUE;
};

QList<Volume> volumes();
// Physical drive `number`, or nothing when it cannot be opened or does not
// describe itself.
std::optional<WinDrive> drive(int number, const QList<Volume> &volumes);
// The disks holding the Windows folder or the program's folder. True only
// when the Windows volume was found with at least one disk; *disks is left
// alone when it could not be identified at all.
bool systemDisks(const QList<Volume> &volumes, QList<int> *disks);
// The disks that may be offered as write targets, filtered and ordered.
QList<Disk> removableDisks();
// An existing object, shared for reading and writing with others.
Handle open(const QString &path, unsigned long access, unsigned long flags);
// The system's own text for a Windows error code.
QString errorString(unsigned long code);
// Whether the program runs with an administrator's elevated rights, which
// opening a disk for writing needs; listing disks does not. A token that
// cannot be read counts as elevated: opening the disk then fails in
// Windows' own words.
bool elevated();

} // namespace windisks
