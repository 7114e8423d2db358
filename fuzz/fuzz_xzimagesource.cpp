// An xz file given as bytes, opened by the xz source: the stream header, and
// the footers and indexes walked backwards from the end of the file, which
// give the image size before anything is decoded. The start of the image is
// then decoded, through the same file, to reach the checks that follow the
// walk; decoding whole images is not the point here.
#include "image/xzimagesource.h"
#include "sourcefuzzing.h"

namespace {

// A few reads of the write job's kind, far less than a dictionary's worth.
constexpr qint64 ReadLimit = 256 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    XzImageSource source(sourcefuzzing::inputFile("image.img.xz", data, size));
    sourcefuzzing::openAndRead(source, ReadLimit);
    return 0;
}
