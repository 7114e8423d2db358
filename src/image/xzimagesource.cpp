#include "image/xzimagesource.h"

#include "image/imageformat.h"

#include <QThread>

#include <lzma.h>

#include <algorithm>
#include <limits>

namespace {

// The decoder's own structures beside the window.
constexpr quint64 DecoderOverhead = 4 * 1048576;
// The indexes hold 16 bytes or so per block; this is far more than any image
// has blocks.
constexpr quint64 IndexMemoryLimit = 64 * 1048576;
// Each decoding thread holds a whole block, in and out, beside its window:
// about 100 MiB for two threads on "xz -T0" output at the default level.
// When more would be needed, liblzma decodes with fewer threads.
constexpr quint64 ThreadingMemoryLimit = 256 * 1048576;
// Stream footers end with these bytes; only zero padding may follow them.
constexpr char FooterMagic[] = "YZ";
constexpr qint64 TailSearch = 65536;

} // namespace

struct XzImageSource::Decoder {
    lzma_stream stream = LZMA_STREAM_INIT;
    ~Decoder() { lzma_end(&stream); }
};

XzImageSource::XzImageSource(const QString &path)
    : CompressedImageSource(path)
{
}

XzImageSource::~XzImageSource() = default;

bool XzImageSource::open()
{
    if (!m_file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return fail(Failure::Unreadable, m_file.errorString());
    // liblzma reads the file from its end; a file that is no xz file at all
    // would be reported as damaged there.
    if (imageFormatOf(m_file.read(ImageFormatSignatureLength)) != ImageFormat::Xz)
        return fail(Failure::Corrupt, QStringLiteral("invalid xz file: no xz stream at the start"));
    if (!m_file.seek(0))
        return fail(Failure::Unreadable, m_file.errorString());
    m_input.resize(InputBufferSize);
    quint64 blockCount = 0;
    if (!readIndexes(blockCount) || !refuseEmpty())
        return false;
    if (!m_file.seek(0))
        return fail(Failure::Unreadable, m_file.errorString());
    return startDecoder(blockCount);
}

// liblzma walks the file backwards from its end, stream by stream, through
// the footers and indexes; it asks for each position it needs.
bool XzImageSource::readIndexes(quint64 &blockCount)
{
    Decoder info;
    lzma_index *index = nullptr;
    if (lzma_file_info_decoder(&info.stream, &index, IndexMemoryLimit, quint64(m_file.size())) != LZMA_OK)
        return fail(Failure::Unreadable, QStringLiteral("cannot initialise liblzma"));
    lzma_ret ret = LZMA_OK;
    lzma_action action = LZMA_RUN;
    while (ret == LZMA_OK) {
        if (info.stream.avail_in == 0) {
            const qint64 count = m_file.read(m_input.data(), m_input.size());
            if (count < 0)
                return fail(Failure::Unreadable, m_file.errorString());
            info.stream.next_in = reinterpret_cast<const uint8_t *>(m_input.constData());
            info.stream.avail_in = size_t(count);
            action = count == 0 ? LZMA_FINISH : LZMA_RUN;
        }
        ret = lzma_code(&info.stream, action);
        if (ret == LZMA_SEEK_NEEDED) {
            if (info.stream.seek_pos > quint64(m_file.size()) || !m_file.seek(qint64(info.stream.seek_pos)))
                return fail(Failure::Unreadable, m_file.errorString());
            info.stream.avail_in = 0;
            ret = LZMA_OK;
        }
    }
    if (ret != LZMA_STREAM_END) {
        if ((ret == LZMA_DATA_ERROR || ret == LZMA_FORMAT_ERROR || ret == LZMA_BUF_ERROR) && looksTruncated())
            return fail(Failure::Corrupt, QStringLiteral("truncated xz file"));
        if (ret == LZMA_DATA_ERROR)
            return fail(Failure::Corrupt, QStringLiteral("invalid xz file: damaged stream header, index or footer"));
        if (ret == LZMA_MEMLIMIT_ERROR)
            return fail(Failure::Unsupported, QStringLiteral("xz files with this many blocks are not supported"));
        return failCode(ret);
    }
    const quint64 size = lzma_index_uncompressed_size(index);
    blockCount = lzma_index_block_count(index);
    lzma_index_end(index, nullptr);
    if (size > quint64(std::numeric_limits<qint64>::max()))
        return fail(Failure::Unsupported, QStringLiteral("the xz image is too large"));
    m_size = qint64(size);
    return true;
}

// A whole file ends with a stream footer and at most some zero padding; a
// file cut short ends anywhere in the middle of a stream.
bool XzImageSource::looksTruncated()
{
    const qint64 fileSize = m_file.size();
    const qint64 tail = std::min(fileSize, TailSearch);
    if (!m_file.seek(fileSize - tail))
        return false;
    QByteArray bytes = m_file.read(tail);
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return !bytes.endsWith(FooterMagic);
}

bool XzImageSource::startDecoder(quint64 blockCount)
{
    m_decoder = std::make_unique<Decoder>();
    const uint32_t flags = LZMA_CONCATENATED | LZMA_TELL_UNSUPPORTED_CHECK | LZMA_FAIL_FAST;
    const quint64 memoryLimit = MaxWindow + DecoderOverhead;
    lzma_ret ret;
    if (blockCount > 1) {
        lzma_mt options {};
        options.flags = flags;
        options.threads = uint32_t(std::clamp<quint64>(quint64(QThread::idealThreadCount()), 1, blockCount));
        options.memlimit_threading = ThreadingMemoryLimit;
        options.memlimit_stop = memoryLimit;
        ret = lzma_stream_decoder_mt(&m_decoder->stream, &options);
    } else {
        ret = lzma_stream_decoder(&m_decoder->stream, memoryLimit, flags);
    }
    if (ret != LZMA_OK)
        return fail(Failure::Unreadable, QStringLiteral("cannot initialise liblzma"));
    return true;
}

qint64 XzImageSource::decodeInto(char *data, qint64 length)
{
    lzma_stream &stream = m_decoder->stream;
    stream.next_out = reinterpret_cast<uint8_t *>(data);
    stream.avail_out = size_t(length);
    while (stream.avail_out > 0) {
        if (stream.avail_in == 0 && !m_inputEnded && !fillInput())
            return -1;
        const lzma_ret ret = lzma_code(&stream, m_inputEnded ? LZMA_FINISH : LZMA_RUN);
        if (ret == LZMA_STREAM_END) {
            if (stream.avail_out > 0) {
                fail(Failure::Corrupt, QStringLiteral("xz data shorter than its index declares"));
                return -1;
            }
            break;
        }
        if (ret != LZMA_OK) {
            failCode(ret);
            return -1;
        }
    }
    return length - qint64(stream.avail_out);
}

// Runs the decoder over what follows the last image byte: the last checks,
// indexes and footers, and any padding or further empty streams.
bool XzImageSource::finish()
{
    lzma_stream &stream = m_decoder->stream;
    uint8_t spare[64];
    stream.next_out = spare;
    stream.avail_out = sizeof spare;
    for (;;) {
        if (stream.avail_in == 0 && !m_inputEnded && !fillInput())
            return false;
        const lzma_ret ret = lzma_code(&stream, m_inputEnded ? LZMA_FINISH : LZMA_RUN);
        if (stream.avail_out != sizeof spare)
            return fail(Failure::Corrupt, QStringLiteral("xz data longer than its index declares"));
        if (ret == LZMA_STREAM_END)
            return true;
        if (ret != LZMA_OK)
            return failCode(ret);
    }
}

bool XzImageSource::fillInput()
{
    const qint64 count = readInput();
    if (count < 0)
        return false;
    m_decoder->stream.next_in = reinterpret_cast<const uint8_t *>(m_input.constData());
    m_decoder->stream.avail_in = size_t(count);
    return true;
}

bool XzImageSource::failCode(int code)
{
    switch (code) {
    case LZMA_BUF_ERROR:
        // Only returned when the input has run out in the middle of a stream.
        return fail(Failure::Corrupt, QStringLiteral("truncated xz file"));
    case LZMA_DATA_ERROR:
        return fail(Failure::Corrupt, QStringLiteral("corrupt xz data: an integrity check or the compressed stream is damaged"));
    case LZMA_FORMAT_ERROR:
        return fail(Failure::Corrupt, QStringLiteral("invalid xz file: no xz stream where one should start"));
    case LZMA_OPTIONS_ERROR:
        return fail(Failure::Unsupported, QStringLiteral("xz stream options that are not supported"));
    case LZMA_UNSUPPORTED_CHECK:
        return fail(Failure::Unsupported, QStringLiteral("an xz integrity check type that is not supported"));
    case LZMA_MEMLIMIT_ERROR:
        return fail(Failure::Unsupported, QStringLiteral("xz dictionaries larger than 1 GiB are not supported"));
    case LZMA_MEM_ERROR:
        return fail(Failure::Unreadable, QStringLiteral("out of memory for the xz decoder"));
    default:
        return fail(Failure::Unreadable, QStringLiteral("liblzma error %1").arg(code));
    }
}
