#include "cli/progressprinter.h"

#include "cli/console.h"
#include "core/cardbatch.h"
#include "image/imagedownload.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMetaEnum>

namespace {

// Reports for scripts come at most this often per card.
constexpr qint64 JsonInterval = 1000;
// The terminal is redrawn at most this often, phase changes aside.
constexpr qint64 DrawInterval = 200;

QString enumName(WriteJob::Phase phase)
{
    return QString::fromLatin1(QMetaEnum::fromType<WriteJob::Phase>().valueToKey(int(phase)));
}

QString enumName(WriteJob::Error error)
{
    return QString::fromLatin1(QMetaEnum::fromType<WriteJob::Error>().valueToKey(int(error)));
}

bool due(QElapsedTimer &timer, qint64 interval)
{
    if (timer.isValid() && timer.elapsed() < interval)
        return false;
    timer.start();
    return true;
}

} // namespace

ProgressPrinter::ProgressPrinter(CardBatch &batch, Mode mode, bool verify, const QString &productName,
                                 QObject *parent)
    : QObject(parent)
    , m_batch(batch)
    , m_mode(mode)
    , m_verify(verify)
    , m_productName(productName)
    , m_cards(size_t(batch.cardCount()))
{
    for (CardView &card : m_cards)
        card.meter.start(WriteJob::Phase::Downloading);
    connect(&batch, &CardBatch::downloadProgress, this, &ProgressPrinter::onDownload);
    connect(&batch, &CardBatch::cardProgress, this, &ProgressPrinter::onCard);
    connect(&batch, &CardBatch::cardFinished, this, &ProgressPrinter::onCardFinished);
}

void ProgressPrinter::onDownload(qint64 done, qint64 total)
{
    const bool waiting = done == ImageDownload::Waiting;
    const bool first = !m_downloadShown && !waiting;
    m_downloadShown = m_downloadShown || !waiting;
    for (CardView &card : m_cards) {
        card.meter.report(WriteJob::Phase::Downloading, done, total);
        card.reported = true;
    }
    switch (m_mode) {
    case Mode::Json:
        if (waiting)
            console::outJson({{"event", "waiting"}});
        else if (due(m_lastDownloadJson, JsonInterval) || done == total)
            console::outJson({{"event", "download"}, {"bytesDone", done}, {"bytesTotal", total}});
        break;
    case Mode::Lines:
        if (waiting)
            console::err(QStringLiteral("Waiting for another download of the same image\n"));
        else if (first)
            console::err(QStringLiteral("Downloading the image for every card\n"));
        break;
    case Mode::Terminal:
        redraw(first || waiting);
        break;
    }
}

void ProgressPrinter::onCard(int index, WriteJob::Phase phase, qint64 done, qint64 total)
{
    CardView &card = m_cards[size_t(index)];
    const bool changed = !card.phaseShown || card.shownPhase != phase;
    card.phaseShown = true;
    card.shownPhase = phase;
    card.meter.report(phase, done, total);
    card.reported = true;
    const QString name = m_batch.cardName(index);
    switch (m_mode) {
    case Mode::Json:
        if (changed)
            console::outJson({{"event", "phase"}, {"card", name}, {"phase", enumName(phase)}});
        if (due(card.lastJson, JsonInterval))
            console::outJson({{"event", "progress"}, {"card", name}, {"phase", enumName(phase)},
                              {"bytesDone", done}, {"bytesTotal", total}});
        break;
    case Mode::Lines:
        // The download is one for all cards, and has had its line.
        if (changed && phase != WriteJob::Phase::Downloading)
            console::err(QStringLiteral("%1: %2\n").arg(name, card.meter.phaseLabel(m_productName)));
        break;
    case Mode::Terminal:
        redraw(changed);
        break;
    }
}

void ProgressPrinter::onCardFinished(int index)
{
    const QString name = m_batch.cardName(index);
    const WriteJob::Error error = m_batch.error(index);
    const QString message = m_batch.message(index);
    CardView &card = m_cards[size_t(index)];
    card.end = error == WriteJob::Error::None ? QStringLiteral("%1: done").arg(name)
                                              : QStringLiteral("%1: failed: %2").arg(name, message);
    switch (m_mode) {
    case Mode::Json:
        if (error == WriteJob::Error::None)
            console::outJson({{"event", "done"}, {"card", name}});
        else
            console::outJson({{"event", "failed"}, {"card", name}, {"error", enumName(error)}, {"message", message}});
        break;
    case Mode::Lines:
        console::err(card.end + QLatin1Char('\n'));
        break;
    case Mode::Terminal:
        redraw(true);
        break;
    }
}

void ProgressPrinter::cancelling()
{
    if (m_mode != Mode::Json)
        console::err(QStringLiteral("Cancelling: each card stops at its next step…\n"));
    m_drawnLines = 0; // the message moved the cursor: draw anew below it
}

QString ProgressPrinter::cardLine(int index) const
{
    const CardView &card = m_cards[size_t(index)];
    if (!card.end.isEmpty())
        return card.end;
    if (!card.reported)
        return QStringLiteral("%1: waiting").arg(m_batch.cardName(index));
    QStringList parts{m_batch.cardName(index) + QLatin1Char(':'), card.meter.phaseLabel(m_productName)};
    if (card.meter.phase() != WriteJob::Phase::Finalizing && !card.meter.waiting() && card.meter.bytesTotal() > 0)
        parts << QStringLiteral("%1%").arg(qint64(card.meter.fraction() * 100));
    for (const QString &text : {card.meter.speedText(), card.meter.timeLeftText(m_verify)}) {
        if (!text.isEmpty())
            parts << text;
    }
    return parts.join(QLatin1Char(' '));
}

void ProgressPrinter::redraw(bool force)
{
    if (!force && !due(m_lastDraw, DrawInterval))
        return;
    m_lastDraw.start();
    QString text;
    // Back to the first card's line, then every line rewritten and cleared to its end.
    if (m_drawnLines > 0)
        text += QStringLiteral("\x1b[%1A").arg(m_drawnLines);
    for (int card = 0; card < m_batch.cardCount(); ++card)
        text += QStringLiteral("\r\x1b[K") + cardLine(card) + QLatin1Char('\n');
    m_drawnLines = m_batch.cardCount();
    console::err(text);
}

void ProgressPrinter::summary(int exitStatus)
{
    QJsonArray written;
    QJsonArray failed;
    QStringList failures;
    bool cancelled = false;
    for (int card = 0; card < m_batch.cardCount(); ++card) {
        if (m_batch.error(card) == WriteJob::Error::None) {
            written.append(m_batch.cardName(card));
            continue;
        }
        cancelled = cancelled || m_batch.error(card) == WriteJob::Error::Cancelled;
        failed.append(m_batch.cardName(card));
        failures << QStringLiteral("  %1: %2\n").arg(m_batch.cardName(card), m_batch.message(card));
    }
    if (m_mode == Mode::Json) {
        console::outJson({{"event", "summary"}, {"written", written}, {"failed", failed},
                          {"cancelled", cancelled}, {"exitStatus", exitStatus}});
        return;
    }
    QString text = QStringLiteral("%1 of %2 cards written.\n").arg(written.size()).arg(m_batch.cardCount());
    if (!failures.isEmpty())
        text += QStringLiteral("Not written:\n") + failures.join(QString());
    console::err(text);
}
