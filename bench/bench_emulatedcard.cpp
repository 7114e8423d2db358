// The write job on an emulated card of a set speed against the card's own
// time, for the 1 GiB card image raw, deflated in a ZIP and as an .img.xz:
//
//   bench_emulatedcard [FOLDER] [--rounds N] [--rate MB/s]
//
// In FOLDER (default: a new temporary folder) it builds the card image (see
// buildCard), zips it and compresses it with "xz -1 -T2" (many blocks). The
// card is a RateDevice: 1 GiB of memory that takes every transfer as long as
// a card of 90 MB/s, or a stick of 400 MB/s, would, reads and writes alike.
// For each speed it measures
//   - the card alone: the image's length written in 4 MiB transfers and read
//     back, with nothing else to do: the floor of any job;
//   - the processor alone, for each form: the source read to its end and
//     hashed, then the read-back hashed again, with no card;
//   - the job, write plus verify, for each form;
// and prints each job's time over the card's own. When the card never waits
// for the processor the job takes the card's time (within 5 %); when the two
// take turns it takes their sum. Where the processor alone cannot keep up
// with the card, not even the best pipeline takes the card's time: the last
// column is the job over that bound (see pipelineBound). "--rate" measures
// one speed of card only.
// The fastest of N rounds (default 1) counts. It needs about 3.5 GB of free
// disk, 1.5 GB of memory and some minutes.

#include "benchsupport.h"
#include "ratedevice.h"
#include "disks/alignedbuffer.h"
#include "image/imagesources.h"
#include "image/sha256.h"
#include "testfiles.h"
#include "write/writejob.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 GiB = 1024 * MiB;
constexpr qint64 NeededDisk = qint64(3500) * 1000 * 1000;

// The card written and read back in 4 MiB transfers of zeros.
double cardAlone(qint64 length, double rate)
{
    RateDevice card(length, rate, rate);
    AlignedBuffer buffer(WriteJob::ChunkSize);
    std::memset(buffer.data(), 0, size_t(buffer.size()));
    QElapsedTimer timer;
    timer.start();
    bool ok = card.open();
    for (qint64 done = 0; ok && done < length; done += WriteJob::ChunkSize)
        ok = card.write(buffer.data(), AlignedBuffer::roundUp(qMin(WriteJob::ChunkSize, length - done), 512));
    ok = ok && card.flush() && card.seek(0);
    for (qint64 done = 0; ok && done < length; done += WriteJob::ChunkSize) {
        const qint64 wanted = AlignedBuffer::roundUp(qMin(WriteJob::ChunkSize, length - done), 512);
        ok = card.read(buffer.data(), wanted) == wanted;
    }
    card.close();
    return ok ? seconds(timer) : -1;
}

struct ProcessorRun
{
    double seconds = -1;
    // When each chunk was read and hashed for the write, from the start; the
    // read-back's hashing is left out of these times.
    QList<double> ready;
};

// The job's work without a card: the source read and hashed, the bytes
// hashed once more as the read-back would be.
ProcessorRun processorAlone(const QString &image)
{
    const std::unique_ptr<ImageSource> source = createLocalImageSource(image);
    AlignedBuffer buffer(WriteJob::ChunkSize);
    Sha256 written;
    Sha256 verified;
    ProcessorRun run;
    double verifying = 0;
    QElapsedTimer timer;
    timer.start();
    if (!source->open())
        return {};
    for (;;) {
        const qint64 count = source->read(buffer.data(), WriteJob::ChunkSize);
        if (count < 0)
            return {};
        if (count == 0)
            break;
        written.addData(buffer.data(), count);
        const double ready = seconds(timer);
        run.ready.append(ready - verifying);
        verified.addData(buffer.data(), count);
        verifying += seconds(timer) - ready;
    }
    written.result();
    verified.result();
    run.seconds = seconds(timer);
    return run;
}

// What a job would take on a card that needs `alone` for the write and
// read-back of the image, if the card waited only for chunks that the
// processor alone would not yet have ready: it writes a chunk once it has
// written the one before and the chunk is ready, then reads the image back.
double pipelineBound(const QList<double> &ready, double alone)
{
    const double chunkSeconds = alone / 2 / double(ready.size());
    double written = 0;
    for (const double at : ready)
        written = qMax(written, at) + chunkSeconds;
    return written + alone / 2;
}

double jobOnCard(const QString &image, const QByteArray &sha, double rate)
{
    WriteJob job(createLocalImageSource(image), std::make_unique<RateDevice>(GiB, rate, rate));
    job.setExpectedSha256(sha);
    QElapsedTimer timer;
    timer.start();
    job.run();
    const double elapsed = seconds(timer);
    if (job.error() != WriteJob::Error::None) {
        std::fprintf(stderr, "the job failed: %s\n", qPrintable(job.errorDetail()));
        return -1;
    }
    return elapsed;
}

double fastest(double a, double b)
{
    if (a < 0 || b < 0)
        return -1;
    return a == 0 ? b : qMin(a, b);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = app.arguments().mid(1);
    const int rounds = takeRounds(arguments);
    QList<double> speeds{90.0, 400.0};
    if (const QString rate = takeOption(arguments, QStringLiteral("--rate")); !rate.isNull()) {
        speeds = {rate.toDouble()};
        if (speeds.first() <= 0) {
            std::fprintf(stderr, "--rate wants a speed in MB/s\n");
            return 1;
        }
    }
    std::unique_ptr<QTemporaryDir> temporary;
    const QString folder = workFolder(arguments.value(0), QStringLiteral("bench_emulatedcard"), NeededDisk, &temporary);
    if (folder.isEmpty())
        return 1;

    const QString card = folder + QStringLiteral("/card.img");
    const QString zip = folder + QStringLiteral("/card.zip");
    const QString xz = folder + QStringLiteral("/card.img.xz");
    if (!QFile::exists(card) && !buildCard(folder, card))
        return 1;
    std::fprintf(stderr, "zipping it and compressing it with xz\n");
    if ((!QFile::exists(zip) && !run(QStringLiteral("zip"), {"-q", "-j", zip, card}, folder))
        || (!QFile::exists(xz) && !run(QStringLiteral("xz"), {"-1", "-T2", "-k", card}, folder)))
        return 1;
    const QByteArray sha = fileSha256(card);

    struct Form {
        const char *name;
        QString path;
        ProcessorRun processor;
    };
    QList<Form> forms{{"raw image", card, {}}, {"ZIP (deflate)", zip, {}}, {".img.xz (xz -1 -T2)", xz, {}}};
    std::printf("load average before: %s\n", qPrintable(loadAverage()));
    std::printf("SHA-256 through %s; %d round(s), the fastest counts\n", Sha256::implementation(), rounds);
    for (Form &form : forms) {
        for (int round = 0; round < rounds; ++round) {
            ProcessorRun run = processorAlone(form.path);
            if (run.seconds < 0)
                return 1;
            if (round == 0 || run.seconds < form.processor.seconds)
                form.processor = std::move(run);
        }
    }

    bool ok = true;
    for (const double megabytes : speeds) {
        const double rate = megabytes * 1e6;
        double alone = 0;
        QList<double> jobs(forms.size(), 0.0);
        for (int round = 0; round < rounds; ++round) {
            alone = fastest(alone, cardAlone(GiB, rate));
            for (int i = 0; i < forms.size(); ++i)
                jobs[i] = fastest(jobs[i], jobOnCard(forms[i].path, sha, rate));
        }
        if (alone < 0)
            return 1;
        std::printf("\ncard of %.0f MB/s: written and read back alone in %.2f s (%.2f s by its rate)\n", megabytes,
                    alone, 2 * double(GiB) / rate);
        std::printf("  %-22s %11s %11s %11s %13s %11s %13s\n", "", "processor", "card+proc.", "job", "job / card",
                    "bound", "job / bound");
        for (int i = 0; i < forms.size(); ++i) {
            if (jobs[i] < 0) {
                ok = false;
                continue;
            }
            const ProcessorRun &processor = forms[i].processor;
            const double bound = pipelineBound(processor.ready, alone);
            std::printf("  %-22s %9.2f s %9.2f s %9.2f s %12.3f %9.2f s %12.3f\n", forms[i].name, processor.seconds,
                        alone + processor.seconds, jobs[i], jobs[i] / alone, bound, jobs[i] / bound);
        }
        std::fflush(stdout);
    }
    std::printf("\nload average after: %s\n", qPrintable(loadAverage()));
    if (temporary) {
        QFile::remove(card);
        QFile::remove(zip);
        QFile::remove(xz);
    }
    return ok ? 0 : 1;
}
