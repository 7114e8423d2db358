#pragma once

#include "disks/blockdevice.h"
#include "disks/disk.h"
#include "disks/linux/linuxsystem.h"
#include "disks/linux/udisks.h"

// A whole disk on Linux, known to UDisks2. open() makes sure the disk is still
// the one the user chose (the kernel gives a pulled disk's name, and with it
// the block object, to the next disk that appears) and a removable,
// non-system disk, unmounts its file systems and opens it exclusively and
// unbuffered; nothing is touched before that.
class LinuxBlockDevice : public BlockDevice
{
public:
    // disk is the chosen disk as the list showed it: its id is the disk's
    // UDisks2 block object, its device the device file ("/dev/sdb"), which
    // also names it in every message. drive is the UDisks2 drive object the
    // block belonged to then, which the service names after the hardware.
    LinuxBlockDevice(const Disk &disk, const QString &drive, const LinuxSystem &system = LinuxSystem());
    ~LinuxBlockDevice() override;

    LinuxBlockDevice(const LinuxBlockDevice &) = delete;
    LinuxBlockDevice &operator=(const LinuxBlockDevice &) = delete;

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
    bool checkDisk(const udisks::Objects &objects);
    bool unmount(const udisks::Objects &objects);
    bool openDisk();
    bool openThroughUdisks();
    bool readProperties();
    void release();
    bool fail(Failure kind, const QString &text);
    // Turns a failed system call into kind and text; always false.
    bool failErrno(int error, const char *verb);
    // The same for a transfer, which fails as well when the disk goes away.
    bool failTransfer(int error, const char *verb);
    // Whether the open disk is still there, with a medium, as sysfs says.
    bool isPresent() const;
    bool failDBus(const QString &errorName, const QString &message, const char *verb, const QString &what);

    Disk m_chosen;
    QString m_drive;
    QString m_objectPath;
    QString m_device;
    LinuxSystem m_system;
    int m_fd = -1;
    qint64 m_size = 0;
    int m_sectorSize = 512;
    Failure m_failure = Failure::IoError;
    QString m_errorString;
};
