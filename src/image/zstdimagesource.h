#pragma once

#include "image/imagesource.h"

#include <QByteArray>
#include <QFile>

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
class ZstdImageSource : public ImageSource
{
public:
    explicit ZstdImageSource(const QString &path);
    ~ZstdImageSource() override;

    bool open() override;
    qint64 size() const override;
    // Returns at most 1 GiB per call, whatever the caller asks.
    qint64 read(char *data, qint64 length) override;
    QString errorString() const override;
    Failure failure() const override;

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
    qint64 decodeInto(char *data, qint64 length);
    bool finish();
    bool decodeStep(ZSTD_outBuffer_s &out);
    bool fillInput();
    bool fail(Failure kind, const QString &text);

    QFile m_file;
    Failure m_failure = Failure::Unreadable;
    QString m_errorString;
    qint64 m_size = 0;
    qint64 m_delivered = 0;
    bool m_inputEnded = false;
    // Whether the decoder is inside a frame that it has not yet ended.
    bool m_inFrame = false;
    QByteArray m_input;
    qint64 m_inputSize = 0;
    qint64 m_inputPosition = 0;
    std::unique_ptr<ZSTD_DCtx_s, FreeContext> m_context;
};
