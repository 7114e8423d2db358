#include "disks/win/windisks.h"

#include "support/disklines.h"
#include "support/winmachine.h"

#include <QTest>
#include <QtEndian>

#include <cstddef>

using Machine = WinMachine::State;

Q_DECLARE_METATYPE(WinMachine::State)

namespace {

constexpr qint64 Card = WinMachine::CardSize;

// The desktop with a USB card reader as disk 2, its card's volume on E:.
Machine cardReaderDesktop()
{
    return WinMachine::desktopWithCard(BusTypeUsb, Card);
}

} // namespace

class TestWinDisks : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        // Every query closes what it opened.
        QCOMPARE(WinMachine::openHandles(), 0);
    }

    void volumes()
    {
        Machine machine = cardReaderDesktop();
        // A letter and a folder; a long folder name makes the path list
        // outgrow the first buffer.
        machine.volumes[1].paths << QStringLiteral("C:\\Cards\\%1\\").arg(QString(300, QLatin1Char('r')));
        machine.volumes << WinMachine::volume(2, {QStringLiteral("G:\\")}, {3, 4, 3});
        machine.volumes << WinMachine::volume(3, {QStringLiteral("H:\\")}, {5});
        machine.volumes[3].extentsReadable = false;
        WinMachine::install(machine);

        const QList<windisks::Volume> volumes = windisks::volumes();
        QCOMPARE(volumes.size(), 4);
        QCOMPARE(volumes[1].name, WinMachine::volumeName(1));
        QCOMPARE(volumes[1].mountPoints, QStringList{QStringLiteral("E:")});
        QCOMPARE(volumes[1].diskNumbers, QList<int>{2});
        QCOMPARE(volumes[2].diskNumbers, (QList<int>{3, 4}));
        QCOMPARE(volumes[3].mountPoints, QStringList{QStringLiteral("H:")});
        QVERIFY(volumes[3].diskNumbers.isEmpty());
    }

    void systemDisks_data()
    {
        QTest::addColumn<Machine>("machine");
        QTest::addColumn<bool>("found");
        QTest::addColumn<QList<int>>("disks");

        QTest::newRow("windows alone on disk 0") << cardReaderDesktop() << true << QList<int>{0};

        Machine spanning = cardReaderDesktop();
        spanning.volumes[0].extents = {0, 1};
        QTest::newRow("windows volume spanning two disks") << spanning << true << QList<int>{0, 1};

        Machine stick = cardReaderDesktop();
        stick.programFolder = QStringLiteral("E:\\Tools\\Tessaro");
        QTest::newRow("program on the card's stick") << stick << true << QList<int>{0, 2};

        Machine share = cardReaderDesktop();
        share.programFolder = QStringLiteral("\\\\server\\tools\\Tessaro");
        QTest::newRow("program on a network share") << share << true << QList<int>{0};

        Machine unreadable = cardReaderDesktop();
        unreadable.volumes[0].extentsReadable = false;
        QTest::newRow("windows volume without readable extents") << unreadable << false << QList<int>{};

        Machine none = cardReaderDesktop();
        none.faults << WinMachine::Fault{QStringLiteral("FindFirstVolumeW"), ERROR_ACCESS_DENIED};
        QTest::newRow("no volume enumerated") << none << false << QList<int>{};

        Machine folder = cardReaderDesktop();
        folder.faults << WinMachine::Fault{QStringLiteral("GetSystemWindowsDirectoryW"), ERROR_ACCESS_DENIED};
        QTest::newRow("windows folder unknown") << folder << false << QList<int>{-1};
    }

    void systemDisks()
    {
        QFETCH(Machine, machine);
        QFETCH(bool, found);
        QFETCH(QList<int>, disks);
        WinMachine::install(machine);

        // -1 marks a list that must be left untouched.
        QList<int> result{-1};
        QCOMPARE(windisks::systemDisks(windisks::volumes(), &result), found);
        QCOMPARE(result, disks);
    }

    void drive_data()
    {
        QTest::addColumn<QByteArray>("descriptor");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("expected"); // "vendor|product|bus|removable|size", or empty for none

        QTest::newRow("usb reader") << WinMachine::descriptor("Generic", "Card Reader", BusTypeUsb, true) << Card
                                    << QStringLiteral("Generic|Card Reader|1|1|%1").arg(Card);
        QTest::newRow("padded texts") << WinMachine::descriptor("  SanDisk \t ", " Ultra   Fit  ", BusTypeSd, false)
                                      << Card << QStringLiteral("SanDisk|Ultra Fit|2|0|%1").arg(Card);
        QTest::newRow("vendor offset 0") << WinMachine::descriptor(QByteArray(), "Card", BusTypeMmc, true) << Card
                                         << QStringLiteral("|Card|3|1|%1").arg(Card);
        QByteArray past = WinMachine::descriptor("Acme", "Card", BusTypeFileBackedVirtual, false);
        qToLittleEndian<quint32>(quint32(past.size()),
                                 past.data() + offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset));
        QTest::newRow("vendor offset past the bytes") << past << Card << QStringLiteral("|Card|4|0|%1").arg(Card);
        QByteArray unterminated = WinMachine::descriptor("Acme", "Card", BusTypeVirtual, false);
        unterminated.chop(1);
        QTest::newRow("product without its NUL") << unterminated << Card << QStringLiteral("Acme|Card|4|0|%1").arg(Card);
        QTest::newRow("other bus") << WinMachine::descriptor("ATA", "Disk", 17, false) << Card
                                   << QStringLiteral("ATA|Disk|0|0|%1").arg(Card);
        QTest::newRow("reader without a card") << WinMachine::descriptor("Generic", "Reader", BusTypeUsb, true)
                                               << qint64(0) << QStringLiteral("Generic|Reader|1|1|0");
        QTest::newRow("descriptor of 39 bytes") << WinMachine::descriptor("A", "B", BusTypeUsb, true).left(39)
                                                << Card << QString();
        QTest::newRow("descriptor unreadable") << QByteArray() << Card << QString();
    }

    void drive()
    {
        QFETCH(QByteArray, descriptor);
        QFETCH(qint64, size);
        QFETCH(QString, expected);
        Machine machine = cardReaderDesktop();
        machine.disks[1].descriptor = descriptor;
        machine.disks[1].size = size;
        WinMachine::install(machine);

        const std::optional<WinDrive> drive = windisks::drive(2, windisks::volumes());
        QCOMPARE(drive.has_value(), !expected.isEmpty());
        if (drive) {
            QCOMPARE(QStringLiteral("%1|%2|%3|%4|%5")
                             .arg(drive->vendor, drive->product)
                             .arg(drive->bus)
                             .arg(int(drive->removableMedia))
                             .arg(drive->size),
                     expected);
            QCOMPARE(drive->number, 2);
        }
    }

    void driveMountPoints()
    {
        Machine machine = cardReaderDesktop();
        machine.volumes[1].paths = QStringList{QStringLiteral("F:\\")};
        machine.volumes << WinMachine::volume(2, {QStringLiteral("E:\\"), QStringLiteral("C:\\Card\\")}, {2});
        WinMachine::install(machine);

        QCOMPARE(windisks::drive(2, windisks::volumes())->mountPoints,
                 (QStringList{QStringLiteral("E:"), QStringLiteral("F:")}));
        QVERIFY(!windisks::drive(7, windisks::volumes()));
    }

    void removableDisks_data()
    {
        QTest::addColumn<Machine>("machine");
        QTest::addColumn<QStringList>("disks");

        const QString card = QStringLiteral("\\\\.\\PhysicalDrive2|PhysicalDrive2 (E:)|Generic Card Reader|%1").arg(Card);
        QTest::newRow("card on E:") << cardReaderDesktop() << QStringList{card};

        Machine spanning = cardReaderDesktop();
        spanning.volumes[0].extents = {0, 2};
        QTest::newRow("windows spanning onto the card") << spanning << QStringList{};

        Machine stick = cardReaderDesktop();
        stick.programFolder = QStringLiteral("E:\\Tessaro");
        QTest::newRow("program on the stick") << stick << QStringList{};

        Machine notDisk = cardReaderDesktop();
        notDisk.disks[1].deviceType = 2; // a CD-ROM interface
        QTest::newRow("interface that is not a disk") << notDisk << QStringList{};

        Machine noInterface = cardReaderDesktop();
        noInterface.disks[1].hasInterface = false;
        QTest::newRow("disk without an interface") << noInterface << QStringList{};

        Machine noSet = cardReaderDesktop();
        noSet.faults << WinMachine::Fault{QStringLiteral("SetupDiGetClassDevsW"), ERROR_ACCESS_DENIED};
        QTest::newRow("interfaces not enumerable") << noSet << QStringList{};

        Machine unopened = cardReaderDesktop();
        unopened.faults << WinMachine::Fault{QStringLiteral("CreateFileW"), ERROR_ACCESS_DENIED, 3};
        QTest::newRow("interfaces that do not open") << unopened << QStringList{};

        Machine two = cardReaderDesktop();
        two.disks.prepend(WinMachine::disk(10, BusTypeSd, true, 8'000'000'000, "", "SD Card"));
        QTest::newRow("two cards by number") << two
                << QStringList{card, QStringLiteral("\\\\.\\PhysicalDrive10|PhysicalDrive10|SD Card|8000000000")};
    }

    void removableDisks()
    {
        QFETCH(Machine, machine);
        QFETCH(QStringList, disks);
        WinMachine::install(machine);

        QCOMPARE(describe(windisks::removableDisks()), disks);
    }

    void noVolumes()
    {
        Machine machine = cardReaderDesktop();
        machine.volumes.clear();
        WinMachine::install(machine);

        QTest::ignoreMessage(QtWarningMsg, "Cannot find the disk hosting Windows: no SD card is listed");
        QVERIFY(windisks::removableDisks().isEmpty());
        QCOMPARE(WinMachine::calls(QStringLiteral("SetupDiGetClassDevsW")), 0);
    }

    void elevated_data()
    {
        QTest::addColumn<Machine>("machine");
        QTest::addColumn<bool>("elevated");
        Machine limited = cardReaderDesktop();
        limited.elevated = false;
        QTest::newRow("administrator, elevated") << cardReaderDesktop() << true;
        QTest::newRow("without elevation") << limited << false;
        // Then opening the disk says what is wrong.
        QTest::newRow("token unreadable")
                << limited.withFault({QStringLiteral("GetTokenInformation"), ERROR_ACCESS_DENIED}) << true;
    }
    void elevated()
    {
        QFETCH(Machine, machine);
        QFETCH(bool, elevated);
        WinMachine::install(machine);
        QCOMPARE(windisks::elevated(), elevated);
    }

    void errorString()
    {
        QCOMPARE(windisks::errorString(ERROR_ACCESS_DENIED), QStringLiteral("Access is denied."));
    }
};

QTEST_GUILESS_MAIN(TestWinDisks)
#include "tst_windisks.moc"
