#include "disks/linux/udisksdiskmonitor.h"

#include "disks/linux/udisks.h"
#include "support/disklines.h"
#include "support/testfiles.h"
#include "support/udisksstandin.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

QString mountLine(const QString &point, const QString &numbers, const QString &source)
{
    return QStringLiteral("36 25 %1 / %2 rw,relatime shared:1 - ext4 %3 rw\n").arg(numbers, point, source);
}

// Lays out a made-up /proc and /sys under dir. Each entry of tree is a
// "file", a "file = text" or a "link -> target", relative to dir.
bool makeTree(const QTemporaryDir &dir, const QString &mountinfo, const QString &swaps, const QStringList &tree)
{
    QDir root(dir.path());
    if (!writeFile(root.filePath(QStringLiteral("proc/self/mountinfo")), mountinfo.toUtf8())
        || !writeFile(root.filePath(QStringLiteral("proc/swaps")), "Filename Type Size Used Priority\n" + swaps.toUtf8()))
        return false;
    for (const QString &entry : tree) {
        const QStringList link = entry.split(QStringLiteral(" -> "));
        if (link.size() == 1) {
            const QStringList file = entry.split(QStringLiteral(" = "));
            if (!writeFile(root.filePath(file.at(0)), file.value(1).toUtf8()))
                return false;
            continue;
        }
        root.mkpath(QFileInfo(link.at(0)).path());
        if (!QFile::link(link.at(1), root.filePath(link.at(0))))
            return false;
    }
    return true;
}

// sda holds the system on its second partition.
const QStringList SdaTree{
        QStringLiteral("sys/devices/pci0/block/sda/sda2/partition"),
        QStringLiteral("sys/dev/block/8:2 -> ../../devices/pci0/block/sda/sda2"),
};

} // namespace

class TestUdisksDiskMonitor : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_root;
    std::unique_ptr<UdisksStandin> m_standin;

    LinuxSystem system() const
    {
        LinuxSystem system = m_standin->system();
        system.root = m_root.path();
        return system;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(makeTree(m_root, mountLine(QStringLiteral("/"), QStringLiteral("8:2"), QStringLiteral("/dev/sda2")),
                         QString(), SdaTree));
    }

    void init()
    {
        m_standin = std::make_unique<UdisksStandin>();
        QVERIFY2(m_standin->startBus(), qPrintable(m_standin->errorString()));
    }

    void cleanup() { m_standin.reset(); }

    void stickComesAndGoes()
    {
        QVERIFY2(m_standin->startService(), qPrintable(m_standin->errorString()));
        // The system disk would pass the rule on its own: only the system
        // check keeps it out.
        QVERIFY(!m_standin->addDisk(QStringLiteral("system"), QStringLiteral("/dev/sda"), 64000000000,
                                    UdisksStandin::drive(QStringLiteral("ACME"), QStringLiteral("Boot Stick"), QStringLiteral("usb"), true))
                         .isEmpty());
        UdisksDiskMonitor monitor(system());
        QSignalSpy changed(&monitor, &DiskMonitor::disksChanged);
        QCOMPARE(monitor.disks().size(), 0);

        const QString stick = m_standin->addDisk(QStringLiteral("stick"), QStringLiteral("/dev/sdb"), 16000000000,
                                                 UdisksStandin::drive(QStringLiteral("Kingston"), QStringLiteral("DataTraveler"),
                                                       QStringLiteral("usb"), true));
        QVERIFY(changed.wait());
        QCOMPARE(changed.size(), 1);
        QCOMPARE(monitor.disks().size(), 1);
        const Disk disk = monitor.disks().first();
        QCOMPARE(disk.id, stick);
        QCOMPARE(disk.device, QStringLiteral("/dev/sdb"));
        QCOMPARE(disk.model, QStringLiteral("Kingston DataTraveler"));
        QCOMPARE(disk.size, 16000000000);
        QVERIFY(monitor.createDevice(disk));
        QVERIFY(!monitor.createDevice(Disk{QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdz"),
                                           QStringLiteral("/dev/sdz"), QString(), 1}));

        // A partition of the stick, and its file system being mounted, do not
        // change the list.
        const QString partition = stick + QStringLiteral("1");
        QVERIFY(m_standin->addPartition(partition, stick, {},
                                        {{QStringLiteral("Device"), QStringLiteral("/dev/sdb1")},
                                         {QStringLiteral("Drive"), UdisksStandin::drivePath(QStringLiteral("stick"))},
                                         {QStringLiteral("Size"), qint64(15000000000)}}));
        QVERIFY(m_standin->change(partition, udisks::FilesystemInterface,
                                  {{QStringLiteral("MountPoints"), QJsonArray{QStringLiteral("/media/stick")}}}));

        QVERIFY(m_standin->remove(partition));
        QVERIFY(m_standin->remove(stick));
        QVERIFY(changed.wait());
        QCOMPARE(changed.size(), 2);
        QCOMPARE(monitor.disks().size(), 0);
        QVERIFY(m_standin->remove(UdisksStandin::drivePath(QStringLiteral("stick"))));
        QVERIFY(!changed.wait(300));
    }

    // What UDisks2 reports on a laptop with everything plugged in, read from
    // its properties: only the card, the stick and the USB disk are offered.
    void wholeMachine()
    {
        QVERIFY2(m_standin->startService(), qPrintable(m_standin->errorString()));
        const auto drive = [](const QString &vendor, const QString &model, const QString &bus, bool removable,
                              const QStringList &media) {
            QJsonObject properties = UdisksStandin::drive(vendor, model, bus, removable, QStringLiteral("0123"));
            properties.insert(QStringLiteral("MediaCompatibility"), QJsonArray::fromStringList(media));
            return properties;
        };
        const auto block = [](const QString &device, const QString &drive, qint64 size, bool system) {
            return QJsonObject{{udisks::BlockInterface,
                                QJsonObject{{QStringLiteral("Device"), device}, {QStringLiteral("Drive"), drive},
                                            {QStringLiteral("Size"), size}, {QStringLiteral("HintSystem"), system},
                                            {QStringLiteral("HintIgnore"), false}}}};
        };
        const QStringList dvd{QStringLiteral("optical_cd"), QStringLiteral("optical_cd_r"), QStringLiteral("optical_dvd")};
        struct Device { QString name, device; qint64 size; QJsonObject drive; bool system; };
        // The system runs from a USB disk that a udev rule marks as a system
        // device; the eMMC has a boot area beside its user area.
        const QList<Device> devices{
                {"system", "/dev/sda", 500107862016, drive("Samsung", "Portable SSD T5", "usb", false, {}), true},
                {"stick", "/dev/sdb", 15500574720, drive("Kingston", "DataTraveler 3.0", "usb", true, {"thumb"}), false},
                {"usbdisk", "/dev/sdc", 1000170586112, drive("WD", "Elements 25A2", "usb", false, {}), false},
                {"sdslot", "/dev/mmcblk0", 31914983424, drive("", "SC32G", "sdio", false, {"flash_sd"}), false},
                {"emmc", "/dev/mmcblk1", 62537072640, drive("", "DA4064", "sdio", false, {"flash_mmc"}), false},
                {"emmc", "/dev/mmcblk1boot0", 4194304, drive("", "DA4064", "sdio", false, {"flash_mmc"}), false},
                {"dvd", "/dev/sr0", 4700372992, drive("HL-DT-ST", "DVDRAM GP57EB40", "usb", true, dvd), false},
        };
        QSet<QString> drives;
        for (const Device &device : devices) {
            if (!drives.contains(device.name))
                QVERIFY(m_standin->add(UdisksStandin::drivePath(device.name), {{udisks::DriveInterface, device.drive}}));
            drives.insert(device.name);
            QVERIFY(m_standin->add(UdisksStandin::blockPath(device.device),
                                   block(device.device, UdisksStandin::drivePath(device.name), device.size, device.system)));
        }

        UdisksDiskMonitor monitor(system());
        QCOMPARE(describe(monitor.disks()),
                 QStringList({UdisksStandin::blockPath("/dev/mmcblk0") + "|/dev/mmcblk0|SC32G|31914983424",
                              UdisksStandin::blockPath("/dev/sdb") + "|/dev/sdb|Kingston DataTraveler 3.0|15500574720",
                              UdisksStandin::blockPath("/dev/sdc") + "|/dev/sdc|WD Elements 25A2|1000170586112"}));
        QCOMPARE(monitor.disks().first().serial, QStringLiteral("0123"));
    }

    // A card reader lists its card only while one is in, through the
    // changes of its block object's size.
    void cardInReader()
    {
        QVERIFY2(m_standin->startService(), qPrintable(m_standin->errorString()));
        UdisksDiskMonitor monitor(system());
        QSignalSpy changed(&monitor, &DiskMonitor::disksChanged);
        const QString reader = m_standin->addDisk(QStringLiteral("reader"), QStringLiteral("/dev/mmcblk0"), 0,
                                                  UdisksStandin::drive(QString(), QStringLiteral("SD Card"), QStringLiteral("sdio"), false));
        QVERIFY(m_standin->change(reader, udisks::BlockInterface, {{QStringLiteral("Size"), qint64(32000000000)}}));
        QVERIFY(changed.wait());
        QCOMPARE(changed.size(), 1);
        QCOMPARE(monitor.disks().first().device, QStringLiteral("/dev/mmcblk0"));
        QCOMPARE(monitor.disks().first().size, 32000000000);
        QVERIFY(m_standin->change(reader, udisks::BlockInterface, {{QStringLiteral("Size"), 0}}));
        QVERIFY(changed.wait());
        QCOMPARE(changed.size(), 2);
        QCOMPARE(monitor.disks().size(), 0);
    }

    // A drive that can be powered off is, once what the desktop mounted of
    // it is unmounted, and then leaves the list; one that cannot reports the
    // service's error.
    void powerOff()
    {
        QVERIFY2(m_standin->startService(), qPrintable(m_standin->errorString()));
        QJsonObject drive = UdisksStandin::drive(QStringLiteral("Kingston"), QStringLiteral("DataTraveler"),
                                                 QStringLiteral("usb"), true);
        const QString reader = m_standin->addDisk(QStringLiteral("reader"), QStringLiteral("/dev/sdc"), 32000000000, drive);
        drive.insert(QStringLiteral("CanPowerOff"), true);
        const QString stick = m_standin->addDisk(QStringLiteral("stick"), QStringLiteral("/dev/sdb"), 16000000000, drive);
        const QString partition = stick + QStringLiteral("1");
        QVERIFY(m_standin->addPartition(partition, stick, {QStringLiteral("/media/stick")}));
        UdisksDiskMonitor monitor(system());
        QCOMPARE(monitor.disks().size(), 2);
        const Disk stickDisk = monitor.disks().at(0).id == stick ? monitor.disks().at(0) : monitor.disks().at(1);
        const Disk readerDisk = monitor.disks().at(0).id == reader ? monitor.disks().at(0) : monitor.disks().at(1);
        QVERIFY(monitor.canPowerOff(stickDisk));
        QVERIFY(!monitor.canPowerOff(readerDisk));

        QSignalSpy finished(&monitor, &DiskMonitor::powerOffFinished);
        monitor.powerOff(stickDisk);
        QVERIFY(finished.wait());
        QCOMPARE(finished.takeFirst(), (QVariantList{stick, QString()}));
        QCOMPARE(m_standin->calls(), (QStringList{QStringLiteral("Unmount ") + partition,
                                                  QStringLiteral("PowerOff ") + UdisksStandin::drivePath(QStringLiteral("stick"))}));
        QTRY_COMPARE(monitor.disks().size(), 1);
        QVERIFY(!monitor.canPowerOff(stickDisk));

        monitor.powerOff(readerDisk);
        QVERIFY(finished.wait());
        QCOMPARE(finished.first().at(1).toString(),
                 QStringLiteral("Error powering off drive: the drive cannot be powered off"));
    }

    void withoutUdisks_data()
    {
        QTest::addColumn<bool>("busReachable");
        QTest::newRow("no UDisks2 on the bus") << true;
        QTest::newRow("no bus") << false;
    }
    void withoutUdisks()
    {
        QFETCH(bool, busReachable);
        LinuxSystem lonely = system();
        if (!busReachable)
            lonely.bus = QDBusConnection::connectToBus(QStringLiteral("unix:path=") + m_root.filePath(QStringLiteral("nobus")),
                                                       QStringLiteral("nobus"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Cannot list disks: ")));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        UdisksDiskMonitor monitor(lonely);
        QCOMPARE(monitor.disks().size(), 0);
        QVERIFY(!monitor.createDevice(Disk{QStringLiteral("/org/freedesktop/UDisks2/block_devices/sdb"),
                                           QStringLiteral("/dev/sdb"), QString(), 1}));
        QDBusConnection::disconnectFromBus(QStringLiteral("nobus"));
        if (!busReachable)
            return;

        // UDisks2 starting later is picked up.
        QSignalSpy changed(&monitor, &DiskMonitor::disksChanged);
        QVERIFY2(m_standin->startService(), qPrintable(m_standin->errorString()));
        QVERIFY(!m_standin->addDisk(QStringLiteral("stick"), QStringLiteral("/dev/sdb"), 8000000000,
                                    UdisksStandin::drive(QString(), QStringLiteral("Flash"), QStringLiteral("usb"), true))
                         .isEmpty());
        QVERIFY(changed.wait());
        QCOMPARE(monitor.disks().size(), 1);
    }

    void systemDevices_data()
    {
        const QString root = mountLine(QStringLiteral("/"), QStringLiteral("8:2"), QStringLiteral("/dev/sda2"));
        QTest::addColumn<QString>("mountinfo");
        QTest::addColumn<QString>("swaps");
        QTest::addColumn<QStringList>("tree");
        QTest::addColumn<QString>("programFolder");
        QTest::addColumn<QStringList>("expected");

        QTest::newRow("root on a partition") << root << QString() << SdaTree << "/opt/tessaro" << QStringList{"/dev/sda"};
        QTest::newRow("mounts elsewhere are not the system")
                << root + mountLine(QStringLiteral("/media/stick"), QStringLiteral("8:17"), QStringLiteral("/dev/sdb1"))
                << QString()
                << SdaTree + QStringList{"sys/devices/pci0/block/sdb/sdb1/partition",
                                         "sys/dev/block/8:17 -> ../../devices/pci0/block/sdb/sdb1"}
                << "/opt/tessaro" << QStringList{"/dev/sda"};
        QTest::newRow("program on a stick, /home and swap apart")
                << root + mountLine(QStringLiteral("/media/my\\040stick"), QStringLiteral("8:17"), QStringLiteral("/dev/sdb1"))
                           + mountLine(QStringLiteral("/home"), QStringLiteral("8:33"), QStringLiteral("/dev/sdc1"))
                << "/dev/sdd1 partition 1000 0 -2\n/swapfile file 1000 0 -3\n"
                << SdaTree + QStringList{"sys/devices/pci0/block/sdb/sdb1/partition",
                                         "sys/dev/block/8:17 -> ../../devices/pci0/block/sdb/sdb1",
                                         "sys/devices/pci0/block/sdc/sdc1/partition",
                                         "sys/dev/block/8:33 -> ../../devices/pci0/block/sdc/sdc1",
                                         "dev/sdd1",
                                         "sys/devices/pci0/block/sdd/sdd1/partition",
                                         "sys/class/block/sdd1 -> ../../devices/pci0/block/sdd/sdd1"}
                << "/media/my stick/tessaro"
                << QStringList{"/dev/sda", "/dev/sdb", "/dev/sdc", "/dev/sdd"};
        QTest::newRow("LVM over a partition and a whole disk")
                << mountLine(QStringLiteral("/"), QStringLiteral("254:0"), QStringLiteral("/dev/mapper/vg-root"))
                << QString()
                << QStringList{"sys/devices/pci0/block/sda/sda2/partition",
                               "sys/devices/pci0/block/sdb/size",
                               "sys/devices/virtual/block/dm-0/slaves/sda2 -> ../../../../pci0/block/sda/sda2",
                               "sys/devices/virtual/block/dm-0/slaves/sdb -> ../../../../pci0/block/sdb",
                               "sys/dev/block/254:0 -> ../../devices/virtual/block/dm-0"}
                << "/opt/tessaro" << QStringList{"/dev/sda", "/dev/sdb"};
        QTest::newRow("btrfs root known by its source")
                << mountLine(QStringLiteral("/"), QStringLiteral("0:31"), QStringLiteral("/dev/nvme0n1p2"))
                << QString()
                << QStringList{"dev/nvme0n1p2", "sys/devices/pci0/nvme/nvme0n1/nvme0n1p2/partition",
                               "sys/class/block/nvme0n1p2 -> ../../devices/pci0/nvme/nvme0n1/nvme0n1p2"}
                << "/opt/tessaro" << QStringList{"/dev/nvme0n1"};
        // A live system: the root is an overlay over a squashfs image, on a
        // loop device whose file lies on the stick it started from.
        QTest::newRow("live system started from a stick")
                << QStringLiteral("30 1 0:31 / / rw,noatime - overlay overlay rw,lowerdir=/run/live/rootfs/"
                                  "filesystem.squashfs/,upperdir=/run/live/overlay/rw,workdir=/run/live/overlay/work\n")
                           + mountLine(QStringLiteral("/run/live/medium"), QStringLiteral("8:17"), QStringLiteral("/dev/sdb1"))
                           + mountLine(QStringLiteral("/run/live/rootfs/filesystem.squashfs"), QStringLiteral("7:0"),
                                       QStringLiteral("/dev/loop0"))
                           + QStringLiteral("33 1 0:40 / /run/live/overlay rw - tmpfs tmpfs rw\n")
                << QString()
                << QStringList{"sys/devices/pci0/block/sdb/sdb1/partition",
                               "sys/dev/block/8:17 -> ../../devices/pci0/block/sdb/sdb1",
                               "sys/devices/virtual/block/loop0/loop/backing_file = "
                               "/run/live/medium/live/filesystem.squashfs\n",
                               "sys/dev/block/7:0 -> ../../devices/virtual/block/loop0"}
                << "/usr/bin" << QStringList{"/dev/loop0", "/dev/sdb"};
    }
    void systemDevices()
    {
        QFETCH(QString, mountinfo);
        QFETCH(QString, swaps);
        QFETCH(QStringList, tree);
        QFETCH(QString, programFolder);
        QFETCH(QStringList, expected);
        QTemporaryDir root;
        QVERIFY(makeTree(root, mountinfo, swaps, tree));
        LinuxSystem system;
        system.root = root.path();
        QStringList devices = system.systemDevices(programFolder);
        devices.sort();
        QCOMPARE(devices, expected);
    }
};

QTEST_GUILESS_MAIN(TestUdisksDiskMonitor)
#include "tst_udisksdiskmonitor.moc"
