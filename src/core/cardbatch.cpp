#include "core/cardbatch.h"

#include "image/imagedownload.h"
#include "write/imagefeed.h"

#include <QThread>

#include <algorithm>

CardBatch::CardBatch(const WritePlan &plan, bool verify, QObject *parent)
    : QObject(parent)
    , m_plan(plan)
    , m_verify(verify)
{
}

CardBatch::~CardBatch()
{
    cancel();
    if (m_downloadThread)
        m_downloadThread->wait();
    for (Card &card : m_cards) {
        if (card.thread)
            card.thread->wait();
    }
}

void CardBatch::addCard(const QString &name, std::unique_ptr<BlockDevice> device)
{
    Card card;
    card.name = name;
    card.device = std::move(device);
    m_cards.push_back(std::move(card));
}

void CardBatch::start()
{
    m_running = cardCount();
    if (m_running == 0) {
        emit finished();
        return;
    }
    if (!m_plan.downloads()) {
        startJobs();
        return;
    }
    // One download for every card: the jobs then find the archive in the
    // cache, and no two of them write the same partial file.
    m_download = m_plan.createDownload();
    ImageDownload *download = m_download.get();
    connect(this, &CardBatch::downloadProgress, this, [this](qint64 done, qint64 total) {
        m_downloadDone = done;
        m_downloadTotal = total;
    });
    m_downloadThread.reset(QThread::create([this, download] {
        const auto report = [this](qint64 done, qint64 total) { emit downloadProgress(done, total); };
        m_downloaded = download->run(report, m_cancelled);
    }));
    connect(m_downloadThread.get(), &QThread::finished, this, &CardBatch::onDownloadFinished);
    m_downloadThread->start();
}

void CardBatch::cancel()
{
    m_cancelled = true;
    for (Card &card : m_cards) {
        if (card.job && !card.ended)
            card.job->cancel();
    }
}

void CardBatch::onDownloadFinished()
{
    if (m_downloaded && !m_cancelled) {
        startJobs();
        return;
    }
    const WriteJob::Error error =
            m_downloaded ? WriteJob::Error::Cancelled : WriteJob::errorFor(m_download->failure());
    for (int card = 0; card < cardCount(); ++card)
        endCard(card, error, m_download->errorString());
}

void CardBatch::startJobs()
{
    m_feed = std::make_shared<ImageFeed>(m_plan.createSource(), cardCount());
    for (int index = 0; index < cardCount(); ++index) {
        Card &card = m_cards[index];
        card.phase = WriteJob::Phase::Writing;
        // The one download was every card's.
        if (m_plan.downloads()) {
            card.phase = WriteJob::Phase::Downloading;
            emit cardProgress(index, card.phase, m_downloadDone, m_downloadTotal);
        }
        card.job = m_plan.createJob(m_feed, index, std::move(card.device), m_verify);
        WriteJob *job = card.job.get();
        connect(job, &WriteJob::progress, this,
                [this, index](WriteJob::Phase phase, qint64 done, qint64 total) {
                    m_cards[index].phase = phase;
                    m_cards[index].touched = m_cards[index].touched || phase != WriteJob::Phase::Downloading;
                    emit cardProgress(index, phase, done, total);
                });
        card.thread.reset(QThread::create([job] { job->run(); }));
        connect(card.thread.get(), &QThread::finished, this, [this, index] {
            m_cards[index].writtenSha256 = m_cards[index].job->writtenSha256();
            endCard(index, m_cards[index].job->error(), m_cards[index].job->errorDetail());
        });
        // A cancel that came while the download ended reaches the new jobs too.
        if (m_cancelled)
            job->cancel();
        card.thread->start();
    }
}

void CardBatch::endCard(int index, WriteJob::Error error, const QString &detail)
{
    Card &card = m_cards[index];
    card.ended = true;
    card.error = error;
    card.message = m_plan.outcomeMessage(error, detail, card.phase, card.touched);
    emit cardFinished(index);
    if (--m_running == 0)
        endBatch();
}

void CardBatch::endBatch()
{
    // Every job has let go of the feed: this closes the archive.
    m_feed.reset();
    const bool damaged = std::any_of(m_cards.cbegin(), m_cards.cend(), [](const Card &card) {
        return card.error == WriteJob::Error::CorruptImage || card.error == WriteJob::Error::ChecksumMismatch;
    });
    // The next write of that build then downloads it again.
    if (m_download && m_downloaded && damaged)
        m_download->discard();
    emit finished();
}
