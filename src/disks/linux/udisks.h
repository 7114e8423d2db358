#pragma once

#include "disks/udisksblock.h"
#include "disks/udisksdrive.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QList>
#include <QMap>
#include <QString>
#include <QVariantMap>

// The UDisks2 service as the monitor and the block device see it: its object
// tree, read through the object manager, turned into the records of the
// removable-disk rule.
namespace udisks {

inline const QString Service = QStringLiteral("org.freedesktop.UDisks2");
inline const QString ManagerPath = QStringLiteral("/org/freedesktop/UDisks2");
inline const QString ObjectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
inline const QString DriveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");
inline const QString BlockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
inline const QString PartitionInterface = QStringLiteral("org.freedesktop.UDisks2.Partition");
inline const QString FilesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");

// Properties by interface name, for one object.
using Interfaces = QMap<QString, QVariantMap>;
// Every object of the service by object path.
using Objects = QMap<QString, Interfaces>;

// GetManagedObjects, once. False with *error set when the bus or the service
// does not answer.
bool managedObjects(const QDBusConnection &bus, Objects *objects, QString *error);
// Turns the a{sa{sv}} of an object manager message into interfaces, with
// every property value demarshalled into plain Qt types.
Interfaces interfacesFromArgument(const QDBusArgument &argument);
QVariantMap propertiesFromArgument(const QVariant &argument);

QList<UdisksDrive> drives(const Objects &objects);
// Whole disks only: partitions are never write targets.
QList<UdisksBlock> wholeDisks(const Objects &objects);

// Mount points of the file systems on the whole disk at blockPath or on its
// partitions, by the path of the object that carries the file system.
QMap<QString, QStringList> mountedFilesystems(const Objects &objects, const QString &blockPath);

} // namespace udisks
