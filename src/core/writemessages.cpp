#include "core/writemessages.h"

#include "write/imageprobe.h"

QString WriteMessages::forOutcome(WriteJob::Error error, const QString &detail, WriteJob::Phase phase,
                                  bool hasBootFiles, ImageFormat format, bool cardTouched)
{
    using Phase = WriteJob::Phase;
    if (error == WriteJob::Error::CorruptImage && !cardTouched)
        return tr("The image file is damaged: %1. The SD card was not touched.").arg(detail);
    if (error != WriteJob::Error::Cancelled)
        return forError(error, detail, format);
    switch (phase) {
    case Phase::Downloading:
        return tr("Download cancelled: the SD card was not touched. The download will resume where it stopped.");
    case Phase::Writing:
        // The system asked the user whether the card may be opened, and the
        // user said no.
        if (!cardTouched)
            return tr("Cancelled: the SD card was not touched.");
        break;
    case Phase::Verifying:
        // Cancelled while verifying, the boot files were never written either:
        // the card would not start as the product.
        if (!hasBootFiles)
            return tr("Verification was cancelled: the SD card was written but not checked.");
        Q_FALLTHROUGH();
    case Phase::Finalizing:
        return tr("Cancelled before setting the product: the SD card would not start with the right product. "
                  "Write it again before using it.");
    }
    return forError(error, detail, format);
}

QString WriteMessages::forError(WriteJob::Error error, const QString &detail, ImageFormat format)
{
    using Error = WriteJob::Error;
    switch (error) {
    case Error::None:
        return {};
    case Error::SourceUnreadable:
        return tr("Cannot read the image: %1").arg(detail);
    case Error::UnsupportedImage:
        return unsupportedImage(format, detail);
    case Error::CorruptImage:
        return tr("The image file is damaged and the SD card is not usable: %1").arg(detail);
    case Error::ChecksumMismatch:
        return tr("The image does not match the catalog (checksum mismatch): the SD card is not usable. "
                  "Download the image again.");
    case Error::NetworkError:
        return tr("Download failed: %1. Check the network connection and retry.").arg(detail);
    case Error::DownloadChecksumMismatch:
        return tr("The downloaded image is damaged (checksum mismatch) and was discarded; the SD card was not "
                  "touched. Retry to download it again.");
    case Error::CacheFull:
        return tr("Not enough free disk space to download the image: %1").arg(detail);
    case Error::CacheIoError:
        return tr("Cannot save the image in the cache folder: %1").arg(detail);
    case Error::TargetUnavailable:
        return tr("Cannot open the SD card: %1").arg(detail);
    case Error::TargetTooSmall:
        return tr("The SD card is smaller than the image.");
    case Error::TargetIoError:
        return tr("Error reading or writing the SD card, it may be faulty: %1").arg(detail);
    case Error::TargetWriteProtected:
        return tr("The SD card is write-protected: move the lock switch on the card or adapter and retry.");
    case Error::TargetRemoved:
        return tr("The SD card was removed during the operation: insert it again and retry.");
    case Error::TargetPermissionDenied:
        return tr("Permission denied to access the SD card: %1").arg(detail);
    case Error::VerifyMismatch:
        return tr("Verification failed: the data read back from the SD card differs from what was written. "
                  "The SD card is probably faulty: try another one.");
    case Error::BootFilesFailed:
        return tr("The image was written but the product could not be set on the SD card: %1. "
                  "The device would not start with the right product: write the SD card again.")
                .arg(detail);
    case Error::Cancelled:
        return tr("Writing was cancelled: the SD card is incomplete and will not boot. "
                  "Write it again before using it.");
    case Error::NoBootPartition:
        return tr("The image has no partition for the product's boot files (%1); the SD card was not touched. "
                  "Go back to the image to write it without setting up a product.")
                .arg(detail);
    }
    return {};
}

QString WriteMessages::unsupportedImage(ImageFormat format, const QString &detail)
{
    if (detail == ImageSource::emptyImageText())
        return tr("The image is empty: there is nothing to write.");
    switch (format) {
    case ImageFormat::Zip:
        return tr("Unsupported zip format: %1").arg(detail);
    case ImageFormat::Raw:
    case ImageFormat::Xz:
    case ImageFormat::Zstd:
        // Their sources say what they cannot read.
        return tr("Unsupported image format: %1").arg(detail);
    case ImageFormat::SevenZip:
        return tr("Unsupported image format: %1")
                .arg(tr("the file is a %1 archive; unpack it first and choose the image inside")
                             .arg(imageFormatName(format)));
    default:
        break;
    }
    // Every other format is a compressed file that is not read here.
    return tr("Unsupported image format: %1")
            .arg(tr("the file is compressed with %1; unpack it first and choose the image inside")
                         .arg(imageFormatName(format)));
}

QString WriteMessages::imageRefusal(const ImageProbe &probe, ImageFormat format)
{
    if (!probe.opened) {
        switch (probe.failure) {
        case ImageSource::Failure::Unreadable:
            return forError(WriteJob::Error::SourceUnreadable, probe.errorString, format);
        case ImageSource::Failure::Unsupported:
            return unsupportedImage(format, probe.errorString);
        case ImageSource::Failure::Corrupt:
            return tr("The image file is damaged: %1").arg(probe.errorString);
        }
    }
    return {};
}

QString WriteMessages::setupRefusal(const QString &productName, const QString &detail)
{
    return tr("The SD card cannot be set up as %1 with this image: %2.").arg(productName, detail);
}

QString WriteMessages::faultyDigest(const QString &key)
{
    return tr("The catalog entry of this image is faulty: its %1 is not a SHA-256 digest.").arg(key);
}

QString WriteMessages::addressNotAllowed(const QString &address)
{
    return tr("The catalog entry of this image is faulty: its address %1 is not allowed.").arg(address);
}

QString WriteMessages::targetIsImage(const QString &target)
{
    return tr("Cannot write to %1: it is the image being written.").arg(target);
}

QString WriteMessages::targetInCache(const QString &target, const QString &cacheDir)
{
    return tr("Cannot write to %1: it is inside the download cache folder %2.").arg(target, cacheDir);
}

QString WriteMessages::needsAdministrator()
{
    return tr("Writing to a disk needs administrator rights: open a Command Prompt with \"Run as administrator\" "
              "and run tessaro-cli there.");
}

QString WriteMessages::targetIsDisk(const QString &target)
{
    return tr("Cannot write to %1: it is a disk, not a file. Choose disks with --disk in tessaro-cli, "
              "or in the window's list of disks without --target-file.")
            .arg(target);
}

QString WriteMessages::targetIsFolder(const QString &target)
{
    return tr("Cannot write to %1: it is a folder.").arg(target);
}

QString WriteMessages::targetFolderMissing(const QString &target, const QString &folder)
{
    return tr("Cannot write to %1: the folder %2 does not exist.").arg(target, folder);
}

QString WriteMessages::targetNotWritable(const QString &target, const QString &reason)
{
    return tr("Cannot write to %1: %2").arg(target, reason);
}

QString WriteMessages::targetFileTooSmall(const QString &target, const QString &imageSize, const QString &room)
{
    return tr("Cannot write to %1: the image needs %2, but only %3 are free there.").arg(target, imageSize, room);
}

QString WriteMessages::diskTooSmall(const QString &disk, const QString &imageSize, const QString &diskSize)
{
    return tr("Cannot write to %1: the image needs %2, but the card holds only %3.").arg(disk, imageSize, diskSize);
}
