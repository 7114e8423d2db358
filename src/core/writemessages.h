#pragma once

#include "image/imageformat.h"
#include "write/writejob.h"

#include <QCoreApplication>
#include <QString>

// The one table of what the user is told about a write: the message for each
// outcome of a job, for a cancellation in each phase, and for a write refused
// before it started. The texts are translated in the context "Backend", the
// window's, so one catalog covers every front end.
class ImageProbe;

class WriteMessages
{
    Q_DECLARE_TR_FUNCTIONS(Backend)

public:
    // The message for a job that ended with error; detail fills %1. format
    // is what the image file is (a catalog build is a ZIP archive).
    static QString forError(WriteJob::Error error, const QString &detail, ImageFormat format);
    // The message for a job that ended with error after its last progress
    // report named phase. A cancellation says what it left on the card, and
    // so does a damaged image found before the job opened the card
    // (cardTouched false: no report of a phase after the download came).
    // A job is cancelled before it touches the card when the user declines
    // the system's question whether the card may be opened.
    static QString forOutcome(WriteJob::Error error, const QString &detail, WriteJob::Phase phase,
                              bool hasBootFiles, ImageFormat format, bool cardTouched);
    // An image of this format that cannot be read as it is; detail is the
    // source's own text, which a compressed file's translated hint replaces.
    static QString unsupportedImage(ImageFormat format, const QString &detail);

    // Why a chosen image cannot be written, told before the card is touched;
    // empty when the probe found nothing against it.
    static QString imageRefusal(const ImageProbe &probe, ImageFormat format);
    // Why the boot files of productName cannot be set on the chosen image.
    static QString setupRefusal(const QString &productName, const QString &detail);

    static QString faultyDigest(const QString &key);
    static QString addressNotAllowed(const QString &address);
    static QString targetIsImage(const QString &target);
    static QString targetInCache(const QString &target, const QString &cacheDir);
    static QString targetIsDisk(const QString &target);
    // tessaro-cli was started without the rights that opening a disk needs.
    static QString needsAdministrator();
    static QString targetIsFolder(const QString &target);
    static QString targetFolderMissing(const QString &target, const QString &folder);
    static QString targetNotWritable(const QString &target, const QString &reason);
    // The sizes as the user reads them.
    static QString targetFileTooSmall(const QString &target, const QString &imageSize, const QString &room);
    static QString diskTooSmall(const QString &disk, const QString &imageSize, const QString &diskSize);
};
