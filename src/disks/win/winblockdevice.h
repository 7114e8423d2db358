#pragma once

#include "disks/blockdevice.h"
#include "disks/disk.h"
#include "disks/win/windisks.h"

#include <QList>
#include <QString>

#include <vector>

// A Windows physical drive as the target of a write. open() checks again,
// on fresh data, that the disk is still the one the user chose (Windows gives
// a pulled disk's number to the next disk that appears) and a present,
// removable disk that does not hold the running system; it then locks and
// dismounts every volume of the disk, keeps them locked until close(), and
// opens the drive unbuffered and write-through. Every Windows failure becomes
// one of the failure kinds and a message naming the disk ("PhysicalDrive2").
class WinBlockDevice : public BlockDevice
{
public:
    // disk is the chosen disk as the list showed it; its id names the drive.
    explicit WinBlockDevice(const Disk &disk);
    ~WinBlockDevice() override;
    WinBlockDevice(const WinBlockDevice &) = delete;
    WinBlockDevice &operator=(const WinBlockDevice &) = delete;

    bool open() override;
    // Flushes, has Windows re-read the partition table, then lets the volumes go.
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

    // Closes the disk and lets the volumes go, without flushing.
    void release();

private:
    bool checkDisk(const QList<windisks::Volume> &volumes);
    bool lockVolumes(const QList<windisks::Volume> &volumes);
    bool openVolume(const windisks::Volume &volume, windisks::Handle *handle);
    // Tries to lock the volume for about two seconds, dismounting it once
    // halfway: some programs let go of a volume only then.
    bool lockVolume(const windisks::Volume &volume, windisks::Handle *handle);
    bool openDisk();
    bool readProperties();
    bool fail(Failure failure, const QString &text);
    bool failIo(unsigned long code, const char *verb);

    int m_number;
    QString m_name;
    Disk m_chosen;
    windisks::Handle m_disk;
    std::vector<windisks::Handle> m_lockedVolumes;
    qint64 m_size = 0;
    int m_sectorSize = 512;
    qint64 m_position = 0;
    Failure m_failure = Failure::IoError;
    QString m_errorString;
};
