#pragma once

#include "disks/blockdevice.h"

#include <QFile>

// An ordinary file as a block device with 512-byte sectors.
class FileBlockDevice : public BlockDevice
{
public:
    enum class OpenMode {
        CreateOrTruncate = 0, // created when missing, emptied when present
        ExistingOnly = 1,     // must exist; its contents stay
    };

    // A negative size means no limit.
    FileBlockDevice(const QString &path, qint64 size, OpenMode mode);

    bool open() override;
    void close() override;
    qint64 size() const override;
    int sectorSize() const override;
    bool seek(qint64 offset) override;
    bool write(const char *data, qint64 length) override;
    qint64 read(char *data, qint64 length) override;
    bool flush() override;
    bool dropCaches() override;
    QString errorString() const override;
    Failure failure() const override;

private:
    QFile m_file;
    qint64 m_size;
    OpenMode m_mode;
    Failure m_failure = Failure::IoError;
};
