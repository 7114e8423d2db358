#include "disks/alignedbuffer.h"

#include <cstdlib>
#include <new>

#ifdef Q_OS_WIN
#include <malloc.h>
#endif

namespace {

char *allocateAligned(qint64 size)
{
#ifdef Q_OS_WIN
    return static_cast<char *>(_aligned_malloc(size_t(size), size_t(AlignedBuffer::Alignment)));
#else
    return static_cast<char *>(std::aligned_alloc(size_t(AlignedBuffer::Alignment), size_t(size)));
#endif
}

void freeAligned(char *data)
{
#ifdef Q_OS_WIN
    _aligned_free(data);
#else
    std::free(data);
#endif
}

} // namespace

AlignedBuffer::AlignedBuffer(qint64 size)
    : m_size(roundUp(qMax<qint64>(size, 0), Alignment))
{
    // aligned_alloc may answer null for zero bytes; an empty buffer still owns one page.
    m_data = allocateAligned(qMax(m_size, Alignment));
    if (!m_data)
        throw std::bad_alloc();
}

AlignedBuffer::~AlignedBuffer()
{
    freeAligned(m_data);
}

qint64 AlignedBuffer::roundUp(qint64 value, qint64 unit)
{
    const qint64 rest = value % unit;
    return rest == 0 ? value : value + (unit - rest);
}
