// What UDisks2 answers, made from bytes, sent over a real D-Bus connection
// and decoded as the disk monitor and the block device decode it: the
// GetManagedObjects reply into objects, drives, whole disks, mounted file
// systems and the disks the rule offers; and, as the monitor's signals bring
// them, a set of added interfaces and a set of changed properties. Values
// come in every D-Bus type, under the property names the decoding reads and
// others; the top level may have another signature than the one expected.
//
// The service side is a peer of the connection, on a thread of its own,
// answering from what the input built; both ends marshal and demarshal
// through libdbus, as with the real service.
#include "disks/linux/udisks.h"
#include "disks/removabledisks.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusServer>
#include <QDBusSignature>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QMutex>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThread>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <functional>

namespace {

using Interfaces = QMap<QString, QVariantMap>;
using Objects = QMap<QDBusObjectPath, Interfaces>;

const QString Prefix = QStringLiteral("/org/freedesktop/UDisks2/");
const QString ArgumentsMethod = QStringLiteral("Arguments");

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Printable text, as the service's strings are valid UTF-8 without NULs;
// bytes above ASCII become Latin-1 letters, two bytes each in UTF-8.
QString text(FuzzedDataProvider &in, size_t length)
{
    QString result;
    for (char c : in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, length))) {
        const uchar byte = uchar(c);
        result.append(byte < 0x20 || byte == 0x7f ? QChar(u'_') : QChar(byte));
    }
    return result;
}

QString pick(FuzzedDataProvider &in, const QStringList &choices)
{
    return choices.at(in.ConsumeIntegralInRange<qsizetype>(0, choices.size() - 1));
}

QDBusObjectPath objectPath(FuzzedDataProvider &in)
{
    static const QStringList paths{
        QStringLiteral("block_devices/sda"), QStringLiteral("block_devices/sda1"),
        QStringLiteral("block_devices/sdb"), QStringLiteral("block_devices/mmcblk0"),
        QStringLiteral("block_devices/mmcblk0boot0"), QStringLiteral("block_devices/sr0"),
        QStringLiteral("drives/Kingston_DataTraveler_0001"), QStringLiteral("drives/SD_Card_Reader"),
        QStringLiteral("drives/Samsung_SSD_970"), QStringLiteral("Manager"),
    };
    if (in.ConsumeIntegralInRange(0, 7) > 0)
        return QDBusObjectPath(Prefix + pick(in, paths));
    // A valid path of the input's own: letters, digits and underscores.
    QString name;
    for (QChar c : text(in, 12))
        name.append(c.isLetterOrNumber() && c.unicode() < 0x80 ? c : QChar(u'_'));
    return QDBusObjectPath(Prefix + QStringLiteral("block_devices/") + (name.isEmpty() ? QStringLiteral("x") : name));
}

QByteArray fileName(FuzzedDataProvider &in)
{
    static const QStringList names{QStringLiteral("/dev/sda"), QStringLiteral("/dev/sdb"),
                                   QStringLiteral("/dev/mmcblk0"), QStringLiteral("/dev/mmcblk0boot0"),
                                   QStringLiteral("/"), QStringLiteral("/media/user/CARD")};
    QByteArray bytes = in.ConsumeBool() ? pick(in, names).toUtf8() : QByteArray::fromStdString(in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 16)));
    // The service ends file names with a NUL, mostly.
    if (in.ConsumeIntegralInRange(0, 3) > 0)
        bytes.append('\0');
    return bytes;
}

QVariant anyValue(FuzzedDataProvider &in, int depth);

QVariantMap properties(FuzzedDataProvider &in, int depth, const QString &interface = QString());

// A value of any type D-Bus carries; containers only up to a depth.
QVariant anyValue(FuzzedDataProvider &in, int depth)
{
    const int kinds = depth < 3 ? 19 : 14;
    switch (in.ConsumeIntegralInRange(0, kinds - 1)) {
    case 0:
        return in.ConsumeBool();
    case 1:
        return QVariant::fromValue(in.ConsumeIntegral<uchar>());
    case 2:
        return QVariant::fromValue(in.ConsumeIntegral<short>());
    case 3:
        return QVariant::fromValue(in.ConsumeIntegral<ushort>());
    case 4:
        return in.ConsumeIntegral<int>();
    case 5:
        return in.ConsumeIntegral<uint>();
    case 6:
        return QVariant::fromValue(in.ConsumeIntegral<qlonglong>());
    case 7:
        return QVariant::fromValue(in.ConsumeIntegral<qulonglong>());
    case 8:
        return in.ConsumeFloatingPoint<double>();
    case 9:
        return text(in, 24);
    case 10:
        return QVariant::fromValue(objectPath(in));
    case 11:
        return QVariant::fromValue(QDBusSignature(pick(in, {QStringLiteral("s"), QStringLiteral("ay"),
                                                            QStringLiteral("a{sv}")})));
    case 12:
        return fileName(in);
    case 13: {
        QStringList list;
        for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i)
            list.append(text(in, 16));
        return list;
    }
    case 14: {
        QByteArrayList list;
        for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i)
            list.append(fileName(in));
        return QVariant::fromValue(list);
    }
    case 15: {
        QList<QDBusObjectPath> list;
        for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i)
            list.append(objectPath(in));
        return QVariant::fromValue(list);
    }
    case 16:
        return properties(in, depth + 1);
    case 17: {
        QVariantList list;
        for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i)
            list.append(anyValue(in, depth + 1));
        return list;
    }
    default:
        return QVariant::fromValue(QDBusVariant(anyValue(in, depth + 1)));
    }
}

// Mostly the type the service gives the property, sometimes any other.
QVariant propertyValue(FuzzedDataProvider &in, const QString &name, int depth)
{
    if (in.ConsumeIntegralInRange(0, 3) == 0)
        return anyValue(in, depth);
    if (name == QLatin1String("Device") || name == QLatin1String("PreferredDevice"))
        return fileName(in);
    if (name == QLatin1String("MountPoints")) {
        QByteArrayList list;
        for (int i = in.ConsumeIntegralInRange(0, 2); i > 0; --i)
            list.append(fileName(in));
        return QVariant::fromValue(list);
    }
    if (name == QLatin1String("Drive") || name == QLatin1String("Table"))
        return QVariant::fromValue(objectPath(in));
    if (name == QLatin1String("Size"))
        return QVariant::fromValue(in.ConsumeIntegral<qulonglong>());
    if (name == QLatin1String("MediaCompatibility")) {
        QStringList media;
        for (int i = in.ConsumeIntegralInRange(0, 3); i > 0; --i)
            media.append(pick(in, {QStringLiteral("flash_sd"), QStringLiteral("flash_mmc"), QStringLiteral("thumb"),
                                   QStringLiteral("optical_cd"), QStringLiteral("optical_dvd"), text(in, 8)}));
        return media;
    }
    if (name.startsWith(QLatin1String("Hint")) || name.contains(QLatin1String("Removable")))
        return in.ConsumeBool();
    if (name == QLatin1String("ConnectionBus"))
        return pick(in, {QStringLiteral("usb"), QStringLiteral("sdio"), QStringLiteral("USB"), QString(), text(in, 8)});
    return text(in, 24);
}

QVariantMap properties(FuzzedDataProvider &in, int depth, const QString &interface)
{
    static const QStringList driveNames{
        QStringLiteral("Vendor"), QStringLiteral("Model"), QStringLiteral("Serial"), QStringLiteral("ConnectionBus"),
        QStringLiteral("Removable"), QStringLiteral("MediaRemovable"), QStringLiteral("MediaCompatibility"),
        QStringLiteral("Size"), QStringLiteral("Id")};
    static const QStringList blockNames{
        QStringLiteral("Device"), QStringLiteral("PreferredDevice"), QStringLiteral("Drive"),
        QStringLiteral("HintIgnore"), QStringLiteral("HintSystem"), QStringLiteral("Size"), QStringLiteral("ReadOnly")};
    static const QStringList otherNames{QStringLiteral("Table"), QStringLiteral("Number"), QStringLiteral("MountPoints"),
                                        QStringLiteral("Size")};
    const QStringList &names = interface == udisks::DriveInterface ? driveNames
            : interface == udisks::BlockInterface                  ? blockNames
                                                                   : otherNames;
    QVariantMap map;
    for (int i = in.ConsumeIntegralInRange(0, depth == 0 ? 9 : 3); i > 0 && in.remaining_bytes() > 0; --i) {
        const QString name = in.ConsumeIntegralInRange(0, 7) > 0 ? pick(in, names) : text(in, 12);
        map.insert(name, propertyValue(in, name, depth));
    }
    return map;
}

Interfaces interfaces(FuzzedDataProvider &in)
{
    static const QStringList names{udisks::DriveInterface, udisks::BlockInterface, udisks::PartitionInterface,
                                   udisks::FilesystemInterface, QStringLiteral("org.freedesktop.UDisks2.Loop")};
    Interfaces result;
    for (int i = in.ConsumeIntegralInRange(0, 3); i > 0 && in.remaining_bytes() > 0; --i) {
        const QString name = pick(in, names);
        result.insert(name, properties(in, 0, name));
    }
    return result;
}

// The top level of a reply: mostly the type expected there, else any value.
QVariant reply(FuzzedDataProvider &in, const std::function<QVariant()> &expected)
{
    return in.ConsumeIntegralInRange(0, 7) > 0 ? expected() : anyValue(in, 0);
}

// The UDisks2 end of the connection: answers each call with the arguments
// the input made for it.
class Service : public QDBusVirtualObject
{
public:
    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        QMutexLocker locker(&mutex);
        const QVariantList &arguments =
                message.member() == ArgumentsMethod ? signalArguments : managedObjectsArguments;
        // Every value made here marshals; should one not, the caller still
        // gets an answer rather than waiting for its time-out.
        if (!connection.send(message.createReply(arguments)))
            std::abort();
        return true;
    }

    QMutex mutex;
    QVariantList managedObjectsArguments;
    QVariantList signalArguments;
};

struct Peers
{
    // The service listens on a socket in folder.
    explicit Peers(const QString &folder)
    {
        qDBusRegisterMetaType<Interfaces>();
        qDBusRegisterMetaType<Objects>();
        qDBusRegisterMetaType<QByteArrayList>();
        qDBusRegisterMetaType<QList<QDBusObjectPath>>();
        service.moveToThread(&thread);
        thread.start();
        QSemaphore ready;
        QString address;
        QMetaObject::invokeMethod(&service, [&] {
            server = new QDBusServer(QStringLiteral("unix:dir=") + folder);
            QObject::connect(server, &QDBusServer::newConnection, server, [this](const QDBusConnection &peer) {
                QDBusConnection(peer).registerVirtualObject(udisks::ManagerPath, &service);
            });
            address = server->address();
            ready.release();
        });
        ready.acquire();
        client = QDBusConnection::connectToPeer(address, QStringLiteral("fuzz_udisks"));
        check(client.isConnected());
    }

    Service service;
    QThread thread;
    QDBusServer *server = nullptr; // lives and dies on the thread
    QDBusConnection client{QString()};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_udisks";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static QTemporaryDir folder; // removed at exit, with the socket
    static Peers *peers = new Peers(folder.path()); // never destroyed: its thread would have to be stopped first

    FuzzedDataProvider in(data, size);
    {
        QMutexLocker locker(&peers->service.mutex);
        Service &service = peers->service;
        service.managedObjectsArguments = {reply(in, [&in] {
            Objects objects;
            for (int i = in.ConsumeIntegralInRange(0, 8); i > 0 && in.remaining_bytes() > 0; --i)
                objects.insert(objectPath(in), interfaces(in));
            return QVariant::fromValue(objects);
        })};
        service.signalArguments = {reply(in, [&in] { return QVariant::fromValue(interfaces(in)); }),
                                   reply(in, [&in] { return QVariant(properties(in, 0)); })};
    }

    udisks::Objects objects;
    QString error;
    if (udisks::managedObjects(peers->client, &objects, &error)) {
        const QList<UdisksDrive> drives = udisks::drives(objects);
        const QList<UdisksBlock> blocks = udisks::wholeDisks(objects);
        const QList<Disk> disks = removableDisks(drives, blocks, {QStringLiteral("/dev/sda")});
        for (const Disk &disk : disks) {
            check(objects.contains(disk.id) && disk.size > 0 && disk.device != QLatin1String("/dev/sda"));
            udisks::mountedFilesystems(objects, disk.id);
        }
        for (const UdisksBlock &block : blocks) {
            for (const UdisksDrive &drive : drives)
                udisksDisk(drive, block);
        }
    }

    const QDBusMessage call = QDBusMessage::createMethodCall(udisks::Service, udisks::ManagerPath,
                                                             udisks::ObjectManagerInterface, ArgumentsMethod);
    const QDBusMessage answer = peers->client.call(call);
    check(answer.type() == QDBusMessage::ReplyMessage && answer.arguments().size() == 2);
    udisks::interfacesFromArgument(answer.arguments().at(0).value<QDBusArgument>());
    udisks::propertiesFromArgument(answer.arguments().at(1));
    return 0;
}
