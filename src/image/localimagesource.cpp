#include "image/localimagesource.h"

#include "image/imageformat.h"

LocalImageSource::LocalImageSource(const QString &path)
    : m_file(path)
{
}

bool LocalImageSource::open()
{
    if (!m_file.open(QIODevice::ReadOnly))
        return false;
    // Writing a compressed file byte for byte would end in a card that does
    // not start, reported as a success.
    ImageFormat format = imageFormatOf(m_file.read(ImageFormatSignatureLength));
    // An LZMA-alone file has no signature; only its name tells it.
    if (format == ImageFormat::Raw && imageFormatOfName(m_file.fileName()) == ImageFormat::Lzma)
        format = ImageFormat::Lzma;
    // Seeking back drops what the read buffered, so that a file that shrinks
    // later is seen to end early.
    if (!m_file.seek(0))
        return false;
    switch (format) {
    case ImageFormat::Raw:
        if (m_file.size() == 0)
            return fail(Failure::Unsupported, emptyImageText());
        return true;
    case ImageFormat::Zip:
    case ImageFormat::SevenZip:
        return fail(Failure::Unsupported,
                    QStringLiteral("the file is a %1 archive; unpack it first and choose the image inside")
                        .arg(imageFormatName(format)));
    case ImageFormat::Xz:
    case ImageFormat::Zstd:
    case ImageFormat::Gzip:
    case ImageFormat::Bzip2:
    case ImageFormat::Lzip:
    case ImageFormat::Lz4:
    case ImageFormat::Lzma:
        break;
    }
    return fail(Failure::Unsupported,
                QStringLiteral("the file is compressed with %1; unpack it first and choose the image inside")
                    .arg(imageFormatName(format)));
}

qint64 LocalImageSource::size() const
{
    return m_file.size();
}

qint64 LocalImageSource::read(char *data, qint64 length)
{
    return m_file.read(data, length);
}

QString LocalImageSource::errorString() const
{
    return m_errorString.isEmpty() ? m_file.errorString() : m_errorString;
}

ImageSource::Failure LocalImageSource::failure() const
{
    return m_failure;
}

bool LocalImageSource::fail(Failure kind, const QString &text)
{
    m_failure = kind;
    m_errorString = text;
    return false;
}
