#pragma once

// Running a real program to its end, as the tests do with archivers, mtools,
// losetup and Tessaro's own executables.

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ProgramOptions
{
    QString folder;                 // the working folder; empty: this process's
    QByteArray input;               // fed on standard input, which is then closed
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    bool mergeChannels = false;     // standard error into `output`
    int timeoutMs = 600000;         // after it the program is killed
};

struct ProgramRun
{
    int exitCode = -1;              // -1 when it did not start, crashed or was killed
    QByteArray output;
    QByteArray errors;
    QString problem;                // empty when it ran and exited with 0

    bool succeeded() const { return problem.isEmpty(); }
};

ProgramRun runProgram(const QString &program, const QStringList &arguments, const ProgramOptions &options = {});

// The common case: a tool run in `folder` whose output only matters when it
// fails. Returns an empty string on success, else what went wrong with its output.
QString runTool(const QString &program, const QStringList &arguments, const QString &folder,
                const QByteArray &input = {});

// Ends a program a test started and left running: asked to terminate, then
// killed when it has not ended within five seconds.
void stopProgram(QProcess &process);
