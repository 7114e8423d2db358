#include "udisksstandin.h"

#include "programrun.h"
#include "testfiles.h"

#include "disks/linux/udisks.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace {

// A bus of its own: no activation, nothing but the test and the stand-in.
const char Config[] = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow receive_sender="*"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

// The first line a program prints once it is ready; false when it ends or
// says nothing for ten seconds.
bool firstLine(QProcess &program, QByteArray *line)
{
    while (!program.canReadLine()) {
        if (!program.waitForReadyRead(10000))
            return false;
    }
    *line = program.readLine().trimmed();
    return true;
}

} // namespace

UdisksStandin::~UdisksStandin()
{
    if (!m_connectionName.isEmpty())
        QDBusConnection::disconnectFromBus(m_connectionName);
    stopProgram(m_service);
    stopProgram(m_daemon);
}

bool UdisksStandin::startBus()
{
    const QString config = m_dir.filePath(QStringLiteral("bus.conf"));
    if (!writeFile(config, QString::fromLatin1(Config).arg(m_dir.path()).toUtf8()))
        return fail(QStringLiteral("cannot write %1").arg(config));
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                    QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(10000))
        return fail(QStringLiteral("cannot start dbus-daemon: %1").arg(m_daemon.errorString()));
    QByteArray address;
    if (!firstLine(m_daemon, &address))
        return fail(QStringLiteral("dbus-daemon gave no address: %1").arg(QString::fromLocal8Bit(m_daemon.readAllStandardError())));
    m_address = QString::fromUtf8(address);
    m_connectionName = QStringLiteral("standin-") + m_dir.path();
    if (!QDBusConnection::connectToBus(m_address, m_connectionName).isConnected())
        return fail(QStringLiteral("cannot connect to %1").arg(m_address));
    return true;
}

bool UdisksStandin::startService()
{
    m_service.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_service.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(TESSARO_UDISKS_STANDIN), m_address});
    if (!m_service.waitForStarted(10000))
        return fail(QStringLiteral("cannot start the UDisks2 stand-in: %1").arg(m_service.errorString()));
    QByteArray line;
    return (firstLine(m_service, &line) && line == "ready") || fail(QStringLiteral("the UDisks2 stand-in did not start"));
}

void UdisksStandin::stopService()
{
    stopProgram(m_service);
}

QDBusConnection UdisksStandin::bus() const
{
    return QDBusConnection(m_connectionName);
}

LinuxSystem UdisksStandin::system() const
{
    LinuxSystem system;
    system.bus = bus();
    return system;
}

QString UdisksStandin::drivePath(const QString &name)
{
    return udisks::ManagerPath + QStringLiteral("/drives/") + name;
}

QString UdisksStandin::blockPath(const QString &device)
{
    return udisks::ManagerPath + QStringLiteral("/block_devices/") + QFileInfo(device).fileName();
}

QJsonObject UdisksStandin::drive(const QString &vendor, const QString &model, const QString &bus, bool removable,
                                 const QString &serial)
{
    return {{QStringLiteral("Vendor"), vendor}, {QStringLiteral("Model"), model},
            {QStringLiteral("Serial"), serial}, {QStringLiteral("ConnectionBus"), bus},
            {QStringLiteral("Removable"), removable}, {QStringLiteral("MediaRemovable"), removable}};
}

QString UdisksStandin::addDisk(const QString &name, const QString &device, qint64 size, const QJsonObject &drive)
{
    const QJsonObject block{{QStringLiteral("Device"), device},
                            {QStringLiteral("Drive"), drivePath(name)},
                            {QStringLiteral("Size"), size},
                            {QStringLiteral("HintIgnore"), false},
                            {QStringLiteral("HintSystem"), false}};
    if (!add(drivePath(name), {{udisks::DriveInterface, drive}}) || !add(blockPath(device), {{udisks::BlockInterface, block}}))
        return QString();
    return blockPath(device);
}

bool UdisksStandin::addPartition(const QString &path, const QString &table, const QStringList &mountPoints,
                                 const QJsonObject &block)
{
    QJsonObject interfaces{{udisks::PartitionInterface, QJsonObject{{QStringLiteral("Table"), table}}},
                           {udisks::FilesystemInterface,
                            QJsonObject{{QStringLiteral("MountPoints"), QJsonArray::fromStringList(mountPoints)}}}};
    if (!block.isEmpty())
        interfaces.insert(udisks::BlockInterface, block);
    return add(path, interfaces);
}

bool UdisksStandin::add(const QString &path, const QJsonObject &interfaces)
{
    return control(QStringLiteral("Add"), {path, QString::fromUtf8(QJsonDocument(interfaces).toJson())});
}

bool UdisksStandin::remove(const QString &path)
{
    return control(QStringLiteral("Remove"), {path});
}

bool UdisksStandin::change(const QString &path, const QString &interface, const QJsonObject &properties)
{
    return control(QStringLiteral("Change"), {path, interface, QString::fromUtf8(QJsonDocument(properties).toJson())});
}

bool UdisksStandin::fail(const QString &path, const QString &method, const QString &errorName, const QString &message)
{
    return control(QStringLiteral("Fail"), {path, method, errorName, message});
}

QStringList UdisksStandin::calls()
{
    QVariantList reply;
    if (!control(QStringLiteral("Calls"), {}, &reply) || reply.isEmpty())
        return {};
    return reply.first().toStringList();
}

bool UdisksStandin::control(const QString &method, const QVariantList &arguments, QVariantList *reply)
{
    QDBusMessage call = QDBusMessage::createMethodCall(udisks::Service, udisks::ManagerPath,
                                                       QStringLiteral("org.tessaro.test.Standin"), method);
    call.setArguments(arguments);
    const QDBusMessage answer = bus().call(call);
    if (answer.type() != QDBusMessage::ReplyMessage)
        return fail(QStringLiteral("%1 failed: %2").arg(method, answer.errorMessage()));
    if (reply)
        *reply = answer.arguments();
    return true;
}

bool UdisksStandin::fail(const QString &text)
{
    m_errorString = text;
    return false;
}
