#include "freespace.h"

#include <QFileInfo>
#include <QStorageInfo>
#include <QString>

qint64 knownFreeSpace(const QString &path)
{
    QFileInfo existing(path);
    while (!existing.exists() && !existing.isRoot())
        existing.setFile(existing.absolutePath());
    const QStorageInfo storage(existing.absoluteFilePath());
    if (!storage.isValid() || !storage.isReady() || storage.bytesAvailable() < 0)
        return -1;
    return storage.bytesAvailable();
}
