#include "benchsupport.h"

#include "image/imagesource.h"
#include "testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 GiB = 1024 * MiB;
constexpr qint64 PartitionOffset = MiB;

// A file of `size` bytes with an MBR whose one partition starts at 1 MiB.
bool makeDisk(const QString &path, qint64 size, quint8 type)
{
    QByteArray mbr(512, '\0');
    mbr[446 + 4] = char(type);
    qToLittleEndian<quint32>(quint32(PartitionOffset / 512), mbr.data() + 446 + 8);
    qToLittleEndian<quint32>(quint32((size - PartitionOffset) / 512), mbr.data() + 446 + 12);
    mbr[510] = char(0x55);
    mbr[511] = char(0xAA);
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(mbr) == mbr.size()
            && file.resize(size);
}

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

double megabytesPerSecond(qint64 bytes, double seconds)
{
    return seconds > 0 ? double(bytes) / 1e6 / seconds : 0;
}

QString shellQuote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
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

void warmFreeMemory(qint64 bytes)
{
    void *memory = mmap(nullptr, size_t(bytes), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                        -1, 0);
    if (memory == MAP_FAILED) {
        std::fprintf(stderr, "cannot warm %lld bytes of memory: the run may pay for fresh pages\n",
                     static_cast<long long>(bytes));
        return;
    }
    munmap(memory, size_t(bytes));
}

bool buildCard(const QString &folder, const QString &image)
{
    std::fprintf(stderr, "building a 1 GiB card image\n");
    if (!makeDisk(image, GiB, 0x0C))
        return false;
    if (!run(QStringLiteral("mkfs.fat"),
             {"-F", "32", "-n", "TESSARO", "-h", QString::number(PartitionOffset / 512), "--offset",
              QString::number(PartitionOffset / 512), image,
              QString::number((GiB - PartitionOffset) / 1024)},
             folder))
        return false;

    const QString staging = folder + QStringLiteral("/files");
    QDir().mkpath(staging);
    const QByteArray binaries = binaryBytes(250 * MiB);
    QStringList copy{QStringLiteral("-i"), QStringLiteral("%1@@%2").arg(image).arg(PartitionOffset)};
    for (int i = 0; i < 25; ++i) {
        const QString text = staging + QStringLiteral("/LOG%1.TXT").arg(i);
        const QString binary = staging + QStringLiteral("/LIB%1.SO").arg(i);
        if (!writeFile(text, logText(10 * MiB, i)) || !writeFile(binary, binaries.mid(i * 10 * MiB, 10 * MiB)))
            return false;
        copy << text << binary;
    }
    for (int i = 0; i < 20; ++i) {
        const QString blob = staging + QStringLiteral("/DATA%1.BIN").arg(i);
        if (!writeFile(blob, randomBytes(6 * MiB, quint32(i))))
            return false;
        copy << blob;
    }
    copy << QStringLiteral("::");
    qputenv("MTOOLS_SKIP_CHECK", "1");
    const bool copied = run(QStringLiteral("mcopy"), copy, folder);
    QDir(staging).removeRecursively();
    return copied;
}

QString takeOption(QStringList &arguments, const QString &name)
{
    const qsizetype at = arguments.indexOf(name);
    if (at < 0)
        return {};
    const QString value = arguments.value(at + 1, QStringLiteral(""));
    arguments.remove(at, qMin<qsizetype>(2, arguments.size() - at));
    return value;
}

int takeRounds(QStringList &arguments)
{
    const QString rounds = takeOption(arguments, QStringLiteral("--rounds"));
    return rounds.isNull() ? 1 : qMax(1, rounds.toInt());
}

QString workFolder(const QString &folder, const QString &benchmark, qint64 neededBytes,
                   std::unique_ptr<QTemporaryDir> *temporary)
{
    QString path = folder;
    if (path.isEmpty()) {
        *temporary = std::make_unique<QTemporaryDir>(QDir::tempPath() + QLatin1Char('/') + benchmark
                                                     + QStringLiteral("-XXXXXX"));
        path = (*temporary)->path();
    } else {
        QDir().mkpath(path);
    }
    const qint64 available = QStorageInfo(path).bytesAvailable();
    std::printf("working in %s: %.1f GB free\n", qPrintable(path), double(available) / 1e9);
    if (available < neededBytes) {
        std::fprintf(stderr, "needs %.1f GB of free disk in %s\n", double(neededBytes) / 1e9, qPrintable(path));
        return QString();
    }
    return path;
}
