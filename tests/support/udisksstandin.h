#pragma once

#include "disks/linux/linuxsystem.h"

#include <QDBusConnection>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A private D-Bus daemon and, on it, a scripted UDisks2 service
// (udisks2standin.py) whose object tree the test shapes. Both processes end
// with the object.
class UdisksStandin
{
public:
    UdisksStandin() = default;
    ~UdisksStandin();
    UdisksStandin(const UdisksStandin &) = delete;
    UdisksStandin &operator=(const UdisksStandin &) = delete;

    bool startBus();
    // The service on the bus started before.
    bool startService();
    void stopService();
    QDBusConnection bus() const;
    // The bus's address, for a program to use as its system bus
    // (DBUS_SYSTEM_BUS_ADDRESS).
    QString address() const { return m_address; }
    // A Linux machine whose system bus is this one; the rest as on this machine.
    LinuxSystem system() const;
    QString errorString() const { return m_errorString; }

    // The properties of a drive, removable or not as a whole and as to its
    // media; a serial where the device reports one.
    static QJsonObject drive(const QString &vendor, const QString &model, const QString &bus, bool removable,
                             const QString &serial = QString());
    // A drive and the block object of its whole disk; the block's object path.
    QString addDisk(const QString &name, const QString &device, qint64 size, const QJsonObject &drive);
    // A partition of the disk whose block object is at table, with a file
    // system mounted at mountPoints; a block interface too when block is
    // not empty.
    bool addPartition(const QString &path, const QString &table, const QStringList &mountPoints,
                      const QJsonObject &block = {});
    bool add(const QString &path, const QJsonObject &interfaces);
    bool remove(const QString &path);
    bool change(const QString &path, const QString &interface, const QJsonObject &properties);
    // The next call of method on path fails with this D-Bus error.
    bool fail(const QString &path, const QString &method, const QString &errorName, const QString &message);
    // "Unmount <path>", "OpenDevice <path> <mode>", in the order called.
    QStringList calls();

    static QString drivePath(const QString &name);
    static QString blockPath(const QString &device);

private:
    bool control(const QString &method, const QVariantList &arguments, QVariantList *reply = nullptr);
    bool fail(const QString &text);

    QTemporaryDir m_dir;
    QProcess m_daemon;
    QProcess m_service;
    QString m_address;
    QString m_connectionName;
    QString m_errorString;
};
