#include "write/imagefeed.h"

#include "disks/alignedbuffer.h"
#include "image/sha256.h"
#include "write/batchscheduling.h"

#include <cstring>

ImageFeed::ImageFeed(std::unique_ptr<ImageSource> source, int readers)
    : m_source(std::move(source))
    , m_ring(Slots, readers + 1, 1)
    , m_hasher(readers)
    , m_lengths(Slots, 0)
{
}

ImageFeed::~ImageFeed()
{
    m_ring.stop();
    if (m_producer.joinable())
        m_producer.join();
    if (m_hashing.joinable())
        m_hashing.join();
}

bool ImageFeed::open()
{
    // call_once publishes what the first caller set to every later one.
    std::call_once(m_opened, [this] { openOnce(); });
    return m_open;
}

void ImageFeed::openOnce()
{
    // A failed allocation leaves open() to be tried again from the start.
    m_buffers.clear();
    for (int slot = 0; slot < Slots; ++slot)
        m_buffers.push_back(std::make_unique<AlignedBuffer>(ChunkSize));
    if (!m_source->open()) {
        failSource();
        return;
    }
    m_size = m_source->size();
    if (m_size == 0)
        m_sha256 = Sha256().result();
    m_open = true;
}

void ImageFeed::start()
{
    std::call_once(m_started, [this] {
        if (!m_open || m_size == 0) {
            m_ring.leave(m_hasher);
            return;
        }
        m_producer = std::thread([this] { produce(); });
        m_hashing = std::thread([this] { hash(); });
    });
}

ImageFeed::Chunk ImageFeed::next(int reader)
{
    const int slot = m_ring.take(reader);
    if (slot < 0)
        return {};
    return {m_buffers[size_t(slot)]->data(), m_lengths[size_t(slot)]};
}

void ImageFeed::release(int reader)
{
    m_ring.release(reader);
}

void ImageFeed::leave(int reader)
{
    m_ring.leave(reader);
}

QByteArray ImageFeed::sha256()
{
    m_ring.awaitDeparture(m_hasher);
    return m_sha256;
}

void ImageFeed::produce()
{
    // This thread and the decoders it starts work for the writers, which
    // must get back to their cards the moment a transfer ends.
    useBatchScheduling();
    qint64 produced = 0;
    while (produced < m_size) {
        const int slot = m_ring.acquire();
        if (slot < 0)
            return; // every writer has left
        char *buffer = m_buffers[size_t(slot)]->data();
        const qint64 chunk = qMin(m_size - produced, ChunkSize);
        qint64 filled = 0;
        while (filled < chunk) {
            const qint64 count = m_source->read(buffer + filled, chunk - filled);
            if (count < 0) {
                failSource();
                m_ring.finish();
                return;
            }
            if (count == 0)
                break;
            filled += count;
        }
        // A file that shrank since it was opened: what there was goes out
        // (the last part of a chunk short), then the image ends here.
        if (filled == 0) {
            fail(ImageSource::Failure::Unreadable, QStringLiteral("truncated image"));
            m_ring.finish();
            return;
        }
        // The readers pad to their own sector sizes, all within the chunk.
        std::memset(buffer + filled, 0, size_t(ChunkSize - filled));
        m_lengths[size_t(slot)] = filled;
        produced += filled;
        m_ring.publish();
    }
    m_ring.finish();
}

void ImageFeed::hash()
{
    useBatchScheduling();
    Sha256 hash;
    qint64 hashed = 0;
    for (int slot = m_ring.take(m_hasher); slot >= 0; slot = m_ring.take(m_hasher)) {
        hash.addData(m_buffers[size_t(slot)]->data(), m_lengths[size_t(slot)]);
        hashed += m_lengths[size_t(slot)];
        m_ring.release(m_hasher);
    }
    // The ring ends early when the source failed or every writer left; then
    // nobody asks for the digest.
    if (hashed == m_size)
        m_sha256 = hash.result();
    m_ring.leave(m_hasher);
}

void ImageFeed::failSource()
{
    fail(m_source->failure(), m_source->errorString());
}

void ImageFeed::fail(ImageSource::Failure failure, const QString &text)
{
    m_failure = failure;
    m_errorString = text;
}
