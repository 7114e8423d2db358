#include "testcache.h"

#include "image/imagecache.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace testcache {

void use()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Test mode alone puts every process's cache in one folder under the home
    // folder; the cache location follows XDG_CACHE_HOME outside test mode.
    static QTemporaryDir home;
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path()));
#else
    QStandardPaths::setTestModeEnabled(true);
#endif
}

void clear()
{
    QFile::remove(ImageCache::defaultDir());
    QDir(ImageCache::defaultDir()).removeRecursively();
}

QStringList files()
{
    return QDir(ImageCache::defaultDir()).entryList(QDir::Files, QDir::Name);
}

} // namespace testcache
