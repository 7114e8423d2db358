#include "write/chunkhasher.h"

#include "disks/alignedbuffer.h"
#include "image/sha256.h"
#include "write/batchscheduling.h"

ChunkHasher::ChunkHasher(qint64 chunkSize)
    : m_ring(Slots, 1)
    , m_lengths(Slots, 0)
{
    for (int slot = 0; slot < Slots; ++slot)
        m_buffers.push_back(std::make_unique<AlignedBuffer>(chunkSize));
    m_thread = std::thread([this] { hashChunks(); });
}

ChunkHasher::~ChunkHasher()
{
    m_ring.finish();
    if (m_thread.joinable())
        m_thread.join();
}

char *ChunkHasher::buffer()
{
    m_filling = m_ring.acquire();
    return m_buffers[size_t(m_filling)]->data();
}

void ChunkHasher::add(qint64 length)
{
    m_lengths[size_t(m_filling)] = length;
    m_ring.publish();
}

QByteArray ChunkHasher::result()
{
    m_ring.finish();
    m_thread.join();
    return m_digest;
}

void ChunkHasher::hashChunks()
{
    // The card's next read must not wait for this thread to wake.
    useBatchScheduling();
    Sha256 hash;
    for (int slot = m_ring.take(0); slot >= 0; slot = m_ring.take(0)) {
        hash.addData(m_buffers[size_t(slot)]->data(), m_lengths[size_t(slot)]);
        m_ring.release(0);
    }
    m_digest = hash.result();
}
