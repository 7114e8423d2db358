#pragma once

#include <QEventLoop>
#include <QTimer>

#include <functional>

class ProgressPrinter;

// The event loop of a command at work, until quit(): a signal that would end
// the process (Ctrl-C, SIGTERM, SIGHUP) is caught and cancels the work once,
// and a resized terminal has the printer draw its lines again.
class WorkLoop
{
public:
    WorkLoop(ProgressPrinter &printer, std::function<void()> cancel);

    // The work has ended; also before exec().
    void quit();
    // Returns the signal that interrupted the work, or 0.
    int exec();

private:
    void poll();

    ProgressPrinter &m_printer;
    std::function<void()> m_cancel;
    QEventLoop m_loop;
    QTimer m_poll;
    bool m_ended = false;
    int m_signal = 0;
};
