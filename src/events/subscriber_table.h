#pragma once
#include <cstdint>
#include <vector>

// The client's callback object (include/serverlink.h). The table only stores
// and compares its address; it never calls through it.
struct IEventSink;

namespace serverlink {

// One subscription: a client sink (not owned, compared by address) and its key.
// Key 0 hears every id; any other key hears that id only.
struct SinkEntry {
    IEventSink* sink;
    uint32_t key;
};

constexpr uint32_t kMaxSinks = 100;

// The subscriber table of one link object: at most kMaxSinks entries, sorted
// by key as unsigned numbers, the newest first among equal keys. The same pair
// may be in it more than once. Changes requested while Walk calls sinks are
// queued and replayed when the walk ends: adds first, then removes.
//
// No lock of its own: the link holds its subscriber lock around every call,
// and callbacks run under it, so a callback's changes arrive here re-entrantly
// from the walking thread.
class CSubscriberTable {
public:
    CSubscriberTable() = default;
    CSubscriberTable(const CSubscriberTable&) = delete;
    CSubscriberTable& operator=(const CSubscriberTable&) = delete;

    // False (the caller answers E_FAIL) for a null sink, a full table (queued
    // adds count while walking) or a queue that cannot grow.
    bool Add(IEventSink* sink, uint32_t key);
    // Idle: removes the first entry with exactly this sink and key; false if
    // there is none. While walking: queued unexamined; false only if the queue
    // cannot grow.
    bool Remove(IEventSink* sink, uint32_t key);
    // Empties the table at once, even during a walk (which then ends, as it
    // reads the count afresh). The queues and the walking state stay.
    void Clear();

    // The dispatch bracket for id: calls call(sink) for every entry with key 0
    // or key == id, in table order, stopping at the first key above id. Then
    // replays the queued changes. If call throws, the bracket still ends and
    // the exception propagates.
    template <class Fn>
    void Walk(uint32_t id, Fn&& call);

    uint32_t Count() const { return m_nSinks; }
    const SinkEntry& At(uint32_t i) const { return m_sinks[i]; }
    bool Dispatching() const { return m_bDispatching; }

private:
    // Ends the bracket on every way out of a walk; replaying cannot throw, since
    // an idle table does not allocate.
    class CWalkEnd {
    public:
        explicit CWalkEnd(CSubscriberTable& table) : m_table(table) {}
        ~CWalkEnd() { m_table.EndWalk(); }
        CWalkEnd(const CWalkEnd&) = delete;
        CWalkEnd& operator=(const CWalkEnd&) = delete;

    private:
        CSubscriberTable& m_table;
    };

    void EndWalk() noexcept;

    uint32_t m_nSinks = 0;
    SinkEntry m_sinks[kMaxSinks] = {};
    bool m_bDispatching = false;
    std::vector<SinkEntry> m_pendingAdds;     // first in, first out
    std::vector<SinkEntry> m_pendingRemoves;  // first in, first out
};

template <class Fn>
void CSubscriberTable::Walk(uint32_t id, Fn&& call) {
    m_bDispatching = true;
    CWalkEnd end(*this);
    // m_nSinks is read afresh each step: a sink may clear the table (sign off).
    for (uint32_t i = 0; i < m_nSinks; ++i) {
        const SinkEntry entry = m_sinks[i];
        if (entry.key > id) break;
        if ((entry.key == 0 || entry.key == id) && entry.sink != nullptr) call(entry.sink);
    }
}

}  // namespace serverlink
