#pragma once

#include "core/progressmeter.h"
#include "write/writejob.h"

#include <QByteArray>
#include <QList>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <vector>

// Tells the user how the cards of a write, or of a check, are doing. On a
// terminal: one line per running card, rewritten in place and cut to the
// terminal's width, and a line of its own for each card that ends.
// Otherwise: a line per phase change, a progress line at most every tenth of
// the work or every 30 s, and a line per end. With JSON: one object per line
// on standard output instead.
class ProgressPrinter
{
public:
    enum class Mode { Terminal, Lines, Json };
    // What the cards go through: a write, or a check against the image.
    enum class Work { Write, Verify };

    // Where the text goes, and what is asked of the terminal and the clock.
    struct Output
    {
        std::function<void(const QString &)> text;     // standard error
        std::function<void(const QJsonObject &)> json; // standard output, one record
        std::function<int()> width;                     // terminal columns; 0 when unknown
        ProgressMeter::Clock clock;                     // milliseconds, never going back
    };
    // The process's console and a steady clock.
    static Output console();

    // productName is what the cards are set up as (for the last phase's label).
    ProgressPrinter(Mode mode, Work work, bool verify, const QString &productName, Output output = console());

    // A card that starts now; its index for the calls below.
    int addCard(const QString &name);
    // The download that every card waits for.
    void download(qint64 done, qint64 total);
    void progress(int card, WriteJob::Phase phase, qint64 done, qint64 total);
    // sha256 (raw) is what was written, or what the card holds for a check.
    void finished(int card, WriteJob::Error error, const QString &message, const QByteArray &sha256);
    // A line of its own between the cards' (a disk skipped), and its record.
    void note(const QString &text, const QJsonObject &event);
    void cancelling();
    // After the terminal was resized: every running card's line again.
    void resized();
    // After every card has ended.
    void summary(int exitStatus);

    // The exit status for the cards as they ended, signal being the one
    // that interrupted the command (0: none): a card it cancelled gives the
    // signal's status, else a card that failed 1, else 0.
    int exitStatus(int signal) const;

private:
    // When a line without a terminal last told about a card (or the download).
    struct Told
    {
        int tenths = 0;
        qint64 time = 0;
    };

    struct CardView
    {
        QString name;
        ProgressMeter meter;
        bool reported = false; // the meter has had a report
        bool phaseShown = false;
        Told told;
        qint64 lastJson = -1;
        bool ended = false;
        WriteJob::Error error = WriteJob::Error::None;
        QString message;
        QByteArray sha256;
    };

    QString cardLine(const CardView &card) const;
    QString progressLine(const QString &name, const ProgressMeter &meter) const;
    QString endLine(const CardView &card) const;
    bool dueLine(Told &told, const ProgressMeter &meter);
    bool dueJson(qint64 &last);
    // Lines that stay, above the running cards' lines.
    void keep(const QString &line);
    void redraw(bool force);
    QString fitted(const QString &line, int width) const;

    Mode m_mode;
    Work m_work;
    bool m_verify;
    QString m_productName;
    Output m_output;
    std::vector<CardView> m_cards;
    ProgressMeter m_download;
    bool m_downloadShown = false;   // it has reported
    bool m_downloadStarted = false; // it has moved bytes, not only waited
    Told m_downloadTold;
    qint64 m_lastDownloadJson = -1;
    QStringList m_kept; // not yet drawn
    qint64 m_lastDraw = -1;
    QList<qsizetype> m_drawnLengths; // of the running cards' lines on the terminal
};
