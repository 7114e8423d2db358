#include "image/crc32.h"

#if TESSARO_HAVE_ISAL
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

#include <algorithm>

#if TESSARO_HAVE_ISAL

void Crc32::addData(const char *data, qint64 length)
{
    if (length > 0)
        m_value = crc32_gzip_refl(m_value, reinterpret_cast<const unsigned char *>(data), quint64(length));
}

const char *Crc32::implementation()
{
    return "ISA-L";
}

#else

void Crc32::addData(const char *data, qint64 length)
{
    // zlib counts in 32 bits.
    constexpr qint64 Piece = qint64(1) << 30;
    while (length > 0) {
        const qint64 n = std::min(length, Piece);
        m_value = quint32(crc32(m_value, reinterpret_cast<const Bytef *>(data), uInt(n)));
        data += n;
        length -= n;
    }
}

const char *Crc32::implementation()
{
    return "zlib";
}

#endif
