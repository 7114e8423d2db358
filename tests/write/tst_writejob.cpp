#include "bootfiles.h"
#include "progressrecorder.h"
#include "write/writejob.h"

#include "disks/alignedbuffer.h"
#include "disks/fileblockdevice.h"
#include "image/imagesources.h"
#include "image/localimagesource.h"
#include "image/testarchives.h"
#include "support/cardimage.h"
#include "support/scriptedcard.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMetaEnum>
#include <QSemaphore>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>

using Phase = WriteJob::Phase;
using Error = WriteJob::Error;
using Failure = BlockDevice::Failure;
using Script = ScriptedCard::Script;
using Call = ScriptedCard::Call;
Q_DECLARE_METATYPE(BlockDevice::Failure)

namespace {

constexpr qint64 MiB = 1024 * 1024;
constexpr qint64 Chunk = WriteJob::ChunkSize;
// What a sector device's file holds where nothing was written.
constexpr char Filler = char(0xA5);

using ProgressText::byteReports;
using ProgressText::fileReports;
using ProgressText::report;
using Recorder = ProgressRecorder;

QByteArray padded(const QByteArray &image, int sectorSize)
{
    return image + QByteArray(AlignedBuffer::roundUp(image.size(), sectorSize) - image.size(), '\0');
}

// Takes the real and effective user of another until destroyed, so that file
// permissions hold for a process running as root (Qt asks access(), which
// goes by the real user). The saved user stays root, to come back.
class OtherUser
{
public:
    explicit OtherUser(uid_t uid)
        : m_real(getuid())
        , m_effective(geteuid())
    {
        m_ok = setresuid(uid, uid, uid_t(-1)) == 0;
    }
    ~OtherUser()
    {
        if (m_ok && setresuid(m_real, m_effective, uid_t(-1)) != 0)
            qFatal("cannot get the user back");
    }
    bool ok() const { return m_ok; }

private:
    uid_t m_real;
    uid_t m_effective;
    bool m_ok = false;
};

} // namespace

class TestWriteJob : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_fixtures;
    QString m_cardPath; // a FAT16 card image of two chunks, never written to
    QByteArray m_card;
    CardImage m_cardImage;
    std::unique_ptr<QTemporaryDir> m_dir;
    ScriptedCard *m_target = nullptr; // of the last targetDevice()

    QString path(const QString &name) const { return m_dir->filePath(name); }

    // A card over target.img, which holds Filler everywhere: the script's
    // size in bytes, 8 MiB unless it says.
    std::unique_ptr<ScriptedCard> targetDevice(Script script = {}, std::function<void()> pauseAction = {})
    {
        script.path = path(QStringLiteral("target.img"));
        script.existingFile = true;
        if (script.size < 0)
            script.size = 8 * MiB;
        if (!writeFile(script.path, QByteArray(script.size, Filler)))
            return {};
        auto owned = std::make_unique<ScriptedCard>(script, std::move(pauseAction));
        m_target = owned.get();
        return owned;
    }

    // The card image with boot files as the source, targetDevice() as the target.
    std::unique_ptr<WriteJob> cardJob(const Script &script = {}, const BootFileMap &bootFiles = BootFiles)
    {
        std::unique_ptr<ScriptedCard> target = targetDevice(script);
        if (!target)
            return {};
        auto job = std::make_unique<WriteJob>(std::make_unique<LocalImageSource>(m_cardPath), std::move(target));
        job->setBootFiles(bootFiles);
        return job;
    }

    CardImage targetCard() const
    {
        return CardImage(path(QStringLiteral("target.img")), m_cardImage.partitionOffset(),
                         m_cardImage.partitionBytes());
    }

private slots:
    void initTestCase()
    {
        m_cardPath = m_fixtures.filePath(QStringLiteral("card.img"));
        CardImage::Options options;
        options.fatBits = 16;
        options.label = QStringLiteral("TESSARO");
        QVERIFY2(m_cardImage.create(m_cardPath, options), qPrintable(m_cardImage.errorString()));
        QVERIFY2(m_cardImage.mcopy(QStringLiteral("README.TXT"), "shipped with the image\n"),
                 qPrintable(m_cardImage.errorString()));
        m_card = readFile(m_cardPath);
        // The tests below count on a last chunk that is not a whole one.
        QVERIFY(m_card.size() > Chunk && m_card.size() < 2 * Chunk);
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_target = nullptr;
    }
    void cleanup() { m_dir.reset(); }

    void sizes_data()
    {
        QTest::addColumn<qint64>("imageSize");
        QTest::addColumn<QString>("target");   // "file", "declared" or "sectors"
        QTest::addColumn<int>("sectorSize");
        QTest::addColumn<qint64>("deviceSize"); // for "declared" and "sectors"
        QTest::addColumn<Error>("error");

        QTest::newRow("one byte") << qint64(1) << "file" << 512 << qint64(0) << Error::None;
        QTest::newRow("three whole chunks") << 3 * Chunk << "file" << 512 << qint64(0) << Error::None;
        QTest::newRow("last chunk not a multiple of 512")
                << 2 * Chunk + 1000 << "file" << 512 << qint64(0) << Error::None;
        QTest::newRow("last chunk padded to a 4096-byte sector")
                << Chunk + 10 << "sectors" << 4096 << 8 * MiB << Error::None;
        QTest::newRow("image exactly the device size")
                << Chunk + 3 * 512 << "sectors" << 512 << Chunk + 3 * 512 << Error::None;
        QTest::newRow("image exactly the declared size")
                << Chunk + 3 * 512 << "declared" << 512 << Chunk + 3 * 512 << Error::None;
        QTest::newRow("image one byte larger than the device")
                << Chunk + 3 * 512 + 1 << "sectors" << 512 << Chunk + 3 * 512 << Error::TargetTooSmall;
        QTest::newRow("image one byte larger than the declared size")
                << Chunk + 3 * 512 + 1 << "declared" << 512 << Chunk + 3 * 512 << Error::TargetTooSmall;
    }
    void sizes()
    {
        QFETCH(qint64, imageSize);
        QFETCH(QString, target);
        QFETCH(int, sectorSize);
        QFETCH(qint64, deviceSize);
        QFETCH(Error, error);

        const QByteArray image = randomBytes(imageSize, 7);
        QVERIFY(writeFile(path(QStringLiteral("image.img")), image));
        const QString targetPath = path(QStringLiteral("target.img"));
        std::unique_ptr<BlockDevice> device;
        ScriptedCard *sectors = nullptr;
        if (target == QLatin1String("sectors")) {
            Script script;
            script.size = deviceSize;
            script.sectorSize = sectorSize;
            device = targetDevice(script);
            QVERIFY(device);
            sectors = m_target;
        } else {
            const qint64 declared = target == QLatin1String("declared") ? deviceSize : -1;
            device = std::make_unique<FileBlockDevice>(targetPath, declared,
                                                       FileBlockDevice::OpenMode::CreateOrTruncate);
        }

        WriteJob job(std::make_unique<LocalImageSource>(path(QStringLiteral("image.img"))), std::move(device));
        job.setExpectedSha256(sha256(image));
        Recorder recorder(job);
        job.run();

        QCOMPARE(job.error(), error);
        QCOMPARE(job.errorDetail(), QString());
        const QByteArray written = readFile(targetPath);
        if (error == Error::TargetTooSmall) {
            // Refused before the first write.
            QCOMPARE(recorder.reports, QStringList());
            QCOMPARE(written, sectors ? QByteArray(deviceSize, Filler) : QByteArray());
            return;
        }
        QCOMPARE(job.writtenSha256(), sha256(image));
        QCOMPARE(recorder.reports, byteReports(Phase::Writing, imageSize) + byteReports(Phase::Verifying, imageSize));
        const QByteArray expected = padded(image, sectorSize);
        if (sectors) {
            QCOMPARE(sectors->misalignedRequests(), 0);
            QCOMPARE(written.size(), deviceSize);
            QVERIFY(written.startsWith(expected));
            QCOMPARE(written.mid(expected.size()), QByteArray(deviceSize - expected.size(), Filler));
        } else {
            QCOMPARE(written.size(), expected.size());
            QVERIFY(written == expected);
        }
    }

    void phases_data()
    {
        QTest::addColumn<bool>("verify");
        QTest::addColumn<bool>("bootFiles");

        QTest::newRow("verification and boot files") << true << true;
        QTest::newRow("boot files without verification") << false << true;
        QTest::newRow("verification without boot files") << true << false;
        QTest::newRow("neither verification nor boot files") << false << false;
    }
    void phases()
    {
        QFETCH(bool, verify);
        QFETCH(bool, bootFiles);

        std::unique_ptr<WriteJob> job = cardJob({}, bootFiles ? BootFiles : BootFileMap());
        QVERIFY(job);
        job->setVerify(verify);
        Recorder recorder(*job);
        job->run();

        QCOMPARE(job->error(), Error::None);
        QCOMPARE(job->errorDetail(), QString());
        QStringList expected = byteReports(Phase::Writing, m_card.size());
        if (verify)
            expected += byteReports(Phase::Verifying, m_card.size());
        if (bootFiles)
            expected += fileReports(BootFiles.size());
        QCOMPARE(recorder.reports, expected);
        QCOMPARE(m_target->calls(Call::Close), 1);
        QVERIFY(!m_target->isOpen());
        QCOMPARE(m_target->misalignedRequests(), 0);

        CardImage card = targetCard();
        QVERIFY2(card.fsck(), qPrintable(card.errorString()));
        const std::optional<QStringList> names = card.mdir();
        QVERIFY2(names, qPrintable(card.errorString()));
        QCOMPARE(names->contains(QStringLiteral("CONFIG.TXT")), bootFiles);
        if (bootFiles)
            QVERIFY2(card.holds(BootFiles), qPrintable(card.errorString()));
    }

    // Faults of the image, made by real archivers and real damage.
    void sourceFailures_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<Error>("error");
        QTest::addColumn<QString>("detail");

        QTest::newRow("image file missing") << "missing" << Error::SourceUnreadable << "No such file or directory";
        QTest::newRow("encrypted entry") << "zip -P" << Error::UnsupportedImage
                                         << "encrypted zip entries are not supported";
        QTest::newRow("entry compressed with bzip2") << "zip -Z bzip2" << Error::UnsupportedImage
                                                     << "zip compression method 12 is not supported";
        QTest::newRow("entry compressed with LZMA") << "7z -mm=LZMA" << Error::UnsupportedImage
                                                    << "zip compression method 14 is not supported";
        QTest::newRow("archive cut short") << "cut" << Error::CorruptImage
                                           << "invalid zip file: end of central directory not found";
        QTest::newRow("stored entry with a damaged byte") << "damaged" << Error::CorruptImage << "CRC32 mismatch";
        QTest::newRow("empty image file") << "empty" << Error::UnsupportedImage << "the image is empty";
    }
    void sourceFailures()
    {
        QFETCH(QString, source);
        QFETCH(Error, error);
        QFETCH(QString, detail);

        // Compressible, or the archivers would store it; over a chunk where
        // the damage is to show after a first chunk was written.
        const bool damaged = source == QLatin1String("damaged");
        const QByteArray image = source == QLatin1String("empty")
                ? QByteArray()
                : testarchives::mixedPayload(damaged ? Chunk + 5000 : 300000, 3);
        QVERIFY(writeFile(path(QStringLiteral("image.img")), image));
        const QString archive = path(QStringLiteral("image.zip"));
        QString problem;
        if (source == QLatin1String("zip -P"))
            problem = runTool(QStringLiteral("zip"), {"-q", "-P", "secret", archive, "image.img"}, m_dir->path());
        else if (source == QLatin1String("zip -Z bzip2"))
            problem = runTool(QStringLiteral("zip"), {"-q", "-Z", "bzip2", archive, "image.img"}, m_dir->path());
        else if (source == QLatin1String("7z -mm=LZMA"))
            problem = runTool(QStringLiteral("7z"), {"a", "-tzip", "-mm=LZMA", archive, "image.img"}, m_dir->path());
        else if (source != QLatin1String("missing"))
            problem = runTool(QStringLiteral("zip"), {"-q", "-0", archive, "image.img"}, m_dir->path());
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        if (source == QLatin1String("cut")) {
            QFile file(archive);
            QVERIFY(file.resize(file.size() - 200));
        } else if (damaged) {
            // The entry's data starts after a local header of some 40 bytes;
            // a byte of the second chunk is well inside it.
            QFile file(archive);
            QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(Chunk + 100));
            const char byte = file.read(1).at(0);
            QVERIFY(file.seek(Chunk + 100) && file.write(QByteArray(1, char(~byte))) == 1);
        }

        const QString sourcePath = source == QLatin1String("missing") ? path(QStringLiteral("missing.img"))
                : source == QLatin1String("empty")                    ? path(QStringLiteral("image.img"))
                                                                      : archive;
        std::unique_ptr<ScriptedCard> target = targetDevice();
        QVERIFY(target);
        WriteJob job(createLocalImageSource(sourcePath), std::move(target));
        job.setBootFiles(BootFiles);
        Recorder recorder(job);
        job.run();

        QCOMPARE(job.error(), error);
        QCOMPARE(job.errorDetail(), detail);
        QCOMPARE(m_target->calls(Call::Close), 1);
        QVERIFY(!m_target->isOpen());
        // A source refused on opening never gets the card opened.
        QCOMPARE(m_target->calls(Call::Open), damaged ? 1 : 0);
        // Damage inside the data shows only with its last byte, which is then
        // not written; there is no read-back and no boot files.
        const QStringList firstChunk{report(Phase::Writing, 0, image.size()), report(Phase::Writing, Chunk, image.size())};
        QCOMPARE(recorder.reports, damaged ? firstChunk : QStringList());
    }

    // The image file shrinks while it is being written.
    void imageShrinksWhileWritten()
    {
        const QString imagePath = path(QStringLiteral("image.img"));
        QVERIFY(writeFile(imagePath, randomBytes(3 * Chunk, 5)));
        const QString target = path(QStringLiteral("target.img"));
        WriteJob job(std::make_unique<LocalImageSource>(imagePath),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
        Recorder recorder(job);
        recorder.onReport = [&](Phase, qint64 done, qint64) {
            if (done == Chunk)
                QFile::resize(imagePath, Chunk + 1000);
        };
        job.run();

        QCOMPARE(job.error(), Error::SourceUnreadable);
        QCOMPARE(job.errorDetail(), QStringLiteral("truncated image"));
        QCOMPARE(recorder.reports, (QStringList{report(Phase::Writing, 0, 3 * Chunk),
                                                report(Phase::Writing, Chunk, 3 * Chunk),
                                                report(Phase::Writing, Chunk + 1000, 3 * Chunk)}));
        // The short piece went out padded to a whole sector.
        QCOMPARE(QFileInfo(target).size(), Chunk + 1024);
    }

    // The image is read ahead of a slow card, so that chunks wait in the
    // ring when the source fails or the user cancels.
    void readAhead_data()
    {
        QTest::addColumn<QString>("event");
        QTest::addColumn<Error>("error");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<int>("writes");

        // A damaged byte of a stored entry shows only with the last chunk.
        QTest::newRow("source fails while chunks wait") << "damage" << Error::CorruptImage << "CRC32 mismatch" << 7;
        QTest::newRow("cancel while the ring is full") << "cancel" << Error::Cancelled << QString() << 2;
    }
    void readAhead()
    {
        QFETCH(QString, event);
        QFETCH(Error, error);
        QFETCH(QString, detail);
        QFETCH(int, writes);

        QByteArray image = testarchives::mixedPayload(8 * Chunk, 4);
        QVERIFY(writeFile(path(QStringLiteral("image.img")), image));
        const QString archive = path(QStringLiteral("image.zip"));
        const QString problem = runTool(QStringLiteral("zip"), {"-q", "-0", archive, "image.img"}, m_dir->path());
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        if (event == QLatin1String("damage")) {
            // A byte of the second chunk; the entry's data follows its local header.
            QByteArray zipped = readFile(archive);
            const qint64 at = zipped.indexOf(image.left(64)) + Chunk + 100;
            zipped[at] = char(~zipped.at(at));
            image[Chunk + 100] = zipped.at(at);
            QVERIFY(writeFile(archive, zipped));
        }
        Script script;
        script.size = 40 * MiB;
        script.writeDelay = 30;
        std::unique_ptr<ScriptedCard> target = targetDevice(script);
        QVERIFY(target);
        WriteJob job(createLocalImageSource(archive), std::move(target));
        Recorder recorder(job);
        recorder.onReport = [&](Phase, qint64 done, qint64) {
            if (event == QLatin1String("cancel") && done == 2 * Chunk) {
                // Time enough for the source to fill every free slot.
                QThread::msleep(300);
                job.cancel();
            }
        };
        job.run();

        QCOMPARE(job.error(), error);
        QCOMPARE(job.errorDetail(), detail);
        QCOMPARE(m_target->calls(Call::Write), writes);
        QCOMPARE(recorder.reports, byteReports(Phase::Writing, 8 * Chunk).mid(0, writes + 1));
        QCOMPARE(m_target->calls(Call::Close), 1);
        // Every chunk that waited went out whole and in order.
        QVERIFY(readFile(path(QStringLiteral("target.img"))).left(writes * Chunk) == image.left(writes * Chunk));
    }

#ifdef Q_OS_LINUX
    // The threads that read and hash for the card work as batch work; the
    // caller's thread, which writes to and reads from the card, keeps its
    // own policy, so that waking them never takes its core.
    void helperThreadsAreBatchWork()
    {
        const auto batchThreads = [] {
            QSet<int> found;
            const QDir tasks(QStringLiteral("/proc/self/task"));
            for (const QString &thread : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                if (sched_getscheduler(thread.toInt()) == SCHED_BATCH)
                    found << thread.toInt();
            }
            return found;
        };
        const int callers = sched_getscheduler(0);
        std::unique_ptr<WriteJob> job = cardJob();
        QVERIFY(job);
        Recorder recorder(*job);
        QMap<Phase, QSet<int>> seen;
        recorder.onReport = [&](Phase phase, qint64 done, qint64) {
            if (done != Chunk)
                return;
            // While the first chunk is reported the helpers wait for the
            // next one, so none ends; one only just started gets a moment.
            // The feed's threads may linger into the read-back.
            const QSet<int> earlier = seen.value(Phase::Writing);
            const qsizetype wanted = phase == Phase::Writing ? 2 : 1;
            // The counts below say whether they came.
            (void)QTest::qWaitFor([&] { return (seen[phase] = batchThreads() - earlier).size() >= wanted; }, 5000);
        };
        job->run();

        QCOMPARE(job->error(), Error::None);
        QCOMPARE(seen.value(Phase::Writing).size(), 2); // the feed's reader and hasher
        QCOMPARE(seen.value(Phase::Verifying).size(), 1); // the read-back's hasher
        QCOMPARE(sched_getscheduler(0), callers);
    }
#endif

    // Target faults a file cannot produce, from a device that fails on cue.
    void targetFailures_data()
    {
        const Failure io = Failure::IoError;
        QTest::addColumn<QString>("fault");
        QTest::addColumn<Failure>("kind");
        QTest::addColumn<bool>("verify");
        QTest::addColumn<int>("sectorSize");
        QTest::addColumn<Error>("error");
        QTest::addColumn<QString>("detail");

        QTest::newRow("open fails") << "open" << io << true << 512 << Error::TargetUnavailable
                                    << "simulated open error";
        QTest::newRow("open refused for lack of rights") << "open" << Failure::PermissionDenied << true << 512
                                                         << Error::TargetPermissionDenied << "simulated open error";
        QTest::newRow("card gone before the open") << "open" << Failure::Removed << true << 512
                                                   << Error::TargetRemoved << "simulated open error";
        QTest::newRow("user declines the open") << "open" << Failure::Cancelled << true << 512 << Error::Cancelled
                                                << "simulated open error";
        QTest::newRow("write-protected card") << "write" << Failure::WriteProtected << true << 512
                                              << Error::TargetWriteProtected << "simulated write error";
        QTest::newRow("card pulled out during the write") << "second write" << Failure::Removed << true << 512
                                                          << Error::TargetRemoved << "simulated write error";
        QTest::newRow("write error") << "second write" << io << true << 512 << Error::TargetIoError
                                     << "simulated write error";
        QTest::newRow("flush after the write fails") << "flush" << io << true << 512 << Error::TargetIoError
                                                     << "simulated flush error";
        QTest::newRow("cache drop before the read-back fails") << "drop" << io << true << 512 << Error::TargetIoError
                                                               << "simulated cache drop error";
        QTest::newRow("seek before the read-back fails") << "seek" << io << true << 512 << Error::TargetIoError
                                                         << "simulated seek error";
        QTest::newRow("read-back fails") << "read" << io << true << 512 << Error::TargetIoError
                                         << "simulated read error";
        QTest::newRow("card pulled out during the read-back") << "read" << Failure::Removed << true << 512
                                                              << Error::TargetRemoved << "simulated read error";
        QTest::newRow("device fails under the FAT writer") << "boot write" << io << true << 512
                                                           << Error::TargetIoError << "simulated write error";
        QTest::newRow("card pulled out while writing boot files") << "boot write" << Failure::Removed << true << 512
                                                                  << Error::TargetRemoved << "simulated write error";
        QTest::newRow("card locked before the boot files") << "boot write" << Failure::WriteProtected << false << 512
                                                           << Error::TargetWriteProtected << "simulated write error";
        QTest::newRow("cache drop before the boot-file check fails")
                << "drop" << io << false << 512 << Error::TargetIoError << "simulated cache drop error";
        // A sector that does not divide the 4 MiB buffer would pad past its end.
        QTest::newRow("sector size 0") << "none" << io << true << 0 << Error::TargetIoError
                                       << "unsupported sector size 0";
        QTest::newRow("sector size 520") << "none" << io << true << 520 << Error::TargetIoError
                                         << "unsupported sector size 520";
        QTest::newRow("sector size 8 MiB") << "none" << io << true << int(8 * MiB) << Error::TargetIoError
                                           << "unsupported sector size 8388608";
    }
    void targetFailures()
    {
        QFETCH(QString, fault);
        QFETCH(Failure, kind);
        QFETCH(bool, verify);
        QFETCH(int, sectorSize);
        QFETCH(Error, error);
        QFETCH(QString, detail);

        // The first call of the fault, and every later one of its kind, fails.
        const QMap<QString, QPair<Call, int>> failingCalls{
            {QStringLiteral("open"), {Call::Open, 1}},
            {QStringLiteral("write"), {Call::Write, 1}},
            {QStringLiteral("second write"), {Call::Write, 2}},
            {QStringLiteral("boot write"), {Call::Write, 3}}, // the image takes two
            {QStringLiteral("flush"), {Call::Flush, 1}},
            {QStringLiteral("drop"), {Call::DropCaches, 1}},
            {QStringLiteral("seek"), {Call::Seek, 1}},
            {QStringLiteral("read"), {Call::Read, 1}},
        };
        const QPair<Call, int> failing = failingCalls.value(fault, {Call::None, 1});
        Script script = Script::failing(failing.first, failing.second, kind);
        script.sectorSize = sectorSize;
        std::unique_ptr<WriteJob> job = cardJob(script);
        QVERIFY(job);
        job->setVerify(verify);
        Recorder recorder(*job);
        job->run();

        QCOMPARE(job->error(), error);
        QCOMPARE(job->errorDetail(), detail);
        QCOMPARE(m_target->calls(Call::Close), 1);
        QVERIFY(!m_target->isOpen());
        QCOMPARE(m_target->misalignedRequests(), 0);
        // The job stops at the failing step.
        const bool failedInWrite = fault == QLatin1String("open") || fault.endsWith(QLatin1String("write"))
                || fault == QLatin1String("flush") || fault == QLatin1String("none");
        const bool bootFilesFault = fault == QLatin1String("boot write") || (fault == QLatin1String("drop") && !verify);
        if (failedInWrite && !bootFilesFault)
            QVERIFY(recorder.reports.filter(QStringLiteral("Verifying")).isEmpty());
        if (!bootFilesFault)
            QVERIFY(recorder.reports.filter(QStringLiteral("Finalizing")).isEmpty());
        else
            QCOMPARE(recorder.reports.last(), report(Phase::Finalizing, 0, BootFiles.size()));
    }

    void targetFolderMissing()
    {
        const QString target = path(QStringLiteral("no-such-folder/target.img"));
        QVERIFY(writeFile(path(QStringLiteral("image.img")), "image"));
        WriteJob job(std::make_unique<LocalImageSource>(path(QStringLiteral("image.img"))),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
        Recorder recorder(job);
        job.run();

        QCOMPARE(job.error(), Error::TargetUnavailable);
        QCOMPARE(job.errorDetail(), QStringLiteral("No such file or directory"));
        QCOMPARE(recorder.reports, QStringList());
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("no-such-folder"))));
    }

    void readOnlyTargetFile()
    {
        const QString target = path(QStringLiteral("target.img"));
        QVERIFY(writeFile(target, "keep"));
        QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        // The group keeps root's, so the folder must be open to it as well.
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                            | QFile::ReadGroup | QFile::ExeGroup
                                                            | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(writeFile(path(QStringLiteral("image.img")), "image"));
        WriteJob job(std::make_unique<LocalImageSource>(path(QStringLiteral("image.img"))),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
        {
            // root would open the file anyway; run the job as nobody.
            std::unique_ptr<OtherUser> user;
            if (geteuid() == 0) {
                user = std::make_unique<OtherUser>(65534);
                QVERIFY(user->ok());
            }
            job.run();
        }

        QCOMPARE(job.error(), Error::TargetPermissionDenied);
        QCOMPARE(job.errorDetail(), QStringLiteral("Permission denied"));
        QCOMPARE(readFile(target), QByteArray("keep"));
    }

    // /dev/full takes every open and fails every write that reaches it, with
    // ENOSPC: a big write fails at once, a small one is buffered and fails
    // at the flush.
    void fullDevice_data()
    {
        QTest::addColumn<qint64>("imageSize");
        QTest::addColumn<QStringList>("reports");

        QTest::newRow("write to a full device") << 2 * MiB << QStringList{report(Phase::Writing, 0, 2 * MiB)};
        QTest::newRow("flush to a full device") << qint64(1000)
                                                << QStringList{report(Phase::Writing, 0, 1000),
                                                               report(Phase::Writing, 1000, 1000)};
    }
    void fullDevice()
    {
        QFETCH(qint64, imageSize);
        QFETCH(QStringList, reports);
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QSKIP("this system has no /dev/full");

        QVERIFY(writeFile(path(QStringLiteral("image.img")), randomBytes(imageSize, 9)));
        WriteJob job(std::make_unique<LocalImageSource>(path(QStringLiteral("image.img"))),
                     std::make_unique<FileBlockDevice>(QStringLiteral("/dev/full"), -1,
                                                       FileBlockDevice::OpenMode::ExistingOnly));
        Recorder recorder(job);
        job.run();

        QCOMPARE(job.error(), Error::TargetIoError);
        QCOMPARE(job.errorDetail(), QStringLiteral("No space left on device"));
        QCOMPARE(recorder.reports, reports);
    }

    // The card loses its end between the write and the read-back.
    void targetShrinksBeforeReadBack()
    {
        const QByteArray image = randomBytes(2 * Chunk, 4);
        QVERIFY(writeFile(path(QStringLiteral("image.img")), image));
        const QString target = path(QStringLiteral("target.img"));
        WriteJob job(std::make_unique<LocalImageSource>(path(QStringLiteral("image.img"))),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
        Recorder recorder(job);
        recorder.onReport = [&](Phase phase, qint64 done, qint64) {
            if (phase == Phase::Verifying && done == 0)
                QFile::resize(target, Chunk + 512);
        };
        job.run();

        QCOMPARE(job.error(), Error::TargetIoError);
        QCOMPARE(job.errorDetail(), QStringLiteral("the device ended after %1 bytes").arg(Chunk + 512));
        QCOMPARE(recorder.reports.last(), report(Phase::Verifying, Chunk, 2 * Chunk));
    }

    // One byte of the card changes between the write and the read-back.
    void verifyMismatch()
    {
        const QByteArray image = randomBytes(Chunk + 700, 6);
        QVERIFY(writeFile(path(QStringLiteral("image.img")), image));
        const QString target = path(QStringLiteral("target.img"));
        WriteJob job(std::make_unique<LocalImageSource>(path(QStringLiteral("image.img"))),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
        job.setBootFiles(BootFiles);
        Recorder recorder(job);
        recorder.onReport = [&](Phase phase, qint64 done, qint64) {
            if (phase != Phase::Verifying || done != 0)
                return;
            QFile file(target);
            if (file.open(QIODevice::ReadWrite) && file.seek(Chunk + 3))
                file.write(QByteArray(1, char(~image.at(Chunk + 3))));
        };
        job.run();

        QCOMPARE(job.error(), Error::VerifyMismatch);
        QCOMPARE(job.errorDetail(), QString());
        QCOMPARE(job.writtenSha256(), sha256(image));
        QCOMPARE(recorder.reports, byteReports(Phase::Writing, image.size()) + byteReports(Phase::Verifying, image.size()));
    }

    void checksumMismatch()
    {
        std::unique_ptr<WriteJob> job = cardJob();
        QVERIFY(job);
        job->setExpectedSha256(sha256("another image"));
        Recorder recorder(*job);
        job->run();

        QCOMPARE(job->error(), Error::ChecksumMismatch);
        QCOMPARE(job->errorDetail(), QString());
        QCOMPARE(job->writtenSha256(), sha256(m_card));
        // Found after the whole image is on the card, and it stays there.
        QCOMPARE(recorder.reports, byteReports(Phase::Writing, m_card.size()));
        QVERIFY(readFile(path(QStringLiteral("target.img"))).startsWith(m_card));
        QCOMPARE(m_target->calls(Call::Close), 1);
    }

    void bootFileFailures_data()
    {
        QTest::addColumn<QString>("image");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("detail");

        QTest::newRow("image without a partition table") << "random" << "CONFIG.TXT" << "no MBR partition table";
        QTest::newRow("first partition is not FAT") << "linux" << "CONFIG.TXT"
                                                    << "the first partition is not FAT (type 0x83)";
        QTest::newRow("boot file name is not 8.3") << "card" << "config.json.txt"
                                                   << "\"config.json.txt\" is not an 8.3 name";
        QTest::newRow("boot file reads back different") << "tampered" << "CONFIG.TXT"
                                                        << "CONFIG.TXT read back differs from what was written";
    }
    void bootFileFailures()
    {
        QFETCH(QString, image);
        QFETCH(QString, name);
        QFETCH(QString, detail);

        QString imagePath = m_cardPath;
        if (image == QLatin1String("random")) {
            imagePath = path(QStringLiteral("random.img"));
            QVERIFY(writeFile(imagePath, randomBytes(MiB, 8)));
        } else if (image == QLatin1String("linux")) {
            imagePath = path(QStringLiteral("linux.img"));
            CardImage linux;
            CardImage::Options options;
            options.partitionType = 0x83;
            QVERIFY2(linux.create(imagePath, options), qPrintable(linux.errorString()));
        }
        // Someone else puts other bytes into the file between the writing and
        // the checking pass, which begins with the first cache drop.
        const auto tamper = [this] {
            CardImage card = targetCard();
            QVERIFY2(card.mcopy(QStringLiteral("CONFIG.TXT"), "product=beta\n"), qPrintable(card.errorString()));
        };
        std::unique_ptr<ScriptedCard> target =
                image == QLatin1String("tampered") ? targetDevice(Script::pausing(Call::DropCaches, 1), tamper)
                                                   : targetDevice();
        QVERIFY(target);
        WriteJob job(std::make_unique<LocalImageSource>(imagePath), std::move(target));
        job.setVerify(false);
        job.setBootFiles({{name, "product=alpha\n"}});
        Recorder recorder(job);
        job.run();

        QCOMPARE(job.error(), Error::BootFilesFailed);
        QCOMPARE(job.errorDetail(), detail);
        QCOMPARE(recorder.reports.last(), report(Phase::Finalizing, 0, 1));
    }

    // Boot files that an image has no partition for fail before the card is
    // opened, not after it has been written and verified.
    void bootPartitionCheckedBeforeTheCardIsOpened()
    {
        const QString imagePath = path(QStringLiteral("random.img"));
        QVERIFY(writeFile(imagePath, randomBytes(MiB, 8)));
        std::unique_ptr<ScriptedCard> target = targetDevice();
        QVERIFY(target);
        WriteJob job(std::make_unique<LocalImageSource>(imagePath), std::move(target));
        job.setBootFiles(BootFiles);
        job.setBootPartitionCheck(std::make_unique<LocalImageSource>(imagePath));
        Recorder recorder(job);
        job.run();

        QCOMPARE(job.error(), Error::NoBootPartition);
        QCOMPARE(job.errorDetail(), QStringLiteral("no MBR partition table"));
        QCOMPARE(m_target->calls(Call::Open), 0);
        QVERIFY(recorder.reports.isEmpty());
        QCOMPARE(readFile(path(QStringLiteral("target.img"))), QByteArray(8 * MiB, Filler));
    }

    void cancel_data()
    {
        QTest::addColumn<int>("phase"); // -1: before run()
        QTest::addColumn<qint64>("done");
        QTest::addColumn<int>("writes");
        QTest::addColumn<int>("reads");

        QTest::newRow("before the job starts") << -1 << qint64(0) << 0 << 0;
        QTest::newRow("before the first chunk of the write") << int(Phase::Writing) << qint64(0) << 0 << 0;
        QTest::newRow("after the first chunk of the write") << int(Phase::Writing) << Chunk << 1 << 0;
        QTest::newRow("before the first chunk of the read-back") << int(Phase::Verifying) << qint64(0) << 2 << 0;
        QTest::newRow("after the first chunk of the read-back") << int(Phase::Verifying) << Chunk << 2 << 1;
        QTest::newRow("at the start of the boot files") << int(Phase::Finalizing) << qint64(0) << 2 << 2;
    }
    void cancel()
    {
        QFETCH(int, phase);
        QFETCH(qint64, done);
        QFETCH(int, writes);
        QFETCH(int, reads);

        std::unique_ptr<WriteJob> job = cardJob();
        QVERIFY(job);
        Recorder recorder(*job);
        QString cancelledAt = report(Phase::Writing, 0, m_card.size());
        if (phase < 0) {
            job->cancel();
        } else {
            const qint64 total = Phase(phase) == Phase::Finalizing ? BootFiles.size() : m_card.size();
            cancelledAt = report(Phase(phase), done, total);
            recorder.onReport = [&](Phase, qint64, qint64) {
                if (recorder.reports.last() == cancelledAt) {
                    job->cancel();
                    job->cancel();
                }
            };
        }
        job->run();

        QCOMPARE(job->error(), Error::Cancelled);
        QCOMPARE(job->errorDetail(), QString());
        // The chunk under way when cancel() came is completed; nothing follows.
        QCOMPARE(recorder.reports.last(), cancelledAt);
        QCOMPARE(m_target->calls(Call::Write), writes);
        QCOMPARE(m_target->calls(Call::Read), reads);
        QCOMPARE(m_target->calls(Call::Close), 1);
        QVERIFY(!m_target->isOpen());
    }

    // As the controller runs it: run() on a thread of its own, progress
    // queued to the test's thread, cancel() from there.
    void cancelFromAnotherThread()
    {
        const qint64 size = 3 * Chunk;
        QVERIFY(writeFile(path(QStringLiteral("image.img")), randomBytes(size, 2)));
        const QString target = path(QStringLiteral("target.img"));
        WriteJob job(std::make_unique<LocalImageSource>(path(QStringLiteral("image.img"))),
                     std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));

        QSemaphore cancelGiven;
        QStringList received;
        bool onThisThread = true;
        connect(&job, &WriteJob::progress, this, [&](Phase phase, qint64 done, qint64 total) {
            received << report(phase, done, total);
            onThisThread = onThisThread && QThread::currentThread() == thread();
            if (done == Chunk) {
                job.cancel();
                cancelGiven.release();
            }
        });

        // Then the worker holds after its first chunk until the cancel has
        // been given, so that the job cannot end before it. Connected last,
        // so that the queued report is posted before the worker waits.
        std::atomic<bool> heldUntilCancel{false};
        connect(&job, &WriteJob::progress, &job, [&](Phase, qint64 done, qint64) {
            if (done == Chunk)
                heldUntilCancel = cancelGiven.tryAcquire(1, 10000);
        }, Qt::DirectConnection);

        std::unique_ptr<QThread> worker(QThread::create([&job] { job.run(); }));
        QEventLoop loop;
        connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        worker->start();
        loop.exec();
        QVERIFY(worker->wait(10000));
        QCoreApplication::processEvents();

        QCOMPARE(job.error(), Error::Cancelled);
        QCOMPARE(job.errorDetail(), QString());
        QVERIFY(heldUntilCancel);
        QVERIFY(onThisThread);
        QCOMPARE(received, (QStringList{report(Phase::Writing, 0, size), report(Phase::Writing, Chunk, size)}));
        QCOMPARE(QFileInfo(target).size(), Chunk);
    }
};

QTEST_GUILESS_MAIN(TestWriteJob)
#include "tst_writejob.moc"
