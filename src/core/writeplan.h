#pragma once

#include "catalog/catalog.h"
#include "disks/blockdevice.h"
#include "disks/disk.h"
#include "image/imageformat.h"
#include "image/imagesource.h"
#include "image/remoteimage.h"
#include "write/writejob.h"

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class ImageDownload;
class ImageFeed;
class ImageSource;

// One write as the user chose it, resolved before anything is opened: where
// the image comes from, the digests it must have, the boot files and the
// name it is shown under; or why it must not start. Makes the job for each
// card.
class WritePlan
{
public:
    // A build of the catalog read from catalogUrl; nothing when the ids name
    // no build for that device.
    static std::optional<WritePlan> forBuild(const Catalog &catalog, const QUrl &catalogUrl,
                                             const QString &productId, const QString &deviceId,
                                             const QString &imageId);
    static WritePlan forLocalFile(const QString &path, const QMap<QString, QByteArray> &bootFiles);

    // Why the catalog entry must not be written; empty when it may.
    QString refusal() const;
    // Why targetFile must not stand in for the card; empty when it may. A
    // file target is emptied before the image is read, and it must not be a
    // disk, which only the disk rules may let be written.
    QString targetRefusal(const QString &targetFile) const;
    // Whether two paths name one file: the same path once links are followed
    // (also for a file that does not exist yet), or two hard links.
    static bool isSameFile(const QString &a, const QString &b);
    // Why targetFile must not stand in for any card, whatever the image: it
    // lies in the download cache.
    static QString cacheTargetRefusal(const QString &targetFile);

    // The bytes the image takes on the card, where they can be told before
    // the write: a build's as its catalog entry gives them or as its archive
    // in the cache holds them, a local file's as its source reads them (the
    // file is opened for that). 0 when unknown.
    qint64 imageSize() const;
    // Why the file targetFile cannot take an image of imageSize bytes (0:
    // unknown), found without writing it: its folder is missing, it is a
    // folder, it cannot be written, or its file system has too little room.
    // The job would find each out only after the download.
    static QString targetFileRefusal(const QString &targetFile, qint64 imageSize);
    // Why disk is too small for an image of imageSize bytes (0: unknown).
    static QString diskRefusal(const Disk &disk, qint64 imageSize);

    bool downloads() const { return m_localFile.isEmpty(); }
    QString name() const { return m_name; }
    QString localFile() const { return m_localFile; }
    // A build's download and its place in the cache.
    RemoteImage remoteImage() const { return m_remote; }
    QString cacheDir() const { return m_cacheDir; }
    // The digest of the image on the card as the catalog gives it, raw; empty
    // for a local file and when the catalog gives none.
    QByteArray expectedSha256() const { return QByteArray::fromHex(m_extractSha256.toLatin1()); }
    QMap<QString, QByteArray> bootFiles() const { return m_bootFiles; }
    // None, to write the image as it is without setting up a product.
    void setBootFiles(const QMap<QString, QByteArray> &files) { m_bootFiles = files; }
    // What the image file is: a build is always a ZIP archive.
    ImageFormat imageFormat() const;

    // Whether the image is there to be read: a local file is, a build once
    // its archive is in the cache.
    bool imageAvailable() const;
    // The file the image is read from: the local file, or the build's
    // archive in the cache.
    QString imagePath() const;
    // A new, unopened source of the image at imagePath().
    std::unique_ptr<ImageSource> createSource() const;

    // The download of a catalog build into the cache.
    std::unique_ptr<ImageDownload> createDownload() const;
    // The job for one card: a catalog build is read from the cache, which
    // its download fills first when the archive is not there yet.
    std::unique_ptr<WriteJob> createJob(std::unique_ptr<BlockDevice> device, bool verify) const;
    // The job for one of several cards written from feed, reader number
    // reader of it; a catalog build must be in the cache already.
    std::unique_ptr<WriteJob> createJob(std::shared_ptr<ImageFeed> feed, int reader,
                                        std::unique_ptr<BlockDevice> device, bool verify) const;

    // What the user is told about a job of this plan that ended with error
    // after its last progress report named phase.
    // cardTouched: a report of a phase after the download came.
    QString outcomeMessage(WriteJob::Error error, const QString &detail, WriteJob::Phase phase,
                           bool cardTouched) const;

private:
    WritePlan() = default;

    // The digest, verification and boot files of every job.
    void configure(WriteJob &job, bool verify) const;

    QString m_localFile;
    QString m_cacheDir;
    RemoteImage m_remote;
    QString m_sha256;        // as the catalog writes them
    QString m_extractSha256;
    qint64 m_extractSize = 0;
    bool m_catalogIsFile = false;
    QMap<QString, QByteArray> m_bootFiles;
    QString m_name;
};
