#pragma once

#include "core/writeplan.h"
#include "disks/blockdevice.h"
#include "write/writejob.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>
#include <vector>

class ImageDownload;
class ImageFeed;
class QThread;

// Writes one plan to several cards at once. A catalog build is downloaded
// once into the cache first; then the image is read, decoded and hashed once
// (an ImageFeed) and each chunk handed to every card, each written by a
// WriteJob of its own on a thread of its own that verifies its card on its
// own and ends with an outcome of its own. The slowest card sets the pace;
// a card that fails leaves and the others go on. Lives on the thread that
// drives it, where every signal arrives.
class CardBatch : public QObject
{
    Q_OBJECT

public:
    CardBatch(const WritePlan &plan, bool verify, QObject *parent = nullptr);
    // A batch still running is cancelled and waited for.
    ~CardBatch() override;

    // Before start(); name is what the user calls the card.
    void addCard(const QString &name, std::unique_ptr<BlockDevice> device);
    void start();
    // As the window's Cancel, for every card; safe to repeat.
    void cancel();

    int cardCount() const { return int(m_cards.size()); }
    QString cardName(int card) const { return m_cards[card].name; }
    // After cardFinished(card).
    WriteJob::Error error(int card) const { return m_cards[card].error; }
    QString message(int card) const { return m_cards[card].message; }
    // The SHA-256 of the image bytes written to the card, raw; empty when
    // the write did not get that far.
    QByteArray writtenSha256(int card) const { return m_cards[card].writtenSha256; }

signals:
    void downloadProgress(qint64 bytesDone, qint64 bytesTotal);
    void cardProgress(int card, WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal);
    void cardFinished(int card);
    // Every card has ended.
    void finished();

private:
    struct Card
    {
        QString name;
        std::unique_ptr<BlockDevice> device; // until its job takes it
        std::unique_ptr<WriteJob> job;
        std::unique_ptr<QThread> thread;
        WriteJob::Phase phase = WriteJob::Phase::Downloading;
        bool touched = false; // the job has opened the card to write it
        WriteJob::Error error = WriteJob::Error::None;
        QString message;
        QByteArray writtenSha256;
        bool ended = false;
    };

    void onDownloadFinished();
    void startJobs();
    void endCard(int card, WriteJob::Error error, const QString &detail);
    // After the last card: the source is closed, then a damaged download goes.
    void endBatch();

    WritePlan m_plan;
    bool m_verify;
    std::shared_ptr<ImageFeed> m_feed; // until every card has ended
    std::vector<Card> m_cards;
    std::unique_ptr<ImageDownload> m_download;
    std::unique_ptr<QThread> m_downloadThread;
    bool m_downloaded = false;
    // The download's last report, which each card shows as its own.
    qint64 m_downloadDone = 0;
    qint64 m_downloadTotal = 0;
    std::atomic<bool> m_cancelled{false};
    int m_running = 0;
};
