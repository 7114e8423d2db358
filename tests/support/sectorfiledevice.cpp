#include "support/sectorfiledevice.h"

SectorFileDevice::SectorFileDevice(const QString &path, int sectorSize)
    : m_file(path)
    , m_sectorSize(sectorSize)
{
}

bool SectorFileDevice::refuse(const QString &text)
{
    m_failure = Failure::IoError;
    m_errorString = text;
    return false;
}

bool SectorFileDevice::simulate(const QString &text)
{
    m_failure = m_simulatedFailure;
    m_errorString = text;
    return false;
}

bool SectorFileDevice::open()
{
    if (m_failOpen)
        return simulate(QStringLiteral("simulated open error"));
    if (!m_file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly | QIODevice::Unbuffered))
        return refuse(m_file.errorString());
    m_size = m_file.size();
    m_position = 0;
    return true;
}

void SectorFileDevice::close()
{
    ++m_closes;
    m_file.close();
}

qint64 SectorFileDevice::size() const
{
    return m_size;
}

int SectorFileDevice::sectorSize() const
{
    return m_sectorSize;
}

bool SectorFileDevice::seek(qint64 offset)
{
    if (!aligned(offset) || offset < 0) {
        ++m_misaligned;
        return refuse(QStringLiteral("seek to %1 is not on a sector boundary").arg(offset));
    }
    if (m_failSeeks)
        return simulate(QStringLiteral("simulated seek error"));
    m_position = offset;
    return true;
}

bool SectorFileDevice::write(const char *data, qint64 length)
{
    if (!aligned(length) || !aligned(qint64(quintptr(data)))) {
        ++m_misaligned;
        return refuse(QStringLiteral("write of %1 bytes is not whole aligned sectors").arg(length));
    }
    if (m_position + length > m_size)
        return refuse(QStringLiteral("write past the end of the device"));
    if (m_writesLeft == 0)
        return simulate(QStringLiteral("simulated write error"));
    if (m_writesLeft > 0)
        --m_writesLeft;
    if (!m_file.seek(m_position) || m_file.write(data, length) != length)
        return refuse(m_file.errorString());
    m_position += length;
    ++m_writes;
    m_bytesWritten += length;
    return true;
}

qint64 SectorFileDevice::read(char *data, qint64 length)
{
    if (!aligned(length) || !aligned(qint64(quintptr(data)))) {
        ++m_misaligned;
        refuse(QStringLiteral("read of %1 bytes is not whole aligned sectors").arg(length));
        return -1;
    }
    if (m_failReads) {
        simulate(QStringLiteral("simulated read error"));
        return -1;
    }
    const qint64 wanted = qBound<qint64>(0, m_size - m_position, length);
    if (!m_file.seek(m_position)) {
        refuse(m_file.errorString());
        return -1;
    }
    const qint64 got = m_file.read(data, wanted);
    if (got < 0) {
        refuse(m_file.errorString());
        return -1;
    }
    m_position += got;
    ++m_reads;
    return got;
}

bool SectorFileDevice::flush()
{
    if (m_failFlush)
        return simulate(QStringLiteral("simulated flush error"));
    return m_file.flush();
}

bool SectorFileDevice::dropCaches()
{
    if (m_dropCachesHook)
        m_dropCachesHook();
    if (m_failDropCaches)
        return simulate(QStringLiteral("simulated cache drop error"));
    return flush();
}

QString SectorFileDevice::errorString() const
{
    return m_errorString;
}

BlockDevice::Failure SectorFileDevice::failure() const
{
    return m_failure;
}
