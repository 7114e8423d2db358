#pragma once

#include <QString>

class QJsonObject;

// The process's standard streams and its interruption by the user, the only
// things of the terminal the commands need.
namespace console {

void out(const QString &text); // standard output, as UTF-8
void err(const QString &text); // standard error, as UTF-8
// One object on one line of standard output, as --json prints its records.
void outJson(const QJsonObject &object);
bool inputIsTerminal();
bool errorIsTerminal();
// One line typed on standard input, without its end.
QString readLine();

// From now on SIGINT and SIGTERM (Ctrl-C) only raise a flag, polled with
// interrupted(); a second one ends the process at once.
void catchInterrupts();
bool interrupted();

} // namespace console
