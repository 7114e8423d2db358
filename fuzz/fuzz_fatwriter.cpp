// The boot-file step of a write on a card image given as bytes: one writer
// reads a file, replaces it, empties one and adds one; a fresh writer reads
// them back, as the write job does after the device's caches are dropped.
#include "overlaydevice.h"
#include "write/fatwriter.h"

#include <cstdint>

namespace {

// The bytes of the input are the start of a card this large; the rest reads
// as zeros, so a seed holds only the used part of a file system.
constexpr qint64 CardBytes = 64 * 1024 * 1024;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Not copied: the device only reads the input and keeps its writes apart.
    const QByteArray image = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    OverlayDevice device(image, CardBytes);
    const QByteArray config("dtoverlay=tessaro\nenable_uart=1\n");
    const QByteArray large(1500, 'x');
    {
        FatWriter writer(device);
        writer.readFile(QStringLiteral("CONFIG.TXT"));
        writer.writeFile(QStringLiteral("config.txt"), config);
        // The seeds hold a ROLE.TXT of three clusters: emptied, it frees them for LARGE.BIN.
        writer.writeFile(QStringLiteral("ROLE.TXT"), QByteArray());
        writer.writeFile(QStringLiteral("LARGE.BIN"), large);
    }
    FatWriter checker(device);
    checker.readFile(QStringLiteral("CONFIG.TXT"));
    checker.readFile(QStringLiteral("LARGE.BIN"));
    return 0;
}
