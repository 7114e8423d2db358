#include "image/localimagesource.h"

LocalImageSource::LocalImageSource(const QString &path)
    : m_file(path)
{
}

bool LocalImageSource::open()
{
    return m_file.open(QIODevice::ReadOnly);
}

qint64 LocalImageSource::size() const
{
    return m_file.size();
}

qint64 LocalImageSource::read(char *data, qint64 length)
{
    return m_file.read(data, length);
}

QString LocalImageSource::errorString() const
{
    return m_file.errorString();
}
