#include "disks/removabledisks.h"
#include "support/disklines.h"

#include <QTest>

namespace {

WinDrive winDrive(int number, int bus, bool removableMedia, qint64 size,
                  const QString &vendor = QString(), const QString &product = QStringLiteral("Card"),
                  const QStringList &mountPoints = {})
{
    WinDrive drive;
    drive.number = number;
    drive.vendor = vendor;
    drive.product = product;
    drive.bus = bus;
    drive.removableMedia = removableMedia;
    drive.size = size;
    drive.mountPoints = mountPoints;
    return drive;
}

UdisksDrive udisksDrive(const QString &path, const QString &bus, bool removable, bool mediaRemovable,
                        bool ignored = false, const QStringList &media = {})
{
    return UdisksDrive{path, QStringLiteral("Acme"), QStringLiteral("Reader"), bus, removable,
                       mediaRemovable, ignored, QString(), media};
}

UdisksBlock udisksBlock(const QString &device, const QString &drive, qint64 size, bool ignored = false,
                        bool system = false)
{
    return UdisksBlock{QStringLiteral("block:") + device, device, drive, ignored, size, system};
}

} // namespace

class TestRemovableDisks : public QObject
{
    Q_OBJECT

private slots:
    void windowsRule_data()
    {
        QTest::addColumn<QList<WinDrive>>("drives");
        QTest::addColumn<QList<int>>("systemDisks");
        QTest::addColumn<QStringList>("expected");

        const qint64 gb = 16'000'000'000;
        QTest::newRow("no drives") << QList<WinDrive>{} << QList<int>{} << QStringList{};
        QTest::newRow("reader without a card, any bus")
            << QList<WinDrive>{winDrive(1, WinDrive::Usb, true, 0), winDrive(2, WinDrive::Sd, true, 0),
                               winDrive(3, WinDrive::Other, true, 0)}
            << QList<int>{} << QStringList{};
        QTest::newRow("usb disk without the removable flag is listed")
            << QList<WinDrive>{winDrive(1, WinDrive::Usb, false, gb)} << QList<int>{}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive1|PhysicalDrive1|Card|%1").arg(gb)};
        QTest::newRow("sd and mmc hosts admitted without the flag")
            << QList<WinDrive>{winDrive(2, WinDrive::Sd, false, gb), winDrive(3, WinDrive::Mmc, false, gb)}
            << QList<int>{}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive2|PhysicalDrive2|Card|%1").arg(gb),
                           QStringLiteral("\\\\.\\PhysicalDrive3|PhysicalDrive3|Card|%1").arg(gb)};
        QTest::newRow("sata disk only with removable media")
            << QList<WinDrive>{winDrive(0, WinDrive::Other, false, gb), winDrive(4, WinDrive::Other, true, gb)}
            << QList<int>{}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive4|PhysicalDrive4|Card|%1").arg(gb)};
        QTest::newRow("virtual disk never, even removable")
            << QList<WinDrive>{winDrive(5, WinDrive::Virtual, true, gb)} << QList<int>{} << QStringList{};
        QTest::newRow("unknown bus value counts as other")
            << QList<WinDrive>{winDrive(6, 42, false, gb), winDrive(7, 42, true, gb)} << QList<int>{}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive7|PhysicalDrive7|Card|%1").arg(gb)};
        QTest::newRow("stick holding the program is a system disk")
            << QList<WinDrive>{winDrive(1, WinDrive::Usb, true, gb), winDrive(2, WinDrive::Usb, true, gb)}
            << QList<int>{0, 2}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive1|PhysicalDrive1|Card|%1").arg(gb)};
        QTest::newRow("numeric order, 2 before 10")
            << QList<WinDrive>{winDrive(10, WinDrive::Usb, true, 1), winDrive(2, WinDrive::Usb, true, 2)}
            << QList<int>{}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive2|PhysicalDrive2|Card|2"),
                           QStringLiteral("\\\\.\\PhysicalDrive10|PhysicalDrive10|Card|1")};
        QTest::newRow("drive letters after the name, vendor and product joined")
            << QList<WinDrive>{winDrive(2, WinDrive::Usb, true, 1, QStringLiteral("Generic"),
                                        QStringLiteral("SD Reader"),
                                        {QStringLiteral("E:"), QStringLiteral("F:")})}
            << QList<int>{}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive2|PhysicalDrive2 (E:, F:)|Generic SD Reader|1")};
        QTest::newRow("empty vendor, empty product, both empty")
            << QList<WinDrive>{winDrive(1, WinDrive::Usb, true, 1, QString(), QStringLiteral("Stick")),
                               winDrive(2, WinDrive::Usb, true, 1, QStringLiteral("Acme"), QString()),
                               winDrive(3, WinDrive::Usb, true, 1, QString(), QString())}
            << QList<int>{}
            << QStringList{QStringLiteral("\\\\.\\PhysicalDrive1|PhysicalDrive1|Stick|1"),
                           QStringLiteral("\\\\.\\PhysicalDrive2|PhysicalDrive2|Acme|1"),
                           QStringLiteral("\\\\.\\PhysicalDrive3|PhysicalDrive3||1")};
    }

    void windowsRule()
    {
        QFETCH(QList<WinDrive>, drives);
        QFETCH(QList<int>, systemDisks);
        QFETCH(QStringList, expected);
        QCOMPARE(describe(removableWindowsDisks(drives, systemDisks)), expected);
    }

    void diskNumberOfAnId_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<int>("number");
        QTest::newRow("disk 2") << QStringLiteral("\\\\.\\PhysicalDrive2") << 2;
        QTest::newRow("disk 0") << QStringLiteral("\\\\.\\PhysicalDrive0") << 0;
        QTest::newRow("prefix in lower case") << QStringLiteral("\\\\.\\physicaldrive2") << -1;
        QTest::newRow("prefix alone") << QStringLiteral("\\\\.\\PhysicalDrive") << -1;
        QTest::newRow("letter after the prefix") << QStringLiteral("\\\\.\\PhysicalDriveX") << -1;
        QTest::newRow("beyond int") << QStringLiteral("\\\\.\\PhysicalDrive2147483648") << -1;
        QTest::newRow("a plain file") << QStringLiteral("/tmp/card.img") << -1;
    }

    void diskNumberOfAnId()
    {
        QFETCH(QString, id);
        QFETCH(int, number);
        QCOMPARE(windowsDiskNumber(id), number);
    }

    void pathAndNumberAreInverse()
    {
        QCOMPARE(windowsDiskPath(7), QStringLiteral("\\\\.\\PhysicalDrive7"));
        for (int n : {0, 1, 9, 10, 123, 2147483647})
            QCOMPARE(windowsDiskNumber(windowsDiskPath(n)), n);
    }

    void udisksRule_data()
    {
        QTest::addColumn<QList<UdisksDrive>>("drives");
        QTest::addColumn<QList<UdisksBlock>>("blocks");
        QTest::addColumn<QStringList>("systemDevices");
        QTest::addColumn<QStringList>("expected");

        const QString usb = QStringLiteral("/drives/usb");
        const QString sata = QStringLiteral("/drives/sata");
        const QList<UdisksDrive> drives{udisksDrive(usb, QStringLiteral("usb"), false, false),
                                        udisksDrive(sata, QStringLiteral("ata"), false, false)};
        QTest::newRow("usb bus without removable flags is listed, another bus is not")
            << drives
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/sdb"), usb, 8),
                                  udisksBlock(QStringLiteral("/dev/sda"), sata, 8)}
            << QStringList{} << QStringList{QStringLiteral("block:/dev/sdb|/dev/sdb|Acme Reader|8")};
        QTest::newRow("bus name compared exactly")
            << QList<UdisksDrive>{udisksDrive(usb, QStringLiteral("USB"), false, false),
                                  udisksDrive(sata, QStringLiteral("sdio"), false, false)}
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/sdb"), usb, 8),
                                  udisksBlock(QStringLiteral("/dev/mmcblk0"), sata, 8)}
            << QStringList{} << QStringList{QStringLiteral("block:/dev/mmcblk0|/dev/mmcblk0|Acme Reader|8")};
        QTest::newRow("either removable flag admits")
            << QList<UdisksDrive>{udisksDrive(usb, QString(), true, false),
                                  udisksDrive(sata, QString(), false, true)}
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/sdc"), usb, 1),
                                  udisksBlock(QStringLiteral("/dev/sdb"), sata, 2)}
            << QStringList{}
            << QStringList{QStringLiteral("block:/dev/sdb|/dev/sdb|Acme Reader|2"),
                           QStringLiteral("block:/dev/sdc|/dev/sdc|Acme Reader|1")};
        QTest::newRow("empty, ignored or system block, ignored drive, unknown drive")
            << QList<UdisksDrive>{udisksDrive(usb, QStringLiteral("usb"), true, true),
                                  udisksDrive(sata, QStringLiteral("usb"), true, true, true)}
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/sdb"), usb, 0),
                                  udisksBlock(QStringLiteral("/dev/sdc"), usb, 8, true),
                                  udisksBlock(QStringLiteral("/dev/sdd"), usb, 8),
                                  udisksBlock(QStringLiteral("/dev/sde"), sata, 8),
                                  udisksBlock(QStringLiteral("/dev/sdf"), QStringLiteral("/drives/gone"), 8)}
            << QStringList{QStringLiteral("/dev/sdd")} << QStringList{};
        QTest::newRow("block the service counts as a system device")
            << QList<UdisksDrive>{udisksDrive(usb, QStringLiteral("usb"), true, true)}
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/sdb"), usb, 8, false, true)}
            << QStringList{} << QStringList{};
        QTest::newRow("optical drive, whatever its bus and flags")
            << QList<UdisksDrive>{udisksDrive(usb, QStringLiteral("usb"), true, true, false,
                                              {QStringLiteral("optical_cd"), QStringLiteral("optical_dvd_r")})}
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/sr0"), usb, 8)} << QStringList{} << QStringList{};
        const QString mmc = QStringLiteral("/drives/mmc");
        const QStringList flashMmc{QStringLiteral("flash_mmc")};
        QTest::newRow("soldered eMMC and its boot and replay-protected areas")
            << QList<UdisksDrive>{udisksDrive(mmc, QStringLiteral("sdio"), false, false, false, flashMmc)}
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/mmcblk0"), mmc, 8),
                                  udisksBlock(QStringLiteral("/dev/mmcblk0boot0"), mmc, 8),
                                  udisksBlock(QStringLiteral("/dev/mmcblk0rpmb"), mmc, 8)}
            << QStringList{} << QStringList{};
        QTest::newRow("MMC card that comes out, SD card on sdio without removable flags")
            << QList<UdisksDrive>{udisksDrive(mmc, QStringLiteral("sdio"), false, true, false, flashMmc),
                                  udisksDrive(sata, QStringLiteral("sdio"), false, false, false,
                                              {QStringLiteral("flash_sd")})}
            << QList<UdisksBlock>{udisksBlock(QStringLiteral("/dev/mmcblk0"), mmc, 8),
                                  udisksBlock(QStringLiteral("/dev/mmcblk1"), sata, 8),
                                  udisksBlock(QStringLiteral("/dev/mmcblk1boot0"), sata, 8)}
            << QStringList{}
            << QStringList{QStringLiteral("block:/dev/mmcblk0|/dev/mmcblk0|Acme Reader|8"),
                           QStringLiteral("block:/dev/mmcblk1|/dev/mmcblk1|Acme Reader|8")};
    }

    void udisksRule()
    {
        QFETCH(QList<UdisksDrive>, drives);
        QFETCH(QList<UdisksBlock>, blocks);
        QFETCH(QStringList, systemDevices);
        QFETCH(QStringList, expected);
        QCOMPARE(describe(removableDisks(drives, blocks, systemDevices)), expected);
    }

    void udisksModelJoinsWithoutTrimmingTheParts()
    {
        const UdisksDrive drive{QStringLiteral("/d"), QStringLiteral(" Acme  "), QStringLiteral("Card "),
                                QStringLiteral("usb"), false, false, false, QString(), {}};
        const QList<Disk> disks = removableDisks(
            {drive}, {udisksBlock(QStringLiteral("/dev/sdb"), QStringLiteral("/d"), 1)}, {});
        QCOMPARE(disks.value(0).model, QStringLiteral("Acme   Card"));
    }
};

QTEST_GUILESS_MAIN(TestRemovableDisks)
#include "tst_removabledisks.moc"
