#include "write/chunkring.h"

#include <algorithm>

ChunkRing::ChunkRing(int slots, int readers)
    : m_slots(slots)
    , m_taken(size_t(readers), 0)
    , m_released(size_t(readers), 0)
    , m_left(size_t(readers), false)
{
}

bool ChunkRing::mayFill() const
{
    qint64 oldest = -1; // the fewest chunks released by a reader still present
    for (size_t reader = 0; reader < m_left.size(); ++reader) {
        if (!m_left[reader] && (oldest < 0 || m_released[reader] < oldest))
            oldest = m_released[reader];
    }
    if (oldest < 0)
        return true; // nobody left to wait for; acquire() says so
    const qint64 room = oldest == 0 ? 1 : m_slots;
    return m_published - oldest < room;
}

int ChunkRing::acquire()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_slotFree.wait(lock, [this] { return m_stopped || mayFill(); });
    const bool anyReader = std::find(m_left.cbegin(), m_left.cend(), false) != m_left.cend();
    if (m_stopped || !anyReader)
        return -1;
    return int(m_published % m_slots);
}

void ChunkRing::publish()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_published;
    }
    m_chunkReady.notify_all();
}

void ChunkRing::finish()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_finished = true;
    }
    m_chunkReady.notify_all();
}

int ChunkRing::take(int reader)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    qint64 &taken = m_taken[size_t(reader)];
    m_chunkReady.wait(lock, [&] { return m_stopped || m_finished || taken < m_published; });
    if (m_stopped || m_left[size_t(reader)] || taken == m_published)
        return -1;
    return int(taken++ % m_slots);
}

void ChunkRing::release(int reader)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_released[size_t(reader)];
    }
    m_slotFree.notify_one();
}

void ChunkRing::leave(int reader)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_left[size_t(reader)] = true;
    }
    m_slotFree.notify_one();
}

void ChunkRing::stop()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopped = true;
    }
    m_slotFree.notify_all();
    m_chunkReady.notify_all();
}
