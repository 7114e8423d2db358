#include "backend/backend.h"
#include "backendtestaccess.h"
#include "core/appinfo.h"
#include "disks/fileblockdevice.h"
#include "image/imagecache.h"
#include "writefixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QVersionNumber>

using State = Backend::State;
using Script = ScriptedCard::Script;
using Call = ScriptedCard::Call;

// The life of a write in the Backend: cancelling in each phase, the
// refusals of startWrite, the progress reset at each start, and closing
// the window while a write runs.
class TestBackendWriteLifecycle : public WriteTestCase
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        WriteTestCase::initTestCase();
        // Cancelling inside the write and the verification needs a second chunk.
        QVERIFY(m_fixture.image16.size > WriteJob::ChunkSize);
    }

    void cancelInEachPhase_data()
    {
        QTest::addColumn<QString>("build");      // a catalog build, or empty
        QTest::addColumn<QString>("localImage"); // when no build
        QTest::addColumn<bool>("asProduct");
        QTest::addColumn<bool>("verify");
        // Where the card waits for the click; without a pause the click comes
        // with the first downloaded bytes.
        QTest::addColumn<Script>("card");
        QTest::addColumn<QString>("phaseAtClick");
        QTest::addColumn<QString>("message");

        const Script writing = Script::pausing(Call::Write, 1);
        const Script verifying = Script::pausing(Call::Read, 1);
        QTest::newRow("downloading") << "slow" << QString() << true << true << Script() << "Downloading"
                                     << DownloadCancelled;
        QTest::newRow("writing a catalog build") << "stable" << QString() << true << true << writing << "Writing"
                                                 << WritingCancelled;
        QTest::newRow("writing a local image") << QString() << "card16.img" << true << true << writing << "Writing"
                                               << WritingCancelled;
        QTest::newRow("verifying without boot files") << QString() << "card16.img" << false << true << verifying
                                                      << "Verifying" << VerifyingCancelled;
        // The boot files would have come after the verification: the card is
        // not set up as the product.
        QTest::newRow("verifying a build with boot files") << "stable" << QString() << true << true << verifying
                                                           << "Verifying" << ProductNotSet;
        QTest::newRow("verifying a local image with the product's boot files")
                << QString() << "card16.img" << true << true << verifying << "Verifying" << ProductNotSet;
        // The click lands after the last chunk, the job sees it when it turns
        // to the boot files.
        QTest::newRow("finalizing") << QString() << "card16.img" << true << false << Script::pausing(Call::Flush, 1)
                                    << "Writing" << ProductNotSet;
    }
    void cancelInEachPhase()
    {
        QFETCH(QString, build);
        QFETCH(QString, localImage);
        QFETCH(bool, asProduct);
        QFETCH(bool, verify);
        QFETCH(Script, card);
        QFETCH(QString, phaseAtClick);
        QFETCH(QString, message);
        QVERIFY(m_fixture.writeCatalog({m_fixture.slowBuild()}));
        QTemporaryDir cards;
        card.path = cards.filePath(QStringLiteral("card.img"));

        Backend backend(m_fixture.catalogUrl(), QString());
        QVERIFY(waitLoaded(backend));
        QString phaseSeen;
        const auto click = [&] {
            phaseSeen = backend.phaseLabel();
            backend.cancel();
        };
        attachCard(backend, card, ListedCardSize, click);
        if (!build.isEmpty()) {
            chooseBuild(backend, build);
        } else {
            if (asProduct)
                backend.selectProduct(QStringLiteral("alpha"));
            backend.setImageUrl(QUrl::fromLocalFile(m_fixture.file(localImage)));
            backend.chooseDisk();
        }
        backend.setVerify(verify);
        backend.selectDisk(CardId);
        QVERIFY(backend.canWrite());
        if (card.pauseCall == Call::None) {
            connect(&backend, &Backend::progressChanged, &backend, [&] {
                if (phaseSeen.isEmpty() && backend.progress() > 0)
                    click();
            });
        }

        QSignalSpy states(&backend, &Backend::stateChanged);
        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(phaseSeen, phaseAtClick);
        QCOMPARE(backend.errorMessage(), message);
        QCOMPARE(backend.state(), State::Cancelled);
        QVERIFY(!backend.cancelling());
        // Writing, Cancelling, Cancelled.
        QCOMPARE(states.count(), 3);

        if (build == QLatin1String("slow")) {
            QVERIFY(!QFile::exists(card.path));
            // What arrived stays for the next attempt to resume from.
            const QFileInfo partial(ImageCache(ImageCache::defaultDir()).partialPathFor(m_fixture.big.sha256));
            QVERIFY(partial.size() > 0);
            QVERIFY(partial.size() < m_fixture.big.size);
        } else if (!build.isEmpty()) {
            // A cancelled write keeps the downloaded build.
            QCOMPARE(testcache::files(), QStringList{m_fixture.archive32.hex() + QStringLiteral(".zip")});
        }
    }

    // The system asks whether the card may be opened (polkit's password
    // dialog) and the user says no: cancelled, and the card untouched.
    void openDeclined()
    {
        QTemporaryDir cards;
        Script card = Script::failing(Call::Open, 1, BlockDevice::Failure::Cancelled);
        card.path = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogUrl(), QString());
        QVERIFY(waitLoaded(backend));
        attachCard(backend, card);
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.file(QStringLiteral("card16.img"))));
        backend.chooseDisk();
        backend.selectDisk(CardId);
        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.state(), State::Cancelled);
        QCOMPARE(backend.errorMessage(), QStringLiteral("Cancelled: the SD card was not touched."));
        QVERIFY(!QFile::exists(card.path));
    }

    void startWriteRefusals_data()
    {
        QTest::addColumn<QString>("breakage");
        QTest::addColumn<int>("devicesMade");
        QTest::newRow("no image chosen") << "no image" << 0;
        QTest::newRow("no disk chosen") << "no disk" << 0;
        QTest::newRow("disk gone before the list was updated") << "disk gone" << 0;
        QTest::newRow("monitor cannot make a device") << "no device" << 1;
        QTest::newRow("build gone from the catalog") << "build gone" << 1;
    }
    void startWriteRefusals()
    {
        QFETCH(QString, breakage);
        QFETCH(int, devicesMade);
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir cards;
        const QString path = cards.filePath(QStringLiteral("card.img"));

        int made = 0;
        Backend backend(m_fixture.catalogPath(), QString());
        auto monitor = std::make_unique<ScriptedDiskMonitor>(
                QList<Disk>{Disk{CardId, path, QString(), ListedCardSize}});
        ScriptedDiskMonitor *rawMonitor = monitor.get();
        monitor->setDeviceFactory([&](const Disk &) -> std::unique_ptr<BlockDevice> {
            ++made;
            if (breakage == QLatin1String("no device"))
                return nullptr;
            return std::make_unique<FileBlockDevice>(path, -1, FileBlockDevice::OpenMode::CreateOrTruncate);
        });
        backend.diskChoice().setMonitor(std::move(monitor));
        chooseBuild(backend, QStringLiteral("stable"));
        if (breakage != QLatin1String("no disk"))
            backend.selectDisk(CardId);
        if (breakage == QLatin1String("no image"))
            backend.selectImage(QString());
        if (breakage == QLatin1String("disk gone")) {
            const QSignalBlocker quiet(rawMonitor);
            rawMonitor->setDisks({});
        }
        if (breakage == QLatin1String("build gone")) {
            BackendTestAccess::setCatalog(backend, Catalog::parse(m_fixture.catalogDocument({}, false),
                                                                  QVersionNumber::fromString(AppInfo::Version)));
        }

        const SignalLog log(&backend);
        backend.startWrite();
        QTest::qWait(20);
        QCOMPARE(log.count(), 0);
        QCOMPARE(backend.state(), State::Idle);
        QVERIFY(backend.writeName().isEmpty());
        QVERIFY(!backend.writeRun().thread());
        QCOMPARE(made, devicesMade);
        QVERIFY(!QFile::exists(path));
    }

    void cancelTwiceAndStartWhileWriting()
    {
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir cards;
        Script card = Script::pausing(Call::Write, 1);
        card.path = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogPath(), QString());

        int signalsOfSecondStart = -1;
        int stateSignalsOfCancels = -1;
        bool cancellingAfterClicks = false;
        QString nameWhileWriting;
        attachCard(backend, card, ListedCardSize, [&] {
            const SignalLog log(&backend);
            backend.startWrite();
            signalsOfSecondStart = log.count();
            nameWhileWriting = backend.writeName();
            QSignalSpy states(&backend, &Backend::stateChanged);
            backend.cancel();
            backend.cancel();
            stateSignalsOfCancels = states.count();
            cancellingAfterClicks = backend.cancelling();
        });
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.card16.path()));
        backend.chooseDisk();
        backend.selectDisk(CardId);

        // Nothing to cancel yet.
        const SignalLog idle(&backend);
        backend.cancel();
        QCOMPARE(idle.count(), 0);

        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(signalsOfSecondStart, 0);
        QCOMPARE(nameWhileWriting, QStringLiteral("card16.img"));
        QCOMPARE(stateSignalsOfCancels, 1);
        QVERIFY(cancellingAfterClicks);
        QCOMPARE(backend.state(), State::Cancelled);
        QVERIFY(!backend.cancelling());
        QCOMPARE(backend.errorMessage(), WritingCancelled);

        const SignalLog after(&backend);
        backend.cancel();
        QCOMPARE(after.count(), 0);
    }

    void startResetsTheProgress()
    {
        QVERIFY(m_fixture.writeCatalog());
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogPath(), target);
        backend.selectProduct(QStringLiteral("alpha"));
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.card16.path()));
        backend.chooseDisk();
        backend.selectDisk(target);
        backend.startWrite();
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.state(), State::Done);
        QCOMPARE(backend.progress(), 1.0);
        // As if the last phase had shown a speed, on a clock moved by hand.
        WriteRun &run = backend.writeRun();
        const ProgressMeter::Clock steady = run.meter().clock();
        qint64 now = steady();
        run.setClock([&now] { return now; });
        run.report(WriteJob::Phase::Verifying, 0, 100000000);
        now += 1000;
        run.report(WriteJob::Phase::Verifying, 50000000, 100000000);
        QVERIFY(!backend.speedText().isEmpty());
        run.setClock(steady);

        // Done clears the disk: the user chooses it again for the next card.
        backend.reset();
        backend.selectDisk(target);
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.file(QStringLiteral("missing.img"))));
        backend.startWrite();
        QCOMPARE(backend.writeName(), QStringLiteral("missing.img"));
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Writing"));
        QCOMPARE(backend.progress(), 0.0);
        QVERIFY(backend.speedText().isEmpty());
        QVERIFY(backend.timeLeftText().isEmpty());
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.state(), State::Failed);
        QVERIFY(!backend.errorMessage().isEmpty());

        // A failed write keeps the disk, and the next start clears the message.
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.card16.path()));
        backend.startWrite();
        QCOMPARE(backend.state(), State::Writing);
        QVERIFY(backend.errorMessage().isEmpty());
        QVERIFY(waitForEnd(backend));
        QCOMPARE(backend.state(), State::Done);
    }

    // Retry, where another attempt may mend the failure, goes back to the
    // erase question for the same image and disk; a card pulled out and put
    // back is chosen again only when it is the very same card.
    void retryAfterAFailure_data()
    {
        using Failure = BlockDevice::Failure;
        QTest::addColumn<Script>("card");
        QTest::addColumn<QString>("putBack"); // "same", "other" or empty: the card stays in
        QTest::addColumn<bool>("canRetry");
        QTest::addColumn<bool>("asked");

        const Script removed = Script::failing(Call::Write, 1, Failure::Removed, QStringLiteral("gone"));
        QTest::newRow("card removed, put back") << removed << "same" << true << true;
        QTest::newRow("card removed, another in its place") << removed << "other" << true << false;
        QTest::newRow("card locked") << Script::failing(Call::Open, 1, Failure::WriteProtected) << "" << true << true;
        QTest::newRow("card faulty") << Script::failing(Call::Write, 1, Failure::IoError) << "" << false << false;
    }
    void retryAfterAFailure()
    {
        QFETCH(Script, card);
        QFETCH(QString, putBack);
        QFETCH(bool, canRetry);
        QFETCH(bool, asked);
        QTemporaryDir cards;
        card.path = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogPath(), QString());
        ScriptedDiskMonitor *monitor = attachCard(backend, card);
        const QList<Disk> listed = monitor->disks();
        backend.useLocalFileOnly();
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.card16.path()));
        QVERIFY(waitChecked(backend));
        backend.chooseDisk();
        QVERIFY(writeOnto(backend, CardId));
        QCOMPARE(backend.state(), State::Failed);
        QCOMPARE(backend.canRetry(), canRetry);
        QVERIFY(!backend.downloadFailed());

        if (!putBack.isEmpty()) {
            monitor->setDisks({});
            QVERIFY(backend.diskId().isEmpty());
            Disk disk = listed.constFirst();
            if (putBack == QLatin1String("other"))
                disk.model = QStringLiteral("Another card");
            monitor->setDisks({disk});
        }
        QSignalSpy questions(&backend, &Backend::confirmationRequested);
        backend.retry();
        QCOMPARE(questions.count(), asked ? 1 : 0);
        QCOMPARE(backend.state(), canRetry ? State::Idle : State::Failed);
        QCOMPARE(backend.diskId(), asked ? CardId : putBack.isEmpty() ? CardId : QString());
        QCOMPARE(backend.step(), Backend::Step::DiskStep);
    }

    // The account of a write that succeeded: the image's digest as written,
    // whether it was read back, and the card it went to.
    void doneAccount_data()
    {
        QTest::addColumn<bool>("verify");
        QTest::newRow("verified") << true;
        QTest::newRow("not verified") << false;
    }
    void doneAccount()
    {
        QFETCH(bool, verify);
        QTemporaryDir cards;
        const QString target = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogPath(), target);
        backend.useLocalFileOnly();
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.image16.path));
        backend.setVerify(verify);
        QVERIFY(waitChecked(backend));
        backend.chooseDisk();
        backend.selectDisk(target);
        const QString disk = QStringLiteral("%1, %2").arg(backend.diskName(), backend.diskSize());
        QVERIFY(writeOnto(backend, target));
        QCOMPARE(backend.state(), State::Done);
        QCOMPARE(backend.imageSha256(), m_fixture.image16.hex());
        QCOMPARE(backend.verified(), verify);
        QVERIFY(QRegularExpression(QStringLiteral("^\\d+ s$")).match(backend.writeDuration()).hasMatch());
        // A file is no drive to power off.
        QVERIFY(!backend.canEject());
        // Named as the erase question named it, also once the choice is cleared.
        backend.reset();
        QCOMPARE(backend.writtenDisk(), disk);
    }

    // A card whose drive can be powered off is, from the Done page.
    void ejectAfterTheWrite()
    {
        QTemporaryDir cards;
        Script card;
        card.path = cards.filePath(QStringLiteral("card.img"));
        Backend backend(m_fixture.catalogPath(), QString());
        ScriptedDiskMonitor *monitor = attachCard(backend, card);
        monitor->setPowerOff(true);
        backend.useLocalFileOnly();
        backend.setImageUrl(QUrl::fromLocalFile(m_fixture.image16.path));
        QVERIFY(waitChecked(backend));
        backend.chooseDisk();
        QVERIFY(!backend.canEject());
        QVERIFY(writeOnto(backend, CardId));
        QCOMPARE(backend.state(), State::Done);
        QVERIFY(backend.canEject());

        QSignalSpy changes(&backend, &Backend::ejectChanged);
        backend.eject();
        QVERIFY(backend.ejecting());
        QVERIFY(!backend.canEject());
        QTRY_VERIFY(!backend.ejecting());
        QCOMPARE(backend.ejectMessage(), QStringLiteral("The SD card was powered off: you can remove it."));
        QVERIFY(monitor->disks().isEmpty());
        QVERIFY(!backend.canEject());
        backend.reset();
        QCOMPARE(backend.ejectMessage(), QString());
    }

    void closingDuringAWrite_data()
    {
        QTest::addColumn<bool>("download");
        QTest::newRow("during a slow download") << true;
        QTest::newRow("during the write to a slow card") << false;
    }
    void closingDuringAWrite()
    {
        QFETCH(bool, download);
        QVERIFY(m_fixture.writeCatalog({m_fixture.slowBuild()}));
        QTemporaryDir cards;
        Script card;
        card.path = cards.filePath(QStringLiteral("card.img"));
        card.writeDelay = 200;

        auto backend = std::make_unique<Backend>(m_fixture.catalogUrl(), QString());
        QVERIFY(waitLoaded(*backend));
        attachCard(*backend, card);
        if (download) {
            chooseBuild(*backend, QStringLiteral("slow"));
        } else {
            backend->setImageUrl(QUrl::fromLocalFile(m_fixture.card32.path()));
            backend->chooseDisk();
        }
        backend->selectDisk(CardId);
        backend->startWrite();
        QPointer<QThread> thread = backend->writeRun().thread();
        QPointer<WriteJob> job = backend->writeRun().job();
        QVERIFY(thread);
        QVERIFY(job);
        QVERIFY(QTest::qWaitFor([&] { return backend->progress() > 0; }, 30000));
        QCOMPARE(backend->phaseLabel(), download ? QStringLiteral("Downloading") : QStringLiteral("Writing"));
        QVERIFY(thread->isRunning());

        QElapsedTimer closing;
        closing.start();
        backend.reset(); // the window closes

        // The job stops at its next chunk or within the download's poll.
        QVERIFY2(closing.elapsed() < 5000, qPrintable(QString::number(closing.elapsed())));
        QVERIFY(thread.isNull());
        QVERIFY(job.isNull());
        // Nothing of the write is left to arrive.
        QTest::qWait(100);
    }
};

QTEST_GUILESS_MAIN(TestBackendWriteLifecycle)
#include "tst_backendwritelifecycle.moc"
