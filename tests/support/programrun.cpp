#include "programrun.h"

#include <QProcess>

ProgramRun runProgram(const QString &program, const QStringList &arguments, const ProgramOptions &options)
{
    ProgramRun run;
    QProcess process;
    process.setProcessEnvironment(options.environment);
    if (!options.folder.isEmpty())
        process.setWorkingDirectory(options.folder);
    if (options.mergeChannels)
        process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted()) {
        run.problem = QStringLiteral("%1 cannot start: %2").arg(program, process.errorString());
        return run;
    }
    if (!options.input.isEmpty())
        process.write(options.input);
    process.closeWriteChannel();
    const bool finished = process.waitForFinished(options.timeoutMs);
    if (!finished) {
        process.kill();
        process.waitForFinished();
    }
    run.output = process.readAllStandardOutput();
    if (!options.mergeChannels)
        run.errors = process.readAllStandardError();
    if (finished && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    if (!finished)
        run.problem = program + QStringLiteral(" did not finish");
    else if (run.exitCode != 0)
        run.problem = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' ')) + QStringLiteral(" failed: ")
                + QString::fromLocal8Bit(run.output + run.errors);
    return run;
}

QString runTool(const QString &program, const QStringList &arguments, const QString &folder, const QByteArray &input)
{
    ProgramOptions options;
    options.folder = folder;
    options.input = input;
    options.mergeChannels = true;
    return runProgram(program, arguments, options).problem;
}

void stopProgram(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}
