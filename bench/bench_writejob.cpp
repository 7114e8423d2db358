// The write job against the standard tools, and its peak memory against the
// image size.
//
//   bench_writejob [FOLDER] [--rounds N]
//
// In FOLDER (default: a new temporary folder) it builds a 1 GiB card image
// (an MBR and a FAT32 partition made by mkfs.fat, filled through mtools with
// log text, shared libraries, random files and free space of zeros) and
// deflates it with zip. Then, each job in a child process of its own so that
// its peak memory (VmHWM) is its own, it writes with verification:
//   - the raw image and the ZIP archive to a target file, timing each phase,
//     and does the same with the standard tools: the image (or `unzip -p` of
//     the archive) through `tee` into `sha256sum` and `dd`, then `sha256sum`
//     of the target; it prints the throughputs and their ratio;
//   - the bare floor: dd of the image bytes into a fresh target file, then
//     reading it back;
//   - zero-heavy raw and ZIP images of 1 GiB and 4 GiB, to show that the peak
//     memory does not grow with the image (at most 8 MiB more for 4 GiB).
// The fastest of N rounds (default 1) of each comparison counts. It needs
// about 8 GB of free disk and a few minutes, and removes what it made but the
// card image and its archive in a FOLDER that is given, which it uses again
// on the next run there. The targets are plain files, so both sides write
// into and read back from the page cache: the figures compare the work of
// the two, not a card.
//
//   bench_writejob --job IMAGE TARGET SHA256HEX   (internal: one job, one line)

#include "benchsupport.h"
#include "disks/fileblockdevice.h"
#include "image/crc32.h"
#include "image/imagesources.h"
#include "image/rawinflate.h"
#include "image/sha256.h"
#include "testfiles.h"
#include "write/writejob.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 GiB = 1024 * MiB;
constexpr qint64 NeededDisk = 8 * GiB;

// Mostly holes: 8 MiB of random bytes and 8 MiB of text at the start, the
// rest zeros, so that a large one costs little disk.
bool buildZeroHeavy(const QString &image, qint64 size)
{
    QFile file(image);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(randomBytes(8 * MiB, 7)) == 8 * MiB
            && file.write(logText(8 * MiB, 1)) == 8 * MiB && file.resize(size);
}

bool zipImage(const QString &folder, const QString &image, const QString &archive)
{
    std::fprintf(stderr, "deflating %s with zip\n", qPrintable(QFileInfo(image).fileName()));
    return run(QStringLiteral("zip"), {"-q", "-j", archive, image}, folder);
}

// ---- one job, in the child process ----------------------------------------

int runJob(const QString &image, const QString &target, const QByteArray &expected)
{
    const qint64 baseline = peakMemoryKiB();
    WriteJob job(createLocalImageSource(image),
                 std::make_unique<FileBlockDevice>(target, -1, FileBlockDevice::OpenMode::CreateOrTruncate));
    job.setExpectedSha256(expected);
    QElapsedTimer clock;
    qint64 writingStarted = -1;
    qint64 verifyingStarted = -1;
    qint64 size = 0;
    QObject::connect(&job, &WriteJob::progress, &job, [&](WriteJob::Phase phase, qint64 done, qint64 total) {
        if (phase == WriteJob::Phase::Writing && done == 0)
            writingStarted = clock.nsecsElapsed();
        if (phase == WriteJob::Phase::Verifying && done == 0)
            verifyingStarted = clock.nsecsElapsed();
        size = total;
    }, Qt::DirectConnection);
    clock.start();
    job.run();
    const qint64 ended = clock.nsecsElapsed();
    std::printf("job error=%d size=%lld write=%.3f verify=%.3f baseline=%lld peak=%lld detail=%s\n", int(job.error()),
                size, double(verifyingStarted - writingStarted) / 1e9, double(ended - verifyingStarted) / 1e9,
                baseline, peakMemoryKiB(), qPrintable(job.errorDetail()));
    return job.error() == WriteJob::Error::None ? 0 : 1;
}

// ---- the parent -------------------------------------------------------------

struct JobResult {
    bool ok = false;
    qint64 size = 0;
    double write = 0;
    double verify = 0;
    qint64 baselineKiB = 0;
    qint64 peakKiB = 0;
};

JobResult jobInChild(const QString &folder, const QString &image, const QString &target, const QByteArray &sha)
{
    JobResult result;
    const QString line = folder + QStringLiteral("/job.out");
    const bool ran = run(QCoreApplication::applicationFilePath(),
                         {QStringLiteral("--job"), image, target, QString::fromLatin1(sha.toHex())}, folder, line);
    QFile::remove(target);
    const QByteArray output = readFile(line);
    QFile::remove(line);
    if (!ran)
        return result;
    for (const QByteArray &field : output.trimmed().split(' ')) {
        const QByteArray key = field.left(field.indexOf('='));
        const QByteArray value = field.mid(field.indexOf('=') + 1);
        if (key == "size")
            result.size = value.toLongLong();
        else if (key == "write")
            result.write = value.toDouble();
        else if (key == "verify")
            result.verify = value.toDouble();
        else if (key == "baseline")
            result.baselineKiB = value.toLongLong();
        else if (key == "peak")
            result.peakKiB = value.toLongLong();
    }
    result.ok = true;
    return result;
}

struct ToolsResult {
    bool ok = false;
    double write = 0;
    double verify = 0;
};

// The same work with the standard tools: read (or unzip) the image through
// tee into sha256sum and dd, then sha256sum the target. Both digests must be
// the image's.
ToolsResult toolsRun(const QString &folder, const QString &image, const QString &target, const QByteArray &sha)
{
    ToolsResult result;
    const QString reader = image.endsWith(QLatin1String(".zip"))
            ? QStringLiteral("unzip -p %1").arg(shellQuote(image))
            : QStringLiteral("cat %1").arg(shellQuote(image));
    const QString digestFile = folder + QStringLiteral("/tools.sha256");
    const QString verifiedFile = folder + QStringLiteral("/verified.sha256");
    // wait $! waits for the process substitution, so the digest is complete.
    const QString write = QStringLiteral("set -o pipefail; %1 | tee >(sha256sum > %2) | "
                                         "dd of=%3 bs=4M iflag=fullblock status=none && wait $!")
                                  .arg(reader, shellQuote(digestFile), shellQuote(target));
    QElapsedTimer timer;
    timer.start();
    if (!run(QStringLiteral("bash"), {QStringLiteral("-c"), write}, folder))
        return result;
    result.write = seconds(timer);
    timer.restart();
    if (!run(QStringLiteral("sha256sum"), {target}, folder, verifiedFile))
        return result;
    result.verify = seconds(timer);
    const QByteArray written = readFile(digestFile).left(64);
    const QByteArray verified = readFile(verifiedFile).left(64);
    QFile::remove(digestFile);
    QFile::remove(verifiedFile);
    QFile::remove(target);
    if (written != sha.toHex() || verified != sha.toHex()) {
        std::fprintf(stderr, "the tools' digests differ from the image's\n");
        return result;
    }
    result.ok = true;
    return result;
}

// The bare floor of the same work: dd of the image bytes into a fresh target
// file, then reading it back, with no hashing and no decompression.
double floorRun(const QString &folder, const QString &image)
{
    const QString target = folder + QStringLiteral("/target.img");
    QFile::remove(target);
    QElapsedTimer timer;
    timer.start();
    const bool ok = run(QStringLiteral("dd"), {"if=" + image, "of=" + target, "bs=4M", "status=none"}, folder)
            && run(QStringLiteral("dd"), {"if=" + target, "of=/dev/null", "bs=4M", "status=none"}, folder);
    const double elapsed = seconds(timer);
    QFile::remove(target);
    return ok ? elapsed : -1;
}

struct Comparison {
    double job = 0;    // seconds, write plus verify
    double tools = 0;
};

bool compare(const QString &folder, const QString &label, const QString &image, const QByteArray &sha, int rounds,
             Comparison *comparison)
{
    const QString target = folder + QStringLiteral("/target.img");
    JobResult job;
    ToolsResult tools;
    for (int round = 0; round < rounds; ++round) {
        const JobResult jobRound = jobInChild(folder, image, target, sha);
        const ToolsResult toolsRound = toolsRun(folder, image, target, sha);
        if (!jobRound.ok || !toolsRound.ok)
            return false;
        if (!job.ok || jobRound.write + jobRound.verify < job.write + job.verify)
            job = jobRound;
        if (!tools.ok || toolsRound.write + toolsRound.verify < tools.write + tools.verify)
            tools = toolsRound;
    }
    const double jobTotal = job.write + job.verify;
    const double toolsTotal = tools.write + tools.verify;
    std::printf("\n%s (%lld bytes of image, verification on)\n", qPrintable(label), job.size);
    std::printf("  %-34s %9s %9s %9s\n", "", "write", "verify", "total");
    std::printf("  %-34s %6.0f MB/s %5.0f MB/s %5.2f s\n", "WriteJob", megabytesPerSecond(job.size, job.write),
                megabytesPerSecond(job.size, job.verify), jobTotal);
    std::printf("  %-34s %6.0f MB/s %5.0f MB/s %5.2f s\n", "tools (tee, sha256sum, dd)",
                megabytesPerSecond(job.size, tools.write), megabytesPerSecond(job.size, tools.verify), toolsTotal);
    std::printf("  %-34s %9.2f %9.2f %9.2f\n", "speed ratio job/tools", tools.write / job.write,
                tools.verify / job.verify, toolsTotal / jobTotal);
    std::printf("  job peak memory: %.1f MiB (%.1f MiB before the job)\n", double(job.peakKiB) / 1024.0,
                double(job.baselineKiB) / 1024.0);
    comparison->job = jobTotal;
    comparison->tools = toolsTotal;
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    if (arguments.value(0) == QLatin1String("--job"))
        return runJob(arguments.value(1), arguments.value(2), QByteArray::fromHex(arguments.value(3).toLatin1()));
    const int rounds = takeRounds(arguments);
    std::unique_ptr<QTemporaryDir> temporary;
    const QString folder = workFolder(arguments.value(0), QStringLiteral("bench_writejob"), NeededDisk, &temporary);
    if (folder.isEmpty())
        return 1;
    const QString card = folder + QStringLiteral("/card.img");
    const QString cardZip = folder + QStringLiteral("/card.zip");
    std::printf("SHA-256 through %s, inflate through %s, CRC-32 through %s\n", Sha256::implementation(),
                RawInflate::implementation(), Crc32::implementation());
    std::printf("load average before: %s\n", qPrintable(loadAverage()));
    bool ok = (QFile::exists(card) || buildCard(folder, card)) && (QFile::exists(cardZip) || zipImage(folder, card, cardZip));
    const QByteArray cardSha = ok ? fileSha256(card) : QByteArray();
    Comparison raw;
    Comparison zipped;
    double floor = -1;
    if (ok) {
        std::printf("card image %lld bytes, archive %lld bytes (deflated)\n", QFileInfo(card).size(),
                    QFileInfo(cardZip).size());
        ok = compare(folder, QStringLiteral("raw 1 GiB card image"), card, cardSha, rounds, &raw)
                && compare(folder, QStringLiteral("deflated ZIP of the 1 GiB card image"), cardZip, cardSha, rounds,
                           &zipped);
        floor = ok ? floorRun(folder, card) : -1;
        ok = floor > 0;
    }
    const bool compared = ok;
    if (temporary) {
        QFile::remove(card);
        QFile::remove(cardZip);
    }

    // Peak memory against the image size, on zero-heavy images.
    if (ok) {
        std::printf("\npeak memory of one job (VmHWM of a fresh process), zero-heavy images\n");
        std::printf("  %-6s %12s %12s %10s\n", "size", "raw", "zip", "zip MB/s");
        QMap<QString, qint64> peaks;
        for (const qint64 size : {GiB, 4 * GiB}) {
            const QString image = folder + QStringLiteral("/zeros.img");
            const QString archive = folder + QStringLiteral("/zeros.zip");
            ok = buildZeroHeavy(image, size) && zipImage(folder, image, archive);
            const QByteArray sha = ok ? fileSha256(image) : QByteArray();
            const JobResult raw = ok ? jobInChild(folder, image, folder + QStringLiteral("/target.img"), sha) : JobResult();
            const JobResult zipped = ok ? jobInChild(folder, archive, folder + QStringLiteral("/target.img"), sha) : JobResult();
            QFile::remove(image);
            QFile::remove(archive);
            ok = raw.ok && zipped.ok;
            if (!ok)
                break;
            std::printf("  %lld GiB %8.1f MiB %8.1f MiB %10.0f\n", size / GiB, double(raw.peakKiB) / 1024.0,
                        double(zipped.peakKiB) / 1024.0, megabytesPerSecond(size, zipped.write));
            peaks.insert(QStringLiteral("raw%1").arg(size / GiB), raw.peakKiB);
            peaks.insert(QStringLiteral("zip%1").arg(size / GiB), zipped.peakKiB);
        }
        if (ok) {
            const double rawGrowth = double(peaks[QStringLiteral("raw4")] - peaks[QStringLiteral("raw1")]) / 1024.0;
            const double zipGrowth = double(peaks[QStringLiteral("zip4")] - peaks[QStringLiteral("zip1")]) / 1024.0;
            const bool flat = rawGrowth <= 8 && zipGrowth <= 8;
            std::printf("  growth from 1 GiB to 4 GiB: raw %+.1f MiB, zip %+.1f MiB (limit +8 MiB): %s\n", rawGrowth,
                        zipGrowth, flat ? "ok" : "TOO MUCH");
            ok = flat;
        }
    }

    if (compared) {
        std::printf("\n1 GiB card image to a target file, write plus verify\n");
        std::printf("  raw image:    job %5.2f s, tools %5.2f s: job %.2f times as fast (target 3)\n", raw.job,
                    raw.tools, raw.tools / raw.job);
        std::printf("  deflated ZIP: job %5.2f s, tools %5.2f s: job %.2f times as fast (target 3)\n", zipped.job,
                    zipped.tools, zipped.tools / zipped.job);
        std::printf("  bare floor:   %5.2f s (dd of the image bytes into a fresh target file, then read back)\n",
                    floor);
        std::printf("  fastest of %d round(s) each\n", rounds);
    }
    std::printf("load average after: %s\n", qPrintable(loadAverage()));
    return ok ? 0 : 1;
}
