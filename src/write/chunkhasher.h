#pragma once

#include "write/chunkring.h"

#include <QByteArray>

#include <memory>
#include <thread>
#include <vector>

class AlignedBuffer;

// SHA-256 of a stream of chunks, computed on a thread of its own while the
// caller fills the next chunk: the read-back of a card hashes one chunk while
// the card reads the next. The caller takes a free buffer, fills it and hands
// it over, in order; result() waits for the last one to be hashed.
class ChunkHasher
{
public:
    // Buffers of chunkSize bytes, aligned for sector transfers; throws
    // std::bad_alloc when they cannot be had.
    explicit ChunkHasher(qint64 chunkSize);
    // Waits for the thread, which hashes what it was handed and ends.
    ~ChunkHasher();

    ChunkHasher(const ChunkHasher &) = delete;
    ChunkHasher &operator=(const ChunkHasher &) = delete;

    // The next buffer to fill, waiting until it is free.
    char *buffer();
    // Hashes the first length bytes of the buffer from buffer().
    void add(qint64 length);
    // The digest of everything added; nothing may be added afterwards.
    QByteArray result();

private:
    static constexpr int Slots = 3;

    void hashChunks();

    ChunkRing m_ring;
    std::vector<std::unique_ptr<AlignedBuffer>> m_buffers;
    std::vector<qint64> m_lengths;
    int m_filling = -1; // the slot from buffer()
    QByteArray m_digest;
    std::thread m_thread;
};
