// Four cards written at once from one ZIP, as "tessaro-cli write" does with
// four targets, against the standard tools doing the same work:
//
//   bench_cardbatch [FOLDER] [--rounds N]
//
// In FOLDER (default: a new temporary folder) it builds the 1 GiB card image
// (see buildCard) and deflates it with zip. Then, with verification, it
// writes the archive through a CardBatch to one target file and to four,
// each batch in a child process of its own so that its peak memory (VmHWM) is
// its own; and it does the same with the tools: "unzip -p" through "tee" into
// "sha256sum" and four "dd"s, then "sha256sum" of the four targets, all four
// at once. The targets are plain files, so both sides write into and read
// back from the page cache: the figures compare the work of the two, not
// cards. Each run starts on warm free memory (see warmFreeMemory). The
// fastest of N rounds (default 1) counts. It needs about 6 GB of
// free disk.
//
//   bench_cardbatch --batch ARCHIVE COUNT FOLDER   (internal: one batch, one line)

#include "benchsupport.h"
#include "core/cardbatch.h"
#include "core/writeplan.h"
#include "disks/fileblockdevice.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 NeededDisk = qint64(6) * 1000 * 1000 * 1000;
constexpr int Cards = 4;
// Before each timed run: the targets' page cache and some room.
constexpr qint64 WarmBytes = qint64(Cards + 1) << 30;

QString targetPath(const QString &folder, int card)
{
    return folder + QStringLiteral("/target%1.img").arg(card);
}

// ---- one batch, in the child process -----------------------------------------

int runBatch(const QString &archive, int count, const QString &folder)
{
    CardBatch batch(WritePlan::forLocalFile(archive, {}), true);
    for (int card = 0; card < count; ++card)
        batch.addCard(targetPath(folder, card),
                      std::make_unique<FileBlockDevice>(targetPath(folder, card), -1,
                                                        FileBlockDevice::OpenMode::CreateOrTruncate));
    QEventLoop loop;
    QObject::connect(&batch, &CardBatch::finished, &loop, &QEventLoop::quit);
    QElapsedTimer timer;
    timer.start();
    batch.start();
    loop.exec();
    const double elapsed = seconds(timer);
    int failed = 0;
    for (int card = 0; card < count; ++card) {
        if (batch.error(card) != WriteJob::Error::None) {
            std::fprintf(stderr, "card %d: %s\n", card, qPrintable(batch.message(card)));
            ++failed;
        }
    }
    std::printf("seconds=%.3f peak=%lld\n", elapsed, peakMemoryKiB());
    return failed == 0 ? 0 : 1;
}

// ---- the parent ----------------------------------------------------------------

struct BatchResult {
    double seconds = -1;
    qint64 peakKiB = 0;
};

BatchResult batchInChild(const QString &folder, const QString &archive, int count, const QByteArray &sha)
{
    BatchResult result;
    const QString line = folder + QStringLiteral("/batch.out");
    warmFreeMemory(WarmBytes);
    const bool ran = run(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--batch"), archive, QString::number(count), folder}, folder, line);
    const QByteArray output = readFile(line);
    QFile::remove(line);
    bool written = ran;
    for (int card = 0; card < count; ++card) {
        written = written && fileSha256(targetPath(folder, card)) == sha;
        QFile::remove(targetPath(folder, card));
    }
    if (!written) {
        std::fprintf(stderr, "the batch of %d did not write the image\n", count);
        return result;
    }
    for (const QByteArray &field : output.trimmed().split(' ')) {
        if (field.startsWith("seconds="))
            result.seconds = field.mid(8).toDouble();
        else if (field.startsWith("peak="))
            result.peakKiB = field.mid(5).toLongLong();
    }
    return result;
}

// unzip -p | tee into four dd's and sha256sum, then the four targets'
// sha256sum side by side. Every digest must be the image's.
double toolsRun(const QString &folder, const QString &archive, const QByteArray &sha)
{
    QStringList script{QStringLiteral("set -o pipefail")};
    QStringList pipes;
    QStringList checks;
    for (int card = 0; card < Cards; ++card) {
        const QString target = shellQuote(targetPath(folder, card));
        const QString pipe = shellQuote(folder + QStringLiteral("/pipe%1").arg(card));
        script << QStringLiteral("mkfifo %1").arg(pipe)
               << QStringLiteral("dd if=%1 of=%2 bs=4M iflag=fullblock status=none &").arg(pipe, target);
        pipes << pipe;
        checks << QStringLiteral("sha256sum %1 > %1.sha256 &").arg(target);
    }
    const QString digest = folder + QStringLiteral("/tools.sha256");
    // The writing, until every dd has ended; then the read-backs.
    script << QStringLiteral("unzip -p %1 | tee %2 | sha256sum > %3 || exit 1")
                      .arg(shellQuote(archive), pipes.join(QLatin1Char(' ')), shellQuote(digest))
           << QStringLiteral("wait") << checks << QStringLiteral("wait");
    warmFreeMemory(WarmBytes);
    QElapsedTimer timer;
    timer.start();
    const bool ran = run(QStringLiteral("bash"), {QStringLiteral("-c"), script.join(QLatin1Char('\n'))}, folder);
    const double elapsed = seconds(timer);
    bool same = ran && readFile(digest).left(64) == sha.toHex();
    QFile::remove(digest);
    for (int card = 0; card < Cards; ++card) {
        const QString target = targetPath(folder, card);
        same = same && readFile(target + QStringLiteral(".sha256")).left(64) == sha.toHex();
        QFile::remove(target + QStringLiteral(".sha256"));
        QFile::remove(target);
        QFile::remove(folder + QStringLiteral("/pipe%1").arg(card));
    }
    if (!same) {
        std::fprintf(stderr, "the tools' digests differ from the image's\n");
        return -1;
    }
    return elapsed;
}

double fastest(double best, double next)
{
    if (best < 0 || next < 0)
        return -1;
    return best == 0 ? next : qMin(best, next);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--batch"))
        return runBatch(arguments.value(1), arguments.value(2).toInt(), arguments.value(3));
    const int rounds = takeRounds(arguments);
    std::unique_ptr<QTemporaryDir> temporary;
    const QString folder = workFolder(arguments.value(0), QStringLiteral("bench_cardbatch"), NeededDisk, &temporary);
    if (folder.isEmpty())
        return 1;
    const QString card = folder + QStringLiteral("/card.img");
    const QString archive = folder + QStringLiteral("/card.zip");
    if (!QFile::exists(card) && !buildCard(folder, card))
        return 1;
    if (!QFile::exists(archive) && !run(QStringLiteral("zip"), {"-q", "-j", archive, card}, folder))
        return 1;
    const QByteArray sha = fileSha256(card);
    const qint64 size = QFile(card).size();

    std::printf("load average before: %s\n", qPrintable(loadAverage()));
    BatchResult one;
    BatchResult four;
    double tools = 0;
    for (int round = 0; round < rounds; ++round) {
        const BatchResult single = batchInChild(folder, archive, 1, sha);
        const BatchResult all = batchInChild(folder, archive, Cards, sha);
        tools = fastest(tools, toolsRun(folder, archive, sha));
        if (single.seconds < 0 || all.seconds < 0 || tools < 0)
            return 1;
        if (one.seconds < 0 || single.seconds < one.seconds)
            one = single;
        if (four.seconds < 0 || all.seconds < four.seconds)
            four = all;
    }
    std::printf("1 GiB card image deflated in a ZIP, write plus verify, fastest of %d round(s)\n", rounds);
    std::printf("  one card:     %6.2f s (%4.0f MB/s), peak memory %.1f MiB\n", one.seconds,
                megabytesPerSecond(size, one.seconds), double(one.peakKiB) / 1024.0);
    std::printf("  four cards:   %6.2f s (%4.0f MB/s each), peak memory %.1f MiB: %.2f times as long as one\n",
                four.seconds, megabytesPerSecond(size, four.seconds), double(four.peakKiB) / 1024.0,
                four.seconds / one.seconds);
    std::printf("  four by the tools (unzip -p | tee into 4 dd and sha256sum, 4 sha256sum at once): %6.2f s\n", tools);
    std::printf("  four cards: the batch %.2f times as fast as the tools (target 4)\n", tools / four.seconds);
    std::printf("load average after: %s\n", qPrintable(loadAverage()));
    if (temporary) {
        QFile::remove(card);
        QFile::remove(archive);
    }
    return 0;
}
