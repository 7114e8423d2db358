#pragma once

// What the fuzz targets of the image sources share.

#include <QString>

#include <cstddef>
#include <cstdint>

class ImageSource;

namespace sourcefuzzing {

// The input as a file, which is how the sources read a download: an
// anonymous file in memory named NAME, rewritten for every input. Its path.
QString inputFile(const char *name, const uint8_t *data, size_t size);

// Reads an opened SOURCE in 64 KiB chunks, smaller than the write job's so
// that more read calls are walked, to its end or for LIMIT bytes at most
// (no limit when negative). Aborts when it gets more than the source's size.
void read(ImageSource &source, qint64 limit = -1);

// Opens SOURCE and reads its start: a refusal must say why, an opened
// source has an image, and no read goes past its size.
void openAndRead(ImageSource &source, qint64 limit);

} // namespace sourcefuzzing
