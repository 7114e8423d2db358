// Throughput of XzImageSource and ZstdImageSource on a 1 GiB disk image,
// against "xz -dc" and "zstd -dc" decompressing the same files into
// /dev/null, in one run:
//
//   bench_compressedimagesource [FOLDER]
//   bench_compressedimagesource --build FOLDER   only makes the files in FOLDER
//
// The files are card.img.xz (one block, as "xz -T1" writes it),
// card-mt.img.xz (many blocks, as "xz -T2" writes it) and card.img.zst.
// Without a folder they are made first in a temporary one (needs xz and
// zstd, about 2 GB of disk and a few minutes of both cores). The image holds
// machine code, text, random blocks and long runs of zeros, like a card.
// Reported beside each source: its CPU time over its wall time, which is
// above 1 when it decodes on more than one core.

#include "benchsupport.h"
#include "image/xzimagesource.h"
#include "image/zstdimagesource.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <cstdio>
#include <functional>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 ImageSize = 1024 * MiB;

bool buildFiles(const QString &folder)
{
    std::fprintf(stderr, "building a 1 GiB image in %s\n", qPrintable(folder));
    QFile image(folder + QStringLiteral("/card.img"));
    if (!image.open(QIODevice::ReadWrite) || !image.resize(ImageSize))
        return false;
    const QByteArray libraries = binaryBytes(48 * MiB);
    for (qint64 at = MiB; at < 700 * MiB; at += 16 * MiB) {
        const QByteArray code = libraries.mid(((at / (16 * MiB)) % 3) * 16 * MiB, 12 * MiB);
        if (!image.seek(at) || image.write(code) != code.size() || image.write(logText(2 * MiB, int(at / MiB))) != 2 * MiB)
            return false;
    }
    for (qint64 at = 720 * MiB; at < 880 * MiB; at += 8 * MiB) {
        const QByteArray block = randomBytes(4 * MiB, quint32(at / MiB));
        if (!image.seek(at) || image.write(block) != block.size())
            return false;
    }
    image.close();
    // The fast levels, so that building takes minutes rather than an hour;
    // decoding speed hardly depends on the level.
    std::fprintf(stderr, "compressing it with xz -T1, xz -T2 and zstd\n");
    return run(QStringLiteral("xz"), {"-1", "-T1", "-c", "card.img"}, folder, folder + QStringLiteral("/card.img.xz"))
            && run(QStringLiteral("xz"), {"-1", "-T2", "-c", "card.img"}, folder, folder + QStringLiteral("/card-mt.img.xz"))
            && run(QStringLiteral("zstd"), {"-q", "-3", "-T2", "-c", "card.img"}, folder, folder + QStringLiteral("/card.img.zst"))
            && QFile::remove(folder + QStringLiteral("/card.img"));
}

struct Timing {
    double seconds = 0;
    double cpu = 0;
};

// Streams the image through the source as the write job does.
Timing throughSource(ImageSource &source)
{
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = cpuSeconds(RUSAGE_SELF);
    const qint64 total = readToEnd(source);
    if (total != ImageSize) {
        std::fprintf(stderr, "the source gave %lld bytes\n", total);
        return {};
    }
    return { seconds(timer), cpuSeconds(RUSAGE_SELF) - cpuBefore };
}

Timing throughTool(const QString &tool, const QStringList &arguments, const QString &folder)
{
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
    if (!run(tool, arguments, folder))
        return {};
    return { seconds(timer), cpuSeconds(RUSAGE_CHILDREN) - cpuBefore };
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--build"))
        return buildFiles(app.arguments().value(2)) ? 0 : 1;

    QTemporaryDir dir;
    QString folder = app.arguments().value(1);
    if (folder.isEmpty()) {
        folder = dir.path();
        if (!run(app.applicationFilePath(), {QStringLiteral("--build"), folder}, folder))
            return 1;
    }

    struct Case {
        const char *name;
        QString file;
        QString tool;
        QStringList toolArguments;
        std::function<std::unique_ptr<ImageSource>(const QString &)> source;
    };
    const auto xz = [](const QString &path) { return std::make_unique<XzImageSource>(path); };
    const auto zstd = [](const QString &path) { return std::make_unique<ZstdImageSource>(path); };
    const QList<Case> cases{
        {"xz, one block", QStringLiteral("card.img.xz"), QStringLiteral("xz"), {"-dc", "card.img.xz"}, xz},
        {"xz, many blocks", QStringLiteral("card-mt.img.xz"), QStringLiteral("xz"), {"-dc", "card-mt.img.xz"}, xz},
        {"xz -T0, many blocks", QStringLiteral("card-mt.img.xz"), QStringLiteral("xz"), {"-T0", "-dc", "card-mt.img.xz"}, xz},
        {"zstd", QStringLiteral("card.img.zst"), QStringLiteral("zstd"), {"-q", "-dc", "card.img.zst"}, zstd},
    };

    std::printf("load average before: %s\n", qPrintable(loadAverage()));
    std::printf("%-20s %12s %14s %9s %14s %9s %7s\n", "file", "bytes", "tool MB/s", "cpu/wall", "source MB/s", "cpu/wall",
                "ratio");
    // Two rounds, the tool and the source alternating; the best of each counts,
    // as the machine may be busy with other work now and then.
    constexpr int Rounds = 2;
    for (const Case &test : cases) {
        if (!QFile::exists(folder + QLatin1Char('/') + test.file)) {
            std::printf("%-20s missing: %s\n", test.name, qPrintable(test.file));
            continue;
        }
        Timing tool;
        Timing source;
        for (int round = 0; round < Rounds; ++round) {
            const Timing viaTool = throughTool(test.tool, test.toolArguments, folder);
            const std::unique_ptr<ImageSource> imageSource = test.source(folder + QLatin1Char('/') + test.file);
            const Timing viaSource = throughSource(*imageSource);
            if (viaTool.seconds <= 0 || viaSource.seconds <= 0)
                return 1;
            if (tool.seconds == 0 || viaTool.seconds < tool.seconds)
                tool = viaTool;
            if (source.seconds == 0 || viaSource.seconds < source.seconds)
                source = viaSource;
        }
        const double toolRate = double(ImageSize) / tool.seconds / 1e6;
        const double sourceRate = double(ImageSize) / source.seconds / 1e6;
        std::printf("%-20s %12lld %14.0f %9.2f %14.0f %9.2f %6.2fx\n", test.name,
                    QFile(folder + QLatin1Char('/') + test.file).size(), toolRate, tool.cpu / tool.seconds, sourceRate,
                    source.cpu / source.seconds, sourceRate / toolRate);
        std::fflush(stdout);
    }
    std::printf("load average after: %s\n", qPrintable(loadAverage()));
    std::printf("peak memory of the process: %.1f MiB\n", double(peakMemoryKiB()) / 1024.0);
    return 0;
}
