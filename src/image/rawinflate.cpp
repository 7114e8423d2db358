#include "image/rawinflate.h"

#if TESSARO_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <zlib.h>
#endif

#if TESSARO_HAVE_ISAL

struct RawInflate::State {
    inflate_state stream;
    QString error;
};

bool RawInflate::init()
{
    m_state = std::make_unique<State>();
    isal_inflate_init(&m_state->stream);
    m_state->stream.crc_flag = ISAL_DEFLATE;
    return true;
}

void RawInflate::setInput(const char *data, qint64 length)
{
    m_state->stream.next_in = reinterpret_cast<uint8_t *>(const_cast<char *>(data));
    m_state->stream.avail_in = uint32_t(length);
}

qint64 RawInflate::inputLeft() const
{
    return m_state->stream.avail_in;
}

qint64 RawInflate::inflate(char *output, qint64 length)
{
    inflate_state &stream = m_state->stream;
    stream.next_out = reinterpret_cast<uint8_t *>(output);
    stream.avail_out = uint32_t(length);
    const int result = isal_inflate(&stream);
    if (result == ISAL_DECOMP_OK)
        return length - stream.avail_out;

    // ISA-L has codes, not texts; these follow zlib's wording where the
    // code tells the cause apart.
    switch (result) {
    case ISAL_INVALID_BLOCK:
        m_state->error = QStringLiteral("invalid block");
        break;
    case ISAL_INVALID_SYMBOL:
        m_state->error = QStringLiteral("invalid code");
        break;
    case ISAL_INVALID_LOOKBACK:
        m_state->error = QStringLiteral("invalid distance too far back");
        break;
    default:
        m_state->error = QStringLiteral("ISA-L error %1").arg(result);
        break;
    }
    return -1;
}

bool RawInflate::finished() const
{
    return m_state->stream.block_state == ISAL_BLOCK_FINISH;
}

const char *RawInflate::implementation()
{
    return "ISA-L";
}

#else

struct RawInflate::State {
    z_stream stream{};
    bool started = false;
    bool finished = false;
    QString error;

    ~State()
    {
        if (started)
            inflateEnd(&stream);
    }
};

bool RawInflate::init()
{
    m_state = std::make_unique<State>();
    // Negative window bits: a 32 KiB window and no zlib header.
    m_state->started = inflateInit2(&m_state->stream, -MAX_WBITS) == Z_OK;
    return m_state->started;
}

void RawInflate::setInput(const char *data, qint64 length)
{
    m_state->stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    m_state->stream.avail_in = uInt(length);
}

qint64 RawInflate::inputLeft() const
{
    return m_state->stream.avail_in;
}

qint64 RawInflate::inflate(char *output, qint64 length)
{
    z_stream &stream = m_state->stream;
    stream.next_out = reinterpret_cast<Bytef *>(output);
    stream.avail_out = uInt(length);
    const int result = ::inflate(&stream, Z_NO_FLUSH);
    // Z_BUF_ERROR: no progress was possible, which the caller sees as a call
    // that wrote nothing without input left.
    if (result == Z_OK || result == Z_BUF_ERROR || result == Z_STREAM_END) {
        m_state->finished = result == Z_STREAM_END;
        return length - stream.avail_out;
    }
    m_state->error = stream.msg ? QString::fromLatin1(stream.msg) : QStringLiteral("zlib error");
    return -1;
}

bool RawInflate::finished() const
{
    return m_state->finished;
}

const char *RawInflate::implementation()
{
    return "zlib";
}

#endif

RawInflate::RawInflate() = default;

RawInflate::~RawInflate() = default;

QString RawInflate::errorString() const
{
    return m_state ? m_state->error : QString();
}
