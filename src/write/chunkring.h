#pragma once

#include <QtGlobal>

#include <condition_variable>
#include <mutex>
#include <vector>

// The hand-over of chunk buffers between the one thread that fills them and
// the threads of one or more readers, each of which takes every chunk in
// order. It deals in slot numbers only: the buffers belong to its owner, who
// fills slot n after acquire() has returned n and reads it after take() has
// returned n; the ring's lock orders those accesses, so whatever the filler
// wrote before publish() (or finish()) is what a reader sees after take().
//
// This is the one place in the write path where threads share memory under a
// lock instead of exchanging queued signals: a queued signal per chunk would
// let a fast source run ahead without bound, and a reader cannot wait for one
// outside an event loop. One mutex and two wait conditions, nothing more.
//
// The filler gets a slot again only when every reader still present has
// released it, so the slowest reader paces the filler and no more than
// `slots` chunks are ever held. The first chunk is handed over alone: the
// filler starts on the second only once every reader has released the first,
// so a reader that fails at once (a card that refuses its first write) has
// cost no work beyond that chunk, and the source is read past its first
// chunk only once that chunk is on the card.
//
// The last `followers` readers only follow the others (a hasher beside the
// writers): once every other reader has left there is nothing more to fill
// and nothing more for them to take.
class ChunkRing
{
public:
    ChunkRing(int slots, int readers, int followers = 0);

    ChunkRing(const ChunkRing &) = delete;
    ChunkRing &operator=(const ChunkRing &) = delete;

    // The filler's side.
    // The slot to fill next, once it is free; -1 when no reader is left (but
    // followers) or the ring is stopped.
    int acquire();
    // The slot from acquire() holds its chunk: every reader may take it.
    void publish();
    // Nothing more will be published; readers get -1 once they have taken
    // every chunk that was.
    void finish();

    // A reader's side (readers are numbered from 0).
    // The reader's next slot in order, waiting for it to be published; -1
    // after finish() once every chunk has been taken, or when stopped (for a
    // follower also once no other reader is left).
    int take(int reader);
    // The reader is done with the oldest slot it has taken.
    void release(int reader);
    // The reader takes nothing more: the filler no longer waits for it. Safe
    // to repeat.
    void leave(int reader);
    // Waits until reader has left, for a result it leaves behind: whatever it
    // wrote before leave() is then seen.
    void awaitDeparture(int reader);

    // Every wait ends and every later call gets -1: for the owner's
    // destructor, when neither side may be waited for any longer.
    void stop();

private:
    // The filler may fill chunk number m_published.
    bool mayFill() const;
    bool leadersLeft() const;

    std::mutex m_mutex;
    std::condition_variable m_slotFree;   // the filler waits here, and for a departure
    std::condition_variable m_chunkReady; // the readers wait here
    const int m_slots;
    const int m_leaders; // readers that are no followers
    qint64 m_published = 0;
    std::vector<qint64> m_taken;    // per reader, chunks taken
    std::vector<qint64> m_released; // per reader, chunks released
    std::vector<bool> m_left;
    bool m_finished = false;
    bool m_stopped = false;
};
