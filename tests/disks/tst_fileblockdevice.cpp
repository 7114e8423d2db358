#include "disks/fileblockdevice.h"
#include "disks/filediskmonitor.h"
#include "support/testfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

#include <unistd.h>

namespace {

// Root may open any file, so a permission failure needs an ordinary user.
// Real and effective ids both change (QFileInfo asks access(), which checks
// the real one); the saved id stays root so the destructor can switch back.
class RunAsNobody
{
public:
    RunAsNobody()
    {
        if (getuid() == 0)
            m_switched = setresgid(65534, 65534, 0) == 0 && setresuid(65534, 65534, 0) == 0;
    }
    ~RunAsNobody()
    {
        if (m_switched) {
            [[maybe_unused]] const int user = setresuid(0, 0, 0);
            [[maybe_unused]] const int group = setresgid(0, 0, 0);
        }
    }
    bool unprivileged() const { return m_switched || getuid() != 0; }

private:
    bool m_switched = false;
};

} // namespace

class TestFileBlockDevice : public QObject
{
    Q_OBJECT

private slots:
    void monitorListsTheFileAsOneHugeDisk()
    {
        FileDiskMonitor monitor(QStringLiteral("/tmp/card.img"));
        const QList<Disk> disks = monitor.disks();
        QCOMPARE(disks.size(), 1);
        QCOMPARE(disks[0].id, QStringLiteral("/tmp/card.img"));
        QCOMPARE(disks[0].device, QStringLiteral("/tmp/card.img"));
        QCOMPARE(disks[0].model, QStringLiteral("--target-file"));
        QCOMPARE(disks[0].size, std::numeric_limits<qint64>::max());
        auto device = monitor.createDevice(Disk{});
        QVERIFY(device);
        QCOMPARE(device->size(), std::numeric_limits<qint64>::max());
        QCOMPARE(device->sectorSize(), 512);
    }

    void createOrTruncateEmptiesALargerFile()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("card.img"));
        QVERIFY(writeFile(path, QByteArray(8192, 'x')));
        FileBlockDevice device(path, -1, FileBlockDevice::OpenMode::CreateOrTruncate);
        QVERIFY(device.open());
        // The caller pads a short last block with zeros to the sector size.
        QByteArray block(1000, 'a');
        block.append(QByteArray(24, '\0'));
        QVERIFY(device.write(block.constData(), block.size()));
        QVERIFY(device.flush());
        QVERIFY(device.dropCaches());
        QVERIFY(device.seek(0));
        QByteArray back(2048, '\0');
        QCOMPARE(device.read(back.data(), back.size()), qint64(1024));
        QCOMPARE(back.left(1024), block);
        device.close();
        device.close(); // harmless twice
        QCOMPARE(QFile(path).size(), qint64(1024));
    }

    void existingOnlyKeepsContents()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("card.img"));
        QVERIFY(writeFile(path, QByteArray(4096, 'x')));
        FileBlockDevice device(path, 4096, FileBlockDevice::OpenMode::ExistingOnly);
        QVERIFY(device.open());
        QCOMPARE(device.size(), qint64(4096));
        QVERIFY(device.seek(512));
        QVERIFY(device.write(QByteArray(512, 'y').constData(), 512));
        device.close();
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray data = file.readAll();
        QCOMPARE(data.size(), 4096);
        QCOMPARE(data.mid(0, 512), QByteArray(512, 'x'));
        QCOMPARE(data.mid(512, 512), QByteArray(512, 'y'));
        QCOMPARE(data.mid(1024), QByteArray(3072, 'x'));
    }

    void openFailures_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("failure");
        QTest::newRow("missing folder") << "missing-folder" << int(FileBlockDevice::OpenMode::CreateOrTruncate)
                                        << int(BlockDevice::Failure::IoError);
        QTest::newRow("existing-only on a missing file") << "missing-file" << int(FileBlockDevice::OpenMode::ExistingOnly)
                                                         << int(BlockDevice::Failure::IoError);
        QTest::newRow("read-only file") << "read-only" << int(FileBlockDevice::OpenMode::CreateOrTruncate)
                                        << int(BlockDevice::Failure::PermissionDenied);
    }
    void openFailures()
    {
        QFETCH(QString, setup);
        QFETCH(int, mode);
        QFETCH(int, failure);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("card.img"));
        if (setup == QLatin1String("missing-folder"))
            path = dir.filePath(QStringLiteral("no/such/folder/card.img"));
        if (setup == QLatin1String("read-only")) {
            QVERIFY(writeFile(path, "keep"));
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
            QVERIFY(QFile::setPermissions(dir.path(), QFile::permissions(dir.path()) | QFile::ExeOther | QFile::ReadOther));
        }
        {
            RunAsNobody nobody;
            if (setup == QLatin1String("read-only") && !nobody.unprivileged())
                QSKIP("cannot leave root here, and root ignores file permissions");
            FileBlockDevice device(path, -1, FileBlockDevice::OpenMode(mode));
            QVERIFY(!device.open());
            QCOMPARE(int(device.failure()), failure);
            QVERIFY(!device.errorString().isEmpty());
            device.close();
        }
        if (setup == QLatin1String("read-only")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), QByteArray("keep"));
        }
    }
};

QTEST_GUILESS_MAIN(TestFileBlockDevice)
#include "tst_fileblockdevice.moc"
