#include "ratedevice.h"

#include <algorithm>
#include <cstring>
#include <thread>

RateDevice::RateDevice(qint64 size, double writeRate, double readRate)
    : m_size(size)
    , m_writeRate(writeRate)
    , m_readRate(readRate)
    , m_blocks(size_t((size + BlockSize - 1) / BlockSize))
{
    for (std::unique_ptr<char[]> &block : m_blocks)
        block = std::make_unique<char[]>(size_t(BlockSize)); // zeroed, so every page is in
}

bool RateDevice::open()
{
    m_position = 0;
    return true;
}

bool RateDevice::seek(qint64 offset)
{
    if (offset < 0 || offset % Sector != 0 || offset > m_size)
        return fail(QStringLiteral("seek to %1 is not on a sector of the card").arg(offset));
    m_position = offset;
    return true;
}

bool RateDevice::write(const char *data, qint64 length)
{
    const Clock::time_point called = Clock::now();
    if (length % Sector != 0 || quintptr(data) % Sector != 0)
        return fail(QStringLiteral("write of %1 bytes is not whole aligned sectors").arg(length));
    if (m_position + length > m_size)
        return fail(QStringLiteral("write past the end of the card"));
    for (qint64 done = 0; done < length;) {
        const qint64 at = m_position + done;
        const qint64 count = qMin(length - done, BlockSize - at % BlockSize);
        std::memcpy(m_blocks[size_t(at / BlockSize)].get() + at % BlockSize, data + done, size_t(count));
        done += count;
    }
    m_position += length;
    takeTime(called, length, m_writeRate);
    return true;
}

qint64 RateDevice::read(char *data, qint64 length)
{
    const Clock::time_point called = Clock::now();
    if (length % Sector != 0 || quintptr(data) % Sector != 0) {
        fail(QStringLiteral("read of %1 bytes is not whole aligned sectors").arg(length));
        return -1;
    }
    const qint64 wanted = qBound<qint64>(0, m_size - m_position, length);
    for (qint64 done = 0; done < wanted;) {
        const qint64 at = m_position + done;
        const qint64 count = qMin(wanted - done, BlockSize - at % BlockSize);
        std::memcpy(data + done, m_blocks[size_t(at / BlockSize)].get() + at % BlockSize, size_t(count));
        done += count;
    }
    m_position += wanted;
    takeTime(called, wanted, m_readRate);
    return wanted;
}

void RateDevice::takeTime(Clock::time_point called, qint64 length, double rate)
{
    const double seconds = double(length) / rate;
    m_transferSeconds += seconds;
    // The copy's own time is inside the card's.
    std::this_thread::sleep_until(called + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
}

bool RateDevice::fail(const QString &text)
{
    m_errorString = text;
    return false;
}
