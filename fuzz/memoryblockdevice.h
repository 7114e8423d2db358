#pragma once

#include "disks/blockdevice.h"

#include <QByteArray>

#include <map>

// A card in memory for the fuzz targets: the given bytes at its start and
// zeros after them up to size(). Writes go to 4 KiB pages of their own, so a
// large card with a small image costs only the pages that are touched.
class MemoryBlockDevice : public BlockDevice
{
public:
    MemoryBlockDevice(const QByteArray &image, qint64 size, int sectorSize);

    bool open() override { return true; }
    void close() override {}
    qint64 size() const override { return m_size; }
    int sectorSize() const override { return m_sectorSize; }
    bool seek(qint64 offset) override;
    bool write(const char *data, qint64 length) override;
    qint64 read(char *data, qint64 length) override;
    bool flush() override { return true; }
    bool dropCaches() override { return true; }
    QString errorString() const override { return m_errorString; }

private:
    static constexpr qint64 PageSize = 4096;

    bool refuse(const QString &text);

    QByteArray m_image;
    qint64 m_size;
    int m_sectorSize;
    qint64 m_position = 0;
    std::map<qint64, QByteArray> m_pages; // written pages by their index
    QString m_errorString;
};
