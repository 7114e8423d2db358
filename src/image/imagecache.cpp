#include "image/imagecache.h"

#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QSet>
#include <QStandardPaths>

namespace {

QString stemFor(const QByteArray &sha256)
{
    return QString::fromLatin1(sha256.toHex());
}

// Windows and macOS ignore letter case in file names: there the uppercase
// name of a kept digest's file is the very file that the next write of that
// digest opens.
#if defined(Q_OS_WIN) || defined(Q_OS_DARWIN)
constexpr bool NamesIgnoreCase = true;
#else
constexpr bool NamesIgnoreCase = false;
#endif

} // namespace

ImageCache::ImageCache(const QString &dir)
    : m_dir(dir)
{
}

QString ImageCache::dir() const
{
    return m_dir;
}

QString ImageCache::defaultDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation)
            + QStringLiteral("/images");
}

QString ImageCache::pathFor(const QByteArray &sha256) const
{
    return m_dir + QLatin1Char('/') + stemFor(sha256) + QStringLiteral(".zip");
}

QString ImageCache::partialPathFor(const QByteArray &sha256) const
{
    return m_dir + QLatin1Char('/') + stemFor(sha256) + QStringLiteral(".part");
}

QString ImageCache::lockPathFor(const QByteArray &sha256) const
{
    return m_dir + QLatin1Char('/') + stemFor(sha256) + QStringLiteral(".lock");
}

void ImageCache::prepareLock(QLockFile &lock)
{
    // By default a lock older than 30 s counts as left over, which a
    // download of a few minutes would be.
    lock.setStaleLockTime(0);
}

void ImageCache::prune(const QList<QByteArray> &keep) const
{
    QSet<QString> kept;
    for (const QByteArray &sha256 : keep)
        kept.insert(stemFor(sha256));

    // The name filters ignore letter case while the stems are compared
    // exactly where the file system tells the cases apart, so a file named
    // with the uppercase digest goes even when that digest is kept. Hidden
    // files are listed too: an empty digest names its files ".zip" and
    // ".part". A missing folder lists nothing.
    const QDir folder(m_dir);
    const QStringList names = folder.entryList(
            { QStringLiteral("*.zip"), QStringLiteral("*.part") }, QDir::Files | QDir::Hidden, QDir::Unsorted);
    for (const QString &name : names) {
        const QString stem = name.section(QLatin1Char('.'), 0, 0);
        if (kept.contains(NamesIgnoreCase ? stem.toLower() : stem))
            continue;
        QLockFile lock(m_dir + QLatin1Char('/') + stem + QStringLiteral(".lock"));
        prepareLock(lock);
        if (lock.tryLock(0))
            QFile::remove(m_dir + QLatin1Char('/') + name);
    }
}
