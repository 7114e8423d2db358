#include "write/chunkring.h"

#include <algorithm>

ChunkRing::ChunkRing(int slots, int readers, int followers)
    : m_slots(slots)
    , m_leaders(readers - followers)
    , m_taken(size_t(readers), 0)
    , m_released(size_t(readers), 0)
    , m_left(size_t(readers), false)
{
}

bool ChunkRing::leadersLeft() const
{
    return std::all_of(m_left.cbegin(), m_left.cbegin() + m_leaders, [](bool left) { return left; });
}

bool ChunkRing::mayFill() const
{
    if (leadersLeft())
        return true; // acquire() says so
    qint64 oldest = m_published; // the fewest chunks released by a reader still present
    for (size_t reader = 0; reader < m_left.size(); ++reader) {
        if (!m_left[reader])
            oldest = std::min(oldest, m_released[reader]);
    }
    const qint64 room = oldest == 0 ? 1 : m_slots;
    return m_published - oldest < room;
}

int ChunkRing::acquire()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_slotFree.wait(lock, [this] { return m_stopped || mayFill(); });
    if (m_stopped || leadersLeft())
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
    const bool follower = reader >= m_leaders;
    const auto over = [&] { return m_stopped || m_left[size_t(reader)] || (follower && leadersLeft()); };
    m_chunkReady.wait(lock, [&] { return over() || m_finished || taken < m_published; });
    if (over() || taken == m_published)
        return -1;
    return int(taken++ % m_slots);
}

void ChunkRing::release(int reader)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_released[size_t(reader)];
    }
    // Both the filler and a departure may be waited for here.
    m_slotFree.notify_all();
}

void ChunkRing::leave(int reader)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_left[size_t(reader)] = true;
    }
    m_slotFree.notify_all();
    // A follower may have been waiting for this reader's company.
    m_chunkReady.notify_all();
}

void ChunkRing::awaitDeparture(int reader)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_slotFree.wait(lock, [&] { return m_stopped || m_left[size_t(reader)]; });
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
