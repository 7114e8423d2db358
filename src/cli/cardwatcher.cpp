#include "cli/cardwatcher.h"

#include "cli/progressprinter.h"
#include "core/cardbatch.h"
#include "core/writemessages.h"
#include "disks/diskmonitor.h"

#include <QJsonObject>

CardWatcher::CardWatcher(DiskMonitor &monitor, const WritePlan &plan, bool verify, const QStringList &modelPatterns,
                         ProgressPrinter &printer, QObject *parent)
    : QObject(parent)
    , m_monitor(monitor)
    , m_plan(plan)
    , m_verify(verify)
    , m_printer(printer)
{
    for (const QString &pattern : modelPatterns)
        m_patterns << QRegularExpression::fromWildcard(pattern, Qt::CaseInsensitive);
    for (const Disk &disk : monitor.disks())
        m_passed.insert(disk.id);
    connect(&monitor, &DiskMonitor::disksChanged, this, &CardWatcher::update);
}

CardWatcher::~CardWatcher() = default;

void CardWatcher::start(qint64 imageSize)
{
    m_imageSize = imageSize;
    m_started = true;
    update();
}

void CardWatcher::stop()
{
    m_stopping = true;
    for (Card &card : m_cards)
        card.batch->cancel();
    if (m_cards.empty())
        emit finished();
}

bool CardWatcher::matches(const Disk &disk) const
{
    return std::any_of(m_patterns.cbegin(), m_patterns.cend(),
                       [&disk](const QRegularExpression &pattern) { return pattern.match(disk.model).hasMatch(); });
}

void CardWatcher::update()
{
    // While the list cannot be had every disk seems gone; what comes back
    // afterwards is compared with what was there before.
    if (!m_monitor.errorString().isEmpty())
        return;
    const QList<Disk> disks = m_monitor.disks();
    QSet<QString> present;
    for (const Disk &disk : disks)
        present.insert(disk.id);
    for (Card &card : m_cards)
        card.gone = card.gone || !present.contains(card.diskId);
    // A disk that left may come back: then it is another card. One still
    // being written stays passed until its card has ended.
    for (auto id = m_passed.begin(); id != m_passed.end();) {
        const bool running = std::any_of(m_cards.cbegin(), m_cards.cend(),
                                         [&id](const Card &card) { return card.diskId == *id; });
        id = present.contains(*id) || running ? std::next(id) : m_passed.erase(id);
    }
    if (!m_started || m_stopping)
        return;

    for (const Disk &disk : disks) {
        if (m_passed.contains(disk.id))
            continue;
        m_passed.insert(disk.id);
        QString message;
        if (!matches(disk))
            message = QStringLiteral("%1 (%2) is left alone: its model matches no --model.").arg(disk.device, disk.model);
        else if (const QString refusal = WritePlan::diskRefusal(disk, m_imageSize); !refusal.isEmpty())
            message = QStringLiteral("Skipped: %1").arg(refusal);
        if (message.isEmpty()) {
            startCard(disk);
            continue;
        }
        m_printer.note(message, {{"event", "skipped"}, {"card", disk.device}, {"model", disk.model},
                                 {"message", message}});
    }
}

void CardWatcher::startCard(const Disk &disk)
{
    std::unique_ptr<BlockDevice> device = m_monitor.createDevice(disk);
    if (!device) {
        const QString message = QStringLiteral("Skipped: %1 cannot be written.").arg(disk.device);
        m_printer.note(message, {{"event", "skipped"}, {"card", disk.device}, {"model", disk.model},
                                 {"message", message}});
        return;
    }
    Card card;
    card.diskId = disk.id;
    card.index = m_printer.addCard(disk.device);
    card.batch = std::make_unique<CardBatch>(m_plan, m_verify);
    card.batch->addCard(disk.device, std::move(device));
    CardBatch *batch = card.batch.get();
    const int index = card.index;
    // The archive is in the cache already: the batch's download only finds it.
    connect(batch, &CardBatch::cardProgress, this,
            [this, index](int, WriteJob::Phase phase, qint64 done, qint64 total) {
                m_printer.progress(index, phase, done, total);
            });
    connect(batch, &CardBatch::cardFinished, this, [this, batch] { endCard(batch); });
    m_cards.push_back(std::move(card));
    batch->start();
}

void CardWatcher::endCard(CardBatch *batch)
{
    const auto card = std::find_if(m_cards.begin(), m_cards.end(),
                                   [batch](const Card &c) { return c.batch.get() == batch; });
    WriteJob::Error error = batch->error(0);
    QString message = batch->message(0);
    // A card pulled out fails as whatever the system then reports; that it
    // left is what the user needs to know.
    if (card->gone && error != WriteJob::Error::None && error != WriteJob::Error::Cancelled) {
        error = WriteJob::Error::TargetRemoved;
        message = WriteMessages::forError(error, QString(), m_plan.imageFormat());
    }
    m_printer.finished(card->index, error, message, batch->writtenSha256(0));
    // The batch is in the middle of telling its end.
    card->batch.release()->deleteLater();
    m_cards.erase(card);
    update();
    if (m_stopping && m_cards.empty())
        emit finished();
}
