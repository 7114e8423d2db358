#include "loopdevice.h"

#include "programrun.h"

#include <unistd.h>

std::unique_ptr<LoopDevice> LoopDevice::attach(const QString &file, const QStringList &options)
{
    if (::geteuid() != 0)
        return nullptr;
    ProgramOptions losetup;
    losetup.timeoutMs = 30000;
    const ProgramRun run = runProgram(QStringLiteral("losetup"),
                                      options + QStringList{QStringLiteral("--find"), QStringLiteral("--show"), file},
                                      losetup);
    if (!run.succeeded()) {
        qWarning("no loop device: %s", qPrintable(run.problem));
        return nullptr;
    }
    return std::unique_ptr<LoopDevice>(new LoopDevice(QString::fromLocal8Bit(run.output).trimmed()));
}

LoopDevice::LoopDevice(const QString &device)
    : m_device(device)
{
}

LoopDevice::~LoopDevice()
{
    runProgram(QStringLiteral("losetup"), {QStringLiteral("--detach"), m_device});
}
