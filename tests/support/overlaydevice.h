#pragma once

#include "disks/blockdevice.h"

#include <QByteArray>

#include <map>

// A card in memory: a shared base image plus the sectors written over it, so
// that thousands of damaged cards cost no copy of the base each. The card may
// be larger than the base: past it, it reads as zeros, so a seed or a
// fixture holds only the used part of a file system. Like a physical drive
// it takes only whole, aligned sectors and ends where the card ends.
class OverlayDevice : public BlockDevice
{
public:
    static constexpr qint64 Sector = 512;

    // A size below the base's (the default) makes the card as large as the base.
    explicit OverlayDevice(const QByteArray &base, qint64 size = 0);

    bool open() override { return true; }
    void close() override {}
    qint64 size() const override { return m_size; }
    int sectorSize() const override { return int(Sector); }
    bool seek(qint64 offset) override;
    bool write(const char *data, qint64 length) override;
    qint64 read(char *data, qint64 length) override;
    bool flush() override { return true; }
    bool dropCaches() override { return true; }
    QString errorString() const override { return m_errorString; }

    // Changes bytes of the card behind the writer's back.
    void poke(qint64 offset, const QByteArray &bytes);

    int misalignedRequests() const { return m_misaligned; }

private:
    bool misaligned();
    QByteArray &writtenSector(qint64 sector);

    const QByteArray m_base;
    const qint64 m_size;
    std::map<qint64, QByteArray> m_sectors; // written sectors by their offset
    qint64 m_position = 0;
    int m_misaligned = 0;
    QString m_errorString;
};
