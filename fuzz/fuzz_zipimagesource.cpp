// An archive given as bytes, opened and read to its last byte by the ZIP
// source, through a file as the write job reads a downloaded archive. The
// file is an anonymous one in memory, rewritten for every input.
#include "image/zipimagesource.h"

#include <QByteArray>
#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int fd = memfd_create("archive.zip", 0);
    static const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();

    ZipImageSource source(path);
    if (!source.open())
        return 0;
    // The write job's chunks are larger; a small one walks more read calls.
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    qint64 delivered = 0;
    for (;;) {
        const qint64 got = source.read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        delivered += got;
    }
    if (delivered > source.size())
        std::abort();
    return 0;
}
