#pragma once

#include <QString>

// The raw target of a write: a byte-addressed device that is opened, written,
// read back and closed by one thread. Callers transfer whole sectors from
// AlignedBuffer memory and seek to sector multiples only.
class BlockDevice
{
public:
    enum class Failure {
        IoError = 0,
        WriteProtected = 1,
        Removed = 2,
        PermissionDenied = 3,
        Cancelled = 4, // the user declined to let the device be opened
    };

    virtual ~BlockDevice() = default;

    virtual bool open() = 0;
    // Harmless on a device that is not open.
    virtual void close() = 0;
    virtual qint64 size() const = 0;
    virtual int sectorSize() const = 0;
    virtual bool seek(qint64 offset) = 0;
    // True only when every byte was written.
    virtual bool write(const char *data, qint64 length) = 0;
    // Bytes read, short only at the end of the device; -1 on failure.
    virtual qint64 read(char *data, qint64 length) = 0;
    virtual bool flush() = 0;
    // Called before written data is read back, so that the read sees the medium.
    virtual bool dropCaches() = 0;
    virtual QString errorString() const = 0;
    virtual Failure failure() const { return Failure::IoError; }
};
