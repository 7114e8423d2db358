#include "disks/win/windiskmonitor.h"

#include "disks/win/winblockdevice.h"

#include "support/winmachine.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <chrono>
#include <memory>

using namespace std::chrono_literals;
using Machine = WinMachine::State;

namespace {

constexpr qint64 Card = WinMachine::CardSize;

// The desktop with a USB card reader as disk 2; a card of size 0 is none,
// and then the reader has no volume.
Machine withReader(qint64 cardSize)
{
    Machine machine = WinMachine::desktopWithCard(BusTypeUsb, cardSize);
    if (cardSize == 0)
        machine.volumes.removeLast();
    return machine;
}

// Lets `count` polls start after this call, so that at least one whole poll
// has seen the machine as it is now, and delivers their results.
bool waitForPolls(int count)
{
    const int target = WinMachine::calls(QStringLiteral("FindFirstVolumeW")) + count;
    if (!QTest::qWaitFor([&] { return WinMachine::calls(QStringLiteral("FindFirstVolumeW")) >= target; }, 5000))
        return false;
    QCoreApplication::processEvents();
    return true;
}

// Installs machine as the next poll starts (its first call), so that no
// poll reads half of the old machine and half of the new one: such a poll
// may well find a list of its own, which is announced like any other.
bool installAtNextPoll(const Machine &machine)
{
    const auto installed = std::make_shared<std::atomic<bool>>(false);
    WinMachine::setHook(QStringLiteral("FindFirstVolumeW"), [machine, installed] {
        WinMachine::install(machine);
        *installed = true;
    });
    return QTest::qWaitFor([&] { return installed->load(); }, 5000);
}

} // namespace

class TestWinDiskMonitor : public QObject
{
    Q_OBJECT

private slots:
    void followsTheCard()
    {
        WinMachine::install(withReader(0));
        WinDiskMonitor monitor(5ms);
        QSignalSpy changed(&monitor, &DiskMonitor::disksChanged);
        QVERIFY(monitor.disks().isEmpty());
        QVERIFY(!monitor.hasListed());

        // The first list is announced, empty as it is: no disk is there.
        QVERIFY(waitForPolls(3));
        QCOMPARE(changed.count(), 1);
        QVERIFY(monitor.hasListed());

        QVERIFY(installAtNextPoll(withReader(Card)));
        QVERIFY(waitForPolls(2));
        QCOMPARE(changed.count(), 2);
        QCOMPARE(monitor.disks().size(), 1);
        QCOMPARE(monitor.disks().first().device, QStringLiteral("PhysicalDrive2 (E:)"));
        QVERIFY(waitForPolls(3));
        QCOMPARE(changed.count(), 2);

        // Another card in the same reader differs in size only.
        QVERIFY(installAtNextPoll(withReader(Card / 2)));
        QVERIFY(waitForPolls(2));
        QCOMPARE(changed.count(), 3);
        QCOMPARE(monitor.disks().first().size, Card / 2);

        QVERIFY(installAtNextPoll(withReader(0)));
        QVERIFY(waitForPolls(2));
        QCOMPARE(changed.count(), 4);
        QVERIFY(monitor.disks().isEmpty());
        QVERIFY(waitForPolls(3));
        QCOMPARE(changed.count(), 4);
    }

    void losesTheWindowsVolume()
    {
        WinMachine::install(withReader(Card));
        WinDiskMonitor monitor(5ms);
        QSignalSpy changed(&monitor, &DiskMonitor::disksChanged);
        QTRY_COMPARE(changed.count(), 1);

        Machine lost = withReader(Card);
        lost.volumes[0].extentsReadable = false;
        QVERIFY(installAtNextPoll(lost));
        QVERIFY(waitForPolls(3));
        QCOMPARE(changed.count(), 2);
        QVERIFY(monitor.disks().isEmpty());
    }

    void destroyedDuringAPoll()
    {
        WinMachine::install(withReader(Card));
        QSemaphore polling;
        std::atomic<bool> pollEnded{false};
        WinMachine::setHook(QStringLiteral("FindFirstVolumeW"), [&] {
            polling.release();
            QThread::msleep(100);
        });
        auto monitor = std::make_unique<WinDiskMonitor>(5ms);
        QSignalSpy changed(monitor.get(), &DiskMonitor::disksChanged);
        QObject::connect(monitor.get(), &QObject::destroyed, [&] {
            pollEnded = WinMachine::calls(QStringLiteral("SetupDiDestroyDeviceInfoList")) == 1;
        });
        QVERIFY(polling.tryAcquire(1, 5000));
        monitor.reset();

        QVERIFY(pollEnded);
        QCoreApplication::processEvents();
        QCOMPARE(changed.count(), 0);
        QCOMPARE(WinMachine::openHandles(), 0);
    }

    void createDevice()
    {
        WinMachine::install(withReader(0));
        WinDiskMonitor monitor(1h);
        QVERIFY(!monitor.createDevice(Disk{QStringLiteral("/tmp/card.img"), QStringLiteral("/tmp/card.img"), {}, 1}));
        // Any disk number: the device checks the disk when it opens.
        const std::unique_ptr<BlockDevice> device =
                monitor.createDevice(Disk{QStringLiteral("\\\\.\\PhysicalDrive7"), {}, {}, 1});
        QVERIFY(dynamic_cast<WinBlockDevice *>(device.get()));
        QCOMPARE(device->errorString(), QString());
    }
};

QTEST_GUILESS_MAIN(TestWinDiskMonitor)
#include "tst_windiskmonitor.moc"
