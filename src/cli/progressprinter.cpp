#include "cli/progressprinter.h"

#include "cli/console.h"
#include "image/imagedownload.h"

#include <QJsonArray>
#include <QMetaEnum>

#include <algorithm>

#include <chrono>

namespace {

// Records for scripts come at most this often per card.
constexpr qint64 JsonInterval = 1000;
// The terminal is redrawn at most this often, phase changes and ends aside.
constexpr qint64 DrawInterval = 200;
// Without a terminal a card's progress is told at every tenth of its phase,
// and after this long without one, so that a log shows a slow card alive.
constexpr qint64 LineInterval = 30000;

QString enumName(WriteJob::Phase phase)
{
    return QString::fromLatin1(QMetaEnum::fromType<WriteJob::Phase>().valueToKey(int(phase)));
}

QString enumName(WriteJob::Error error)
{
    return QString::fromLatin1(QMetaEnum::fromType<WriteJob::Error>().valueToKey(int(error)));
}

QString hex(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex());
}

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Rows that a line of length columns takes on a terminal width columns wide.
int rowsFor(qsizetype length, int width)
{
    if (width <= 0 || length <= width)
        return 1;
    return int((length + width - 1) / width);
}

} // namespace

ProgressPrinter::Output ProgressPrinter::console()
{
    return {console::err, console::outJson, console::errorWidth, steadyMilliseconds};
}

ProgressPrinter::ProgressPrinter(Mode mode, Work work, bool verify, const QString &productName, Output output)
    : m_mode(mode)
    , m_work(work)
    , m_verify(verify)
    , m_productName(productName)
    , m_output(std::move(output))
{
    m_download.setClock(m_output.clock);
    m_download.start(WriteJob::Phase::Downloading);
}

int ProgressPrinter::addCard(const QString &name)
{
    CardView card;
    card.name = name;
    card.meter.setClock(m_output.clock);
    card.meter.start(m_work == Work::Verify ? WriteJob::Phase::Verifying : WriteJob::Phase::Downloading);
    m_cards.push_back(std::move(card));
    if (m_mode == Mode::Terminal)
        redraw(true);
    return int(m_cards.size()) - 1;
}

void ProgressPrinter::download(qint64 done, qint64 total)
{
    const bool waiting = done == ImageDownload::Waiting;
    const bool first = !m_downloadStarted && !waiting;
    m_downloadStarted = m_downloadStarted || !waiting;
    m_downloadShown = true;
    m_download.report(WriteJob::Phase::Downloading, done, total);
    switch (m_mode) {
    case Mode::Json:
        if (waiting)
            m_output.json({{"event", "waiting"}});
        else if (dueJson(m_lastDownloadJson) || done == total)
            m_output.json({{"event", "download"}, {"bytesDone", done}, {"bytesTotal", total}});
        break;
    case Mode::Lines:
        if (waiting) {
            m_output.text(QStringLiteral("Waiting for another download of the same image\n"));
        } else if (first) {
            m_downloadTold = {0, m_output.clock()};
            m_output.text(QStringLiteral("Downloading the image\n"));
        } else if (dueLine(m_downloadTold, m_download)) {
            m_output.text(progressLine(QStringLiteral("Image"), m_download) + QLatin1Char('\n'));
        }
        break;
    case Mode::Terminal:
        redraw(first || waiting);
        break;
    }
}

void ProgressPrinter::progress(int index, WriteJob::Phase phase, qint64 done, qint64 total)
{
    CardView &card = m_cards[size_t(index)];
    const bool changed = !card.phaseShown || card.meter.phase() != phase;
    card.phaseShown = true;
    card.meter.report(phase, done, total);
    card.reported = true;
    switch (m_mode) {
    case Mode::Json:
        if (changed)
            m_output.json({{"event", "phase"}, {"card", card.name}, {"phase", enumName(phase)}});
        if (dueJson(card.lastJson))
            m_output.json({{"event", "progress"}, {"card", card.name}, {"phase", enumName(phase)},
                           {"bytesDone", done}, {"bytesTotal", total}});
        break;
    case Mode::Lines:
        // The download is one for all cards, and has lines of its own.
        if (phase == WriteJob::Phase::Downloading)
            break;
        if (changed) {
            card.told = {0, m_output.clock()};
            m_output.text(QStringLiteral("%1: %2\n").arg(card.name, card.meter.phaseLabel(m_productName)));
        } else if (phase != WriteJob::Phase::Finalizing && dueLine(card.told, card.meter)) {
            m_output.text(cardLine(card) + QLatin1Char('\n'));
        }
        break;
    case Mode::Terminal:
        redraw(changed);
        break;
    }
}

void ProgressPrinter::finished(int index, WriteJob::Error error, const QString &message, const QByteArray &sha256)
{
    CardView &card = m_cards[size_t(index)];
    card.ended = true;
    card.error = error;
    card.message = message;
    card.sha256 = sha256;
    switch (m_mode) {
    case Mode::Json:
        if (error == WriteJob::Error::None)
            m_output.json({{"event", "done"}, {"card", card.name}, {"sha256", hex(sha256)}});
        else
            m_output.json({{"event", "failed"}, {"card", card.name}, {"error", enumName(error)}, {"message", message}});
        break;
    case Mode::Lines:
        m_output.text(endLine(card) + QLatin1Char('\n'));
        break;
    case Mode::Terminal:
        keep(endLine(card));
        break;
    }
}

void ProgressPrinter::note(const QString &text, const QJsonObject &event)
{
    switch (m_mode) {
    case Mode::Json:
        m_output.json(event);
        break;
    case Mode::Lines:
        m_output.text(text + QLatin1Char('\n'));
        break;
    case Mode::Terminal:
        keep(text);
        break;
    }
}

void ProgressPrinter::cancelling()
{
    const QString text = QStringLiteral("Cancelling: each card stops at its next step…");
    if (m_mode == Mode::Lines)
        m_output.text(text + QLatin1Char('\n'));
    else if (m_mode == Mode::Terminal)
        keep(text);
}

void ProgressPrinter::resized()
{
    if (m_mode == Mode::Terminal)
        redraw(true);
}

QString ProgressPrinter::cardLine(const CardView &card) const
{
    if (!card.reported)
        return QStringLiteral("%1: waiting").arg(card.name);
    return progressLine(card.name, card.meter);
}

QString ProgressPrinter::progressLine(const QString &name, const ProgressMeter &meter) const
{
    QStringList parts{name + QLatin1Char(':'), meter.phaseLabel(m_productName)};
    if (meter.phase() != WriteJob::Phase::Finalizing && !meter.waiting() && meter.bytesTotal() > 0)
        parts << QStringLiteral("%1%").arg(qint64(meter.fraction() * 100));
    for (const QString &text : {meter.speedText(), meter.timeLeftText(m_verify && m_work == Work::Write)}) {
        if (!text.isEmpty())
            parts << text;
    }
    return parts.join(QLatin1Char(' '));
}

QString ProgressPrinter::endLine(const CardView &card) const
{
    if (card.error != WriteJob::Error::None)
        return QStringLiteral("%1: failed: %2").arg(card.name, card.message);
    return QStringLiteral("%1: %2").arg(card.name, m_work == Work::Verify ? QStringLiteral("matches the image")
                                                                         : QStringLiteral("done"));
}

bool ProgressPrinter::dueLine(Told &told, const ProgressMeter &meter)
{
    const int tenths = int(meter.fraction() * 10);
    const qint64 now = m_output.clock();
    if (tenths <= told.tenths && now - told.time < LineInterval)
        return false;
    told = {std::max(tenths, told.tenths), now};
    return true;
}

bool ProgressPrinter::dueJson(qint64 &last)
{
    const qint64 now = m_output.clock();
    if (last >= 0 && now - last < JsonInterval)
        return false;
    last = now;
    return true;
}

void ProgressPrinter::keep(const QString &line)
{
    m_kept << line;
    redraw(true);
}

QString ProgressPrinter::fitted(const QString &line, int width) const
{
    // One column short of the width: a line that fills the last column makes
    // some terminals wrap before the next character arrives.
    if (width <= 1 || line.size() < width)
        return line;
    return line.left(width - 2) + QStringLiteral("…");
}

void ProgressPrinter::redraw(bool force)
{
    const qint64 now = m_output.clock();
    if (!force && m_lastDraw >= 0 && now - m_lastDraw < DrawInterval)
        return;
    m_lastDraw = now;

    QStringList live;
    const bool cardsRunning = std::any_of(m_cards.cbegin(), m_cards.cend(), [](const CardView &c) { return !c.ended; });
    const bool downloading =
            m_downloadShown && (m_download.waiting() || m_download.bytesDone() < m_download.bytesTotal());
    if (downloading && (m_cards.empty() || cardsRunning))
        live << progressLine(QStringLiteral("Image"), m_download);
    for (const CardView &card : m_cards) {
        if (!card.ended)
            live << cardLine(card);
    }

    // Back to the first running card's line (the lines drawn there may have
    // been folded by a terminal that was made narrower), every line anew,
    // and whatever lay below them cleared.
    const int width = m_output.width();
    QString text;
    int rows = 0;
    for (qsizetype length : std::as_const(m_drawnLengths))
        rows += rowsFor(length, width);
    if (rows > 0)
        text += QStringLiteral("\x1b[%1A").arg(rows);
    for (const QString &line : std::as_const(m_kept))
        text += QStringLiteral("\r\x1b[K") + line + QLatin1Char('\n');
    m_kept.clear();
    m_drawnLengths.clear();
    for (const QString &line : std::as_const(live)) {
        const QString shown = fitted(line, width);
        m_drawnLengths << shown.size();
        text += QStringLiteral("\r\x1b[K") + shown + QLatin1Char('\n');
    }
    text += QStringLiteral("\r\x1b[J");
    m_output.text(text);
}

void ProgressPrinter::summary(int exitStatus)
{
    QJsonArray written;
    QJsonArray failed;
    QStringList failures;
    QByteArray sha256;
    bool cancelled = false;
    for (const CardView &card : m_cards) {
        if (card.error == WriteJob::Error::None) {
            written.append(card.name);
            if (sha256.isEmpty())
                sha256 = card.sha256;
            continue;
        }
        cancelled = cancelled || card.error == WriteJob::Error::Cancelled;
        failed.append(card.name);
        failures << QStringLiteral("  %1: %2\n").arg(card.name, card.message);
    }
    const bool verifying = m_work == Work::Verify;
    if (m_mode == Mode::Json) {
        QJsonObject record{{"event", "summary"}, {verifying ? "matching" : "written", written},
                           {"failed", failed}, {"cancelled", cancelled}, {"exitStatus", exitStatus}};
        if (!verifying && !sha256.isEmpty())
            record.insert(QStringLiteral("sha256"), hex(sha256));
        m_output.json(record);
        return;
    }
    QString text = verifying ? QStringLiteral("%1 of %2 cards match the image.\n")
                             : QStringLiteral("%1 of %2 cards written.\n");
    text = text.arg(written.size()).arg(m_cards.size());
    if (!verifying && !sha256.isEmpty())
        text += QStringLiteral("SHA-256 of the image written: %1\n").arg(hex(sha256));
    if (!failures.isEmpty())
        text += (verifying ? QStringLiteral("Not matching:\n") : QStringLiteral("Not written:\n")) + failures.join(QString());
    m_output.text(text);
}

int ProgressPrinter::exitStatus(int signal) const
{
    bool cancelled = false;
    bool failed = false;
    for (const CardView &card : m_cards) {
        cancelled = cancelled || card.error == WriteJob::Error::Cancelled;
        failed = failed || card.error != WriteJob::Error::None;
    }
    if (cancelled && signal != 0)
        return console::statusFor(signal);
    return failed ? 1 : 0;
}
