#pragma once

#include <QtGlobal>

// Memory for sector transfers. Unbuffered physical drives accept only
// transfers that start at an aligned address, so every buffer handed to
// BlockDevice::read/write comes from here.
class AlignedBuffer
{
public:
    static constexpr qint64 Alignment = 4096;

    // Allocates size rounded up to a multiple of Alignment; throws
    // std::bad_alloc when the memory cannot be had.
    explicit AlignedBuffer(qint64 size);
    ~AlignedBuffer();

    AlignedBuffer(const AlignedBuffer &) = delete;
    AlignedBuffer &operator=(const AlignedBuffer &) = delete;

    char *data() const { return m_data; }
    qint64 size() const { return m_size; }

    // value rounded up to the next multiple of unit (unit > 0). The one
    // rounding rule for buffer sizes and sector padding.
    static qint64 roundUp(qint64 value, qint64 unit);

private:
    char *m_data = nullptr;
    qint64 m_size = 0;
};
