#include "backend/backend.h"
#include "backendwaits.h"
#include "core/progressmeter.h"
#include "core/writemessages.h"
#include "image/imagedownload.h"

#include <QElapsedTimer>
#include <QFile>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using Phase = WriteJob::Phase;
using Error = WriteJob::Error;
Q_DECLARE_METATYPE(ImageFormat)

namespace {

constexpr qint64 MB = 1000 * 1000;

QString perSecond(qint64 bytes)
{
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat) + QStringLiteral("/s");
}

// Moves the Backend's speed clock ms forward: from here on it reads ms more
// than the clock it had, so tests of the once-a-second rule need not sleep.
void advanceSpeedClock(Backend &backend, qint64 ms)
{
    WriteRun &run = backend.writeRun();
    run.setClock([clock = run.meter().clock(), ms] { return clock() + ms; });
}

void reportTo(Backend &backend, Phase phase, qint64 done, qint64 total)
{
    backend.writeRun().report(phase, done, total);
}

// Starts `phase` with a report of (0, total), so that the next report of the
// same phase is measured from here. A Backend starts in Writing, which a
// report of it would not restart.
void enterPhase(Backend &backend, Phase phase, qint64 total)
{
    if (phase == Phase::Writing)
        reportTo(backend, Phase::Downloading, 0, 0);
    reportTo(backend, phase, 0, total);
}

// The first sample of a phase entered with enterPhase: `done` bytes in one second.
void sampleAfterOneSecond(Backend &backend, Phase phase, qint64 done, qint64 total)
{
    advanceSpeedClock(backend, 1000);
    reportTo(backend, phase, done, total);
}

} // namespace

// The writing page's texts, derived from progress reports as a running job
// would deliver them, on a speed clock that the test moves forward.
class TestBackendProgress : public QObject
{
    Q_OBJECT

private slots:
    void detailIsInsertedAsIs()
    {
        // A detail that itself holds a place marker is not filled in again.
        QCOMPARE(WriteMessages::forError(Error::SourceUnreadable, QStringLiteral("%1 and %2"), ImageFormat::Raw),
                 QStringLiteral("Cannot read the image: %1 and %2"));
    }

    void messageFor_data()
    {
        QTest::addColumn<Error>("error");
        QTest::addColumn<QString>("message");

        QTest::newRow("None") << Error::None << QString();
        QTest::newRow("SourceUnreadable") << Error::SourceUnreadable << "Cannot read the image: DETAIL";
        QTest::newRow("UnsupportedImage") << Error::UnsupportedImage << "Unsupported zip format: DETAIL";
        QTest::newRow("CorruptImage") << Error::CorruptImage
                                      << "The image file is damaged and the SD card is not usable: DETAIL";
        QTest::newRow("ChecksumMismatch")
                << Error::ChecksumMismatch
                << "The image does not match the catalog (checksum mismatch): the SD card is not usable. "
                   "Download the image again.";
        QTest::newRow("NetworkError") << Error::NetworkError
                                      << "Download failed: DETAIL. Check the network connection and retry.";
        QTest::newRow("DownloadChecksumMismatch")
                << Error::DownloadChecksumMismatch
                << "The downloaded image is damaged (checksum mismatch) and was discarded; the SD card was not "
                   "touched. Retry to download it again.";
        QTest::newRow("CacheFull") << Error::CacheFull << "Not enough free disk space to download the image: DETAIL";
        QTest::newRow("CacheIoError") << Error::CacheIoError << "Cannot save the image in the cache folder: DETAIL";
        QTest::newRow("TargetUnavailable") << Error::TargetUnavailable << "Cannot open the SD card: DETAIL";
        QTest::newRow("TargetTooSmall") << Error::TargetTooSmall << "The SD card is smaller than the image.";
        QTest::newRow("TargetIoError") << Error::TargetIoError
                                       << "Error reading or writing the SD card, it may be faulty: DETAIL";
        QTest::newRow("TargetWriteProtected")
                << Error::TargetWriteProtected
                << "The SD card is write-protected: move the lock switch on the card or adapter and retry.";
        QTest::newRow("TargetRemoved") << Error::TargetRemoved
                                       << "The SD card was removed during the operation: insert it again and retry.";
        QTest::newRow("TargetPermissionDenied") << Error::TargetPermissionDenied
                                                << "Permission denied to access the SD card: DETAIL";
        QTest::newRow("VerifyMismatch")
                << Error::VerifyMismatch
                << "Verification failed: the data read back from the SD card differs from what was written. "
                   "The SD card is probably faulty: try another one.";
        QTest::newRow("BootFilesFailed")
                << Error::BootFilesFailed
                << "The image was written but the product could not be set on the SD card: DETAIL. "
                   "The device would not start with the right product: write the SD card again.";
        QTest::newRow("Cancelled") << Error::Cancelled
                                   << "Writing was cancelled: the SD card is incomplete and will not boot. "
                                      "Write it again before using it.";
        QTest::newRow("NoBootPartition")
                << Error::NoBootPartition
                << "The image has no partition for the product's boot files (DETAIL); the SD card was not touched. "
                   "Go back to the image to write it without setting up a product.";
        QTest::newRow("value outside the enumeration") << Error(99) << QString();
    }
    void messageFor()
    {
        QFETCH(Error, error);
        QFETCH(QString, message);
        QCOMPARE(WriteMessages::forError(error, QStringLiteral("DETAIL"), ImageFormat::Zip), message);
    }

    // Only a ZIP archive has a "zip format"; a file compressed in a format
    // that is not read here gets the hint in the user's language instead of
    // the source's English text.
    void unsupportedImage_data()
    {
        QTest::addColumn<ImageFormat>("format");
        QTest::addColumn<QString>("message");

        QTest::newRow("ZIP archive") << ImageFormat::Zip << "Unsupported zip format: DETAIL";
        QTest::newRow("xz file") << ImageFormat::Xz << "Unsupported image format: DETAIL";
        QTest::newRow("gzip file") << ImageFormat::Gzip
                                   << "Unsupported image format: the file is compressed with gzip; unpack it first "
                                      "and choose the image inside";
        QTest::newRow("7z archive") << ImageFormat::SevenZip
                                    << "Unsupported image format: the file is a 7z archive; unpack it first and "
                                       "choose the image inside";
    }
    void unsupportedImage()
    {
        QFETCH(ImageFormat, format);
        QFETCH(QString, message);
        QCOMPARE(WriteMessages::forError(Error::UnsupportedImage, QStringLiteral("DETAIL"), format), message);
    }

    void phaseLabels_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<QString>("label");
        QTest::newRow("downloading") << Phase::Downloading << "Downloading";
        QTest::newRow("writing") << Phase::Writing << "Writing";
        QTest::newRow("verifying") << Phase::Verifying << "Verifying";
        QTest::newRow("finalizing names the product") << Phase::Finalizing << "Finalizing: setting up Alpha";
    }
    void phaseLabels()
    {
        QFETCH(Phase, phase);
        QFETCH(QString, label);
        QTemporaryDir dir;
        QFile catalog(dir.filePath(QStringLiteral("images.json")));
        QVERIFY(catalog.open(QIODevice::WriteOnly));
        catalog.write(R"({"schemaVersion": 1, "devices": [{"id": "s", "name": "S"}],
            "products": [{"id": "alpha", "name": "Alpha", "images": [{"id": "stable", "name": "Stable",
            "version": "1", "url": "a.zip", "size": 1, "sha256": "00", "devices": ["s"]}]}]})");
        catalog.close();
        Backend backend(catalog.fileName(), QString());
        QCOMPARE(backend.catalogState(), Backend::CatalogState::Ready);
        backend.selectProduct(QStringLiteral("alpha"));

        QSignalSpy progressSignals(&backend, &Backend::progressChanged);
        reportTo(backend, Phase::Downloading, 0, 0);
        reportTo(backend, phase, 1, 4);
        QCOMPARE(backend.phaseLabel(), label);
        QCOMPARE(backend.progress(), 0.25);
        // Every report is announced, whether the phase changed or not.
        reportTo(backend, phase, 1, 4);
        QCOMPARE(progressSignals.count(), 3);
    }

    // Another run downloads the same image: the page says so, and the bytes
    // that come after the wait are measured from their own start.
    void waitingForAnotherDownload()
    {
        Backend backend(NoCatalog, QString());
        reportTo(backend, Phase::Downloading, ImageDownload::Waiting, 10 * MB);
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Waiting for another download of the same image"));
        QCOMPARE(backend.progress(), 0.0);
        advanceSpeedClock(backend, 5000);
        reportTo(backend, Phase::Downloading, 4 * MB, 10 * MB);
        QCOMPARE(backend.phaseLabel(), QStringLiteral("Downloading"));
        QCOMPARE(backend.progress(), 0.4);
        QCOMPARE(backend.speedText(), QString());
        sampleAfterOneSecond(backend, Phase::Downloading, 5 * MB, 10 * MB);
        QCOMPARE(backend.speedText(), perSecond(MB));
    }

    void firstSampleAfterOneSecondOfThePhase()
    {
        // The clock moves by exactly 999 ms only when the real time that
        // passes during the reports stays below a millisecond; a busy machine
        // gets a few more tries.
        for (int attempt = 0; attempt < 20; ++attempt) {
            Backend backend(NoCatalog, QString());
            QElapsedTimer realTime;
            realTime.start();
            enterPhase(backend, Phase::Downloading, 1000 * MB);
            QVERIFY(backend.speedText().isEmpty());
            QVERIFY(backend.timeLeftText().isEmpty());

            reportTo(backend, Phase::Downloading, 5 * MB, 1000 * MB);
            advanceSpeedClock(backend, 999);
            reportTo(backend, Phase::Downloading, 10 * MB, 1000 * MB);
            if (realTime.nsecsElapsed() >= 1000000)
                continue;
            QVERIFY(backend.speedText().isEmpty());
            QVERIFY(backend.timeLeftText().isEmpty());
            QCOMPARE(backend.progress(), 0.01);

            // One more millisecond makes the first sample; it is measured
            // from the start of the phase, since nothing was sampled at 999 ms.
            advanceSpeedClock(backend, 1);
            reportTo(backend, Phase::Downloading, 12 * MB, 1000 * MB);
            QCOMPARE(backend.speedText(), perSecond(12 * MB));
            QVERIFY(!backend.timeLeftText().isEmpty());
            return;
        }
        QSKIP("the machine is too busy to keep the reports within a millisecond");
    }

    void samplesAreSmoothed()
    {
        Backend backend(NoCatalog, QString());
        enterPhase(backend, Phase::Downloading, 1000 * MB);
        sampleAfterOneSecond(backend, Phase::Downloading, 10 * MB, 1000 * MB);
        QCOMPARE(backend.speedText(), perSecond(10 * MB));

        // 20 MB/s for the next second: 0.3 of the new rate, 0.7 of the old.
        advanceSpeedClock(backend, 1000);
        reportTo(backend, Phase::Downloading, 30 * MB, 1000 * MB);
        QCOMPARE(backend.speedText(), perSecond(13 * MB));

        // Reports within the second change the bytes, not the estimate.
        reportTo(backend, Phase::Downloading, 31 * MB, 1000 * MB);
        QCOMPARE(backend.speedText(), perSecond(13 * MB));

        // A slow second lowers the speed gradually: 1 MB since the last
        // sample gives 0.3 * 1 MB/s + 0.7 * 13 MB/s.
        advanceSpeedClock(backend, 1000);
        reportTo(backend, Phase::Downloading, 31 * MB, 1000 * MB);
        QCOMPARE(backend.speedText(), perSecond(9400 * 1000));
    }

    void eachPhaseStartsWithoutSpeed()
    {
        Backend backend(NoCatalog, QString());
        enterPhase(backend, Phase::Downloading, 100 * MB);
        sampleAfterOneSecond(backend, Phase::Downloading, 50 * MB, 100 * MB);
        QVERIFY(!backend.speedText().isEmpty());

        // The write begins at 4 MB already done (its first chunk): the first
        // sample counts from there, not from the download's bytes.
        reportTo(backend, Phase::Writing, 4 * MB, 400 * MB);
        QVERIFY(backend.speedText().isEmpty());
        QVERIFY(backend.timeLeftText().isEmpty());
        sampleAfterOneSecond(backend, Phase::Writing, 9 * MB, 400 * MB);
        QCOMPARE(backend.speedText(), perSecond(5 * MB));
    }

    void resumedDownloadCountsOnlyTheFetchedBytes()
    {
        // A download that resumes reports the bytes already in the cache at
        // once; the speed counts from there, not from zero.
        ProgressMeter meter;
        qint64 now = 0;
        meter.setClock([&now] { return now; });
        meter.start(Phase::Downloading);
        meter.report(Phase::Downloading, 600 * MB, 1000 * MB);
        now += 1000;
        meter.report(Phase::Downloading, 610 * MB, 1000 * MB);
        QCOMPARE(meter.speedText(), perSecond(10 * MB));
        QCOMPARE(meter.timeLeftText(false), QStringLiteral("less than a minute left"));
    }

    void finalizingShowsNoSpeed()
    {
        Backend backend(NoCatalog, QString());
        enterPhase(backend, Phase::Verifying, 100 * MB);
        sampleAfterOneSecond(backend, Phase::Verifying, 10 * MB, 100 * MB);
        QVERIFY(!backend.speedText().isEmpty());

        // The boot files are counted in files; a rate of them means nothing.
        reportTo(backend, Phase::Finalizing, 0, 2);
        sampleAfterOneSecond(backend, Phase::Finalizing, 1, 2);
        QVERIFY(backend.speedText().isEmpty());
        QVERIFY(backend.timeLeftText().isEmpty());
        QCOMPARE(backend.progress(), 0.5);
    }

    void timeLeft_data()
    {
        QTest::addColumn<Phase>("phase");
        QTest::addColumn<bool>("verify");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QString>("text");

        // The speed is always 10 MB/s, sampled at 10 MB done.
        QTest::newRow("59 s left") << Phase::Downloading << true << 600 * MB << "less than a minute left";
        QTest::newRow("61 s left round up to 2 min") << Phase::Downloading << true << 620 * MB
                                                     << "about 2 min left";
        QTest::newRow("121 s left round up to 3 min") << Phase::Downloading << true << 1220 * MB
                                                      << "about 3 min left";
        QTest::newRow("download adds no read-back") << Phase::Downloading << true << 400 * MB
                                                    << "less than a minute left";
        QTest::newRow("writing with verify adds the read-back") << Phase::Writing << true << 400 * MB
                                                                << "about 2 min left";
        QTest::newRow("writing without verify") << Phase::Writing << false << 400 * MB
                                                << "less than a minute left";
        QTest::newRow("verifying covers the read-back only") << Phase::Verifying << true << 400 * MB
                                                             << "less than a minute left";
    }
    void timeLeft()
    {
        QFETCH(Phase, phase);
        QFETCH(bool, verify);
        QFETCH(qint64, total);
        QFETCH(QString, text);
        Backend backend(NoCatalog, QString());
        backend.setVerify(verify);
        enterPhase(backend, phase, total);
        sampleAfterOneSecond(backend, phase, 10 * MB, total);
        QCOMPARE(backend.timeLeftText(), text);
    }
};

QTEST_GUILESS_MAIN(TestBackendProgress)
#include "tst_backendprogress.moc"
