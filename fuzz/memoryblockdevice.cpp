#include "memoryblockdevice.h"

#include <cstring>

MemoryBlockDevice::MemoryBlockDevice(const QByteArray &image, qint64 size, int sectorSize)
    : m_image(image)
    , m_size(qMax<qint64>(size, image.size()))
    , m_sectorSize(sectorSize)
{
}

bool MemoryBlockDevice::refuse(const QString &text)
{
    m_errorString = text;
    return false;
}

// Like an unbuffered drive: whole sectors only, nothing past the end.
bool MemoryBlockDevice::seek(qint64 offset)
{
    if (offset < 0 || offset > m_size || offset % m_sectorSize != 0)
        return refuse(QStringLiteral("bad seek to %1").arg(offset));
    m_position = offset;
    return true;
}

bool MemoryBlockDevice::write(const char *data, qint64 length)
{
    if (length < 0 || length % m_sectorSize != 0 || length > m_size - m_position)
        return refuse(QStringLiteral("bad write of %1 bytes at %2").arg(length).arg(m_position));
    for (qint64 done = 0; done < length;) {
        const qint64 at = m_position + done;
        const qint64 index = at / PageSize;
        auto page = m_pages.find(index);
        if (page == m_pages.end()) {
            QByteArray bytes(PageSize, '\0');
            const qint64 from = index * PageSize;
            if (from < m_image.size())
                std::memcpy(bytes.data(), m_image.constData() + from, size_t(qMin(PageSize, m_image.size() - from)));
            page = m_pages.emplace(index, bytes).first;
        }
        const qint64 part = qMin(length - done, PageSize - at % PageSize);
        std::memcpy(page->second.data() + at % PageSize, data + done, size_t(part));
        done += part;
    }
    m_position += length;
    return true;
}

qint64 MemoryBlockDevice::read(char *data, qint64 length)
{
    if (length < 0 || length % m_sectorSize != 0) {
        refuse(QStringLiteral("bad read of %1 bytes at %2").arg(length).arg(m_position));
        return -1;
    }
    length = qMin(length, m_size - m_position);
    for (qint64 done = 0; done < length;) {
        const qint64 at = m_position + done;
        const qint64 part = qMin(length - done, PageSize - at % PageSize);
        const auto page = m_pages.find(at / PageSize);
        if (page != m_pages.end())
            std::memcpy(data + done, page->second.constData() + at % PageSize, size_t(part));
        else if (at >= m_image.size())
            std::memset(data + done, 0, size_t(part));
        else {
            const qint64 fromImage = qMin(part, m_image.size() - at);
            std::memcpy(data + done, m_image.constData() + at, size_t(fromImage));
            std::memset(data + done + fromImage, 0, size_t(part - fromImage));
        }
        done += part;
    }
    m_position += length;
    return length;
}
