#include "image/imageformat.h"

#include <QFile>

namespace {

struct Signature {
    ImageFormat format;
    const char *bytes;
    int length;
};

// ZIP is recognised by its first local header; an empty archive (only an
// end record) holds no image anyway. gzip is only taken with deflate, its
// one defined method, and bzip2 with a block size digit, so that three
// arbitrary bytes do not turn an image into a refusal.
const Signature Signatures[] = {
    { ImageFormat::Zip, "PK\x03\x04", 4 },
    { ImageFormat::Xz, "\xFD" "7zXZ\x00", 6 },
    { ImageFormat::Zstd, "\x28\xB5\x2F\xFD", 4 },
    { ImageFormat::Gzip, "\x1F\x8B\x08", 3 },
    { ImageFormat::SevenZip, "7z\xBC\xAF\x27\x1C", 6 },
    { ImageFormat::Lzip, "LZIP", 4 },
    { ImageFormat::Lz4, "\x04\x22\x4D\x18", 4 },
};

bool isBzip2(const QByteArray &head)
{
    return head.size() >= 4 && head.startsWith("BZh") && head.at(3) >= '1' && head.at(3) <= '9';
}

} // namespace

ImageFormat imageFormatOf(const QByteArray &head)
{
    for (const Signature &signature : Signatures) {
        if (head.startsWith(QByteArray::fromRawData(signature.bytes, signature.length)))
            return signature.format;
    }
    if (isBzip2(head))
        return ImageFormat::Bzip2;
    return ImageFormat::Raw;
}

ImageFormat imageFormatOfFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ImageFormat::Raw;
    return imageFormatOf(file.read(ImageFormatSignatureLength));
}

ImageFormat imageFormatOfName(const QString &path)
{
    static const struct {
        const char *ending;
        ImageFormat format;
    } Endings[] = {
        { ".zip", ImageFormat::Zip },
        { ".xz", ImageFormat::Xz },
        { ".zst", ImageFormat::Zstd },
        { ".lzma", ImageFormat::Lzma },
    };
    for (const auto &ending : Endings) {
        if (path.endsWith(QLatin1String(ending.ending), Qt::CaseInsensitive))
            return ending.format;
    }
    return ImageFormat::Raw;
}

QString imageFormatName(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Raw:
        return QStringLiteral("raw");
    case ImageFormat::Zip:
        return QStringLiteral("ZIP");
    case ImageFormat::Xz:
        return QStringLiteral("xz");
    case ImageFormat::Zstd:
        return QStringLiteral("zstd");
    case ImageFormat::Gzip:
        return QStringLiteral("gzip");
    case ImageFormat::Bzip2:
        return QStringLiteral("bzip2");
    case ImageFormat::SevenZip:
        return QStringLiteral("7z");
    case ImageFormat::Lzip:
        return QStringLiteral("lzip");
    case ImageFormat::Lz4:
        return QStringLiteral("LZ4");
    case ImageFormat::Lzma:
        return QStringLiteral("LZMA");
    }
    return {};
}
