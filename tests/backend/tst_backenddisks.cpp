#include "backend/backend.h"
#include "backendwaits.h"
#include "backendtestaccess.h"
#include "scripteddiskmonitor.h"

#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

Q_DECLARE_METATYPE(Disk)

static const qint64 GB = 1000 * 1000 * 1000;

static const Disk SmallCard{QStringLiteral("disk1"), QStringLiteral("PhysicalDrive1"), QString(), 2 * GB};
static const Disk LargeCard{QStringLiteral("disk2"), QStringLiteral("PhysicalDrive2"), QStringLiteral("SanDisk Ultra"),
                            16 * GB};

class TestBackendDisks : public QObject
{
    Q_OBJECT

private:
    // A Backend on the disk step with a local image chosen, fed by a scripted monitor.
    static ScriptedDiskMonitor *attach(Backend &backend, const QList<Disk> &disks)
    {
        auto monitor = std::make_unique<ScriptedDiskMonitor>(disks);
        ScriptedDiskMonitor *raw = monitor.get();
        backend.diskChoice().setMonitor(std::move(monitor));
        backend.setImageUrl(QUrl::fromLocalFile(QStringLiteral("/nonexistent/image.img")));
        return raw;
    }

    static QString formatted(qint64 bytes) { return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat); }

private slots:
    void entries_data()
    {
        QTest::addColumn<qint64>("imageSize");
        QTest::addColumn<bool>("smallEnabled");
        QTest::addColumn<bool>("largeEnabled");

        QTest::newRow("unknown image size enables every disk") << qint64(0) << true << true;
        QTest::newRow("image fits both") << 2 * GB << true << true;
        QTest::newRow("image too large for the small card") << 2 * GB + 1 << false << true;
        QTest::newRow("image too large for both") << 17 * GB << false << false;
    }
    void entries()
    {
        QFETCH(qint64, imageSize);
        QFETCH(bool, smallEnabled);
        QFETCH(bool, largeEnabled);
        Backend backend(NoCatalog, QString());
        attach(backend, {SmallCard, LargeCard});
        backend.diskChoice().setImageSize(imageSize);

        const QVariantList list = backend.disks();
        QCOMPARE(list.size(), 2);
        const QVariantMap small = list[0].toMap();
        const QVariantMap large = list[1].toMap();
        QCOMPARE(small.value(QStringLiteral("id")).toString(), SmallCard.id);
        QCOMPARE(small.value(QStringLiteral("device")).toString(), SmallCard.device);
        QCOMPARE(small.value(QStringLiteral("model")).toString(), QString());
        QCOMPARE(large.value(QStringLiteral("model")).toString(), LargeCard.model);
        QCOMPARE(small.value(QStringLiteral("size")).toString(), formatted(SmallCard.size));
        QCOMPARE(large.value(QStringLiteral("size")).toString(), formatted(LargeCard.size));
        QCOMPARE(small.value(QStringLiteral("enabled")).toBool(), smallEnabled);
        QCOMPARE(large.value(QStringLiteral("enabled")).toBool(), largeEnabled);
        const QString reason = QStringLiteral("Too small: the image needs %1").arg(formatted(imageSize));
        QCOMPARE(small.value(QStringLiteral("reason")).toString(), smallEnabled ? QString() : reason);
        QCOMPARE(large.value(QStringLiteral("reason")).toString(), largeEnabled ? QString() : reason);
    }

    void selectDisk_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<qint64>("imageSize");
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<int>("emitted");

        QTest::newRow("listed disk") << LargeCard.id << qint64(0) << LargeCard.id << 1;
        QTest::newRow("unknown id changes nothing") << QStringLiteral("disk9") << qint64(0) << QString() << 0;
        QTest::newRow("too small changes nothing") << SmallCard.id << 4 * GB << QString() << 0;
        QTest::newRow("small disk with unknown size") << SmallCard.id << qint64(0) << SmallCard.id << 1;
    }
    void selectDisk()
    {
        QFETCH(QString, id);
        QFETCH(qint64, imageSize);
        QFETCH(QString, chosen);
        QFETCH(int, emitted);
        Backend backend(NoCatalog, QString());
        attach(backend, {SmallCard, LargeCard});
        backend.diskChoice().setImageSize(imageSize);
        QSignalSpy spy(&backend, &Backend::diskChanged);
        backend.selectDisk(id);
        backend.selectDisk(id); // choosing the chosen disk again emits nothing
        QCOMPARE(backend.diskId(), chosen);
        QCOMPARE(spy.count(), emitted);
        QCOMPARE(backend.canWrite(), !chosen.isEmpty());
    }

    void names_data()
    {
        QTest::addColumn<Disk>("disk");
        QTest::addColumn<QString>("name");
        QTest::newRow("without model the device") << SmallCard << SmallCard.device;
        QTest::newRow("with model model (device)") << LargeCard << "SanDisk Ultra (PhysicalDrive2)";
    }
    void names()
    {
        QFETCH(Disk, disk);
        QFETCH(QString, name);
        Backend backend(NoCatalog, QString());
        attach(backend, {disk});
        QVERIFY(backend.diskName().isEmpty());
        QVERIFY(backend.diskSize().isEmpty());
        backend.selectDisk(disk.id);
        QCOMPARE(backend.diskName(), name);
        QCOMPARE(backend.diskSize(), formatted(disk.size));
    }

    void listChanges()
    {
        Backend backend(NoCatalog, QString());
        ScriptedDiskMonitor *monitor = attach(backend, {SmallCard, LargeCard});
        backend.selectDisk(LargeCard.id);

        QList<QByteArray> order;
        connect(&backend, &Backend::disksChanged, this, [&] { order.append("disks"); });
        connect(&backend, &Backend::diskChanged, this, [&] { order.append("disk"); });

        // Another card comes and goes: the choice stays, both emitted come in order.
        monitor->setDisks({LargeCard});
        QCOMPARE(backend.diskId(), LargeCard.id);
        QCOMPARE(order, (QList<QByteArray>{"disks", "disk"}));

        // The chosen card is pulled: the choice is dropped.
        monitor->setDisks({SmallCard});
        QVERIFY(backend.diskId().isEmpty());
        QVERIFY(backend.diskName().isEmpty());
        QVERIFY(!backend.canWrite());

        // Inserting it again does not choose it again.
        monitor->setDisks({SmallCard, LargeCard});
        QVERIFY(backend.diskId().isEmpty());
        QCOMPARE(order.size(), 6);
    }

    void largerImageDropsTooSmallDisk()
    {
        Backend backend(NoCatalog, QString());
        attach(backend, {SmallCard, LargeCard});
        backend.selectDisk(SmallCard.id);
        QVERIFY(backend.canWrite());
        QSignalSpy spy(&backend, &Backend::diskChanged);
        backend.diskChoice().setImageSize(3 * GB);
        QVERIFY(backend.diskId().isEmpty());
        QVERIFY(!backend.canWrite());
        QCOMPARE(spy.count(), 1);
    }

    void canWriteNeedsAnImage()
    {
        Backend backend(NoCatalog, QString());
        attach(backend, {LargeCard});
        backend.selectDisk(LargeCard.id);
        QVERIFY(backend.canWrite());
        backend.setImageUrl(QUrl());
        QVERIFY(!backend.canWrite());
    }

    void targetFileIsTheOneDisk()
    {
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("card.img"));
        Backend backend(NoCatalog, target);
        backend.diskChoice().setImageSize(std::numeric_limits<qint64>::max());
        const QVariantList list = backend.disks();
        QCOMPARE(list.size(), 1);
        const QVariantMap entry = list[0].toMap();
        QCOMPARE(entry.value(QStringLiteral("id")).toString(), target);
        QCOMPARE(entry.value(QStringLiteral("device")).toString(), target);
        QCOMPARE(entry.value(QStringLiteral("model")).toString(), QStringLiteral("--target-file"));
        QVERIFY(entry.value(QStringLiteral("enabled")).toBool());
        backend.selectDisk(target);
        QCOMPARE(backend.diskName(), QStringLiteral("--target-file (%1)").arg(target));
    }

    void platformMonitorListsNothingHere()
    {
        Backend backend(NoCatalog, QString());
        QVERIFY(backend.disks().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestBackendDisks)
#include "tst_backenddisks.moc"
