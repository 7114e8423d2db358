#include "image/imagesources.h"

#include "image/imageformat.h"

std::unique_ptr<ImageSource> createLocalImageSource(const QString &path)
{
    ImageFormat format = imageFormatOfName(path);
    if (format == ImageFormat::Raw)
        format = imageFormatOfFile(path);
    switch (format) {
    case ImageFormat::Zip:
        return std::make_unique<ZipImageSource>(path);
    case ImageFormat::Xz:
        return std::make_unique<XzImageSource>(path);
    case ImageFormat::Zstd:
        return std::make_unique<ZstdImageSource>(path);
    case ImageFormat::Raw:
    case ImageFormat::Gzip:
    case ImageFormat::Bzip2:
    case ImageFormat::SevenZip:
    case ImageFormat::Lzip:
    case ImageFormat::Lz4:
    case ImageFormat::Lzma:
        break;
    }
    // The plain source refuses the formats that cannot be read here.
    return std::make_unique<LocalImageSource>(path);
}
