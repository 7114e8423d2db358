// A zstd file given as bytes, opened by the zstd source: its own walk over
// every frame header, skippable frame and block header, which adds up the
// image size before anything is decoded. The start of the image is then
// decoded, through the same file, to reach the checks that follow the walk;
// decoding whole images is not the point here.
#include "image/zstdimagesource.h"
#include "sourcefuzzing.h"

namespace {

// A few reads of the write job's kind, far less than a window's worth.
constexpr qint64 ReadLimit = 256 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZstdImageSource source(sourcefuzzing::inputFile("image.img.zst", data, size));
    sourcefuzzing::openAndRead(source, ReadLimit);
    return 0;
}
