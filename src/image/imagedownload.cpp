#include "image/imagedownload.h"

#include "image/sha256.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <QTimer>

namespace {

// The resumed prefix is hashed again from disk in pieces of this size.
constexpr qint64 PieceSize = 4 * 1024 * 1024;
// Bytes the HTTP client may hold unread. When the cache disk is slower than
// the network, the client stops reading from the connection at this bound
// instead of holding whatever the server sends in memory.
constexpr qint64 ReadBufferSize = 1024 * 1024;
// How often a transfer that receives nothing looks at the cancel flag.
constexpr int CancelPollInterval = 100; // ms

// Free bytes on the volume holding dir, or -1 when that cannot be told.
qint64 availableBytes(const QString &dir)
{
    const QStorageInfo storage(dir);
    if (!storage.isValid() || !storage.isReady())
        return -1;
    return storage.bytesAvailable();
}

QString spaceText(qint64 needed, qint64 available)
{
    return QStringLiteral("%1 bytes needed, %2 available").arg(needed).arg(available);
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
    const qint64 need = m_image.size - offset;
    if (need > 0) {
        const qint64 available = availableBytes(m_cache.dir());
        if (available >= 0 && available < need)
            return fail(Failure::NoSpace, spaceText(need, available));
    }

    const bool alreadyWhole = m_image.size > 0 && offset >= m_image.size;
    if (!alreadyWhole) {
        const bool fetched = m_image.url.isLocalFile() ? copyFile(partial, hash, offset, progress, cancelled)
                                                       : transfer(partial, hash, offset, progress, cancelled);
        if (!fetched)
            return false;
    }
    return verify(partial, hash);
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
    if (offset > total) {
        // The prefix cannot be of this file: start over.
        if (!partial.resize(0) || !partial.seek(0))
            return fail(Failure::IoError, partial.errorString());
        hash.reset();
        offset = 0;
    }
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

    QNetworkRequest request(m_image.url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                         QNetworkRequest::AlwaysNetwork);
    // The digest is over the archive's own bytes, not a compressed transfer.
    request.setRawHeader("Accept-Encoding", "identity");
    if (offset > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');

    qint64 total = m_image.size;
    bool examined = false;
    bool rangeNotSatisfiable = false;
    bool aborted = false;
    QString httpProblem;
    QString spaceProblem;
    QString writeProblem;

    QEventLoop loop;
    QTimer cancelPoll;
    cancelPoll.setInterval(CancelPollInterval);
    QNetworkReply *reply = client.get(request);
    reply->setReadBufferSize(ReadBufferSize);

    bool inMetaData = false;
    const auto abort = [&] {
        aborted = true;
        // Aborting while the reply announces its metadata makes it report
        // its own error for the status as well; let that announcement end.
        if (inMetaData)
            QMetaObject::invokeMethod(reply, [reply] { reply->abort(); }, Qt::QueuedConnection);
        else
            reply->abort();
    };

    // The first response decides whether its body is wanted. False when the
    // transfer must stop; the reason is then in one of the state texts or in
    // the range-not-satisfiable flag.
    const auto examine = [&] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 416 && offset > 0) {
            rangeNotSatisfiable = true;
            return false;
        }
        if (status != 200 && status != 206) {
            httpProblem = QStringLiteral("HTTP %1").arg(status);
            return false;
        }
        if (status == 206) {
            const QByteArray contentRange = reply->rawHeader("Content-Range");
            if (!contentRange.startsWith("bytes " + QByteArray::number(offset) + '-')) {
                httpProblem = QStringLiteral("unexpected Content-Range: %1")
                                      .arg(QString::fromLatin1(contentRange));
                return false;
            }
        } else if (offset > 0) {
            // The server ignored the range and sends the whole file: start over.
            if (!partial.resize(0) || !partial.seek(0)) {
                writeProblem = partial.errorString();
                return false;
            }
            hash.reset();
            offset = 0;
        }
        const QVariant contentLength = reply->header(QNetworkRequest::ContentLengthHeader);
        if (total <= 0 && contentLength.isValid()) {
            const qint64 length = contentLength.toLongLong();
            total = offset + length;
            const qint64 available = availableBytes(m_cache.dir());
            if (available >= 0 && available < length) {
                spaceProblem = spaceText(length, available);
                return false;
            }
        }
        return true;
    };

    const auto onData = [&] {
        if (aborted)
            return;
        if (!examined) {
            examined = true;
            if (!examine()) {
                abort();
                return;
            }
        }
        const QByteArray bytes = reply->readAll();
        if (!writeAll(partial, bytes)) {
            writeProblem = partial.errorString();
            abort();
            return;
        }
        hash.addData(bytes.constData(), bytes.size());
        offset += bytes.size();
        progress(offset, total);
        if (cancelled)
            abort();
    };

    QObject::connect(reply, &QNetworkReply::readyRead, &loop, onData);
    // A 416 answer may come without a body, and so without ready-read.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
        if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() == 416) {
            inMetaData = true;
            onData();
            inMetaData = false;
        }
    });
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    // A stalled transfer delivers no chunks, so the flag is also polled.
    QObject::connect(&cancelPoll, &QTimer::timeout, &loop, [&] {
        if (cancelled && !aborted)
            abort();
    });

    cancelPoll.start();
    if (!reply->isFinished())
        loop.exec();
    cancelPoll.stop();

    const QNetworkReply::NetworkError error = reply->error();
    const QString errorText = reply->errorString();
    // A response that ended without any body was never examined; without
    // this a 204 to a resume would go on to verify, and remove, the prefix.
    if (!examined && error == QNetworkReply::NoError)
        examine();
    delete reply;
    if (!partial.flush() && writeProblem.isEmpty())
        writeProblem = partial.errorString();

    if (!writeProblem.isEmpty())
        return fail(Failure::IoError, writeProblem);
    if (cancelled)
        return fail(Failure::Cancelled, QString());
    if (!spaceProblem.isEmpty())
        return fail(Failure::NoSpace, spaceProblem);
    if (!httpProblem.isEmpty())
        return fail(Failure::Network, httpProblem);
    if (error != QNetworkReply::NoError && !rangeNotSatisfiable)
        return fail(Failure::Network, errorText);
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
