// An xz file given as bytes, opened by the xz source: the stream header, and
// the footers and indexes walked backwards from the end of the file, which
// give the image size before anything is decoded. The start of the image is
// then decoded, through the same file, to reach the checks that follow the
// walk; decoding whole images is not the point here.
#include "image/xzimagesource.h"

#include <QByteArray>
#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace {

// A few reads of the write job's kind, far less than a dictionary's worth.
constexpr qint64 ReadLimit = 256 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int fd = memfd_create("image.img.xz", 0);
    static const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();

    XzImageSource source(path);
    if (!source.open()) {
        if (source.errorString().isEmpty())
            std::abort();
        return 0;
    }
    if (source.size() <= 0)
        std::abort();
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    qint64 delivered = 0;
    while (delivered < ReadLimit) {
        const qint64 got = source.read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        delivered += got;
    }
    if (delivered > source.size())
        std::abort();
    return 0;
}
