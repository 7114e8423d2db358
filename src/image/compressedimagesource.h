#pragma once

#include "image/imagesource.h"

#include <QByteArray>
#include <QFile>

// The shell every source of a compressed file shares: the file, one input
// buffer it is read through strictly forwards, the count of image bytes
// handed out, and the failure. A subclass opens the file and sets m_size in
// open(), decodes in decodeInto(), and checks the image once its last byte
// is out in finish().
class CompressedImageSource : public ImageSource
{
public:
    qint64 size() const override;
    // Returns at most 1 GiB per call, whatever the caller asks.
    qint64 read(char *data, qint64 length) override;
    QString errorString() const override;
    Failure failure() const override;

protected:
    static constexpr qint64 InputBufferSize = 1048576;

    explicit CompressedImageSource(const QString &path);

    // Up to `length` (at least 1) image bytes, or -1 after fail().
    virtual qint64 decodeInto(char *data, qint64 length) = 0;
    // The checks due after the last image byte; false after fail().
    virtual bool finish() = 0;

    // For an open() that starts over: no image byte handed out yet.
    void restart() { m_delivered = 0; }
    // The end of every open(), once m_size is known: false after fail() for
    // an empty image.
    bool refuseEmpty();

    // The next piece of the file into m_input: its size, 0 at the end of the
    // file (m_inputEnded is then set), or -1 after fail().
    qint64 readInput();
    bool fail(Failure kind, const QString &text);

    QFile m_file;
    QByteArray m_input;
    bool m_inputEnded = false;
    qint64 m_size = 0;

private:
    Failure m_failure = Failure::Unreadable;
    QString m_errorString;
    qint64 m_delivered = 0;
};
