#include "backend/writerun.h"

#include <QThread>

WriteRun::WriteRun(QObject *parent)
    : QObject(parent)
{
}

WriteRun::~WriteRun()
{
    // The one place that blocks the GUI thread on the worker: a write still
    // running at exit is cancelled and waited for before anything it uses goes.
    if (m_thread) {
        m_job->cancel();
        m_thread->wait();
        delete m_thread;
        delete m_job;
    }
}

void WriteRun::start(std::unique_ptr<WriteJob> job, WriteJob::Phase firstPhase)
{
    m_job = job.release();
    connect(m_job, &WriteJob::progress, this, &WriteRun::report);
    m_thread = QThread::create([job = m_job] { job->run(); });
    connect(m_thread, &QThread::finished, this, &WriteRun::onThreadFinished);

    m_meter.start(firstPhase);
    m_cardTouched = false;
    emit progressChanged();
    m_thread->start();
}

void WriteRun::cancel()
{
    if (m_job)
        m_job->cancel();
}

void WriteRun::report(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal)
{
    m_meter.report(phase, bytesDone, bytesTotal);
    m_cardTouched = m_cardTouched || phase != WriteJob::Phase::Downloading;
    emit progressChanged();
}

void WriteRun::onThreadFinished()
{
    const WriteJob::Error error = m_job->error();
    const QString detail = m_job->errorDetail();
    m_writtenSha256 = m_job->writtenSha256();
    m_thread->deleteLater();
    m_job->deleteLater();
    m_thread = nullptr;
    m_job = nullptr;
    emit finished(error, detail);
}
