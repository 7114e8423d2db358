#include "image/zstdimagesource.h"

#include <QtEndian>

#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <limits>

namespace {

namespace Frame {
constexpr quint32 Magic = 0xFD2FB528;
constexpr int Descriptor = 4;            // 8 bit, the flags below
constexpr int MaxHeaderSize = 18;        // magic, descriptor, window, dictionary ID, content size
constexpr int ContentSizeFlagShift = 6;  // 2 bits: 0, 1, 2 or 3 for the field sizes below
constexpr int SingleSegmentBit = 0x20;   // no window descriptor; the window is the content size
constexpr int ReservedBit = 0x08;
constexpr int ChecksumBit = 0x04;        // a 4-byte content checksum follows the last block
constexpr int DictionaryIdFlagMask = 0x03;
constexpr int ChecksumSize = 4;
constexpr int DictionaryIdSizes[] = { 0, 1, 2, 4 };
constexpr int ContentSizeSizes[] = { 0, 2, 4, 8 };  // flag 0 with a single segment: 1 byte
constexpr quint64 TwoByteContentSizeOffset = 256;
}

// Frames that decoders pass over; any of 16 magic numbers.
namespace SkippableFrame {
constexpr quint32 Magic = 0x184D2A50;
constexpr quint32 MagicMask = 0xFFFFFFF0;
constexpr int Size = 4;                  // 32 bit, the bytes after this 8-byte header
constexpr int HeaderSize = 8;
}

namespace Block {
constexpr int HeaderSize = 3;            // 24 bit: last-block bit, type, size
constexpr int Rle = 1;                   // one byte, repeated
constexpr int Reserved = 3;
}

quint64 littleEndian(const uchar *bytes, int size)
{
    quint64 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | bytes[i];
    return value;
}

} // namespace

void ZstdImageSource::FreeContext::operator()(ZSTD_DCtx_s *context) const
{
    ZSTD_freeDCtx(context);
}

ZstdImageSource::ZstdImageSource(const QString &path)
    : CompressedImageSource(path)
{
}

ZstdImageSource::~ZstdImageSource() = default;

bool ZstdImageSource::open()
{
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(Failure::Unreadable, m_file.errorString());
    if (!readFrameHeaders() || !refuseEmpty())
        return false;
    m_context.reset(ZSTD_createDCtx());
    if (!m_context
        || ZSTD_isError(ZSTD_DCtx_setParameter(m_context.get(), ZSTD_d_windowLogMax, MaxWindowLog)))
        return fail(Failure::Unreadable, QStringLiteral("cannot initialise libzstd"));
    m_input.resize(InputBufferSize);
    if (!m_file.seek(0))
        return fail(Failure::Unreadable, m_file.errorString());
    return true;
}

// Walks every frame from the start of the file to its end: each frame header
// gives a content size, and the block headers lead to the next frame.
bool ZstdImageSource::readFrameHeaders()
{
    const qint64 fileSize = m_file.size();
    qint64 position = 0;
    qint64 total = 0;
    int frames = 0;
    while (position < fileSize) {
        uchar header[Frame::MaxHeaderSize] = {};
        const qint64 available = std::min<qint64>(Frame::MaxHeaderSize, fileSize - position);
        if (available < SkippableFrame::HeaderSize && available < Frame::Descriptor + 1)
            return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
        if (!readAt(position, reinterpret_cast<char *>(header), available, fileSize))
            return false;
        const quint32 magic = qFromLittleEndian<quint32>(header);
        if ((magic & SkippableFrame::MagicMask) == SkippableFrame::Magic) {
            if (available < SkippableFrame::HeaderSize)
                return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
            // In 64 bits: a frame size near 4 GiB plus the header wrapped
            // around to a step of 0, and the walk never ended.
            position += SkippableFrame::HeaderSize + qint64(qFromLittleEndian<quint32>(header + SkippableFrame::Size));
            if (position > fileSize)
                return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
            continue;
        }
        if (magic != Frame::Magic)
            return fail(Failure::Corrupt, QStringLiteral("invalid zstd file: no zstd frame at byte %1").arg(position));

        const uchar descriptor = header[Frame::Descriptor];
        if (descriptor & Frame::ReservedBit)
            return fail(Failure::Corrupt, QStringLiteral("invalid zstd file: bad frame header"));
        const bool singleSegment = descriptor & Frame::SingleSegmentBit;
        const int contentSizeFlag = descriptor >> Frame::ContentSizeFlagShift;
        const int dictionaryIdSize = Frame::DictionaryIdSizes[descriptor & Frame::DictionaryIdFlagMask];
        const int contentSizeSize = contentSizeFlag == 0 && singleSegment ? 1 : Frame::ContentSizeSizes[contentSizeFlag];
        const int windowAt = Frame::Descriptor + 1;
        const int dictionaryIdAt = windowAt + (singleSegment ? 0 : 1);
        const int contentSizeAt = dictionaryIdAt + dictionaryIdSize;
        const int headerSize = contentSizeAt + contentSizeSize;
        if (available < headerSize)
            return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));

        if (littleEndian(header + dictionaryIdAt, dictionaryIdSize) != 0)
            return fail(Failure::Unsupported, QStringLiteral("zstd frames that need a dictionary are not supported"));
        if (contentSizeSize == 0)
            return fail(Failure::Unsupported,
                        QStringLiteral("zstd frames that do not record their content size are not supported: "
                                       "the image size must be known before writing"));
        quint64 contentSize = littleEndian(header + contentSizeAt, contentSizeSize);
        if (contentSizeSize == 2)
            contentSize += Frame::TwoByteContentSizeOffset;
        quint64 window = contentSize;
        if (!singleSegment) {
            const uchar descriptorByte = header[windowAt];
            const int windowLog = 10 + (descriptorByte >> 3);
            const quint64 base = quint64(1) << windowLog;
            window = base + base / 8 * (descriptorByte & 7);
        }
        if (window > MaxWindow)
            return fail(Failure::Unsupported, QStringLiteral("zstd windows larger than 1 GiB are not supported"));
        if (contentSize > quint64(std::numeric_limits<qint64>::max() - total))
            return fail(Failure::Unsupported, QStringLiteral("the zstd image is too large"));
        total += qint64(contentSize);

        position += headerSize;
        if (!skipBlocks(position, fileSize))
            return false;
        if (descriptor & Frame::ChecksumBit) {
            position += Frame::ChecksumSize;
            if (position > fileSize)
                return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
        }
        ++frames;
    }
    if (frames == 0)
        return fail(Failure::Corrupt, QStringLiteral("invalid zstd file: no zstd frame"));
    m_size = total;
    return true;
}

bool ZstdImageSource::skipBlocks(qint64 &position, qint64 fileSize)
{
    for (;;) {
        uchar bytes[Block::HeaderSize];
        if (!readAt(position, reinterpret_cast<char *>(bytes), Block::HeaderSize, fileSize))
            return false;
        const quint32 header = quint32(littleEndian(bytes, Block::HeaderSize));
        const bool last = header & 1;
        const int type = (header >> 1) & 3;
        const qint64 size = header >> 3;
        if (type == Block::Reserved)
            return fail(Failure::Corrupt, QStringLiteral("invalid zstd file: bad block header"));
        position += Block::HeaderSize + (type == Block::Rle ? 1 : size);
        if (position > fileSize)
            return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
        if (last)
            return true;
    }
}

bool ZstdImageSource::readAt(qint64 position, char *data, qint64 length, qint64 fileSize)
{
    if (length > fileSize - position)
        return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
    if (!m_file.seek(position))
        return fail(Failure::Unreadable, m_file.errorString());
    const qint64 count = m_file.read(data, length);
    if (count < 0)
        return fail(Failure::Unreadable, m_file.errorString());
    if (count < length)
        return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
    return true;
}

qint64 ZstdImageSource::decodeInto(char *data, qint64 length)
{
    ZSTD_outBuffer out { data, size_t(length), 0 };
    while (out.pos < out.size) {
        if (!decodeStep(out))
            return -1;
    }
    return qint64(out.pos);
}

// Runs the decoder over what follows the last image byte: the last
// checksum, and any skippable or empty frames.
bool ZstdImageSource::finish()
{
    char spare[64];
    for (;;) {
        if (m_inputPosition == m_inputSize && !m_inputEnded && !fillInput())
            return false;
        if (m_inputPosition == m_inputSize && m_inputEnded) {
            if (m_inFrame)
                return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
            return true;
        }
        ZSTD_outBuffer out { spare, sizeof spare, 0 };
        if (!decodeStep(out))
            return false;
        if (out.pos > 0)
            return fail(Failure::Corrupt, QStringLiteral("zstd data longer than its frame headers declare"));
    }
}

// One call of the decoder, with more input first when it has used up what
// it had.
bool ZstdImageSource::decodeStep(ZSTD_outBuffer_s &out)
{
    if (m_inputPosition == m_inputSize && !m_inputEnded && !fillInput())
        return false;
    ZSTD_inBuffer in { m_input.constData(), size_t(m_inputSize), size_t(m_inputPosition) };
    const size_t produced = out.pos;
    const size_t ret = ZSTD_decompressStream(m_context.get(), &out, &in);
    const bool consumed = qint64(in.pos) != m_inputPosition;
    m_inputPosition = qint64(in.pos);
    if (ZSTD_isError(ret)) {
        switch (ZSTD_getErrorCode(ret)) {
        case ZSTD_error_checksum_wrong:
            return fail(Failure::Corrupt, QStringLiteral("zstd content checksum mismatch"));
        case ZSTD_error_frameParameter_windowTooLarge:
            return fail(Failure::Unsupported, QStringLiteral("zstd windows larger than 1 GiB are not supported"));
        case ZSTD_error_memory_allocation:
            return fail(Failure::Unreadable, QStringLiteral("out of memory for the zstd decoder"));
        default:
            return fail(Failure::Corrupt,
                        QStringLiteral("corrupt zstd data (%1)").arg(QString::fromUtf8(ZSTD_getErrorName(ret))));
        }
    }
    m_inFrame = ret != 0;
    // With its input used up the decoder can only stall inside a frame.
    if (m_inputEnded && !consumed && out.pos == produced)
        return fail(Failure::Corrupt, QStringLiteral("truncated zstd file"));
    return true;
}

bool ZstdImageSource::fillInput()
{
    const qint64 count = readInput();
    if (count < 0)
        return false;
    m_inputSize = count;
    m_inputPosition = 0;
    return true;
}
