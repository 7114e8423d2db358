#pragma once

#include "disks/blockdevice.h"

#include <QFile>

#include <functional>

// A block device over an existing file that behaves like an unbuffered
// physical drive with a chosen sector size: every seek offset, transfer
// length and buffer address must be a multiple of the sector size, and
// nothing is written past the end. Misaligned requests fail and are counted.
// It can also be told to fail, for the faults a real file cannot produce.
class SectorFileDevice : public BlockDevice
{
public:
    SectorFileDevice(const QString &path, int sectorSize);

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

    // Writes after the first `writes` successful ones fail with "simulated
    // write error"; -1 (the default) never fails.
    void failWritesAfter(int writes) { m_writesLeft = writes; }
    void failFlush(bool fail) { m_failFlush = fail; }
    // Reads fail with "simulated read error".
    void failReads(bool fail) { m_failReads = fail; }
    // open() fails with "simulated open error".
    void failOpen(bool fail) { m_failOpen = fail; }
    // Seeks fail with "simulated seek error".
    void failSeeks(bool fail) { m_failSeeks = fail; }
    // dropCaches() fails with "simulated cache drop error", flush() still works.
    void failDropCaches(bool fail) { m_failDropCaches = fail; }
    // The kind failure() reports for the simulated failures above (a card
    // pulled out, a locked card); IoError by default. Real file errors and
    // misaligned requests are always IoError.
    void setSimulatedFailure(Failure kind) { m_simulatedFailure = kind; }
    // Runs at the start of every dropCaches(), for a test that changes the
    // medium behind the caller's back before it reads back.
    void setDropCachesHook(std::function<void()> hook) { m_dropCachesHook = std::move(hook); }

    bool isOpen() const { return m_file.isOpen(); }
    int closes() const { return m_closes; }
    int misalignedRequests() const { return m_misaligned; }
    int writes() const { return m_writes; }
    int reads() const { return m_reads; }
    // Bytes written, counting each transfer whole.
    qint64 bytesWritten() const { return m_bytesWritten; }

private:
    bool aligned(qint64 value) const { return value % m_sectorSize == 0; }
    bool refuse(const QString &text);
    bool simulate(const QString &text);

    QFile m_file;
    int m_sectorSize;
    qint64 m_size = 0;
    qint64 m_position = 0;
    int m_writesLeft = -1;
    bool m_failFlush = false;
    bool m_failReads = false;
    bool m_failOpen = false;
    bool m_failSeeks = false;
    bool m_failDropCaches = false;
    Failure m_simulatedFailure = Failure::IoError;
    Failure m_failure = Failure::IoError;
    std::function<void()> m_dropCachesHook;
    int m_closes = 0;
    int m_misaligned = 0;
    int m_writes = 0;
    int m_reads = 0;
    qint64 m_bytesWritten = 0;
    QString m_errorString;
};
