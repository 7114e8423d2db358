#pragma once

#include "image/imagesource.h"
#include "write/chunkring.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class AlignedBuffer;

// The image's bytes for the writers of one card or of several at once: it
// reads (and so decodes) the source once, on a thread of its own, and hands
// the bytes in chunks of ChunkSize, in order, to every reader through a small
// ring of aligned buffers; one more reader, on a thread of its own, hashes
// them. While a reader writes one chunk to its card the next ones are being
// read and hashed, so neither the card nor the processor waits for the other.
// A reader that fails or is cancelled leaves, and the others go on without it.
//
// Readers are numbered from 0 to readers - 1, each one a writer on its own
// thread. Each calls open() and, once it is ready to write, start(); both do
// their work once, for whoever asks first. Then next() and release() for
// every chunk, and leave() when it stops, whether it read to the end or not.
class ImageFeed
{
public:
    static constexpr qint64 ChunkSize = 4 * 1024 * 1024;
    static constexpr int Slots = 4;

    // A chunk of the image: `length` bytes at `data`, followed by zeros up
    // to ChunkSize, so that a reader may write it padded to its sectors.
    struct Chunk
    {
        const char *data = nullptr;
        qint64 length = 0;

        explicit operator bool() const { return data != nullptr; }
    };

    ImageFeed(std::unique_ptr<ImageSource> source, int readers);
    // Waits for the reading thread, which ends at its next chunk.
    ~ImageFeed();

    ImageFeed(const ImageFeed &) = delete;
    ImageFeed &operator=(const ImageFeed &) = delete;

    // Makes the ring's buffers (throws std::bad_alloc when they cannot be
    // had) and opens the source. False, with failure() and errorString()
    // saying why, when the source cannot be opened.
    bool open();
    // The image's bytes, after open().
    qint64 size() const { return m_size; }
    // Starts reading. Safe to repeat.
    void start();

    // The reader's next chunk, waiting for it; an empty chunk when the source
    // failed or ended early, failure() and errorString() then saying why.
    Chunk next(int reader);
    // The reader is done with the chunk from next().
    void release(int reader);
    void leave(int reader);

    // Valid after a failed open() or an empty next().
    ImageSource::Failure failure() const { return m_failure; }
    QString errorString() const { return m_errorString; }
    // The SHA-256 of the whole image, once a reader has taken its last
    // chunk; waits for the hashing to catch up.
    QByteArray sha256();

private:
    void openOnce();
    // The threads' work.
    void produce();
    void hash();
    void failSource();
    void fail(ImageSource::Failure failure, const QString &text);

    std::unique_ptr<ImageSource> m_source;
    ChunkRing m_ring;
    const int m_hasher; // the ring's reader that hashes
    std::vector<std::unique_ptr<AlignedBuffer>> m_buffers; // one per slot
    std::vector<qint64> m_lengths;                         // image bytes in each slot
    std::once_flag m_opened;
    std::once_flag m_started;
    bool m_open = false;
    std::thread m_producer;
    std::thread m_hashing;
    qint64 m_size = 0;
    ImageSource::Failure m_failure = ImageSource::Failure::Unreadable;
    QString m_errorString;
    QByteArray m_sha256;
};
