#pragma once

#include "backend/backend.h"

#include <limits>

// Reaches into a Backend where a test needs a state that only a long real
// operation would produce, or a disk list that only real hardware would.
class BackendTestAccess
{
public:
    // Replaces the disk monitor, connected as the constructor connects its own.
    static void setMonitor(Backend &backend, std::unique_ptr<DiskMonitor> monitor)
    {
        backend.m_monitor = std::move(monitor);
        QObject::connect(backend.m_monitor.get(), &DiskMonitor::disksChanged, &backend, &Backend::updateDisks);
        backend.updateDisks();
    }
    static void setState(Backend &backend, Backend::State state) { backend.setState(state); }
    static void setImageSize(Backend &backend, qint64 size)
    {
        backend.m_imageSize = size;
        backend.updateDisks();
    }
    static qint64 imageSize(const Backend &backend) { return backend.m_imageSize; }
    // A progress report as a running write would leave it.
    static void setProgress(Backend &backend, qint64 bytesDone, qint64 bytesTotal)
    {
        // Reported on a clock on which no time has passed since the last speed
        // sample, so the speed stays as it was.
        ProgressMeter &meter = backend.m_meter;
        const ProgressMeter::Clock clock = meter.clock();
        meter.setClock([] { return std::numeric_limits<qint64>::min() / 2; });
        meter.report(meter.phase(), bytesDone, bytesTotal);
        meter.setClock(clock);
        emit backend.progressChanged();
    }
    // The phase of the last progress report.
    static WriteJob::Phase phase(const Backend &backend) { return backend.m_meter.phase(); }
    // Delivers a progress report as the running job's signal would.
    static void report(Backend &backend, WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal)
    {
        backend.onProgress(phase, bytesDone, bytesTotal);
    }
    // Lets the speed estimate believe that ms more milliseconds have passed
    // since its last sample, so tests of the once-a-second rule need not sleep.
    static void advanceSpeedClock(Backend &backend, qint64 ms)
    {
        backend.m_meter.setClock([clock = backend.m_meter.clock(), ms] { return clock() + ms; });
    }
    // The running write's thread and job; null when no write runs.
    static QThread *thread(const Backend &backend) { return backend.m_thread; }
    static WriteJob *job(const Backend &backend) { return backend.m_job; }
    // Swaps the catalog under the current selection without re-checking it,
    // a state the Backend never lets a reload leave behind.
    static void setCatalog(Backend &backend, const Catalog &catalog) { backend.m_catalog = catalog; }
};
