#pragma once

#include "core/progressmeter.h"
#include "write/writejob.h"

#include <QObject>
#include <QString>

#include <memory>

class QThread;

// One write at a time on a worker thread, and what its progress reports say:
// the phase, the share done, the speed and the time left. Lives on the GUI
// thread, where the job's reports and its end are delivered.
class WriteRun : public QObject
{
    Q_OBJECT

public:
    explicit WriteRun(QObject *parent = nullptr);
    // Cancels a write still running and waits for it.
    ~WriteRun() override;

    const ProgressMeter &meter() const { return m_meter; }
    // Whether the job reported a phase after the download: until then it had
    // not opened the card.
    bool cardTouched() const { return m_cardTouched; }
    // The clock the speed is measured on; a steady clock by default.
    void setClock(ProgressMeter::Clock clock) { m_meter.setClock(std::move(clock)); }

    // The running write's thread and job; null when no write runs.
    QThread *thread() const { return m_thread; }
    WriteJob *job() const { return m_job; }
    // What the last job that ended wrote: the SHA-256 of the image.
    QByteArray writtenSha256() const { return m_writtenSha256; }

    // Starts job on a new thread, the meter following it from firstPhase.
    void start(std::unique_ptr<WriteJob> job, WriteJob::Phase firstPhase);
    void cancel();
    // A report of the running job, as its progress signal delivers it.
    void report(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal);

signals:
    void progressChanged();
    // The job has ended; thread() and job() are already null.
    void finished(WriteJob::Error error, const QString &detail);

private:
    void onThreadFinished();

    ProgressMeter m_meter;
    bool m_cardTouched = false;
    WriteJob *m_job = nullptr;
    QThread *m_thread = nullptr;
    QByteArray m_writtenSha256;
};
