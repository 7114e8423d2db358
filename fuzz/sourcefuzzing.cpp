#include "sourcefuzzing.h"

#include "image/imagesource.h"

#include <QByteArray>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>

namespace sourcefuzzing {

QString inputFile(const char *name, const uint8_t *data, size_t size)
{
    static const int fd = memfd_create(name, 0);
    static const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        std::abort();
    return path;
}

void read(ImageSource &source, qint64 limit)
{
    QByteArray chunk(64 * 1024, Qt::Uninitialized);
    qint64 delivered = 0;
    while (limit < 0 || delivered < limit) {
        const qint64 got = source.read(chunk.data(), chunk.size());
        if (got <= 0)
            break;
        delivered += got;
    }
    if (delivered > source.size())
        std::abort();
}

void openAndRead(ImageSource &source, qint64 limit)
{
    if (!source.open()) {
        if (source.errorString().isEmpty())
            std::abort();
        return;
    }
    if (source.size() <= 0)
        std::abort();
    read(source, limit);
}

} // namespace sourcefuzzing
