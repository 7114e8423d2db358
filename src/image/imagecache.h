#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

class QLockFile;

// The download cache folder and the naming of its files. An archive is stored
// under the lowercase hexadecimal SHA-256 the catalog gives for it, so one
// build listed twice shares a file and a changed build gets a new one. Only
// prune touches the disk.
class ImageCache
{
public:
    explicit ImageCache(const QString &dir);

    QString dir() const;

    // The per-user cache location of the application, then "/images".
    static QString defaultDir();

    // The complete archive: a file whose SHA-256 equals the digest in its name.
    QString pathFor(const QByteArray &sha256) const;
    // The bytes received so far for that digest, in order from byte 0.
    QString partialPathFor(const QByteArray &sha256) const;
    // The lock file a download holds while it fills that digest's files, so
    // that two processes never write one partial file.
    QString lockPathFor(const QByteArray &sha256) const;
    // The lock on a digest's files, for lockPathFor(sha256): only a lock
    // whose process has ended is taken over, however long its download runs.
    static void prepareLock(QLockFile &lock);

    // Removes the ".zip" and ".part" files of every digest not in keep. Other
    // files and folders stay; a file that cannot be removed stays silently,
    // and so do the files of a digest that a download (of any process) holds.
    void prune(const QList<QByteArray> &keep) const;

private:
    QString m_dir;
};
