#include "benchsupport.h"

#include "image/imagesource.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <sys/resource.h>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;

} // namespace

bool run(const QString &program, const QStringList &arguments, const QString &folder, const QString &outputFile)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(outputFile);
    process.start(program, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(-1) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        std::fprintf(stderr, "%s %s failed\n", qPrintable(program), qPrintable(arguments.join(QLatin1Char(' '))));
        return false;
    }
    return true;
}

qint64 readToEnd(ImageSource &source)
{
    if (!source.open()) {
        std::fprintf(stderr, "open: %s\n", qPrintable(source.errorString()));
        return -1;
    }
    constexpr qint64 Chunk = 4 * MiB;
    std::unique_ptr<char[]> buffer(new char[Chunk]);
    qint64 total = 0;
    for (;;) {
        const qint64 count = source.read(buffer.get(), Chunk);
        if (count < 0) {
            std::fprintf(stderr, "read: %s\n", qPrintable(source.errorString()));
            return -1;
        }
        if (count == 0)
            return total;
        total += count;
    }
}

QByteArray logText(qint64 size, int seed)
{
    QByteArray text;
    text.reserve(size + 200);
    for (int line = 0; text.size() < size; ++line)
        text += "Mar 03 08:" + QByteArray::number(line % 60) + " tessaro-" + QByteArray::number(seed)
                + " systemd[1]: Started session " + QByteArray::number(line) + " of user kiosk ("
                + QByteArray::number(line * 7919 % 100000) + " ms).\n";
    text.truncate(size);
    return text;
}

QByteArray binaryBytes(qint64 size)
{
    QByteArray bytes;
    bytes.reserve(size);
    for (const QString &folder : {QStringLiteral("/usr/lib/x86_64-linux-gnu"), QStringLiteral("/usr/bin")}) {
        const QDir dir(folder);
        for (const QString &name : dir.entryList(QDir::Files, QDir::Size)) {
            QFile file(dir.filePath(name));
            if (file.open(QIODevice::ReadOnly))
                bytes += file.read(qMin<qint64>(size - bytes.size(), 16 * MiB));
            if (bytes.size() >= size)
                return bytes;
        }
    }
    while (bytes.size() < size && !bytes.isEmpty())
        bytes += bytes.left(size - bytes.size());
    return bytes;
}

double seconds(const QElapsedTimer &timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

qint64 peakMemoryKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(file.readAll().trimmed());
}
