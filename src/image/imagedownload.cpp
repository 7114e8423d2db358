#include "image/imagedownload.h"

#include "image/sha256.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <QTimer>

#include <optional>

namespace {

// The resumed prefix is hashed again from disk in pieces of this size.
constexpr qint64 PieceSize = 4 * 1024 * 1024;
// Bytes the HTTP client may hold unread. When the cache disk is slower than
// the network, the client stops reading from the connection at this bound
// instead of holding whatever the server sends in memory.
constexpr qint64 ReadBufferSize = 1024 * 1024;
// How often a transfer that receives nothing, or a run that waits for
// another download of its archive, looks at the cancel flag.
constexpr int CancelPollInterval = 100; // ms

// Free bytes on the volume holding dir, or -1 when that cannot be told.
qint64 availableBytes(const QString &dir)
{
    const QStorageInfo storage(dir);
    if (!storage.isValid() || !storage.isReady())
        return -1;
    return storage.bytesAvailable();
}

// The partial file's bytes are no prefix of what comes: empty it and the
// digest, so that the archive is taken from its first byte.
bool startOver(QFile &partial, Sha256 &hash, qint64 &offset)
{
    if (!partial.resize(0) || !partial.seek(0))
        return false;
    hash.reset();
    offset = 0;
    return true;
}

QNetworkRequest rangeRequest(const QUrl &url, qint64 offset)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    // The digest is over the archive's own bytes, not a compressed transfer.
    request.setRawHeader("Accept-Encoding", "identity");
    if (offset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
    return request;
}

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// A write that stores only part of the bytes without an error leaves the
// file's error text stale; writing the rest makes the file say why it stopped.
bool writeAll(QFile &file, const QByteArray &bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const qint64 written = file.write(bytes.constData() + done, bytes.size() - done);
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

} // namespace

ImageDownload::ImageDownload(const ImageCache &cache, const RemoteImage &image)
    : m_cache(cache)
    , m_image(image)
{
}

bool ImageDownload::run(const std::function<void(qint64, qint64)> &progress,
                        const std::atomic<bool> &cancelled)
{
    Q_ASSERT(progress);

    // A complete archive is trusted without hashing it again; damage found
    // while writing from it leads to discard().
    if (QFileInfo(m_cache.pathFor(m_image.sha256)).isFile()) {
        progress(m_image.size, m_image.size);
        return true;
    }

    if (!QDir().mkpath(m_cache.dir()))
        return fail(Failure::IoError, QStringLiteral("cannot create %1").arg(m_cache.dir()));

    // Two runs that shared the partial file would each take the other's
    // bytes for a prefix to resume from, and both end with a wrong digest.
    QLockFile entryLock(m_cache.lockPathFor(m_image.sha256));
    if (!lock(entryLock, progress, cancelled))
        return false;
    // The run this one waited for may have completed the archive.
    if (QFileInfo(m_cache.pathFor(m_image.sha256)).isFile()) {
        progress(m_image.size, m_image.size);
        return true;
    }

    // Never truncated on open: its bytes are the prefix to resume from.
    // Unbuffered, so that every received chunk is on disk when a run ends.
    QFile partial(m_cache.partialPathFor(m_image.sha256));
    if (!partial.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        return fail(Failure::IoError, partial.errorString());

    // Hash the prefix again; afterwards the position is at the end of the
    // file, so every later write appends.
    Sha256 hash;
    {
        QByteArray piece(PieceSize, Qt::Uninitialized);
        while (!partial.atEnd()) {
            if (cancelled)
                return fail(Failure::Cancelled, QString());
            const qint64 read = partial.read(piece.data(), piece.size());
            if (read <= 0)
                return fail(Failure::IoError, partial.errorString());
            hash.addData(piece.constData(), read);
        }
    }

    const qint64 offset = partial.size();
    const QString shortage = lackOfSpace(m_image.size - offset);
    if (!shortage.isEmpty())
        return fail(Failure::NoSpace, shortage);

    const bool alreadyWhole = m_image.size > 0 && offset >= m_image.size;
    if (!alreadyWhole) {
        const bool fetched = m_image.url.isLocalFile() ? copyFile(partial, hash, offset, progress, cancelled)
                                                       : transfer(partial, hash, offset, progress, cancelled);
        if (!fetched)
            return false;
    }
    return verify(partial, hash);
}

// Takes the lock on the archive's cache files, waiting while another download
// holds it. A lock left by a process that has ended is taken over.
bool ImageDownload::lock(QLockFile &lock, const std::function<void(qint64, qint64)> &progress,
                         const std::atomic<bool> &cancelled)
{
    ImageCache::prepareLock(lock);
    bool waiting = false;
    while (!lock.tryLock(waiting ? CancelPollInterval : 0)) {
        if (lock.error() != QLockFile::LockFailedError)
            return fail(Failure::IoError, QStringLiteral("cannot create %1").arg(lock.fileName()));
        if (cancelled)
            return fail(Failure::Cancelled, QString());
        if (!waiting) {
            waiting = true;
            progress(Waiting, m_image.size);
        }
    }
    return true;
}

// A catalog read from a file may name its archives as files beside it. The
// network client answers a file URL at once, whole and in one piece, so such
// an archive is copied here instead: in pieces, resumed from offset, with
// the same progress, cancel checks and digest as a transfer.
bool ImageDownload::copyFile(QFile &partial, Sha256 &hash, qint64 offset,
                             const std::function<void(qint64, qint64)> &progress,
                             const std::atomic<bool> &cancelled)
{
    QFile source(m_image.url.toLocalFile());
    if (!source.open(QIODevice::ReadOnly))
        return fail(Failure::Network, source.errorString());
    const qint64 total = source.size();
    // A prefix longer than the file cannot be of this file.
    if (offset > total && !startOver(partial, hash, offset))
        return fail(Failure::IoError, partial.errorString());
    if (!source.seek(offset))
        return fail(Failure::Network, source.errorString());

    QByteArray piece(PieceSize, Qt::Uninitialized);
    while (offset < total) {
        if (cancelled)
            return fail(Failure::Cancelled, QString());
        const qint64 read = source.read(piece.data(), piece.size());
        if (read <= 0)
            return fail(Failure::Network, read < 0 ? source.errorString() : QStringLiteral("file ended early"));
        const QByteArray bytes = QByteArray::fromRawData(piece.constData(), read);
        if (!writeAll(partial, bytes))
            return fail(Failure::IoError, partial.errorString());
        hash.addData(bytes.constData(), bytes.size());
        offset += read;
        progress(offset, total);
    }
    return true;
}

struct ImageDownload::Transfer {
    // Why the transfer stopped early, when it did.
    struct Problem {
        Failure failure;
        QString text;
    };

    Transfer(QFile &partial, Sha256 &hash, qint64 offset,
             const std::function<void(qint64, qint64)> &progress, const std::atomic<bool> &cancelled)
        : partial(partial), hash(hash), offset(offset), progress(progress), cancelled(cancelled)
    {
    }

    QFile &partial;
    Sha256 &hash;
    qint64 offset = 0; // bytes in the partial file
    const std::function<void(qint64, qint64)> &progress;
    const std::atomic<bool> &cancelled;
    QNetworkReply *reply = nullptr;
    qint64 total = 0;
    qint64 end = -1;                  // where the response's announced body ends
    bool examined = false;            // the first response was looked at
    bool aborted = false;
    bool inMetaData = false;          // within the reply's metadata announcement
    bool rangeNotSatisfiable = false; // the partial file is already whole
    std::optional<Problem> problem;
};

// Fetches the bytes from offset on and appends them to the partial file.
// True when the file is ready to be verified: the reply ended without error,
// or the server said the range cannot be satisfied because the file is whole.
bool ImageDownload::transfer(QFile &partial, Sha256 &hash, qint64 offset,
                             const std::function<void(qint64, qint64)> &progress,
                             const std::atomic<bool> &cancelled)
{
    // Made here, so that the client, the reply and every handler belong to
    // the calling thread.
    QNetworkAccessManager client;
    client.setTransferTimeout(m_transferTimeout);

    Transfer transfer(partial, hash, offset, progress, cancelled);
    transfer.total = m_image.size;
    transfer.reply = client.get(rangeRequest(m_image.url, offset));
    transfer.reply->setReadBufferSize(ReadBufferSize);
    await(transfer);
    return finish(transfer);
}

// Runs the reply to its end, receiving its body as it comes.
void ImageDownload::await(Transfer &transfer)
{
    QNetworkReply *reply = transfer.reply;
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::readyRead, &loop, [this, &transfer] { receive(transfer); });
    // A 416 answer may come without a body, and so without ready-read.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [this, &transfer] {
        if (httpStatus(transfer.reply) == 416) {
            transfer.inMetaData = true;
            receive(transfer);
            transfer.inMetaData = false;
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);

    // A stalled transfer delivers no chunks, so the flag is also polled.
    QTimer cancelPoll;
    cancelPoll.setInterval(CancelPollInterval);
    QObject::connect(&cancelPoll, &QTimer::timeout, &loop, [this, &transfer] {
        if (transfer.cancelled && !transfer.aborted)
            abort(transfer);
    });
    cancelPoll.start();
    if (!reply->isFinished())
        loop.exec();
    cancelPoll.stop();
}

void ImageDownload::abort(Transfer &transfer)
{
    transfer.aborted = true;
    QNetworkReply *reply = transfer.reply;
    // Aborting while the reply announces its metadata makes it report its own
    // error for the status as well; let that announcement end.
    if (transfer.inMetaData)
        QMetaObject::invokeMethod(reply, [reply] { reply->abort(); }, Qt::QueuedConnection);
    else
        reply->abort();
}

// The first response decides whether its body is wanted. False when the
// transfer must stop; the reason is then the problem or the
// range-not-satisfiable flag.
bool ImageDownload::examine(Transfer &transfer)
{
    QNetworkReply *reply = transfer.reply;
    const int status = httpStatus(reply);
    if (status == 416 && transfer.offset > 0) {
        transfer.rangeNotSatisfiable = true;
        return false;
    }
    if (status != 200 && status != 206) {
        transfer.problem = Transfer::Problem{Failure::Network, QStringLiteral("HTTP %1").arg(status)};
        return false;
    }
    if (status == 206) {
        const QByteArray contentRange = reply->rawHeader("Content-Range");
        if (!contentRange.startsWith("bytes " + QByteArray::number(transfer.offset) + '-')) {
            transfer.problem = Transfer::Problem{
                    Failure::Network,
                    QStringLiteral("unexpected Content-Range: %1").arg(QString::fromLatin1(contentRange))};
            return false;
        }
    } else if (transfer.offset > 0) {
        // The server ignored the range and sends the whole file.
        if (!startOver(transfer.partial, transfer.hash, transfer.offset)) {
            transfer.problem = Transfer::Problem{Failure::IoError, transfer.partial.errorString()};
            return false;
        }
    }
    const QVariant contentLength = reply->header(QNetworkRequest::ContentLengthHeader);
    if (contentLength.isValid())
        transfer.end = transfer.offset + contentLength.toLongLong();
    if (transfer.total <= 0 && contentLength.isValid()) {
        const qint64 length = contentLength.toLongLong();
        transfer.total = transfer.offset + length;
        const QString shortage = lackOfSpace(length);
        if (!shortage.isEmpty()) {
            transfer.problem = Transfer::Problem{Failure::NoSpace, shortage};
            return false;
        }
    }
    return true;
}

// Appends what the reply holds to the partial file and the digest.
void ImageDownload::receive(Transfer &transfer)
{
    if (transfer.aborted)
        return;
    if (!transfer.examined) {
        transfer.examined = true;
        if (!examine(transfer)) {
            abort(transfer);
            return;
        }
    }
    const QByteArray bytes = transfer.reply->readAll();
    if (!writeAll(transfer.partial, bytes)) {
        transfer.problem = Transfer::Problem{Failure::IoError, transfer.partial.errorString()};
        abort(transfer);
        return;
    }
    transfer.hash.addData(bytes.constData(), bytes.size());
    transfer.offset += bytes.size();
    transfer.progress(transfer.offset, transfer.total);
    if (transfer.cancelled)
        abort(transfer);
}

// The outcome of a reply that has ended. A failed write of the partial file
// counts before a cancel, and a cancel before why the transfer stopped.
bool ImageDownload::finish(Transfer &transfer)
{
    const QNetworkReply::NetworkError error = transfer.reply->error();
    const QString errorText = transfer.reply->errorString();
    // A response that ended without any body was never examined; without
    // this a 204 to a resume would go on to verify, and remove, the prefix.
    if (!transfer.examined && error == QNetworkReply::NoError)
        examine(transfer);
    delete transfer.reply;
    transfer.reply = nullptr;

    const auto writeFailed = [&transfer] {
        return transfer.problem && transfer.problem->failure == Failure::IoError;
    };
    if (!transfer.partial.flush() && !writeFailed())
        transfer.problem = Transfer::Problem{Failure::IoError, transfer.partial.errorString()};

    if (writeFailed())
        return fail(Failure::IoError, transfer.problem->text);
    if (transfer.cancelled)
        return fail(Failure::Cancelled, QString());
    if (transfer.problem)
        return fail(transfer.problem->failure, transfer.problem->text);
    // The client ends a transfer that stalls as if it had been cancelled,
    // and says no more than that.
    if (error == QNetworkReply::OperationCanceledError && !transfer.aborted)
        return fail(Failure::Network, QStringLiteral("the server stopped sending for %1 seconds")
                                              .arg(QString::number(m_transferTimeout / 1000.0)));
    if (error != QNetworkReply::NoError && !transfer.rangeNotSatisfiable)
        return fail(Failure::Network, errorText);
    // Qt's client may end a reply whose server went away mid-body without an
    // error; the bytes that came are kept for a resume, not verified and lost.
    if (transfer.end >= 0 && transfer.offset < transfer.end)
        return fail(Failure::Network, QStringLiteral("Connection closed"));
    return true;
}

// Only a file with the expected digest gets the final name; any other is
// useless for a resume and is removed.
bool ImageDownload::verify(QFile &partial, const Sha256 &hash)
{
    partial.close();
    if (hash.result() != m_image.sha256) {
        QFile::remove(partial.fileName());
        return fail(Failure::BadChecksum, QStringLiteral("sha256 mismatch"));
    }
    const QString archivePath = m_cache.pathFor(m_image.sha256);
    if (!partial.rename(archivePath)) {
        // Another run completed the same archive first.
        if (QFileInfo(archivePath).isFile()) {
            QFile::remove(partial.fileName());
            return true;
        }
        return fail(Failure::IoError, partial.errorString());
    }
    return true;
}

// The text for too little free space on the cache volume for bytes more, or
// an empty text when there is room or the free space cannot be told.
QString ImageDownload::lackOfSpace(qint64 bytes) const
{
    if (bytes <= 0)
        return QString();
    const qint64 available = availableBytes(m_cache.dir());
    if (available >= 0 && available < bytes)
        return QStringLiteral("%1 bytes needed, %2 available").arg(bytes).arg(available);
    return QString();
}

ImageDownload::Failure ImageDownload::failure() const
{
    return m_failure;
}

QString ImageDownload::errorString() const
{
    return m_errorString;
}

void ImageDownload::discard()
{
    QFile::remove(m_cache.pathFor(m_image.sha256));
}

void ImageDownload::setTransferTimeoutForTesting(int milliseconds)
{
    m_transferTimeout = milliseconds;
}

bool ImageDownload::fail(Failure failure, const QString &text)
{
    m_failure = failure;
    m_errorString = text;
    return false;
}
