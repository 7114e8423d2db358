// The download's peak memory when the cache disk is slower than the network.
//
//   bench_imagedownload [MIB [DISK_MB_PER_S]]
//
// nginx on 127.0.0.1 serves an archive of MIB mebibytes (default 512) of
// random bytes, and the download brings it into a cache folder on a thread
// of its own, as the write job runs it. Every chunk handed on costs the time
// a disk writing DISK_MB_PER_S (default 100; 0 for no delay) would take for
// it, below what loopback delivers, so the network is ahead of the disk. It prints the
// process's peak resident memory (VmHWM) before and after the download and
// their difference, which stays at a few MiB whatever the archive's size.
// It needs twice MIB of free disk in the temporary folder, and removes what
// it made.

#include "benchsupport.h"
#include "image/imagecache.h"
#include "image/imagedownload.h"
#include "image/sha256.h"
#include "nginxserver.h"
#include "testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>
#include <cstdio>
#include <memory>

namespace {

constexpr qint64 MiB = qint64(1) << 20;

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 size = (argc > 1 ? QByteArray(argv[1]).toLongLong() : 512) * MiB;
    const double diskBytesPerSecond = (argc > 2 ? QByteArray(argv[2]).toDouble() : 100) * 1e6;
    if (size <= 0 || diskBytesPerSecond < 0) {
        std::fprintf(stderr, "usage: bench_imagedownload [MIB [DISK_MB_PER_S]]\n");
        return 2;
    }

    QTemporaryDir dir;
    QFile archive(dir.filePath(QStringLiteral("www/build.zip")));
    Sha256 hash;
    {
        QDir().mkpath(dir.filePath(QStringLiteral("www")));
        if (!archive.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(archive.fileName()));
            return 1;
        }
        for (qint64 done = 0; done < size; done += MiB) {
            const QByteArray bytes = randomBytes(MiB, quint32(done / MiB));
            hash.addData(bytes.constData(), MiB);
            if (archive.write(bytes) != MiB) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(archive.fileName()));
                return 1;
            }
        }
        archive.close();
    }

    NginxServer nginx(dir.filePath(QStringLiteral("www")));
    if (!nginx.start()) {
        std::fprintf(stderr, "cannot start nginx: %s\n", qPrintable(nginx.errorString()));
        return 1;
    }

    ImageDownload download(ImageCache(dir.filePath(QStringLiteral("cache"))),
                           {nginx.url(QStringLiteral("/build.zip")), size, hash.result()});
    std::atomic<bool> cancelled{false};
    bool ok = false;
    qint64 previous = 0;
    const qint64 before = peakMemoryKiB();
    QElapsedTimer timer;
    timer.start();
    std::unique_ptr<QThread> thread(QThread::create([&] {
        ok = download.run(
                [&](qint64 done, qint64) {
                    if (diskBytesPerSecond > 0)
                        QThread::usleep(quint64(double(done - previous) / diskBytesPerSecond * 1e6));
                    previous = done;
                },
                cancelled);
    }));
    thread->start();
    thread->wait();
    const double elapsed = seconds(timer);
    const qint64 after = peakMemoryKiB();
    if (!ok) {
        std::fprintf(stderr, "download failed: %s\n", qPrintable(download.errorString()));
        return 1;
    }
    std::printf("%lld MiB in %.1f s (%.0f MB/s), every chunk delayed as by a disk of %.0f MB/s\n", size / MiB,
                elapsed, double(size) / 1e6 / elapsed, diskBytesPerSecond / 1e6);
    std::printf("peak resident memory: %.1f MiB before, %.1f MiB after, %.1f MiB more\n", before / 1024.0,
                after / 1024.0, (after - before) / 1024.0);
    return 0;
}
