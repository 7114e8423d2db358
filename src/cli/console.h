#pragma once

#include <QString>

class QJsonObject;

// The process's standard streams, its terminal and its interruption, the only
// things of the console the commands need.
namespace console {

void out(const QString &text); // standard output, as UTF-8
void err(const QString &text); // standard error, as UTF-8
// One object on one line of standard output, as --json prints its records,
// with the time it was printed ("time", UTC, ISO 8601 with milliseconds).
void outJson(const QJsonObject &object);
bool inputIsTerminal();
bool errorIsTerminal();
// Columns of the terminal on standard error; 0 when it is not one.
int errorWidth();
// Whether the terminal was resized since the last call.
bool resized();
// One line typed on standard input, without its end.
QString readLine();

// From now on SIGINT (Ctrl-C), SIGTERM and SIGHUP only raise a flag, polled
// with interruption(); a second one ends the process at once.
void catchInterrupts();
// The number of the signal that interrupted the process, or 0.
int interruption();
// The exit status of a process that ends because of signal, as a shell
// reports one killed by it (130 for Ctrl-C).
constexpr int statusFor(int signal)
{
    return 128 + signal;
}

} // namespace console
