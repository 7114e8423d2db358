#pragma once

#include "disks/blockdevice.h"
#include "image/imagedownload.h"
#include "image/imagesource.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class FatWriter;
class ImageFeed;

// One complete preparation of one card: download into the cache (optional),
// write the image over the device from byte 0 while hashing it, read it back
// (optional) and put the boot files into the card's first FAT partition.
// Configured on the GUI thread, then run() once on a worker thread. The
// image is read and hashed on a thread of its own (an ImageFeed) while the
// job's thread writes, and the read-back is hashed on another while the job's
// thread reads the card: only the job's thread touches the device.
class WriteJob : public QObject
{
    Q_OBJECT

public:
    enum class Phase { Downloading = 0, Writing = 1, Verifying = 2, Finalizing = 3 };
    Q_ENUM(Phase)

    enum class Error {
        None = 0,
        SourceUnreadable = 1,
        UnsupportedImage = 2,
        CorruptImage = 3,
        ChecksumMismatch = 4,
        NetworkError = 5,
        DownloadChecksumMismatch = 6,
        CacheFull = 7,
        CacheIoError = 8,
        TargetUnavailable = 9,
        TargetTooSmall = 10,
        TargetIoError = 11,
        TargetWriteProtected = 12,
        TargetRemoved = 13,
        TargetPermissionDenied = 14,
        VerifyMismatch = 15,
        BootFilesFailed = 16,
        Cancelled = 17,
        NoBootPartition = 18,
    };
    Q_ENUM(Error)

    // Every transfer to and from the device is at most this long.
    static constexpr qint64 ChunkSize = 4 * 1024 * 1024;

    WriteJob(std::unique_ptr<ImageSource> source, std::unique_ptr<BlockDevice> device, QObject *parent = nullptr);
    // A job of several cards written at once: the image comes from feed,
    // which reads and hashes it once for all of them; this job is its reader
    // number reader. The one who made the feed downloads before and discards
    // a damaged download after, once every job has ended.
    WriteJob(std::shared_ptr<ImageFeed> feed, int reader, std::unique_ptr<BlockDevice> device,
             QObject *parent = nullptr);
    ~WriteJob() override;

    void setVerify(bool verify);
    // A raw digest, not hexadecimal text; empty means no check.
    void setExpectedSha256(const QByteArray &sha256);
    void setDownload(std::unique_ptr<ImageDownload> download);
    void setBootFiles(const QMap<QString, QByteArray> &files);
    // A second, unopened source of the same image, read only for its first
    // sectors once the download is done and before the card is opened: boot
    // files that the image has no partition for then fail with the card
    // untouched (NoBootPartition), not after the whole write.
    void setBootPartitionCheck(std::unique_ptr<ImageSource> source);

    void run();

    // The job's error for a download that failed with failure.
    static Error errorFor(ImageDownload::Failure failure);
    // Safe from any thread at any time; the job stops at its next check.
    void cancel();

    Error error() const { return m_error; }
    QString errorDetail() const { return m_errorDetail; }
    QByteArray writtenSha256() const { return m_writtenSha256; }

signals:
    // In the Finalizing phase the counts are files, not bytes.
    void progress(WriteJob::Phase phase, qint64 bytesDone, qint64 bytesTotal);

private:
    bool download();
    bool checkBootPartition();
    bool writeImage();
    bool verifyImage();
    bool finalize();

    bool fail(Error error, const QString &detail = QString());
    bool failSource();
    bool failTarget(Error fallback);
    bool failBootFiles(const FatWriter &writer);

    // The source, read through a feed of this job's own or of a batch's.
    std::shared_ptr<ImageFeed> m_feed;
    int m_reader = 0;
    std::unique_ptr<BlockDevice> m_device;
    std::unique_ptr<ImageDownload> m_download;
    std::unique_ptr<ImageSource> m_bootPartitionCheck;
    bool m_verify = true;
    QMap<QString, QByteArray> m_bootFiles;
    QByteArray m_expectedSha256;
    qint64 m_imageSize = 0;
    std::atomic<bool> m_cancelled{false};
    Error m_error = Error::None;
    QString m_errorDetail;
    QByteArray m_writtenSha256;
};
