#pragma once

#include "image/imageformat.h"
#include "image/imagesource.h"
#include "image/localimagesource.h"
#include "image/xzimagesource.h"
#include "image/zipimagesource.h"
#include "image/zstdimagesource.h"

#include <QString>

#include <memory>

// The source for an image file chosen on the computer. A name ending in
// ".zip", ".xz" or ".zst" (in any letter case) says how to read the file, and
// one ending in ".lzma" that it cannot be read; with any other name the
// file's first bytes decide, so that an archive or a compressed file is never
// written as it is. Reads nothing but those bytes;
// the plain source checks them again when it opens, as the file may change.
std::unique_ptr<ImageSource> createLocalImageSource(const QString &path);

// What createLocalImageSource takes the file for: the format its name says,
// or else the one its first bytes say.
ImageFormat localImageFormat(const QString &path);
