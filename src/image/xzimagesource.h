#pragma once

#include "image/compressedimagesource.h"

#include <memory>

// A disk image compressed with xz: one stream, or several concatenated, with
// stream padding between them. open() reads the image size from the stream
// indexes at the end of the file without decoding anything; read() decodes
// strictly forwards through one 1 MiB input buffer, on all cores when the
// file has several blocks (as "xz -T0" writes it). The streams' own checks
// are verified as the blocks end, so the last bytes are only handed out once
// the last check has passed.
class XzImageSource : public CompressedImageSource
{
public:
    explicit XzImageSource(const QString &path);
    ~XzImageSource() override;

    bool open() override;

    // Decoding needs the window plus a little; a larger window is refused.
    static constexpr quint64 MaxWindow = quint64(1) << 30;

private:
    struct Decoder;

    bool readIndexes(quint64 &blockCount);
    bool looksTruncated();
    bool startDecoder(quint64 blockCount);
    qint64 decodeInto(char *data, qint64 length) override;
    bool finish() override;
    bool fillInput();
    bool failCode(int code);

    std::unique_ptr<Decoder> m_decoder;
};
