#include "disks/win/winblockdevice.h"

#include "disks/alignedbuffer.h"
#include "disks/win/windiskmonitor.h"
#include "support/winmachine.h"

#include <QTest>

#include <chrono>
#include <cstring>

using namespace std::chrono_literals;

using Machine = WinMachine::State;
using Fault = WinMachine::Fault;
using Failure = BlockDevice::Failure;

Q_DECLARE_METATYPE(WinMachine::State)
Q_DECLARE_METATYPE(WinMachine::Fault)

namespace {

constexpr qint64 CardSize = 4 * 1024 * 1024;
const QString Drive = QStringLiteral("\\\\.\\PhysicalDrive2");

// The desktop with an SD card as disk 2, its one volume on E:.
Machine sdCardDesktop()
{
    return WinMachine::desktopWithCard(BusTypeSd, CardSize);
}

// That card as the disk list showed it.
const Disk ListedCard{Drive, QStringLiteral("PhysicalDrive2 (E:)"), QStringLiteral("Generic Card Reader"), CardSize};

} // namespace

class TestWinBlockDevice : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        QCOMPARE(WinMachine::openHandles(), 0);
    }

    void openFailures_data()
    {
        QTest::addColumn<Machine>("machine");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("text");

        Machine pulled = sdCardDesktop();
        pulled.disks[1].present = false;
        QTest::newRow("card pulled") << pulled << Failure::Removed << "PhysicalDrive2 is no longer connected";
        Machine empty = sdCardDesktop();
        empty.disks[1].size = 0;
        QTest::newRow("reader without a card") << empty << Failure::Removed << "no media in PhysicalDrive2";
        Machine lost = sdCardDesktop();
        lost.volumes[0].extentsReadable = false;
        QTest::newRow("windows volume unknown") << lost << Failure::IoError << "cannot find the disk hosting Windows";
        Machine fixed = sdCardDesktop();
        fixed.disks[1].descriptor = WinMachine::descriptor("Generic", "Card Reader", 11, false);
        QTest::newRow("fixed disk") << fixed << Failure::IoError << "PhysicalDrive2 is not a removable disk";
        Machine stick = sdCardDesktop();
        stick.programFolder = QStringLiteral("E:\\Tessaro");
        QTest::newRow("program on the card") << stick << Failure::IoError << "PhysicalDrive2 is not a removable disk";
        // The first open of the volume reads its extents.
        QTest::newRow("volume access denied")
                << sdCardDesktop().withFault({QStringLiteral("CreateFileW"), ERROR_ACCESS_DENIED, 2, WinMachine::volumeName(1)})
                << Failure::PermissionDenied << "cannot open " + WinMachine::volumeName(1) + ": Access is denied.";
        QTest::newRow("volume does not open")
                << sdCardDesktop().withFault({QStringLiteral("CreateFileW"), ERROR_SHARING_VIOLATION, 2, WinMachine::volumeName(1)})
                << Failure::IoError
                << "cannot open a volume of PhysicalDrive2: The process cannot access the file because it is being used by another process.";
        Machine held = sdCardDesktop();
        held.volumes[1].heldFor = WinMachine::HeldForever;
        QTest::newRow("volume held") << held << Failure::IoError << "E: is in use by another program: close it and retry";
        // The first open of the disk describes it.
        QTest::newRow("disk access denied") << sdCardDesktop().withFault({QStringLiteral("CreateFileW"), ERROR_ACCESS_DENIED, 2, Drive})
                                            << Failure::PermissionDenied << "cannot open PhysicalDrive2: Access is denied.";
        QTest::newRow("card pulled while locking") << sdCardDesktop().withFault({QStringLiteral("CreateFileW"), 0, 2, Drive, 2})
                << Failure::Removed << "cannot open PhysicalDrive2: The system cannot find the file specified.";
        Machine locked = sdCardDesktop();
        locked.disks[1].writeProtected = true;
        QTest::newRow("write-protected") << locked << Failure::WriteProtected << "PhysicalDrive2 is write-protected";
        QTest::newRow("writability unknown") << sdCardDesktop().withFault({QStringLiteral("IOCTL_DISK_IS_WRITABLE"), ERROR_INVALID_FUNCTION})
                                             << Failure::IoError << "cannot query PhysicalDrive2: Windows error 1.";
        QTest::newRow("length unknown") << sdCardDesktop().withFault({QStringLiteral("IOCTL_DISK_GET_LENGTH_INFO"), ERROR_NOT_READY})
                                        << Failure::Removed << "cannot read the size of PhysicalDrive2: The device is not ready.";
        QTest::newRow("geometry unknown")
                << sdCardDesktop().withFault({QStringLiteral("IOCTL_DISK_GET_DRIVE_GEOMETRY_EX"), ERROR_INVALID_FUNCTION, 2})
                << Failure::IoError << "cannot read the size of PhysicalDrive2: Windows error 1.";
    }

    void openFailures()
    {
        QFETCH(Machine, machine);
        QFETCH(Failure, failure);
        QFETCH(QString, text);
        WinMachine::install(machine);

        WinBlockDevice device(ListedCard);
        QVERIFY(!device.open());
        QCOMPARE(device.failure(), failure);
        QCOMPARE(device.errorString(), text);
        // Everything opened is closed again, and nothing was written.
        QCOMPARE(WinMachine::openHandles(), 0);
        QVERIFY(!WinMachine::isLocked(1));
        QCOMPARE(WinMachine::calls(QStringLiteral("WriteFile")), 0);
        device.close();
        QCOMPARE(WinMachine::calls(QStringLiteral("IOCTL_DISK_UPDATE_PROPERTIES")), 0);
    }

    // The card the user chose is pulled while its build downloads, and
    // another disk takes its number: the device made for the choice refuses
    // it before anything is locked or dismounted. The same card again passes.
    void swappedDisk_data()
    {
        QTest::addColumn<Machine>("replacement");
        QTest::addColumn<bool>("opens");

        const QByteArray serial = "AA010203";
        QTest::newRow("the same card again")
                << WinMachine::desktopWithCard(BusTypeUsb, CardSize, "Kingston", "DataTraveler", serial) << true;
        QTest::newRow("a USB disk at its number")
                << WinMachine::desktopWithCard(BusTypeUsb, 500'107'862'016, "WD", "Elements", "57583131") << false;
        QTest::newRow("a stick of the same model and size")
                << WinMachine::desktopWithCard(BusTypeUsb, CardSize, "Kingston", "DataTraveler", "BB040506") << false;
        QTest::newRow("the same model, another size")
                << WinMachine::desktopWithCard(BusTypeUsb, 2 * CardSize, "Kingston", "DataTraveler", serial) << false;
    }

    void swappedDisk()
    {
        QFETCH(Machine, replacement);
        QFETCH(bool, opens);
        WinMachine::install(WinMachine::desktopWithCard(BusTypeUsb, CardSize, "Kingston", "DataTraveler", "AA010203"));
        std::unique_ptr<BlockDevice> device;
        {
            WinDiskMonitor monitor(1h);
            QTRY_COMPARE(monitor.disks().size(), 1);
            device = monitor.createDevice(monitor.disks().first());
        }
        QVERIFY(device);

        WinMachine::install(replacement);
        QCOMPARE(device->open(), opens);
        if (opens)
            return;
        QCOMPARE(device->failure(), Failure::Removed);
        QCOMPARE(device->errorString(), QStringLiteral("PhysicalDrive2 was replaced by another disk"));
        QCOMPARE(WinMachine::calls(QStringLiteral("FSCTL_LOCK_VOLUME")), 0);
        QCOMPARE(WinMachine::calls(QStringLiteral("FSCTL_DISMOUNT_VOLUME")), 0);
        QCOMPARE(WinMachine::openHandles(), 0);
    }

    void lockRetries_data()
    {
        QTest::addColumn<int>("heldFor");
        QTest::addColumn<QStringList>("paths");
        QTest::addColumn<qint64>("slept");
        QTest::addColumn<int>("dismounts");
        QTest::addColumn<QString>("text"); // empty when the open succeeds

        const QStringList e{QStringLiteral("E:\\")};
        QTest::newRow("free") << 0 << e << qint64(0) << 1 << QString();
        QTest::newRow("let go after 5 attempts") << 5 << e << qint64(500) << 1 << QString();
        QTest::newRow("let go at the last attempt") << 19 << e << qint64(1900) << 2 << QString();
        QTest::newRow("let go once dismounted") << WinMachine::HeldUntilDismounted << e << qint64(1100) << 2 << QString();
        QTest::newRow("never let go") << WinMachine::HeldForever << e << qint64(2000) << 1
                                      << QStringLiteral("E: is in use by another program: close it and retry");
        QTest::newRow("never let go, two letters")
                << WinMachine::HeldForever << QStringList{QStringLiteral("F:\\"), QStringLiteral("E:\\")} << qint64(2000) << 1
                << QStringLiteral("F:, E: is in use by another program: close it and retry");
        QTest::newRow("never let go, no letter") << WinMachine::HeldForever << QStringList{} << qint64(2000) << 1
                                                 << WinMachine::volumeName(1) + " is in use by another program: close it and retry";
    }

    void lockRetries()
    {
        QFETCH(int, heldFor);
        QFETCH(QStringList, paths);
        QFETCH(qint64, slept);
        QFETCH(int, dismounts);
        QFETCH(QString, text);
        Machine machine = sdCardDesktop();
        machine.volumes[1].heldFor = heldFor;
        machine.volumes[1].paths = paths;
        WinMachine::install(machine);

        WinBlockDevice device(ListedCard);
        QCOMPARE(device.open(), text.isEmpty());
        QCOMPARE(device.errorString(), text);
        QCOMPARE(WinMachine::slept(), slept);
        QCOMPARE(WinMachine::calls(QStringLiteral("FSCTL_DISMOUNT_VOLUME")), dismounts);
        QCOMPARE(WinMachine::isLocked(1), text.isEmpty());
    }

    void writeReadAndClose()
    {
        Machine machine = sdCardDesktop();
        machine.disks[1].bytesPerSector = 0; // taken as 512
        // A second volume of the card, without a letter, is locked as well.
        machine.volumes << WinMachine::volume(2, {}, {2});
        WinMachine::install(machine);

        WinBlockDevice device(ListedCard);
        QVERIFY(device.open());
        QCOMPARE(device.size(), CardSize);
        QCOMPARE(device.sectorSize(), 512);
        QVERIFY(WinMachine::isLocked(1) && WinMachine::isLocked(2));

        AlignedBuffer buffer(8192);
        for (int i = 0; i < 8192; ++i)
            buffer.data()[i] = char(i * 7);
        QVERIFY(device.seek(CardSize - 4096));
        QVERIFY(device.write(buffer.data(), 4096));
        QVERIFY(device.write(buffer.data(), 0));
        QCOMPARE(WinMachine::calls(QStringLiteral("WriteFile")), 1);
        QVERIFY(device.flush());

        // Reads stop short at the end of the disk.
        QVERIFY(device.seek(CardSize - 4096));
        std::memset(buffer.data(), 0, 8192);
        QCOMPARE(device.read(buffer.data(), 8192), qint64(4096));
        QCOMPARE(buffer.data()[4095], char(4095 * 7));
        QCOMPARE(device.read(buffer.data(), 512), qint64(0));
        QCOMPARE(WinMachine::bytes(2).right(4096), QByteArray(buffer.data(), 4096));

        device.close();
        QVERIFY(!WinMachine::isLocked(1) && !WinMachine::isLocked(2));
        QCOMPARE(WinMachine::calls(QStringLiteral("IOCTL_DISK_UPDATE_PROPERTIES")), 1);
        device.close();
        QCOMPARE(WinMachine::calls(QStringLiteral("IOCTL_DISK_UPDATE_PROPERTIES")), 1);
    }

    void cardWithoutVolumes()
    {
        Machine machine = sdCardDesktop();
        machine.volumes.removeLast();
        WinMachine::install(machine);

        WinBlockDevice device(ListedCard);
        QVERIFY(device.open());
        QCOMPARE(WinMachine::calls(QStringLiteral("FSCTL_LOCK_VOLUME")), 0);
    }

    void writeFailures_data()
    {
        QTest::addColumn<Fault>("fault");
        QTest::addColumn<Failure>("failure");
        QTest::addColumn<QString>("text");
        QTest::addColumn<qint64>("slept");

        const QString write = QStringLiteral("WriteFile");
        QTest::newRow("card pulled") << Fault{write, 0, 2, {}, 2} << Failure::Removed
                                     << "cannot write to PhysicalDrive2: The device is not connected." << qint64(0);
        QTest::newRow("nothing written") << Fault{write, WinMachine::NothingTransferred, 2} << Failure::IoError
                                         << "cannot write to PhysicalDrive2: The disk is full." << qint64(0);
        QTest::newRow("device error, card present") << Fault{write, ERROR_GEN_FAILURE, 2} << Failure::IoError
                << "cannot write to PhysicalDrive2: A device attached to the system is not functioning." << qint64(500);
        QTest::newRow("device error, card gone") << Fault{write, ERROR_GEN_FAILURE, 2, {}, 2} << Failure::Removed
                << "cannot write to PhysicalDrive2: A device attached to the system is not functioning." << qint64(500);
        QTest::newRow("volume mounted again") << Fault{write, ERROR_ACCESS_DENIED, 2} << Failure::IoError
                << "cannot write to PhysicalDrive2: Access is denied. (a partition of the SD card was mounted again)"
                << qint64(500);
        QTest::newRow("access denied, card gone") << Fault{write, ERROR_ACCESS_DENIED, 2, {}, 2} << Failure::Removed
                                                  << "cannot write to PhysicalDrive2: Access is denied." << qint64(500);
        QTest::newRow("locked by the switch") << Fault{write, ERROR_WRITE_PROTECT, 2} << Failure::WriteProtected
                                              << "cannot write to PhysicalDrive2: The media is write protected." << qint64(0);
    }

    void writeFailures()
    {
        QFETCH(Fault, fault);
        QFETCH(Failure, failure);
        QFETCH(QString, text);
        QFETCH(qint64, slept);
        WinMachine::install(sdCardDesktop().withFault(fault));

        WinBlockDevice device(ListedCard);
        QVERIFY(device.open());
        AlignedBuffer buffer(4096);
        std::memset(buffer.data(), 0x5a, 4096);
        QVERIFY(device.write(buffer.data(), 4096));
        QVERIFY(!device.write(buffer.data(), 4096));
        QCOMPARE(device.failure(), failure);
        QCOMPARE(device.errorString(), text);
        QCOMPARE(WinMachine::slept(), slept);
    }
};

QTEST_GUILESS_MAIN(TestWinBlockDevice)
#include "tst_winblockdevice.moc"
