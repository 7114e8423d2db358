#include "disks/fileblockdevice.h"

#include <QFileInfo>

#include <limits>

FileBlockDevice::FileBlockDevice(const QString &path, qint64 size, OpenMode mode)
    : m_file(path)
    , m_size(size)
    , m_mode(mode)
{
}

bool FileBlockDevice::open()
{
    m_failure = Failure::IoError;
    const QIODevice::OpenMode flags = m_mode == OpenMode::CreateOrTruncate
            ? QIODevice::ReadWrite | QIODevice::Truncate
            : QIODevice::ReadWrite | QIODevice::ExistingOnly;
    const bool opened = m_file.open(flags);
    if (!opened) {
        const QFileInfo info(m_file.fileName());
        if (info.exists() && !info.isWritable())
            m_failure = Failure::PermissionDenied;
    }
    return opened;
}

void FileBlockDevice::close()
{
    m_file.close();
}

qint64 FileBlockDevice::size() const
{
    return m_size < 0 ? std::numeric_limits<qint64>::max() : m_size;
}

int FileBlockDevice::sectorSize() const
{
    return 512;
}

bool FileBlockDevice::seek(qint64 offset)
{
    return m_file.seek(offset);
}

bool FileBlockDevice::write(const char *data, qint64 length)
{
    return m_file.write(data, length) == length;
}

qint64 FileBlockDevice::read(char *data, qint64 length)
{
    return m_file.read(data, length);
}

bool FileBlockDevice::flush()
{
    return m_file.flush();
}

bool FileBlockDevice::dropCaches()
{
    return flush();
}

QString FileBlockDevice::errorString() const
{
    return m_file.errorString();
}

BlockDevice::Failure FileBlockDevice::failure() const
{
    return m_failure;
}
