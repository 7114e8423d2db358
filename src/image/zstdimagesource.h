#pragma once

#include "image/compressedimagesource.h"

#include <memory>

struct ZSTD_DCtx_s;
struct ZSTD_outBuffer_s;

// A disk image compressed with zstd: one frame, or several concatenated
// (skippable frames between them are passed over). open() walks the frame
// and block headers, without decoding, to add up the content sizes that the
// frame headers record; a frame that records none makes the image
// unsupported, because the size must be known before writing. read() decodes
// strictly forwards through one 1 MiB input buffer; the frames' content
// checksums, where present, are verified as each frame ends.
class ZstdImageSource : public CompressedImageSource
{
public:
    explicit ZstdImageSource(const QString &path);
    ~ZstdImageSource() override;

    bool open() override;

    // The decoder holds a whole window; a larger one is refused.
    static constexpr int MaxWindowLog = 30;
    static constexpr quint64 MaxWindow = quint64(1) << MaxWindowLog;

private:
    struct FreeContext {
        void operator()(ZSTD_DCtx_s *context) const;
    };

    bool readFrameHeaders();
    bool skipBlocks(qint64 &position, qint64 fileSize);
    bool readAt(qint64 position, char *data, qint64 length, qint64 fileSize);
    qint64 decodeInto(char *data, qint64 length) override;
    bool finish() override;
    bool decodeStep(ZSTD_outBuffer_s &out);
    bool fillInput();

    // Whether the decoder is inside a frame that it has not yet ended.
    bool m_inFrame = false;
    qint64 m_inputSize = 0;
    qint64 m_inputPosition = 0;
    std::unique_ptr<ZSTD_DCtx_s, FreeContext> m_context;
};
