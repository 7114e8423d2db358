#include "write/writejob.h"

#include "disks/alignedbuffer.h"
#include "write/chunkhasher.h"
#include "write/fatwriter.h"
#include "write/imagefeed.h"
#include "write/imageprobe.h"

#include <new>

WriteJob::WriteJob(std::unique_ptr<ImageSource> source, std::unique_ptr<BlockDevice> device, QObject *parent)
    : WriteJob(std::make_shared<ImageFeed>(std::move(source), 1), 0, std::move(device), parent)
{
}

WriteJob::WriteJob(std::shared_ptr<ImageFeed> feed, int reader, std::unique_ptr<BlockDevice> device, QObject *parent)
    : QObject(parent)
    , m_feed(std::move(feed))
    , m_reader(reader)
    , m_device(std::move(device))
{
    static_assert(ChunkSize == ImageFeed::ChunkSize, "the job writes the feed's chunks whole");
}

WriteJob::~WriteJob()
{
    // A job that never ran must not hold up the other readers of a shared feed.
    if (m_feed)
        m_feed->leave(m_reader);
}

void WriteJob::setVerify(bool verify)
{
    m_verify = verify;
}

void WriteJob::setExpectedSha256(const QByteArray &sha256)
{
    m_expectedSha256 = sha256;
}

void WriteJob::setDownload(std::unique_ptr<ImageDownload> download)
{
    m_download = std::move(download);
}

void WriteJob::setBootFiles(const QMap<QString, QByteArray> &files)
{
    m_bootFiles = files;
}

void WriteJob::setBootPartitionCheck(std::unique_ptr<ImageSource> source)
{
    m_bootPartitionCheck = std::move(source);
}

void WriteJob::cancel()
{
    m_cancelled.exchange(true);
}

void WriteJob::run()
{
    if ((m_download && !download()) || (m_bootPartitionCheck && !checkBootPartition())) {
        m_feed->leave(m_reader);
        return;
    }

    try {
        if (writeImage() && (!m_verify || verifyImage()) && !m_bootFiles.isEmpty())
            finalize();
    } catch (const std::bad_alloc &) {
        // Not one of the job's own failures: the computer is out of memory.
        fail(Error::TargetIoError, QStringLiteral("out of memory"));
    }

    m_device->close();
    // Other cards may go on reading the feed; this one's reading thread ends
    // with its last reader. The source closes its file before a damaged
    // download is deleted under it.
    m_feed->leave(m_reader);
    m_feed.reset();
    if (m_download && (m_error == Error::CorruptImage || m_error == Error::ChecksumMismatch))
        m_download->discard();
}

bool WriteJob::download()
{
    const auto report = [this](qint64 done, qint64 total) { emit progress(Phase::Downloading, done, total); };
    if (m_download->run(report, m_cancelled))
        return true;

    return fail(errorFor(m_download->failure()), m_download->errorString());
}

bool WriteJob::checkBootPartition()
{
    const ImageProbe probe = ImageProbe::run(*m_bootPartitionCheck);
    m_bootPartitionCheck.reset();
    // An image that cannot be read fails in the write step, with the
    // source's own error.
    if (probe.bootPartition == ImageProbe::BootPartition::Missing)
        return fail(Error::NoBootPartition, probe.bootProblem);
    return true;
}

WriteJob::Error WriteJob::errorFor(ImageDownload::Failure failure)
{
    switch (failure) {
    case ImageDownload::Failure::Network:
        return Error::NetworkError;
    case ImageDownload::Failure::BadChecksum:
        return Error::DownloadChecksumMismatch;
    case ImageDownload::Failure::NoSpace:
        return Error::CacheFull;
    case ImageDownload::Failure::IoError:
        return Error::CacheIoError;
    case ImageDownload::Failure::Cancelled:
        return Error::Cancelled;
    }
    return Error::NetworkError;
}

bool WriteJob::writeImage()
{
    if (!m_feed->open())
        return failSource();
    m_imageSize = m_feed->size();
    if (!m_device->open())
        return failTarget(Error::TargetUnavailable);
    // Every transfer is a chunk or its last part padded to whole sectors;
    // a sector that does not divide the chunk would pad past its end.
    const int sectorSize = m_device->sectorSize();
    if (sectorSize <= 0 || ChunkSize % sectorSize != 0)
        return fail(Error::TargetIoError, QStringLiteral("unsupported sector size %1").arg(sectorSize));
    if (m_imageSize > m_device->size())
        return fail(Error::TargetTooSmall);

    emit progress(Phase::Writing, 0, m_imageSize);
    m_feed->start();
    qint64 written = 0;
    while (written < m_imageSize) {
        if (m_cancelled)
            return fail(Error::Cancelled);
        const ImageFeed::Chunk chunk = m_feed->next(m_reader);
        // In a batch the wait can be long (a slower card sets the pace): a
        // cancel that came meanwhile stops before this card is written again.
        if (m_cancelled)
            return fail(Error::Cancelled);
        if (!chunk)
            return failSource();
        // The feed's digest covers the image bytes only, never the zeros
        // that pad the last sector.
        if (!m_device->write(chunk.data, AlignedBuffer::roundUp(chunk.length, sectorSize)))
            return failTarget(Error::TargetIoError);
        written += chunk.length;
        emit progress(Phase::Writing, written, m_imageSize);
        m_feed->release(m_reader);
    }
    if (!m_device->flush())
        return failTarget(Error::TargetIoError);

    m_writtenSha256 = m_feed->sha256();
    if (!m_expectedSha256.isEmpty() && m_expectedSha256 != m_writtenSha256)
        return fail(Error::ChecksumMismatch);
    return true;
}

bool WriteJob::verifyImage()
{
    emit progress(Phase::Verifying, 0, m_imageSize);
    if (!m_device->dropCaches() || !m_device->seek(0))
        return failTarget(Error::TargetIoError);

    // The card reads the next chunk while the one before is hashed.
    ChunkHasher hasher(ChunkSize);
    qint64 verified = 0;
    while (verified < m_imageSize) {
        if (m_cancelled)
            return fail(Error::Cancelled);
        const qint64 chunk = qMin(m_imageSize - verified, ChunkSize);
        const qint64 length = AlignedBuffer::roundUp(chunk, m_device->sectorSize());
        char *buffer = hasher.buffer();
        const qint64 count = m_device->read(buffer, length);
        if (count < 0)
            return failTarget(Error::TargetIoError);
        // A short read is no failure of the device, so its text says nothing.
        if (count != length)
            return fail(Error::TargetIoError,
                        QStringLiteral("the device ended after %1 bytes").arg(verified + count));
        hasher.add(chunk);
        verified += chunk;
        emit progress(Phase::Verifying, verified, m_imageSize);
    }
    if (hasher.result() != m_writtenSha256)
        return fail(Error::VerifyMismatch);
    return true;
}

bool WriteJob::finalize()
{
    const qint64 count = m_bootFiles.size();
    emit progress(Phase::Finalizing, 0, count);
    if (m_cancelled)
        return fail(Error::Cancelled);

    {
        FatWriter writer(*m_device);
        for (auto file = m_bootFiles.cbegin(); file != m_bootFiles.cend(); ++file) {
            if (!writer.writeFile(file.key(), file.value()))
                return failBootFiles(writer);
        }
    }
    if (!m_device->dropCaches())
        return failTarget(Error::TargetIoError);

    // A fresh writer mounts again from what is on the card.
    FatWriter checker(*m_device);
    qint64 checked = 0;
    for (auto file = m_bootFiles.cbegin(); file != m_bootFiles.cend(); ++file) {
        const std::optional<QByteArray> back = checker.readFile(file.key());
        if (!back)
            return failBootFiles(checker);
        if (*back != file.value())
            return fail(Error::BootFilesFailed,
                        QStringLiteral("%1 read back differs from what was written").arg(file.key()));
        ++checked;
        emit progress(Phase::Finalizing, checked, count);
    }
    return true;
}

bool WriteJob::fail(Error error, const QString &detail)
{
    m_error = error;
    m_errorDetail = detail;
    return false;
}

bool WriteJob::failSource()
{
    switch (m_feed->failure()) {
    case ImageSource::Failure::Unreadable:
        return fail(Error::SourceUnreadable, m_feed->errorString());
    case ImageSource::Failure::Unsupported:
        return fail(Error::UnsupportedImage, m_feed->errorString());
    case ImageSource::Failure::Corrupt:
        return fail(Error::CorruptImage, m_feed->errorString());
    }
    return fail(Error::SourceUnreadable, m_feed->errorString());
}

bool WriteJob::failTarget(Error fallback)
{
    switch (m_device->failure()) {
    case BlockDevice::Failure::IoError:
        return fail(fallback, m_device->errorString());
    case BlockDevice::Failure::WriteProtected:
        return fail(Error::TargetWriteProtected, m_device->errorString());
    case BlockDevice::Failure::Removed:
        return fail(Error::TargetRemoved, m_device->errorString());
    case BlockDevice::Failure::PermissionDenied:
        return fail(Error::TargetPermissionDenied, m_device->errorString());
    case BlockDevice::Failure::Cancelled:
        return fail(Error::Cancelled, m_device->errorString());
    }
    return fail(fallback, m_device->errorString());
}

bool WriteJob::failBootFiles(const FatWriter &writer)
{
    if (writer.failure() == FatWriter::Failure::DeviceError)
        return failTarget(Error::TargetIoError);
    return fail(Error::BootFilesFailed, writer.errorString());
}
