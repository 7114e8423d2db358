#include "core/progressmeter.h"

#include "core/datasize.h"
#include "image/imagedownload.h"

#include <chrono>
#include <cmath>

namespace {

qint64 steadyMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

ProgressMeter::ProgressMeter()
    : m_clock(steadyMilliseconds)
{
}

void ProgressMeter::start(WriteJob::Phase phase)
{
    m_phase = phase;
    m_waiting = false;
    m_bytesDone = 0;
    m_bytesTotal = 0;
    m_speed = 0;
    m_started = false;
    sample(0);
}

void ProgressMeter::report(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal)
{
    // While another download of the image runs nothing moves here.
    const bool waiting = bytesDone == ImageDownload::Waiting;
    if (waiting)
        bytesDone = 0;
    if (phase != m_phase || waiting != m_waiting || !m_started) {
        // Every phase starts without a speed: its rate is its own.
        m_started = true;
        m_phase = phase;
        m_waiting = waiting;
        m_speed = 0;
        sample(bytesDone);
    } else if (const qint64 elapsed = m_clock() - m_sampleTime; elapsed > 999) {
        const double rate = double(bytesDone - m_sampleBytes) * 1000.0 / double(elapsed);
        m_speed = m_speed > 0 ? 0.3 * rate + 0.7 * m_speed : rate;
        sample(bytesDone);
    }
    m_bytesDone = bytesDone;
    m_bytesTotal = bytesTotal;
}

void ProgressMeter::sample(qint64 bytesDone)
{
    m_sampleBytes = bytesDone;
    m_sampleTime = m_clock();
}

double ProgressMeter::fraction() const
{
    return m_bytesTotal > 0 ? double(m_bytesDone) / double(m_bytesTotal) : 0.0;
}

QString ProgressMeter::phaseLabel(const QString &productName) const
{
    switch (m_phase) {
    case WriteJob::Phase::Downloading:
        if (m_waiting)
            return tr("Waiting for another download of the same image");
        return tr("Downloading");
    case WriteJob::Phase::Writing:
        return tr("Writing");
    case WriteJob::Phase::Verifying:
        return tr("Verifying");
    case WriteJob::Phase::Finalizing:
        return tr("Finalizing: setting up %1").arg(productName);
    }
    return {};
}

QString ProgressMeter::speedText() const
{
    if (m_speed <= 0 || m_phase == WriteJob::Phase::Finalizing)
        return {};
    return tr("%1/s").arg(formatDataSize(qint64(m_speed)));
}

QString ProgressMeter::timeLeftText(bool verify) const
{
    if (m_speed <= 0 || m_phase == WriteJob::Phase::Finalizing)
        return {};
    double seconds = double(m_bytesTotal - m_bytesDone) / m_speed;
    // While writing with verification on, the read-back of the whole image follows.
    if (m_phase == WriteJob::Phase::Writing && verify)
        seconds += double(m_bytesTotal) / m_speed;
    if (seconds < 60)
        return tr("less than a minute left");
    return tr("about %1 min left").arg(qint64(std::ceil(seconds / 60)));
}
