#include "image/compressedimagesource.h"

#include <algorithm>

namespace {

constexpr qint64 MaxRead = qint64(1) << 30;

} // namespace

CompressedImageSource::CompressedImageSource(const QString &path)
    : m_file(path)
{
}

qint64 CompressedImageSource::size() const
{
    return m_size;
}

qint64 CompressedImageSource::read(char *data, qint64 length)
{
    if (m_delivered >= m_size)
        return 0;
    length = std::min({ length, m_size - m_delivered, MaxRead });
    if (length <= 0)
        return 0;
    const qint64 count = decodeInto(data, length);
    if (count < 0)
        return -1;
    m_delivered += count;
    // The last check of the data follows it: the image is only complete once
    // the decoder has ended every stream or frame cleanly.
    if (m_delivered == m_size && !finish())
        return -1;
    return count;
}

QString CompressedImageSource::errorString() const
{
    return m_errorString;
}

ImageSource::Failure CompressedImageSource::failure() const
{
    return m_failure;
}

qint64 CompressedImageSource::readInput()
{
    const qint64 count = m_file.read(m_input.data(), m_input.size());
    if (count < 0) {
        fail(Failure::Unreadable, m_file.errorString());
        return -1;
    }
    m_inputEnded = count == 0;
    return count;
}

bool CompressedImageSource::refuseEmpty()
{
    if (m_size == 0)
        return fail(Failure::Unsupported, emptyImageText());
    return true;
}

bool CompressedImageSource::fail(Failure kind, const QString &text)
{
    m_failure = kind;
    m_errorString = text;
    return false;
}
