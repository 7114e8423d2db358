#pragma once

#include "image/imagecache.h"
#include "image/remoteimage.h"

#include <QString>

#include <atomic>
#include <functional>

class QFile;
class QLockFile;
class Sha256;

// Brings one catalog build from its URL into the image cache, resuming from
// the bytes an earlier run left in the partial file. Only a file whose SHA-256
// equals the catalog's digest is ever stored under its final name. One object
// serves one run(), on whatever thread calls it.
class ImageDownload
{
public:
    enum class Failure {
        Network = 0,     // unusable status or range, or the transfer failed
        BadChecksum = 1, // the finished file has another digest
        NoSpace = 2,     // too little free space on the cache volume
        IoError = 3,     // the cache folder or partial file failed
        Cancelled = 4,
    };

    // A transfer during which no byte moves for this long is aborted.
    static constexpr int TransferTimeout = 30000; // ms

    // Bytes done in the one progress report made while another download of
    // the same archive (in this process or another) fills the cache: this run
    // waits for it to end, then uses the archive it completed, or resumes
    // from what it left.
    static constexpr qint64 Waiting = -1;

    ImageDownload(const ImageCache &cache, const RemoteImage &image);

    // Blocks until the verified archive is at cache.pathFor(image.sha256)
    // (true) or the download failed (false, see failure()). progress gets
    // (bytes done, bytes total) on the calling thread and must not be empty;
    // bytes done is Waiting while another download of the archive runs.
    // cancelled is only read.
    bool run(const std::function<void(qint64, qint64)> &progress,
             const std::atomic<bool> &cancelled);

    Failure failure() const;
    QString errorString() const;

    // Removes the complete archive, so that the next run downloads it again;
    // for an archive found damaged after the download. The partial file stays.
    void discard();

    // Tests only: lets a stalled transfer end sooner than TransferTimeout.
    void setTransferTimeoutForTesting(int milliseconds);

private:
    struct Transfer; // one HTTP transfer, shared by its steps

    bool lock(QLockFile &lock, const std::function<void(qint64, qint64)> &progress,
              const std::atomic<bool> &cancelled);
    bool transfer(QFile &partial, Sha256 &hash, qint64 offset,
                  const std::function<void(qint64, qint64)> &progress,
                  const std::atomic<bool> &cancelled);
    void await(Transfer &transfer);
    bool examine(Transfer &transfer);
    void receive(Transfer &transfer);
    void abort(Transfer &transfer);
    bool finish(Transfer &transfer);
    QString lackOfSpace(qint64 bytes) const;
    bool copyFile(QFile &partial, Sha256 &hash, qint64 offset,
                  const std::function<void(qint64, qint64)> &progress,
                  const std::atomic<bool> &cancelled);
    bool verify(QFile &partial, const Sha256 &hash);
    bool fail(Failure failure, const QString &text);

    ImageCache m_cache;
    RemoteImage m_image;
    Failure m_failure = Failure::Network;
    QString m_errorString;
    int m_transferTimeout = TransferTimeout;
};
