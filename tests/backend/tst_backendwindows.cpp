#include "backend/backend.h"
#include "disks/win/windiskmonitor.h"
#include "winmachine.h"
#include "writefixture.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <chrono>

using namespace std::chrono_literals;
using State = Backend::State;
using Machine = WinMachine::State;
using Fault = WinMachine::Fault;

Q_DECLARE_METATYPE(WinMachine::State)

namespace {

const QString Drive = QStringLiteral("\\\\.\\PhysicalDrive2");

// The desktop with an SD card as disk 2 that holds the image with room to
// spare, its one volume on E:.
Machine desktopWithRoomFor(qint64 imageSize)
{
    constexpr qint64 MiB = 1024 * 1024;
    return WinMachine::desktopWithCard(BusTypeSd, (imageSize / MiB + 2) * MiB, "", "SD Card");
}

// Gives the Backend the Windows monitor once that has listed the card.
bool attachWindowsMonitor(Backend &backend)
{
    auto monitor = std::make_unique<WinDiskMonitor>(10ms);
    if (!QTest::qWaitFor([&] { return monitor->disks().size() == 1; }, 5000))
        return false;
    backend.diskChoice().setMonitor(std::move(monitor));
    return true;
}

} // namespace

// Writes through the Backend onto a Windows card: the Windows disk monitor
// and block device over the model of the Win32 calls, the write job,
// a catalog build served by nginx, and the card checked by fsck.fat and mtools.
class TestBackendWindows : public WriteTestCase
{
    Q_OBJECT

private slots:
    void catalogBuildOntoACard()
    {
        QVERIFY(m_fixture.writeCatalog());
        WinMachine::install(desktopWithRoomFor(m_fixture.image32.size));
        // Windows refuses raw writes while a volume of the disk is mounted;
        // this says whether ours stayed locked at every write.
        std::atomic<int> writes{0};
        std::atomic<bool> lockedThroughout{true};
        WinMachine::setHook(QStringLiteral("WriteFile"), [&] {
            ++writes;
            if (!WinMachine::isLocked(1))
                lockedThroughout = false;
        });

        Backend backend(m_fixture.catalogUrl(), QString());
        QVERIFY(attachWindowsMonitor(backend));
        QVERIFY(waitLoaded(backend));
        chooseBuild(backend, QStringLiteral("stable"));
        QVERIFY(writeOnto(backend, Drive));
        QCOMPARE(backend.errorMessage(), QString());
        QCOMPARE(backend.state(), State::Done);

        QVERIFY(writes > 0);
        QVERIFY(lockedThroughout);
        QVERIFY(!WinMachine::isLocked(1));
        // The monitor goes on polling with handles of its own for a moment.
        QTRY_COMPARE(WinMachine::openHandles(), 0);
        const QByteArray card = WinMachine::bytes(2);
        QFile image(m_fixture.image32.path);
        QVERIFY(image.open(QIODevice::ReadOnly));
        QTemporaryDir dir;
        const QString saved = dir.filePath(QStringLiteral("card.img"));
        QVERIFY(writeFile(saved, card));
        checkCard(saved, m_fixture.card32, ProductFiles);
        // Past the partition the card holds the image's bytes; the boot
        // files changed only the partition.
        const QByteArray original = image.readAll();
        const qint64 end = m_fixture.card32.partitionOffset() + m_fixture.card32.partitionBytes();
        QCOMPARE(card.mid(end, original.size() - end), original.mid(end));
        QCOMPARE(card.left(m_fixture.card32.partitionOffset()), original.left(m_fixture.card32.partitionOffset()));
    }

    void failures_data()
    {
        QTest::addColumn<Machine>("machine");
        QTest::addColumn<QString>("message");

        const Machine card = desktopWithRoomFor(m_fixture.image16.size);
        const QString write = QStringLiteral("WriteFile");
        Machine locked = card;
        locked.disks[1].writeProtected = true;
        QTest::newRow("write-protected card") << locked
                << "The SD card is write-protected: move the lock switch on the card or adapter and retry.";
        Machine held = card;
        held.volumes[1].heldFor = WinMachine::HeldForever;
        QTest::newRow("card held by another program") << held
                << "Cannot open the SD card: E: is in use by another program: close it and retry";
        QTest::newRow("no rights to the disk") << card.withFault(Fault(QStringLiteral("CreateFileW"), ERROR_ACCESS_DENIED, 2, Drive))
                << "Permission denied to access the SD card: cannot open PhysicalDrive2: Access is denied.";
        QTest::newRow("card pulled while writing") << card.withFault(Fault(write, 0, 2, {}, 2))
                << "The SD card was removed during the operation: insert it again and retry.";
        QTest::newRow("card that takes no data") << card.withFault(Fault(write, WinMachine::NothingTransferred, 2))
                << "Error reading or writing the SD card, it may be faulty: cannot write to PhysicalDrive2: The disk is full.";
    }

    void failures()
    {
        QFETCH(Machine, machine);
        QFETCH(QString, message);
        QVERIFY(m_fixture.writeCatalog());
        WinMachine::install(machine);

        Backend backend(m_fixture.catalogPath(), QString());
        QVERIFY(attachWindowsMonitor(backend));
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.image16.path));
        backend.chooseDisk();
        QVERIFY(writeOnto(backend, Drive));
        QCOMPARE(backend.errorMessage(), message);
        QCOMPARE(backend.state(), State::Failed);
        QVERIFY(!WinMachine::isLocked(1));
    }
};

QTEST_GUILESS_MAIN(TestBackendWindows)
#include "tst_backendwindows.moc"
