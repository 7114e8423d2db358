#include "overlaydevice.h"

#include <cstring>

OverlayDevice::OverlayDevice(const QByteArray &base, qint64 size)
    : m_base(base)
    , m_size(qMax<qint64>(size, base.size()))
{
}

bool OverlayDevice::misaligned()
{
    ++m_misaligned;
    m_errorString = QStringLiteral("misaligned request");
    return false;
}

QByteArray &OverlayDevice::writtenSector(qint64 sector)
{
    auto it = m_sectors.find(sector);
    if (it == m_sectors.end()) {
        QByteArray bytes = m_base.mid(sector, Sector);
        bytes.append(Sector - bytes.size(), '\0');
        it = m_sectors.emplace(sector, bytes).first;
    }
    return it->second;
}

bool OverlayDevice::seek(qint64 offset)
{
    if (offset < 0 || offset % Sector != 0)
        return misaligned();
    m_position = offset;
    return true;
}

bool OverlayDevice::write(const char *data, qint64 length)
{
    if (length % Sector != 0 || quintptr(data) % Sector != 0)
        return misaligned();
    if (m_position + length > size()) {
        m_errorString = QStringLiteral("write past the end of the device");
        return false;
    }
    for (qint64 at = 0; at < length; at += Sector)
        m_sectors[m_position + at] = QByteArray(data + at, Sector);
    m_position += length;
    return true;
}

qint64 OverlayDevice::read(char *data, qint64 length)
{
    if (length % Sector != 0 || quintptr(data) % Sector != 0) {
        misaligned();
        return -1;
    }
    const qint64 count = qBound<qint64>(0, size() - m_position, length);
    const qint64 fromBase = qBound<qint64>(0, m_base.size() - m_position, count);
    if (fromBase > 0)
        std::memcpy(data, m_base.constData() + m_position, size_t(fromBase));
    std::memset(data + fromBase, 0, size_t(count - fromBase));
    for (auto it = m_sectors.lower_bound(m_position); it != m_sectors.end() && it->first < m_position + count; ++it)
        std::memcpy(data + (it->first - m_position), it->second.constData(), Sector);
    m_position += count;
    return count;
}

void OverlayDevice::poke(qint64 offset, const QByteArray &bytes)
{
    for (qint64 i = 0; i < bytes.size(); ++i) {
        const qint64 at = offset + i;
        if (at < 0 || at >= size())
            continue;
        const qint64 sector = at - at % Sector;
        writtenSector(sector)[at - sector] = bytes[i];
    }
}
