#include "testcache.h"

#include "image/imagecache.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

namespace testcache {

void use()
{
    QStandardPaths::setTestModeEnabled(true);
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
