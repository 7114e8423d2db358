#pragma once

#include "core/progressmeter.h"
#include "write/writejob.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <vector>

class CardBatch;

// Tells the user how the cards of a batch are doing. On a terminal: one line
// per card, rewritten in place. Otherwise: one line per phase change and per
// end. With JSON: one object per line on standard output instead.
class ProgressPrinter : public QObject
{
    Q_OBJECT

public:
    enum class Mode { Terminal, Lines, Json };

    // productName is what the cards are set up as (for the last phase's label).
    ProgressPrinter(CardBatch &batch, Mode mode, bool verify, const QString &productName,
                    QObject *parent = nullptr);

    void cancelling();
    // After the batch has finished.
    void summary(int exitStatus);

private:
    struct CardView
    {
        ProgressMeter meter;
        bool reported = false; // the meter has had a report
        bool phaseShown = false;
        WriteJob::Phase shownPhase = WriteJob::Phase::Downloading;
        QString end;           // the final line, once ended
        QElapsedTimer lastJson;
    };

    void onDownload(qint64 done, qint64 total);
    void onCard(int card, WriteJob::Phase phase, qint64 done, qint64 total);
    void onCardFinished(int card);
    void redraw(bool force);
    QString cardLine(int card) const;

    CardBatch &m_batch;
    Mode m_mode;
    bool m_verify;
    QString m_productName;
    std::vector<CardView> m_cards;
    bool m_downloadShown = false;
    QElapsedTimer m_lastDownloadJson;
    QElapsedTimer m_lastDraw;
    int m_drawnLines = 0;
};
