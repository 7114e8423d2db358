#pragma once

#include <QDBusConnection>
#include <QList>
#include <QString>

#include <unistd.h>

// Where the Linux disk code meets the system: the bus UDisks2 answers on, the
// folder under which proc/ and sys/ are read, and whether a disk is opened
// directly or handed over by UDisks2. The defaults are the running system;
// tests point them at a private bus and a made-up /proc and /sys.
struct LinuxSystem
{
    QDBusConnection bus = QDBusConnection::systemBus();
    QString root = QStringLiteral("/");
    // Only root may open a disk itself; anyone else asks UDisks2, which asks
    // the user for authorisation.
    bool openThroughUdisks = ::geteuid() != 0;

    // Device names ("/dev/sda") of the whole disks that hold the running
    // system: the file systems mounted at /, /boot, /boot/efi, /usr, /var and
    // /home, active swap, and the one holding programFolder. Disks under
    // device-mapper or RAID devices are followed down to the physical disks,
    // overlays to their layers and loop devices to the disk of their file,
    // so that a live system's stick counts too.
    QList<QString> systemDevices(const QString &programFolder) const;
};
