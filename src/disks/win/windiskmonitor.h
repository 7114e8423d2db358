#pragma once

#include "disks/diskmonitor.h"

#include <QThread>

#include <chrono>

// The disk monitor of Windows. It asks Windows for the whole candidate list
// on a thread of its own, at start and then at every interval, and adopts
// each result on its own thread; a result that differs from the list it
// holds replaces it and is announced once.
class WinDiskMonitor : public DiskMonitor
{
    Q_OBJECT

public:
    explicit WinDiskMonitor(std::chrono::milliseconds interval = std::chrono::milliseconds(1500));
    // Waits for a poll in progress; results not yet adopted are dropped.
    ~WinDiskMonitor() override;

    QList<Disk> disks() const override;
    std::unique_ptr<BlockDevice> createDevice(const Disk &disk) const override;
    bool hasListed() const override;

    // Adopts one poll result; the first is announced even when it is empty.
    void apply(const QList<Disk> &disks);

private:
    QThread m_thread;
    QList<Disk> m_disks;
    bool m_listed = false;
};
