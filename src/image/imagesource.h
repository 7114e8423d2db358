#pragma once

#include <QString>

// A readable stream of raw disk-image bytes. It is opened once, read
// sequentially from the first byte to the last by the write job's thread,
// and destroyed; there is no seek and no second pass.
class ImageSource
{
public:
    // The write job maps each kind to its own error.
    enum class Failure {
        Unreadable = 0,  // cannot be opened or read (missing file, I/O error)
        Unsupported = 1, // a kind of file that cannot be written
        Corrupt = 2,     // damaged structure, checksum or compressed stream
    };

    virtual ~ImageSource() = default;

    virtual bool open() = 0;
    // Bytes of the raw image, valid after a successful open().
    virtual qint64 size() const = 0;
    // At least 1 while the image is not exhausted, 0 at its end, -1 on failure.
    virtual qint64 read(char *data, qint64 length) = 0;
    virtual QString errorString() const = 0;
    virtual Failure failure() const { return Failure::Unreadable; }

    // Why every source's open() refuses an image of 0 bytes, as Unsupported:
    // writing nothing over a card and reporting success is never what the
    // user meant, whatever the file or archive around it.
    static QString emptyImageText() { return QStringLiteral("the image is empty"); }
};
