#include "backend/localimagefiles.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace LocalImageFiles {

QStringList patterns()
{
    return {QStringLiteral("*.img"), QStringLiteral("*.zip"), QStringLiteral("*.img.xz"), QStringLiteral("*.img.zst"),
            QStringLiteral("*.bin")};
}

bool isImageFile(const QUrl &url)
{
    if (!url.isLocalFile())
        return false;
    const QFileInfo file(url.toLocalFile());
    if (!file.isFile())
        return false;
    const QString name = file.fileName();
    for (const QString &pattern : patterns()) {
        // The patterns are "*" and a suffix, which the name must be longer than.
        const QString suffix = pattern.mid(1);
        if (name.size() > suffix.size() && name.endsWith(suffix, Qt::CaseInsensitive))
            return true;
    }
    return false;
}

QUrl folderFor(const QUrl &lastFile)
{
    if (lastFile.isLocalFile()) {
        const QFileInfo folder(QFileInfo(lastFile.toLocalFile()).absolutePath());
        if (folder.isDir())
            return QUrl::fromLocalFile(folder.absoluteFilePath());
    }
    const QString downloads = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
    if (!downloads.isEmpty() && QFileInfo(downloads).isDir())
        return QUrl::fromLocalFile(downloads);
    return QUrl::fromLocalFile(QDir::homePath());
}

} // namespace LocalImageFiles
