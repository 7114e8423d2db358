#pragma once

#include "core/writeplan.h"
#include "disks/disk.h"

#include <QObject>
#include <QRegularExpression>
#include <QSet>
#include <QStringList>

#include <memory>
#include <vector>

class CardBatch;
class DiskMonitor;
class ProgressPrinter;

// Writes every disk that arrives, for a production line: each disk that
// appears in the monitor's list after start() and whose model matches one of
// the patterns is written, verified and set up as a card of its own, several
// at once when several readers are in use. The disks in the list when the
// watcher is made are never touched, nor is one while it stays in the list
// after its card ended; a disk too small for the image is passed over. Lives
// on the thread that drives it.
class CardWatcher : public QObject
{
    Q_OBJECT

public:
    // The monitor must have listed its disks; those are left alone.
    CardWatcher(DiskMonitor &monitor, const WritePlan &plan, bool verify, const QStringList &modelPatterns,
                ProgressPrinter &printer, QObject *parent = nullptr);
    ~CardWatcher() override;

    // From now on the disks that arrive are written; imageSize (0 when not
    // known) passes over the disks too small for it.
    void start(qint64 imageSize);
    // Takes no more disks and cancels the running cards; finished() follows
    // once none runs.
    void stop();
    int runningCards() const { return int(m_cards.size()); }

signals:
    void finished();

private:
    struct Card
    {
        QString diskId;
        int index = 0; // the printer's
        std::unique_ptr<CardBatch> batch;
        bool gone = false; // its disk left the list while it ran
    };

    void update();
    bool matches(const Disk &disk) const;
    void startCard(const Disk &disk);
    void endCard(CardBatch *batch);

    DiskMonitor &m_monitor;
    WritePlan m_plan;
    bool m_verify;
    QList<QRegularExpression> m_patterns;
    ProgressPrinter &m_printer;
    qint64 m_imageSize = 0;
    bool m_started = false;
    bool m_stopping = false;
    // Disks in the list that are not to be written (again).
    QSet<QString> m_passed;
    std::vector<Card> m_cards;
};
