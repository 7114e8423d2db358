#pragma once

#include "disks/diskmonitor.h"
#include "disks/linux/linuxsystem.h"
#include "disks/linux/udisks.h"

#include <QDBusMessage>
#include <QList>

// The removable disks that UDisks2 knows. The object tree is read once and
// then kept up to date from the service's signals; the removable-disk rule
// picks and orders the whole disks that do not hold the running system.
class UdisksDiskMonitor : public DiskMonitor
{
    Q_OBJECT

public:
    explicit UdisksDiskMonitor(const LinuxSystem &system = LinuxSystem(), QObject *parent = nullptr);

    QList<Disk> disks() const override;
    std::unique_ptr<BlockDevice> createDevice(const Disk &disk) const override;
    QString errorString() const override;
    bool canPowerOff(const Disk &disk) const override;
    void powerOff(const Disk &disk) override;

private slots:
    void interfacesAdded(const QDBusMessage &message);
    void interfacesRemoved(const QDBusMessage &message);
    void propertiesChanged(const QDBusMessage &message);
    void serviceRegistered();
    void serviceUnregistered();

private:
    void readObjects();
    void update();
    void setError(const QString &error);
    // The drive object of the whole disk at blockPath; empty when there is none.
    QString drivePath(const QString &blockPath) const;
    // Sends the first call; each that succeeds sends the next.
    void callInTurn(const QString &diskId, QList<QDBusMessage> calls);

    LinuxSystem m_system;
    udisks::Objects m_objects;
    QList<Disk> m_disks;
    QString m_error;
    QString m_announcedError; // as of the last disksChanged()
};
