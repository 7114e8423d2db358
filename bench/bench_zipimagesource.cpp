// Throughput and memory of ZipImageSource on a 1 GiB deflated disk image,
// against zlib inflating the same entry straight into a 4 MiB buffer.
//
//   bench_zipimagesource [archive.zip]
//   bench_zipimagesource --build FOLDER     only makes FOLDER/card.zip
//
// Without an argument it builds the archive first in a temporary folder (needs
// mkfs.fat, mtools and zip, and about 1.5 GB of disk for a minute): a FAT32
// file system holding text, binary and random files, shared libraries, random
// blocks and long runs of zeros. The archive's one entry must be deflated.

#include "benchsupport.h"
#include "image/crc32.h"
#include "image/rawinflate.h"
#include "image/zipimagesource.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <zlib.h>

#include <cstdio>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;
constexpr qint64 ImageSize = 1024 * MiB;
constexpr qint64 Chunk = 4 * MiB;

bool writeAt(QFile &file, qint64 offset, const QByteArray &bytes)
{
    return file.seek(offset) && file.write(bytes) == bytes.size();
}

QString buildArchive(const QString &folder)
{
    std::fprintf(stderr, "building a 1 GiB image in %s\n", qPrintable(folder));

    // The boot partition: FAT32 with configuration text, firmware-like
    // binaries and a few random files.
    const QString fat = folder + QStringLiteral("/fat.img");
    {
        QFile file(fat);
        if (!file.open(QIODevice::WriteOnly) || !file.resize(256 * MiB))
            return {};
    }
    if (!run(QStringLiteral("mkfs.fat"), {"-F", "32", "-n", "BOOT", fat}, folder))
        return {};
    QDir().mkpath(folder + QStringLiteral("/files"));
    const QByteArray libraries = binaryBytes(48 * MiB);
    for (int i = 0; i < 24; ++i) {
        QFile file(folder + QStringLiteral("/files/file%1.%2").arg(i).arg(i % 3 == 0 ? "txt" : i % 3 == 1 ? "bin" : "dat"));
        if (!file.open(QIODevice::WriteOnly))
            return {};
        if (i % 3 == 0)
            file.write(logText(2 * MiB, i));
        else if (i % 3 == 1)
            file.write(libraries.mid((i % 12) * 4 * MiB, 4 * MiB));
        else
            file.write(randomBytes(2 * MiB, quint32(i)));
    }
    const QStringList files = QDir(folder + QStringLiteral("/files")).entryList(QDir::Files);
    QStringList copy{"-i", fat};
    for (const QString &name : files)
        copy << QStringLiteral("files/") + name;
    copy << QStringLiteral("::");
    if (!run(QStringLiteral("mcopy"), copy, folder))
        return {};

    // The disk: the FAT partition at 1 MiB, a root file system of binaries
    // and text, random blocks (compressed or encrypted data), and zeros.
    QFile image(folder + QStringLiteral("/card.img"));
    if (!image.open(QIODevice::ReadWrite) || !image.resize(ImageSize))
        return {};
    {
        QFile source(fat);
        if (!source.open(QIODevice::ReadOnly))
            return {};
        for (qint64 at = 0; at < source.size(); at += Chunk) {
            if (!writeAt(image, MiB + at, source.read(Chunk)))
                return {};
        }
    }
    for (qint64 at = 300 * MiB; at < 700 * MiB; at += 16 * MiB) {
        if (!writeAt(image, at, libraries.mid(((at / (16 * MiB)) % 3) * 16 * MiB, 12 * MiB))
            || !writeAt(image, at + 12 * MiB, logText(2 * MiB, int(at / MiB))))
            return {};
    }
    for (qint64 at = 720 * MiB; at < 880 * MiB; at += 8 * MiB) {
        if (!writeAt(image, at, randomBytes(4 * MiB, quint32(at / MiB))))
            return {};
    }
    image.close();
    QFile::remove(fat);
    QDir(folder + QStringLiteral("/files")).removeRecursively();

    std::fprintf(stderr, "deflating it with zip\n");
    if (!run(QStringLiteral("zip"), {"-q", "card.zip", "card.img"}, folder))
        return {};
    QFile::remove(folder + QStringLiteral("/card.img"));
    return folder + QStringLiteral("/card.zip");
}

// The same entry inflated by zlib alone: the first local header's data,
// read in 1 MiB pieces, inflated into a 4 MiB buffer until the stream ends;
// with `withCrc` also zlib's CRC-32 of each buffer, the part of the source's
// work that plain inflating leaves out.
qint64 throughZlib(const QString &path, bool withCrc)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return -1;
    const QByteArray local = file.read(30);
    if (local.size() != 30 || qFromLittleEndian<quint16>(local.constData() + 8) != 8)
        return -1;
    if (!file.seek(30 + qFromLittleEndian<quint16>(local.constData() + 26) + qFromLittleEndian<quint16>(local.constData() + 28)))
        return -1;
    z_stream stream{};
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK)
        return -1;
    std::unique_ptr<char[]> input(new char[MiB]);
    std::unique_ptr<char[]> output(new char[Chunk]);
    qint64 total = 0;
    uLong crc = crc32(0, nullptr, 0);
    int result = Z_OK;
    while (result != Z_STREAM_END) {
        stream.next_out = reinterpret_cast<Bytef *>(output.get());
        stream.avail_out = uInt(Chunk);
        while (stream.avail_out > 0 && result != Z_STREAM_END) {
            if (stream.avail_in == 0) {
                const qint64 count = file.read(input.get(), MiB);
                if (count <= 0)
                    break;
                stream.next_in = reinterpret_cast<Bytef *>(input.get());
                stream.avail_in = uInt(count);
            }
            result = inflate(&stream, Z_NO_FLUSH);
            if (result != Z_OK && result != Z_STREAM_END) {
                inflateEnd(&stream);
                return -1;
            }
        }
        const qint64 produced = Chunk - stream.avail_out;
        if (withCrc)
            crc = crc32(crc, reinterpret_cast<const Bytef *>(output.get()), uInt(produced));
        total += produced;
    }
    inflateEnd(&stream);
    return total;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (app.arguments().value(1) == QLatin1String("--build"))
        return buildArchive(app.arguments().value(2)).isEmpty() ? 1 : 0;

    // The archive is built by a child process, so that the memory it takes
    // does not count in this process's peak.
    QTemporaryDir dir;
    QString path = app.arguments().value(1);
    if (path.isEmpty()) {
        if (!run(app.applicationFilePath(), {QStringLiteral("--build"), dir.path()}, dir.path()))
            return 1;
        path = dir.filePath(QStringLiteral("card.zip"));
    }
    std::printf("archive: %s, %lld bytes\n", qPrintable(path), QFile(path).size());

    // Rounds of each, alternating; the best of each counts, as the machine
    // may be busy with other work now and then.
    constexpr int Rounds = 4;
    double sourceBest = 0;
    double zlibBest = 0;
    double zlibCrcBest = 0;
    for (int round = 0; round < Rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        const qint64 viaZlib = throughZlib(path, false);
        const double zlibSeconds = seconds(timer);
        timer.restart();
        ZipImageSource source(path);
        const qint64 viaSource = readToEnd(source);
        const double sourceSeconds = seconds(timer);
        timer.restart();
        const qint64 viaZlibCrc = throughZlib(path, true);
        const double zlibCrcSeconds = seconds(timer);
        if (viaSource < 0 || viaZlib < 0 || viaSource != viaZlib || viaZlibCrc != viaZlib) {
            std::fprintf(stderr, "the paths disagree: %lld and %lld bytes\n", viaSource, viaZlib);
            return 1;
        }
        zlibBest = std::max(zlibBest, double(viaZlib) / zlibSeconds / 1e6);
        sourceBest = std::max(sourceBest, double(viaSource) / sourceSeconds / 1e6);
        zlibCrcBest = std::max(zlibCrcBest, double(viaZlib) / zlibCrcSeconds / 1e6);
        std::printf("round %d: %lld bytes, ZipImageSource %.2f s, zlib %.2f s, zlib and crc32 %.2f s\n", round + 1,
                    viaSource, sourceSeconds, zlibSeconds, zlibCrcSeconds);
    }

    std::printf("ZipImageSource, 4 MiB reads:   %.0f MB/s (inflate through %s, CRC-32 through %s)\n", sourceBest,
                RawInflate::implementation(), Crc32::implementation());
    std::printf("zlib inflate, 4 MiB buffer:    %.0f MB/s\n", zlibBest);
    std::printf("ratio:                         %.1f %% (%.2f times)\n", 100.0 * sourceBest / zlibBest,
                sourceBest / zlibBest);
    std::printf("zlib inflate and crc32:        %.0f MB/s (source at %.1f %% of it)\n", zlibCrcBest,
                100.0 * sourceBest / zlibCrcBest);
    std::printf("peak memory of the process:    %.1f MiB\n", double(peakMemoryKiB()) / 1024.0);
    return 0;
}
