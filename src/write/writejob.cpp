#include "write/writejob.h"

#include "disks/alignedbuffer.h"
#include "image/sha256.h"
#include "write/fatwriter.h"

#include <cstring>
#include <new>

WriteJob::WriteJob(std::unique_ptr<ImageSource> source, std::unique_ptr<BlockDevice> device, QObject *parent)
    : QObject(parent)
    , m_source(std::move(source))
    , m_device(std::move(device))
{
}

WriteJob::~WriteJob() = default;

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

void WriteJob::cancel()
{
    m_cancelled.exchange(true);
}

void WriteJob::run()
{
    if (m_download && !download())
        return;

    std::unique_ptr<AlignedBuffer> buffer;
    try {
        buffer = std::make_unique<AlignedBuffer>(ChunkSize);
    } catch (const std::bad_alloc &) {
        // Not one of the job's own failures: the computer is out of memory.
        fail(Error::TargetIoError, QStringLiteral("out of memory"));
        return;
    }

    if (writeImage(*buffer) && (!m_verify || verifyImage(*buffer)) && !m_bootFiles.isEmpty())
        finalize();

    m_device->close();
    // The source closes its file before a damaged download is deleted under it.
    m_source.reset();
    if (m_download && (m_error == Error::CorruptImage || m_error == Error::ChecksumMismatch))
        m_download->discard();
    buffer.reset();
}

bool WriteJob::download()
{
    const auto report = [this](qint64 done, qint64 total) { emit progress(Phase::Downloading, done, total); };
    if (m_download->run(report, m_cancelled))
        return true;

    return fail(errorFor(m_download->failure()), m_download->errorString());
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

bool WriteJob::writeImage(AlignedBuffer &buffer)
{
    if (!m_source->open())
        return failSource();
    m_imageSize = m_source->size();
    if (!m_device->open())
        return failTarget(Error::TargetUnavailable);
    // Every transfer is the buffer or its last part padded to whole sectors;
    // a sector that does not divide the buffer would pad past its end.
    const int sectorSize = m_device->sectorSize();
    if (sectorSize <= 0 || ChunkSize % sectorSize != 0)
        return fail(Error::TargetIoError, QStringLiteral("unsupported sector size %1").arg(sectorSize));
    if (m_imageSize > m_device->size())
        return fail(Error::TargetTooSmall);

    Sha256 hash;
    emit progress(Phase::Writing, 0, m_imageSize);
    qint64 written = 0;
    while (written < m_imageSize) {
        if (m_cancelled)
            return fail(Error::Cancelled);
        const qint64 chunk = qMin(m_imageSize - written, ChunkSize);

        qint64 filled = 0;
        while (filled < chunk) {
            const qint64 count = m_source->read(buffer.data() + filled, chunk - filled);
            if (count < 0)
                return failSource();
            if (count == 0)
                break;
            filled += count;
        }
        if (filled == 0)
            return fail(Error::SourceUnreadable, QStringLiteral("truncated image"));

        hash.addData(buffer.data(), filled);
        // The digest covers the image bytes only, never the padding of the last sector.
        const qint64 padded = AlignedBuffer::roundUp(filled, m_device->sectorSize());
        std::memset(buffer.data() + filled, 0, size_t(padded - filled));
        if (!m_device->write(buffer.data(), padded))
            return failTarget(Error::TargetIoError);
        written += filled;
        emit progress(Phase::Writing, written, m_imageSize);
    }
    if (!m_device->flush())
        return failTarget(Error::TargetIoError);

    m_writtenSha256 = hash.result();
    if (!m_expectedSha256.isEmpty() && m_expectedSha256 != m_writtenSha256)
        return fail(Error::ChecksumMismatch);
    return true;
}

bool WriteJob::verifyImage(AlignedBuffer &buffer)
{
    emit progress(Phase::Verifying, 0, m_imageSize);
    if (!m_device->dropCaches() || !m_device->seek(0))
        return failTarget(Error::TargetIoError);

    Sha256 hash;
    qint64 verified = 0;
    while (verified < m_imageSize) {
        if (m_cancelled)
            return fail(Error::Cancelled);
        const qint64 chunk = qMin(m_imageSize - verified, ChunkSize);
        const qint64 length = AlignedBuffer::roundUp(chunk, m_device->sectorSize());
        const qint64 count = m_device->read(buffer.data(), length);
        if (count < 0)
            return failTarget(Error::TargetIoError);
        // A short read is no failure of the device, so its text says nothing.
        if (count != length)
            return fail(Error::TargetIoError,
                        QStringLiteral("the device ended after %1 bytes").arg(verified + count));
        hash.addData(buffer.data(), chunk);
        verified += chunk;
        emit progress(Phase::Verifying, verified, m_imageSize);
    }
    if (hash.result() != m_writtenSha256)
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
    switch (m_source->failure()) {
    case ImageSource::Failure::Unreadable:
        return fail(Error::SourceUnreadable, m_source->errorString());
    case ImageSource::Failure::Unsupported:
        return fail(Error::UnsupportedImage, m_source->errorString());
    case ImageSource::Failure::Corrupt:
        return fail(Error::CorruptImage, m_source->errorString());
    }
    return fail(Error::SourceUnreadable, m_source->errorString());
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
    }
    return fail(fallback, m_device->errorString());
}

bool WriteJob::failBootFiles(const FatWriter &writer)
{
    if (writer.failure() == FatWriter::Failure::DeviceError)
        return failTarget(Error::TargetIoError);
    return fail(Error::BootFilesFailed, writer.errorString());
}
