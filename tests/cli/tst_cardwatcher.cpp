#include "cli/cardwatcher.h"

#include "cli/progressprinter.h"
#include "core/writeplan.h"
#include "disks/win/windiskmonitor.h"

#include "support/testfiles.h"
#include "support/winmachine.h"

#include <QJsonArray>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;
using Machine = WinMachine::State;

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 ReaderSize = 64 * MiB;

// The desktop with USB card readers holding cards; disk 2 holds one from the
// start, under E:.
Machine withReaders(const QList<WinMachine::Disk> &readers)
{
    Machine machine = WinMachine::desktopWithCard(BusTypeUsb, ReaderSize);
    machine.disks << readers;
    return machine;
}

WinMachine::Disk reader(int number, qint64 size, const QByteArray &product = "Card Reader")
{
    return WinMachine::disk(number, BusTypeUsb, true, size, "Generic", product, "SN" + QByteArray::number(number));
}

} // namespace

// write --watch over the Windows disk monitor and block device, on the model
// of a Windows machine where cards are put in one after the other: each new
// card whose model matches is written and verified, one too small or of
// another model is passed over, one pulled out while it is written fails as
// removed, and the card there from the start is never touched.
class TestCardWatcher : public QObject
{
    Q_OBJECT

private:
    QList<QJsonObject> m_records;

    // The records of event for card, as printed so far.
    QList<QJsonObject> recordsOf(const QString &event, const QString &card) const
    {
        QList<QJsonObject> found;
        for (const QJsonObject &record : m_records) {
            if (record.value(QStringLiteral("event")).toString() == event
                && record.value(QStringLiteral("card")).toString() == card)
                found << record;
        }
        return found;
    }

private slots:
    void windowsCardsArrive()
    {
        QTemporaryDir dir;
        const QByteArray image = randomBytes(10 * MiB + 512, 29);
        QVERIFY(writeFile(dir.filePath(QStringLiteral("card.img")), image));
        const WritePlan plan = WritePlan::forLocalFile(dir.filePath(QStringLiteral("card.img")), {});

        WinMachine::install(withReaders({}));
        WinDiskMonitor monitor(5ms);
        QTRY_VERIFY(monitor.hasListed());
        ProgressPrinter printer(ProgressPrinter::Mode::Json, ProgressPrinter::Work::Write, true, {},
                                {[](const QString &) {}, [this](const QJsonObject &r) { m_records << r; },
                                 [] { return 0; }, [] { return qint64(0); }});
        CardWatcher watcher(monitor, plan, true, {QStringLiteral("*card reader*")}, printer);
        watcher.start(plan.imageSize());

        // A card in a second reader is written and verified.
        WinMachine::install(withReaders({reader(3, ReaderSize)}));
        QTRY_COMPARE_WITH_TIMEOUT(recordsOf(QStringLiteral("done"), QStringLiteral("PhysicalDrive3")).size(), 1, 20000);
        QCOMPARE(WinMachine::bytes(3).left(image.size()), image);
        QCOMPARE(recordsOf(QStringLiteral("done"), QStringLiteral("PhysicalDrive3"))[0].value(QStringLiteral("sha256")),
                 QJsonValue(QString::fromLatin1(sha256(image).toHex())));

        // Too small, and of another model: passed over with a word each.
        WinMachine::install(withReaders({reader(3, ReaderSize), reader(4, 8 * MiB),
                                         reader(5, ReaderSize, "Flash Disk")}));
        QTRY_COMPARE(recordsOf(QStringLiteral("skipped"), QStringLiteral("PhysicalDrive4")).size(), 1);
        QCOMPARE(recordsOf(QStringLiteral("skipped"), QStringLiteral("PhysicalDrive4"))[0].value(QStringLiteral("message")),
                 QJsonValue(QStringLiteral("Skipped: Cannot write to PhysicalDrive4: the image needs 10.5 MB, but the "
                                           "card holds only 8.4 MB.")));
        QTRY_COMPARE(recordsOf(QStringLiteral("skipped"), QStringLiteral("PhysicalDrive5")).size(), 1);

        // Pulled out at its second chunk.
        Machine pulled = withReaders({reader(3, ReaderSize), reader(6, ReaderSize)});
        pulled.faults << WinMachine::Fault(QStringLiteral("WriteFile"), 0, 2, QString(), 6);
        WinMachine::install(pulled);
        QTRY_COMPARE_WITH_TIMEOUT(recordsOf(QStringLiteral("failed"), QStringLiteral("PhysicalDrive6")).size(), 1, 20000);
        const QJsonObject failed = recordsOf(QStringLiteral("failed"), QStringLiteral("PhysicalDrive6"))[0];
        QCOMPARE(failed.value(QStringLiteral("error")).toString(), QStringLiteral("TargetRemoved"));
        QCOMPARE(failed.value(QStringLiteral("message")).toString(),
                 QStringLiteral("The SD card was removed during the operation: insert it again and retry."));

        QSignalSpy finished(&watcher, &CardWatcher::finished);
        watcher.stop();
        QCOMPARE(finished.count(), 1);
        // The card there from the start, and the one written while it stays in, were written by no one.
        QCOMPARE(recordsOf(QStringLiteral("phase"), QStringLiteral("PhysicalDrive2 (E:)")).size(), 0);
        QCOMPARE(recordsOf(QStringLiteral("phase"), QStringLiteral("PhysicalDrive3")).size(), 2);
        printer.summary(printer.exitStatus(0));
        QCOMPARE(m_records.last().value(QStringLiteral("written")).toArray(), QJsonArray{QStringLiteral("PhysicalDrive3")});
        QCOMPARE(m_records.last().value(QStringLiteral("failed")).toArray(), QJsonArray{QStringLiteral("PhysicalDrive6")});
        // The monitor goes on polling, on a thread of its own, with handles of
        // its own for a moment each time; none of the cards' is left open.
        QTRY_COMPARE(WinMachine::openHandles(), 0);
    }
};

QTEST_GUILESS_MAIN(TestCardWatcher)
#include "tst_cardwatcher.moc"
