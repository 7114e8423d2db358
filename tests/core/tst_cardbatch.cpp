#include "core/cardbatch.h"

#include "catalog/catalog.h"
#include "core/appinfo.h"
#include "core/writeplan.h"
#include "disks/alignedbuffer.h"
#include "image/imagecache.h"
#include "image/testarchives.h"
#include "support/catalogdocument.h"
#include "support/programrun.h"
#include "support/scriptedcard.h"
#include "support/testcache.h"
#include "support/testfiles.h"
#include "write/progressrecorder.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>
#include <QVersionNumber>

#include <memory>

using Phase = WriteJob::Phase;
using Error = WriteJob::Error;
using Failure = BlockDevice::Failure;
using Script = ScriptedCard::Script;
using Call = ScriptedCard::Call;

namespace {

constexpr qint64 Chunk = WriteJob::ChunkSize;
constexpr int Cards = 3;

using ProgressText::byteReports;
using ProgressText::report;

} // namespace

// Several cards from one image: each card's outcome its own, the image read
// once for all of them.
class TestCardBatch : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_fixtures;
    QByteArray m_image;
    QString m_archive; // m_image deflated by zip
    std::unique_ptr<QTemporaryDir> m_dir;

    QString target(int card) const { return m_dir->filePath(QStringLiteral("card%1.img").arg(card)); }

    // Runs the batch to its end; every card's reports. onReport runs for
    // each as it arrives.
    QList<QStringList> runBatch(CardBatch &batch, const std::function<void(int, Phase, qint64)> &onReport = {})
    {
        QList<QStringList> reports(batch.cardCount());
        connect(&batch, &CardBatch::cardProgress, this, [&](int card, Phase phase, qint64 done, qint64 total) {
            reports[card] << report(phase, done, total);
            if (onReport)
                onReport(card, phase, done);
        });
        QSignalSpy finished(&batch, &CardBatch::finished);
        batch.start();
        if (!finished.wait(60000))
            qWarning("the batch did not finish");
        return reports;
    }

private slots:
    void initTestCase()
    {
        testcache::use();
        m_image = testarchives::mixedPayload(3 * Chunk + 5000, 8);
        QVERIFY(writeFile(m_fixtures.filePath(QStringLiteral("card.img")), m_image));
        m_archive = m_fixtures.filePath(QStringLiteral("card.zip"));
        const QString problem = runTool(QStringLiteral("zip"), {"-q", m_archive, "card.img"}, m_fixtures.path());
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        testcache::clear();
    }
    void cleanup() { m_dir.reset(); }

    // The second of three cards fails, is slow, or the user cancels them all.
    void threeCards_data()
    {
        QTest::addColumn<Script>("second");
        QTest::addColumn<Error>("error"); // the second card's
        QTest::addColumn<bool>("cancel");

        Script tooSmall;
        tooSmall.size = 2 * Chunk;
        Script slow;
        slow.writeDelay = 150;
        // Slow enough that the others wait for the next chunk when they are cancelled.
        Script slower;
        slower.writeDelay = 400;
        QTest::newRow("every card written") << Script() << Error::None << false;
        QTest::newRow("second card refuses to open") << Script::failing(Call::Open, 1, Failure::IoError)
                                                     << Error::TargetUnavailable << false;
        QTest::newRow("second card too small") << tooSmall << Error::TargetTooSmall << false;
        QTest::newRow("second card pulled out during the write")
                << Script::failing(Call::Write, 2, Failure::Removed) << Error::TargetRemoved << false;
        QTest::newRow("second card fails the read-back")
                << Script::failing(Call::Read, 2, Failure::IoError) << Error::TargetIoError << false;
        QTest::newRow("second card far slower than the others") << slow << Error::None << false;
        QTest::newRow("cancelled during the write") << slower << Error::Cancelled << true;
    }
    void threeCards()
    {
        QFETCH(Script, second);
        QFETCH(Error, error);
        QFETCH(bool, cancel);

        CardBatch batch(WritePlan::forLocalFile(m_archive, {}), true);
        for (int card = 0; card < Cards; ++card) {
            Script script = card == 1 ? second : Script();
            script.path = target(card);
            batch.addCard(target(card), std::make_unique<ScriptedCard>(script));
        }
        const QList<QStringList> reports = runBatch(batch, [&](int card, Phase phase, qint64 done) {
            if (cancel && card == 0 && phase == Phase::Writing && done == Chunk)
                batch.cancel();
        });

        const QByteArray written = m_image + QByteArray(AlignedBuffer::roundUp(m_image.size(), 512) - m_image.size(), '\0');
        const QStringList phases = byteReports(Phase::Writing, m_image.size()) + byteReports(Phase::Verifying, m_image.size());
        for (int card = 0; card < Cards; ++card) {
            const Error expected = cancel || card == 1 ? error : Error::None;
            QCOMPARE(batch.error(card), expected);
            // No card, however long it waited for the slowest, goes past the
            // first chunk (one that started late may not have written it).
            if (cancel) {
                QVERIFY(reports[card].size() <= 2);
                QCOMPARE(reports[card], phases.mid(0, reports[card].size()));
            }
            if (expected != Error::None)
                continue;
            // The others are neither stopped nor harmed by the second.
            QCOMPARE(reports[card], phases);
            QVERIFY(readFile(target(card)) == written);
        }
    }

    // A cached build turns out damaged: every card fails, and once the last
    // has ended the archive leaves the cache, to be downloaded again.
    void damagedCachedBuildIsDiscarded()
    {
        // Stored, so that a damaged byte shows only as a wrong CRC at the end.
        const QString stored = m_dir->filePath(QStringLiteral("stored.zip"));
        const QString problem = runTool(QStringLiteral("zip"), {"-q", "-0", "-j", stored, m_fixtures.filePath("card.img")},
                                        m_dir->path());
        QVERIFY2(problem.isEmpty(), qPrintable(problem));
        QByteArray archive = readFile(stored);
        const QByteArray digest = sha256(archive);
        archive[archive.indexOf(m_image.left(64)) + Chunk + 10] ^= 0x01;
        QVERIFY(writeFile(ImageCache(ImageCache::defaultDir()).pathFor(digest), archive));

        const QByteArray document =
                CatalogDocument()
                        .device(QStringLiteral("s"), QStringLiteral("Board S"))
                        .product(QStringLiteral("alpha"), QStringLiteral("Alpha"),
                                 {CatalogDocument::build(QStringLiteral("b1"), QStringLiteral("Build"),
                                                         QStringLiteral("1.0"), QStringLiteral("card.zip"),
                                                         archive.size(), QString::fromLatin1(digest.toHex()),
                                                         {QStringLiteral("s")})})
                        .toJson();
        const Catalog catalog = Catalog::parse(document, QVersionNumber::fromString(AppInfo::Version));
        const std::optional<WritePlan> plan =
                WritePlan::forBuild(catalog, QUrl::fromLocalFile(m_dir->filePath(QStringLiteral("images.json"))),
                                    QStringLiteral("alpha"), QStringLiteral("s"), QStringLiteral("b1"));
        QVERIFY(plan);
        CardBatch batch(*plan, false);
        for (int card = 0; card < Cards; ++card) {
            Script script;
            script.path = target(card);
            batch.addCard(target(card), std::make_unique<ScriptedCard>(script));
        }
        QStringList cachedAtEnds;
        connect(&batch, &CardBatch::cardFinished, this, [&] { cachedAtEnds << testcache::files().join(' '); });
        const QList<QStringList> reports = runBatch(batch);

        for (int card = 0; card < Cards; ++card) {
            QCOMPARE(batch.error(card), Error::CorruptImage);
            // The one download counts as each card's.
            QCOMPARE(reports[card].first(), report(Phase::Downloading, archive.size(), archive.size()));
        }
        const QString cached = QString::fromLatin1(digest.toHex() + ".zip");
        QCOMPARE(cachedAtEnds, QStringList(Cards, cached));
        QCOMPARE(testcache::files(), QStringList());
    }
};

QTEST_GUILESS_MAIN(TestCardBatch)
#include "tst_cardbatch.moc"
