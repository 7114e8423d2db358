#pragma once

#include "write/writejob.h"

#include <QCoreApplication>
#include <QString>

#include <functional>

// Follows the progress reports of one write and derives what the user reads
// about it: the phase, the share done, a smoothed speed sampled at most once
// a second, and the time left. The texts are translated in the window's
// context "Backend".
class ProgressMeter
{
    Q_DECLARE_TR_FUNCTIONS(Backend)

public:
    // Milliseconds on a clock that never goes back.
    using Clock = std::function<qint64()>;

    ProgressMeter();

    Clock clock() const { return m_clock; }
    void setClock(Clock clock) { m_clock = std::move(clock); }

    // Forgets everything: a new write that starts in phase. Its first report
    // is where the speed is measured from, so that the bytes a resumed
    // download found in the cache do not count as fetched.
    void start(WriteJob::Phase phase);
    void report(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal);

    WriteJob::Phase phase() const { return m_phase; }
    // Downloading, while another download of the same image fills the cache.
    bool waiting() const { return m_waiting; }
    qint64 bytesDone() const { return m_bytesDone; }
    qint64 bytesTotal() const { return m_bytesTotal; }
    // 0 to 1; 0 while the total is unknown.
    double fraction() const;
    // Bytes per second; 0 until the phase has been sampled once.
    double speed() const { return m_speed; }

    // productName is what the card is being set up as.
    QString phaseLabel(const QString &productName) const;
    QString speedText() const;
    // With verify on, the time left while writing includes the read-back.
    QString timeLeftText(bool verify) const;

private:
    void sample(qint64 bytesDone);

    Clock m_clock;
    WriteJob::Phase m_phase = WriteJob::Phase::Writing;
    bool m_waiting = false;
    qint64 m_bytesDone = 0;
    qint64 m_bytesTotal = 0;
    double m_speed = 0;
    qint64 m_sampleTime = 0;
    qint64 m_sampleBytes = 0;
    bool m_started = false; // a report has come since start()
};
