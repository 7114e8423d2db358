#include "disks/linux/udisks.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>

namespace udisks {

namespace {

// UDisks2 hands file names over as NUL-terminated byte strings.
QString fileName(const QByteArray &bytes)
{
    const int end = bytes.indexOf('\0');
    return QString::fromLocal8Bit(end < 0 ? bytes : bytes.left(end));
}

// Object paths become their text, lists of byte strings (mount points)
// lists of file names; everything else QtDBus already made a plain value.
QVariant plainValue(const QVariant &value)
{
    if (value.metaType() == QMetaType::fromType<QDBusObjectPath>())
        return value.value<QDBusObjectPath>().path();
    if (value.metaType() == QMetaType::fromType<QDBusArgument>()) {
        const QDBusArgument argument = value.value<QDBusArgument>();
        if (argument.currentSignature() == QLatin1String("aay")) {
            QStringList names;
            for (const QByteArray &bytes : qdbus_cast<QByteArrayList>(argument))
                names.append(fileName(bytes));
            return names;
        }
    }
    return value;
}

// QDBusArgument's stream operators trust the type they are asked to read:
// reading a value of another D-Bus type crashes in libdbus. Only a value of
// the expected signature is read; anything else counts as no value.
bool hasSignature(const QDBusArgument &argument, QLatin1String signature)
{
    return argument.currentSignature() == signature;
}

QVariantMap plainProperties(QVariantMap properties)
{
    for (auto value = properties.begin(); value != properties.end(); ++value)
        *value = plainValue(*value);
    return properties;
}

QString text(const QVariantMap &properties, const char *name)
{
    return properties.value(QLatin1String(name)).toString();
}

bool flag(const QVariantMap &properties, const char *name)
{
    return properties.value(QLatin1String(name)).toBool();
}

} // namespace

QVariantMap propertiesFromArgument(const QVariant &argument)
{
    if (argument.metaType() == QMetaType::fromType<QDBusArgument>()
        && !hasSignature(argument.value<QDBusArgument>(), QLatin1String("a{sv}")))
        return {};
    return plainProperties(qdbus_cast<QVariantMap>(argument));
}

Interfaces interfacesFromArgument(const QDBusArgument &argument)
{
    Interfaces interfaces;
    if (!hasSignature(argument, QLatin1String("a{sa{sv}}")))
        return interfaces;
    argument >> interfaces;
    for (QVariantMap &properties : interfaces)
        properties = plainProperties(properties);
    return interfaces;
}

bool managedObjects(const QDBusConnection &bus, Objects *objects, QString *error)
{
    objects->clear();
    if (!bus.isConnected()) {
        *error = bus.lastError().message();
        return false;
    }
    const QDBusMessage call = QDBusMessage::createMethodCall(Service, ManagerPath, ObjectManagerInterface,
                                                             QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = bus.call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        *error = reply.errorMessage();
        return false;
    }
    const QDBusArgument map = reply.arguments().first().value<QDBusArgument>();
    if (!hasSignature(map, QLatin1String("a{oa{sa{sv}}}"))) {
        *error = QStringLiteral("UDisks2 answered with data of type \"%1\" instead of its objects")
                         .arg(map.currentSignature());
        return false;
    }
    map.beginMap();
    while (!map.atEnd()) {
        QDBusObjectPath path;
        map.beginMapEntry();
        map >> path;
        Interfaces interfaces = interfacesFromArgument(map);
        map.endMapEntry();
        objects->insert(path.path(), interfaces);
    }
    map.endMap();
    return true;
}

QList<UdisksDrive> drives(const Objects &objects)
{
    QList<UdisksDrive> drives;
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        if (!object->contains(DriveInterface))
            continue;
        const QVariantMap drive = object->value(DriveInterface);
        drives.append(UdisksDrive{object.key(), text(drive, "Vendor"), text(drive, "Model"),
                                  text(drive, "ConnectionBus"), flag(drive, "Removable"),
                                  flag(drive, "MediaRemovable"), false, text(drive, "Serial"),
                                  drive.value(QStringLiteral("MediaCompatibility")).toStringList()});
    }
    return drives;
}

QList<UdisksBlock> wholeDisks(const Objects &objects)
{
    QList<UdisksBlock> blocks;
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        if (!object->contains(BlockInterface) || object->contains(PartitionInterface))
            continue;
        const QVariantMap block = object->value(BlockInterface);
        blocks.append(UdisksBlock{object.key(), fileName(block.value(QStringLiteral("Device")).toByteArray()),
                                  text(block, "Drive"), flag(block, "HintIgnore"),
                                  block.value(QStringLiteral("Size")).toLongLong(), flag(block, "HintSystem")});
    }
    return blocks;
}

QMap<QString, QStringList> mountedFilesystems(const Objects &objects, const QString &blockPath)
{
    QMap<QString, QStringList> mounted;
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        const QStringList mountPoints =
                object->value(FilesystemInterface).value(QStringLiteral("MountPoints")).toStringList();
        if (mountPoints.isEmpty())
            continue;
        if (object.key() == blockPath || text(object->value(PartitionInterface), "Table") == blockPath)
            mounted.insert(object.key(), mountPoints);
    }
    return mounted;
}

} // namespace udisks
