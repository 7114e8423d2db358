#include "disks/linux/linuxblockdevice.h"

#include "disks/alignedbuffer.h"
#include "disks/linux/udisks.h"
#include "disks/linux/udisksdiskmonitor.h"
#include "image/localimagesource.h"
#include "image/testarchives.h"
#include "support/cardimage.h"
#include "support/loopdevice.h"
#include "support/programrun.h"
#include "support/udisksstandin.h"
#include "write/writejob.h"

#include <QJsonArray>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <clocale>
#include <optional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr qint64 StickSize = 8 * 1024 * 1024;

} // namespace

class TestLinuxBlockDevice : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<UdisksStandin> m_standin;

    QString path(const QString &name) const { return m_dir->filePath(name); }

    LinuxSystem system(bool throughUdisks = false) const
    {
        LinuxSystem system = m_standin->system();
        system.openThroughUdisks = throughUdisks;
        return system;
    }

    // The card seen by UDisks2 as a USB card reader holding it, and the disk
    // the list shows for it; its id is the path of its block object.
    Disk addReader(const QString &device, qint64 size)
    {
        const QString block = m_standin->addDisk(QStringLiteral("reader"), device, size,
                                                 UdisksStandin::drive(QStringLiteral("Generic"), QStringLiteral("Card Reader"),
                                                                      QStringLiteral("usb"), true));
        return Disk{block, device, QStringLiteral("Generic Card Reader"), size};
    }

    // The device made for that card.
    std::unique_ptr<LinuxBlockDevice> readerDevice(const Disk &card, bool throughUdisks = false) const
    {
        return std::make_unique<LinuxBlockDevice>(card, UdisksStandin::drivePath(QStringLiteral("reader")),
                                                  system(throughUdisks));
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_standin = std::make_unique<UdisksStandin>();
        QVERIFY2(m_standin->startBus() && m_standin->startService(), qPrintable(m_standin->errorString()));
    }

    void cleanup()
    {
        m_standin.reset();
        m_dir.reset();
    }

    // The whole write onto a card that was mounted, as a user who is not
    // root does it: unmounted and opened through UDisks2 (which hands the
    // descriptor over), written, verified, and the boot files readable.
    void writeJob()
    {
        CardImage card;
        CardImage::Options options;
        options.fatBits = 32;
        QVERIFY2(card.create(path(QStringLiteral("card.img")), options), qPrintable(card.errorString()));
        QVERIFY2(card.mcopy(QStringLiteral("CONFIG.TXT"), "product=none\n"), qPrintable(card.errorString()));
        const QByteArray image = readFile(card.path());

        const QString target = path(QStringLiteral("target"));
        QVERIFY(writeFile(target, QByteArray()));
        QVERIFY(QFile::resize(target, image.size() + 1024 * 1024));
        const auto loop = LoopDevice::attach(target);
        if (!loop)
            QSKIP("needs root and a free loop device to write a real block device");
        const Disk reader = addReader(loop->device(), image.size() + 1024 * 1024);
        const QString block = reader.id;
        const QString partition = block + QStringLiteral("p1");
        QVERIFY(m_standin->addPartition(partition, block, {QStringLiteral("/media/card")}));

        const QMap<QString, QByteArray> bootFiles{{QStringLiteral("CONFIG.TXT"), "product=alpha\n"},
                                                  {QStringLiteral("SSH"), QByteArray()}};
        QByteArray written;
        WriteJob job(std::make_unique<LocalImageSource>(card.path()),
                     readerDevice(reader, true));
        job.setBootFiles(bootFiles);
        connect(&job, &WriteJob::progress, this, [&](WriteJob::Phase phase) {
            if (phase == WriteJob::Phase::Finalizing && written.isNull())
                written = readFile(target).left(image.size());
        });
        job.run();

        QCOMPARE(job.error(), WriteJob::Error::None);
        QCOMPARE(m_standin->calls(),
                 QStringList({QStringLiteral("Unmount ") + partition, QStringLiteral("OpenDevice %1 rw").arg(block)}));
        QVERIFY(written == image);
        CardImage result(target, card.partitionOffset(), card.partitionBytes());
        QVERIFY2(result.fsck(), qPrintable(result.errorString()));
        QVERIFY2(result.holds(bootFiles), qPrintable(result.errorString()));
    }

    // The stick the user chose is pulled while its build downloads, and
    // another disk takes its kernel name, hence its block object: the device
    // made for the choice refuses it before anything is unmounted or opened.
    // The same stick plugged in again passes.
    void swappedDisk_data()
    {
        QTest::addColumn<QString>("driveName"); // UDisks2 names drives by vendor, model and serial
        QTest::addColumn<QJsonObject>("drive");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("opens");

        const QString serial = QStringLiteral("60A44C3FACC9E3A0E9A3");
        const auto stick = [](const QString &serial) {
            return UdisksStandin::drive(QStringLiteral("Kingston"), QStringLiteral("DataTraveler 3.0"),
                                        QStringLiteral("usb"), true, serial);
        };
        QTest::newRow("the same stick again") << "Kingston_DataTraveler_3_2e0_" + serial << stick(serial) << StickSize
                                              << true;
        QTest::newRow("a USB disk under its name")
                << "WD_Elements_25A2_575831314135" << UdisksStandin::drive(QStringLiteral("WD"), QStringLiteral("Elements 25A2"), QStringLiteral("usb"), false, QStringLiteral("575831314135"))
                << qint64(500107862016) << false;
        QTest::newRow("a stick of the same model and size")
                << "Kingston_DataTraveler_3_2e0_E0D55EA57446F431A9A5" << stick(QStringLiteral("E0D55EA57446F431A9A5"))
                << StickSize << false;
        QTest::newRow("the same drive, another size") << "Kingston_DataTraveler_3_2e0_" + serial << stick(serial)
                                                      << 2 * StickSize << false;
    }
    void swappedDisk()
    {
        QFETCH(QString, driveName);
        QFETCH(QJsonObject, drive);
        QFETCH(qint64, size);
        QFETCH(bool, opens);

        // A disk that opens is a real one; the others are refused before.
        const QString target = path(QStringLiteral("target"));
        QVERIFY(writeFile(target, QByteArray(StickSize, '\0')));
        const auto loop = opens ? LoopDevice::attach(target) : nullptr;
        if (opens && !loop)
            QSKIP("needs root and a free loop device to open a real block device");
        const QString device = loop ? loop->device() : QStringLiteral("/dev/sdx");
        const auto addStick = [&](const QString &name, const QJsonObject &properties, qint64 bytes) {
            const QString block = m_standin->addDisk(name, device, bytes, properties);
            return !block.isEmpty()
                   && m_standin->addPartition(block + QStringLiteral("1"), block, {QStringLiteral("/media/stick")});
        };
        const QString chosenName = QStringLiteral("Kingston_DataTraveler_3_2e0_60A44C3FACC9E3A0E9A3");
        QVERIFY(addStick(chosenName, UdisksStandin::drive(QStringLiteral("Kingston"), QStringLiteral("DataTraveler 3.0"),
                                                          QStringLiteral("usb"), true,
                                                          QStringLiteral("60A44C3FACC9E3A0E9A3")),
                         StickSize));
        std::unique_ptr<BlockDevice> blockDevice;
        {
            UdisksDiskMonitor monitor(system());
            QCOMPARE(monitor.disks().size(), 1);
            blockDevice = monitor.createDevice(monitor.disks().first());
        }
        QVERIFY(blockDevice);

        const QString block = UdisksStandin::blockPath(device);
        QVERIFY(m_standin->remove(block + QStringLiteral("1")) && m_standin->remove(block)
                && m_standin->remove(UdisksStandin::drivePath(chosenName)));
        QVERIFY(addStick(driveName, drive, size));
        const QStringList callsBefore = m_standin->calls();
        QCOMPARE(blockDevice->open(), opens);
        if (opens)
            return;
        QCOMPARE(m_standin->calls(), callsBefore);
        QCOMPARE(blockDevice->failure(), BlockDevice::Failure::Removed);
        QCOMPARE(blockDevice->errorString(), device + QStringLiteral(" was replaced by another disk"));
    }

    // A card pulled mid-write: the next write fails (the kernel says ENOSPC
    // once the size reads 0, EIO while it goes), and whether the disk is
    // still there decides between removed and a fault of the card. The card
    // leaves the loop device's backing file and its size becomes 0; sysfs is
    // the real one, or a made-up one that still lists the disk, or no longer.
    void cardPulled_data()
    {
        QTest::addColumn<QString>("sysfs"); // "real", "lists it" or "gone"
        QTest::addColumn<BlockDevice::Failure>("failure");
        QTest::newRow("card out of the reader, size 0") << "real" << BlockDevice::Failure::Removed;
        QTest::newRow("disk gone from sysfs") << "gone" << BlockDevice::Failure::Removed;
        QTest::newRow("disk still there") << "lists it" << BlockDevice::Failure::IoError;
    }
    void cardPulled()
    {
        QFETCH(QString, sysfs);
        QFETCH(BlockDevice::Failure, failure);
        const QString target = path(QStringLiteral("target"));
        QVERIFY(writeFile(target, QByteArray(StickSize, '\0')));
        const auto loop = LoopDevice::attach(target);
        if (!loop)
            QSKIP("needs root and a free loop device to pull a card from a real block device");
        LinuxSystem machine = system();
        if (sysfs != QLatin1String("real")) {
            machine.root = path(QStringLiteral("root"));
            struct stat status {};
            QCOMPARE(::stat(QFile::encodeName(loop->device()).constData(), &status), 0);
            const QString entry = QStringLiteral("%1/sys/dev/block/%2:%3").arg(machine.root).arg(major(status.st_rdev)).arg(minor(status.st_rdev));
            QVERIFY(QDir().mkpath(entry));
            if (sysfs == QLatin1String("lists it"))
                QVERIFY(writeFile(entry + QStringLiteral("/size"), "16384\n"));
            else
                QVERIFY(QDir(entry).removeRecursively());
        }
        LinuxBlockDevice device(addReader(loop->device(), StickSize), UdisksStandin::drivePath(QStringLiteral("reader")),
                                machine);
        QVERIFY2(device.open(), qPrintable(device.errorString()));
        AlignedBuffer buffer(1024 * 1024);
        QVERIFY(device.write(buffer.data(), buffer.size()));

        QVERIFY(QFile::resize(target, 0));
        QVERIFY(runProgram(QStringLiteral("losetup"), {QStringLiteral("--set-capacity"), loop->device()}).succeeded());
        QVERIFY(!device.write(buffer.data(), buffer.size()));
        QCOMPARE(device.failure(), failure);
        QCOMPARE(device.errorString(), QStringLiteral("cannot write to %1: %2").arg(loop->device(), qt_error_string(ENOSPC)));
    }

    // 4096-byte sectors: the job pads the last one, and the verify reads
    // whole sectors back.
    void largeSectors()
    {
        const QByteArray image = randomBytes(3 * 1024 * 1024 + 1000, 7);
        const QString imagePath = path(QStringLiteral("image.img"));
        const QString target = path(QStringLiteral("target"));
        QVERIFY(writeFile(imagePath, image));
        QVERIFY(writeFile(target, QByteArray(4 * 1024 * 1024, '\xff')));
        const auto loop = LoopDevice::attach(target, {QStringLiteral("--sector-size"), QStringLiteral("4096")});
        if (!loop)
            QSKIP("needs root and a free loop device to write a real block device");
        auto device = readerDevice(addReader(loop->device(), 4 * 1024 * 1024));
        const LinuxBlockDevice *opened = device.get();
        WriteJob job(std::make_unique<LocalImageSource>(imagePath), std::move(device));
        job.run();

        QCOMPARE(job.error(), WriteJob::Error::None);
        QCOMPARE(opened->sectorSize(), 4096);
        const QByteArray written = readFile(target);
        QVERIFY(written.left(image.size()) == image);
        QCOMPARE(written.mid(image.size(), 4096 - image.size() % 4096), QByteArray(4096 - image.size() % 4096, '\0'));
    }

    void refusedOpen_data()
    {
        QTest::addColumn<QString>("losetupOption"); // empty: no extra option
        QTest::addColumn<bool>("holdExclusively");
        QTest::addColumn<bool>("throughUdisks");
        QTest::addColumn<BlockDevice::Failure>("failure");
        QTest::addColumn<QString>("error"); // %1 is the device

        QTest::newRow("read-only device") << "--read-only" << false << false
                                          << BlockDevice::Failure::WriteProtected << "%1 is write-protected";
        QTest::newRow("read-only device, asked through UDisks2") << "--read-only" << false << true
                                                                 << BlockDevice::Failure::WriteProtected << "%1 is write-protected";
        QTest::newRow("held open by another program") << QString() << true << false << BlockDevice::Failure::IoError
                                                      << "%1 is in use by another program: close it and retry";
        QTest::newRow("held open, asked through UDisks2") << QString() << true << true << BlockDevice::Failure::IoError
                                                          << "%1 is in use by another program: close it and retry";
    }
    void refusedOpen()
    {
        QFETCH(QString, losetupOption);
        QFETCH(bool, holdExclusively);
        QFETCH(bool, throughUdisks);
        QFETCH(BlockDevice::Failure, failure);
        QFETCH(QString, error);

        const QString target = path(QStringLiteral("target"));
        const QByteArray before = randomBytes(1024 * 1024, 3);
        QVERIFY(writeFile(target, before));
        const auto loop = LoopDevice::attach(target, losetupOption.isEmpty() ? QStringList() : QStringList{losetupOption});
        if (!loop)
            QSKIP("needs root and a free loop device to open a real block device");
        const Disk card = addReader(loop->device(), before.size());

        QProcess holder;
        if (holdExclusively) {
            holder.start(QStringLiteral("/usr/bin/python3"),
                         {QStringLiteral("-c"),
                          QStringLiteral("import os, sys; os.open(sys.argv[1], os.O_RDONLY | os.O_EXCL); "
                                         "print('held', flush=True); sys.stdin.read()"),
                          loop->device()});
            QVERIFY(holder.waitForReadyRead(10000));
            QCOMPARE(holder.readLine().trimmed(), QByteArray("held"));
        }

        const auto device = readerDevice(card, throughUdisks);
        QVERIFY(!device->open());
        QCOMPARE(device->failure(), failure);
        QVERIFY2(device->errorString().startsWith(error.arg(loop->device())), qPrintable(device->errorString()));
        device->close();
        if (holdExclusively) {
            holder.closeWriteChannel();
            QVERIFY(holder.waitForFinished(10000));
        }
        QVERIFY(readFile(target) == before);
    }

    // The checks before anything is opened, with what UDisks2 says now.
    void recheck_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<BlockDevice::Failure>("failure");
        QTest::addColumn<QString>("error");

        QTest::newRow("card pulled") << "remove" << BlockDevice::Failure::Removed << "/dev/sdx is no longer connected";
        QTest::newRow("card out of the reader") << "empty" << BlockDevice::Failure::Removed << "no media in /dev/sdx";
        QTest::newRow("now a fixed disk") << "fixed" << BlockDevice::Failure::IoError << "/dev/sdx is not a removable disk";
        QTest::newRow("partition busy") << "busy" << BlockDevice::Failure::IoError
                                        << "/media/card is in use by another program: close it and retry";
        QTest::newRow("device busy, messages in Italian") << "open busy" << BlockDevice::Failure::IoError
                                                          << "/dev/sdx is in use by another program: close it and retry";
        QTest::newRow("open not authorised") << "open" << BlockDevice::Failure::PermissionDenied
                                             << "cannot open /dev/sdx: Not authorized";
        QTest::newRow("open: no one to ask for the password") << "open no agent" << BlockDevice::Failure::PermissionDenied
                << "cannot open /dev/sdx: Not authorized to perform operation (no password dialog can be shown here: "
                   "run it as administrator, for example tessaro-cli with sudo)";
        QTest::newRow("open: password dialog closed") << "open dismissed" << BlockDevice::Failure::Cancelled
                                                      << "cannot open /dev/sdx: ";
        QTest::newRow("open: card out of the reader") << "open no medium" << BlockDevice::Failure::Removed
                                                      << "cannot open /dev/sdx: ";
        QTest::newRow("UDisks2 gone") << "stop" << BlockDevice::Failure::IoError << "cannot ask UDisks2 about /dev/sdx: ";
    }
    void recheck()
    {
        QFETCH(QString, change);
        QFETCH(BlockDevice::Failure, failure);
        QFETCH(QString, error);

        const QString device = QStringLiteral("/dev/sdx");
        const Disk card = addReader(device, 8000000000);
        const QString block = card.id;
        const QString partition = block + QStringLiteral("1");
        QVERIFY(m_standin->addPartition(partition, block, {QStringLiteral("/media/card")}));
        const QString notAuthorized = QStringLiteral("org.freedesktop.UDisks2.Error.NotAuthorized");
        const QString drive = UdisksStandin::drivePath(QStringLiteral("reader"));
        if (change == QLatin1String("remove")) {
            QVERIFY(m_standin->remove(block));
        } else if (change == QLatin1String("empty")) {
            QVERIFY(m_standin->change(block, udisks::BlockInterface, {{QStringLiteral("Size"), 0}}));
        } else if (change == QLatin1String("fixed")) {
            QVERIFY(m_standin->change(drive, udisks::DriveInterface,
                                      {{QStringLiteral("ConnectionBus"), QStringLiteral("ata")}, {QStringLiteral("Removable"), false},
                                       {QStringLiteral("MediaRemovable"), false}}));
        } else if (change == QLatin1String("busy")) {
            QVERIFY(m_standin->fail(partition, QStringLiteral("Unmount"), QStringLiteral("org.freedesktop.UDisks2.Error.DeviceBusy"),
                                    QStringLiteral("target is busy")));
        } else if (change == QLatin1String("open")) {
            QVERIFY(m_standin->change(partition, udisks::FilesystemInterface, {{QStringLiteral("MountPoints"), QJsonArray()}}));
            QVERIFY(m_standin->fail(block, QStringLiteral("OpenDevice"), notAuthorized, QStringLiteral("Not authorized")));
        } else if (change.startsWith(QLatin1String("open "))) {
            // What UDisks2 answers in each case.
            const QMap<QString, QStringList> errors{
                    {QStringLiteral("open busy"), {QStringLiteral("Failed"), QStringLiteral("Error opening device /dev/sdx: Device or resource busy")}},
                    {QStringLiteral("open no medium"), {QStringLiteral("Failed"), QStringLiteral("Error opening device /dev/sdx: No medium found")}},
                    {QStringLiteral("open no agent"), {QStringLiteral("NotAuthorizedCanObtain"), QStringLiteral("Not authorized to perform operation")}},
                    {QStringLiteral("open dismissed"), {QStringLiteral("NotAuthorizedDismissed"), QStringLiteral("The authentication dialog was dismissed")}},
            };
            QVERIFY(m_standin->change(partition, udisks::FilesystemInterface, {{QStringLiteral("MountPoints"), QJsonArray()}}));
            QVERIFY(m_standin->fail(block, QStringLiteral("OpenDevice"), "org.freedesktop.UDisks2.Error." + errors[change][0],
                                    errors[change][1]));
        }
        // The service answers in its own locale whatever the user's is.
        const QByteArray messages = ::setlocale(LC_MESSAGES, nullptr);
        const std::optional<QByteArray> language =
                qEnvironmentVariableIsSet("LANGUAGE") ? std::optional(qgetenv("LANGUAGE")) : std::nullopt;
        const auto restoreLocale = qScopeGuard([&] {
            ::setlocale(LC_MESSAGES, messages.constData());
            if (language)
                qputenv("LANGUAGE", *language);
            else
                qunsetenv("LANGUAGE");
        });
        if (change == QLatin1String("open busy")) {
            ::setlocale(LC_MESSAGES, "C.UTF-8");
            qputenv("LANGUAGE", "it");
            if (qt_error_string(EBUSY) == QLatin1String("Device or resource busy"))
                QSKIP("needs the C library's Italian messages");
        }
        const QStringList callsBefore = m_standin->calls();
        if (change == QLatin1String("stop"))
            m_standin->stopService();

        const auto linuxDevice = readerDevice(card, true);
        QVERIFY(!linuxDevice->open());
        QCOMPARE(linuxDevice->failure(), failure);
        QVERIFY2(linuxDevice->errorString().startsWith(error), qPrintable(linuxDevice->errorString()));
        if (change == QLatin1String("fixed") || change == QLatin1String("empty") || change == QLatin1String("remove"))
            QCOMPARE(m_standin->calls(), callsBefore); // nothing unmounted or opened
    }
};

QTEST_GUILESS_MAIN(TestLinuxBlockDevice)
#include "tst_linuxblockdevice.moc"
