#pragma once

#include "disks/blockdevice.h"

#include <QString>

#include <chrono>
#include <memory>
#include <vector>

// A card of a set speed, for timing the write job against the card's own
// time. Its bytes live in memory, so that no disk under the page cache takes
// part; that memory is all there (and zeroed) from the start, as a card's
// cells are, so that a transfer copies and faults in no page on the way.
// Every write takes bytes / writeRate seconds and every read
// bytes / readRate, one transfer at a time, as on a real card. It keeps the
// sector rules of an unbuffered drive: offsets, lengths and buffer addresses
// whole 512-byte sectors, nothing past its end.
class RateDevice : public BlockDevice
{
public:
    static constexpr int Sector = 512;

    // Rates in bytes per second.
    RateDevice(qint64 size, double writeRate, double readRate);

    bool open() override;
    void close() override {}
    qint64 size() const override { return m_size; }
    int sectorSize() const override { return Sector; }
    bool seek(qint64 offset) override;
    bool write(const char *data, qint64 length) override;
    qint64 read(char *data, qint64 length) override;
    bool flush() override { return true; }
    bool dropCaches() override { return true; }
    QString errorString() const override { return m_errorString; }

    // Seconds the card's transfers took by its rates: the floor of any job.
    double transferSeconds() const { return m_transferSeconds; }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr qint64 BlockSize = 1024 * 1024;

    // Holds the caller until a transfer of that length, started when it was
    // called, has ended.
    void takeTime(Clock::time_point called, qint64 length, double rate);
    bool fail(const QString &text);

    const qint64 m_size;
    const double m_writeRate;
    const double m_readRate;
    std::vector<std::unique_ptr<char[]>> m_blocks;
    qint64 m_position = 0;
    double m_transferSeconds = 0;
    QString m_errorString;
};
