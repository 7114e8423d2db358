#include "disks/linux/udisksdiskmonitor.h"

#include "disks/linux/linuxblockdevice.h"
#include "disks/removabledisks.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>

UdisksDiskMonitor::UdisksDiskMonitor(const LinuxSystem &system, QObject *parent)
    : DiskMonitor(parent), m_system(system)
{
    QDBusConnection &bus = m_system.bus;
    if (!bus.isConnected()) {
        setError(QStringLiteral("no system bus: %1").arg(bus.lastError().message()));
        return;
    }
    bus.connect(udisks::Service, udisks::ManagerPath, udisks::ObjectManagerInterface,
                QStringLiteral("InterfacesAdded"), this, SLOT(interfacesAdded(QDBusMessage)));
    bus.connect(udisks::Service, udisks::ManagerPath, udisks::ObjectManagerInterface,
                QStringLiteral("InterfacesRemoved"), this, SLOT(interfacesRemoved(QDBusMessage)));
    // Every object of the service sends its own PropertiesChanged.
    bus.connect(udisks::Service, QString(), QStringLiteral("org.freedesktop.DBus.Properties"),
                QStringLiteral("PropertiesChanged"), this, SLOT(propertiesChanged(QDBusMessage)));
    // UDisks2 may start after the program, or be restarted.
    auto *watcher = new QDBusServiceWatcher(udisks::Service, bus,
                                            QDBusServiceWatcher::WatchForRegistration
                                                    | QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &UdisksDiskMonitor::serviceRegistered);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, &UdisksDiskMonitor::serviceUnregistered);
    readObjects();
    update();
}

QList<Disk> UdisksDiskMonitor::disks() const
{
    return m_disks;
}

std::unique_ptr<BlockDevice> UdisksDiskMonitor::createDevice(const Disk &disk) const
{
    const udisks::Interfaces object = m_objects.value(disk.id);
    if (!object.contains(udisks::BlockInterface))
        return nullptr;
    // The drive the disk belongs to now, which is what the user was shown.
    const QString drive = object.value(udisks::BlockInterface).value(QStringLiteral("Drive")).toString();
    return std::make_unique<LinuxBlockDevice>(disk, drive, m_system);
}

QString UdisksDiskMonitor::drivePath(const QString &blockPath) const
{
    return m_objects.value(blockPath).value(udisks::BlockInterface).value(QStringLiteral("Drive")).toString();
}

bool UdisksDiskMonitor::canPowerOff(const Disk &disk) const
{
    const QString drive = drivePath(disk.id);
    return m_disks.contains(disk) && !drive.isEmpty()
            && m_objects.value(drive).value(udisks::DriveInterface).value(QStringLiteral("CanPowerOff")).toBool();
}

void UdisksDiskMonitor::powerOff(const Disk &disk)
{
    // A desktop mounts the partitions of a freshly written card at once; the
    // drive is only powered off with nothing of it mounted.
    QList<QDBusMessage> calls;
    const QMap<QString, QStringList> mounted = udisks::mountedFilesystems(m_objects, disk.id);
    for (auto filesystem = mounted.cbegin(); filesystem != mounted.cend(); ++filesystem) {
        calls.append(QDBusMessage::createMethodCall(udisks::Service, filesystem.key(), udisks::FilesystemInterface,
                                                    QStringLiteral("Unmount"))
                     << QVariantMap());
    }
    calls.append(QDBusMessage::createMethodCall(udisks::Service, drivePath(disk.id), udisks::DriveInterface,
                                                QStringLiteral("PowerOff"))
                 << QVariantMap());
    callInTurn(disk.id, calls);
}

void UdisksDiskMonitor::callInTurn(const QString &diskId, QList<QDBusMessage> calls)
{
    // Unmounting waits for the data still on its way to the card, and the
    // service may ask the user for authorisation first.
    const QDBusPendingCall call = m_system.bus.asyncCall(calls.takeFirst(), 120000);
    auto *watcher = new QDBusPendingCallWatcher(call, this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, diskId, calls](QDBusPendingCallWatcher *done) {
        done->deleteLater();
        if (done->isError())
            emit powerOffFinished(diskId, done->error().message());
        else if (calls.isEmpty())
            emit powerOffFinished(diskId, QString());
        else
            callInTurn(diskId, calls);
    });
}

void UdisksDiskMonitor::readObjects()
{
    QString error;
    if (udisks::managedObjects(m_system.bus, &m_objects, &error))
        setError(QString());
    else
        setError(QStringLiteral("UDisks2 does not answer: %1").arg(error));
}

// Warned once for each spell without a list; told to the front ends by the
// next update().
void UdisksDiskMonitor::setError(const QString &error)
{
    if (!error.isEmpty() && m_error.isEmpty())
        qWarning("Cannot list disks: %s", qPrintable(error));
    m_error = error;
}

QString UdisksDiskMonitor::errorString() const
{
    return m_error;
}

void UdisksDiskMonitor::update()
{
    const QList<Disk> disks =
            removableDisks(udisks::drives(m_objects), udisks::wholeDisks(m_objects),
                           m_system.systemDevices(QCoreApplication::applicationDirPath()));
    if (disks == m_disks && m_error == m_announcedError)
        return;
    m_disks = disks;
    m_announcedError = m_error;
    emit disksChanged();
}

void UdisksDiskMonitor::interfacesAdded(const QDBusMessage &message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2)
        return;
    const QString path = arguments.at(0).value<QDBusObjectPath>().path();
    const udisks::Interfaces added = udisks::interfacesFromArgument(arguments.at(1).value<QDBusArgument>());
    udisks::Interfaces &interfaces = m_objects[path];
    for (auto interface = added.cbegin(); interface != added.cend(); ++interface)
        interfaces.insert(interface.key(), interface.value());
    update();
}

void UdisksDiskMonitor::interfacesRemoved(const QDBusMessage &message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() < 2)
        return;
    const QString path = arguments.at(0).value<QDBusObjectPath>().path();
    auto object = m_objects.find(path);
    if (object == m_objects.end())
        return;
    for (const QString &interface : arguments.at(1).toStringList())
        object->remove(interface);
    if (object->isEmpty())
        m_objects.erase(object);
    update();
}

void UdisksDiskMonitor::propertiesChanged(const QDBusMessage &message)
{
    const QVariantList arguments = message.arguments();
    auto object = m_objects.find(message.path());
    if (arguments.size() < 2 || object == m_objects.end())
        return;
    auto interface = object->find(arguments.at(0).toString());
    if (interface == object->end())
        return;
    const QVariantMap changed = udisks::propertiesFromArgument(arguments.at(1));
    for (auto value = changed.cbegin(); value != changed.cend(); ++value)
        interface->insert(value.key(), value.value());
    // Every object of the service reports its changes here, jobs and file
    // systems included; the list is built from drives and blocks alone, and
    // building it reads the mount tables and sysfs.
    if (interface.key() != udisks::DriveInterface && interface.key() != udisks::BlockInterface)
        return;
    update();
}

void UdisksDiskMonitor::serviceRegistered()
{
    readObjects();
    update();
}

void UdisksDiskMonitor::serviceUnregistered()
{
    m_objects.clear();
    setError(QStringLiteral("UDisks2 stopped"));
    update();
}
