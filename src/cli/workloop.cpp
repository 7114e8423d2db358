#include "cli/workloop.h"

#include "cli/console.h"
#include "cli/progressprinter.h"

namespace {

// How often a pending signal and a resize are looked for.
constexpr int PollInterval = 100; // ms

} // namespace

WorkLoop::WorkLoop(ProgressPrinter &printer, std::function<void()> cancel)
    : m_printer(printer)
    , m_cancel(std::move(cancel))
{
    console::catchInterrupts();
    QObject::connect(&m_poll, &QTimer::timeout, &m_loop, [this] { poll(); });
    m_poll.start(PollInterval);
}

void WorkLoop::quit()
{
    m_ended = true;
    m_loop.quit();
}

int WorkLoop::exec()
{
    if (!m_ended)
        m_loop.exec();
    m_poll.stop();
    // One that came as the work ended still counts.
    poll();
    return m_signal;
}

void WorkLoop::poll()
{
    if (console::resized())
        m_printer.resized();
    if (m_signal != 0 || console::interruption() == 0)
        return;
    m_signal = console::interruption();
    if (!m_ended) {
        m_printer.cancelling();
        m_cancel();
    }
}
