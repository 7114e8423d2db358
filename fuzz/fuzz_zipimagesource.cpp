// An archive given as bytes, opened and read to its last byte by the ZIP
// source, through a file as the write job reads a downloaded archive. The
// file is an anonymous one in memory, rewritten for every input.
#include "image/zipimagesource.h"
#include "sourcefuzzing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    ZipImageSource source(sourcefuzzing::inputFile("archive.zip", data, size));
    if (source.open())
        sourcefuzzing::read(source);
    return 0;
}
