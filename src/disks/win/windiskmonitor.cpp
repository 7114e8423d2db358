#include "disks/win/windiskmonitor.h"

#include "disks/removabledisks.h"
#include "disks/win/winblockdevice.h"
#include "disks/win/windisks.h"

#include <QTimer>

WinDiskMonitor::WinDiskMonitor(std::chrono::milliseconds interval)
{
    // The timer belongs to the polling thread and goes when that ends; the
    // monitor keeps no pointer to it.
    auto *timer = new QTimer;
    timer->setInterval(interval);
    timer->moveToThread(&m_thread);
    const auto poll = [this] {
        const QList<Disk> found = windisks::removableDisks();
        QMetaObject::invokeMethod(this, [this, found] { apply(found); }, Qt::QueuedConnection);
    };
    connect(timer, &QTimer::timeout, timer, poll);
    connect(&m_thread, &QThread::started, timer, [timer, poll] {
        poll();
        timer->start();
    });
    connect(&m_thread, &QThread::finished, timer, &QObject::deleteLater);
    m_thread.start();
}

WinDiskMonitor::~WinDiskMonitor()
{
    m_thread.quit();
    m_thread.wait();
}

QList<Disk> WinDiskMonitor::disks() const
{
    return m_disks;
}

std::unique_ptr<BlockDevice> WinDiskMonitor::createDevice(const Disk &disk) const
{
    // The disk is checked again, on fresh data, when the device is opened.
    if (windowsDiskNumber(disk.id) < 0)
        return {};
    return std::make_unique<WinBlockDevice>(disk);
}

bool WinDiskMonitor::hasListed() const
{
    return m_listed;
}

void WinDiskMonitor::apply(const QList<Disk> &disks)
{
    if (disks == m_disks && m_listed)
        return;
    m_disks = disks;
    m_listed = true;
    emit disksChanged();
}
