#include "image/imagesources.h"

ImageFormat localImageFormat(const QString &path)
{
    const ImageFormat format = imageFormatOfName(path);
    return format == ImageFormat::Raw ? imageFormatOfFile(path) : format;
}

std::unique_ptr<ImageSource> createLocalImageSource(const QString &path)
{
    switch (localImageFormat(path)) {
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
