#pragma once

#include <QByteArray>
#include <QString>

// What the first bytes of a file say it holds. A disk image starts with boot
// code or zeros, never with one of these signatures, so a file that does is
// a compressed file or an archive whatever its name says.
enum class ImageFormat {
    Raw,
    Zip,
    Xz,
    Zstd,
    Gzip,
    Bzip2,
    SevenZip,
    Lzip,
    Lz4,
    Lzma, // LZMA-alone (".lzma"): no signature, known by its name only
};

// The longest signature, in bytes.
constexpr int ImageFormatSignatureLength = 6;

ImageFormat imageFormatOf(const QByteArray &head);

// The format of the file's first bytes; Raw when it cannot be read.
ImageFormat imageFormatOfFile(const QString &path);

// The format a file name's ending says ("disk.img.xz"), in any letter case:
// Zip, Xz, Zstd or Lzma; Raw for every other name.
ImageFormat imageFormatOfName(const QString &path);

// The format's name as shown in messages ("gzip", "7z").
QString imageFormatName(ImageFormat format);
