#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/crit_sec.h"
#include "common/handle.h"
#include "drain_mode.h"
#include "shm/shm_queue.h"
#include "shm/worker_thread.h"

namespace localserver {

using serverlink::ShmMessage;

// The two rings of one signed-on client, opened (never created) on Login:
// the client's outgoing and incoming rings of its channel.
//
// Threads: only the poll thread reads the outgoing ring; the incoming ring may
// be written from the apartment thread (control calls) and the poll thread
// (echo, delayed resumes), so every write goes through m_writeLock and the
// client's reader sees exactly one writer at a time.
class ClientRings {
public:
    // Throws serverlink::CError when a ring cannot be opened.
    ClientRings(uint32_t clientId, uint16_t channelId);
    ClientRings(const ClientRings&) = delete;
    ClientRings& operator=(const ClientRings&) = delete;

    uint32_t ClientId() const { return m_clientId; }
    uint16_t ChannelId() const { return m_channelId; }

    // Poll thread only.
    bool ReadOutgoing(ShmMessage& msg) { return m_out.Read(msg); }

    // Any thread. False when the ring is full.
    bool WriteIncoming(const ShmMessage& msg);
    // Writes the records in order under one hold of the writer lock; returns how
    // many the ring took (it stops at the first one refused).
    size_t WriteIncoming(const ShmMessage* msgs, size_t count);

private:
    const uint32_t m_clientId;
    const uint16_t m_channelId;
    serverlink::CShmQueue m_out;
    serverlink::CShmQueue m_in;
    serverlink::CCritSec m_writeLock;
};

// Process-wide ring state: channel reservations, the table of open ring pairs
// (by clientId, for the control), echo mode, delayed resumes, and the one poll
// thread that drains every outgoing ring into the call log.
//
// Threads: the apartment thread changes the table and the reservations; the
// poll thread works on a snapshot of the table taken under m_lock each pass,
// holding m_passLock for the pass. Flood threads hold m_passLock for each
// batch they write. Close waits on m_passLock, so once it returns neither the
// poll thread nor a flood holds the closed pair.
class RingHub {
public:
    static RingHub& Instance();
    ~RingHub();

    // Channel c uses rings c and c + 1. Returns the proposal when its pair is
    // free, else the next free pair scanning upward within the channel range
    // (wrapping), and reserves it. *reserved is false only when nothing is free;
    // the proposal then comes back unreserved.
    uint32_t ReserveChannel(uint32_t proposal, bool* reserved);
    void ReleaseChannel(uint32_t channel);

    // Opens clientId's ring pair; logs RingOpenFailed and returns null when a
    // ring cannot be opened. Starts the poll thread with the first pair.
    std::shared_ptr<ClientRings> Open(uint32_t clientId, uint16_t channelId);
    void Close(const ClientRings* rings);

    // The most recently opened pair of clientId, or null.
    std::shared_ptr<ClientRings> Find(uint32_t clientId);
    LONG Count();

    void SetEcho(bool on);
    // Off: outgoing rings are left unread (tests fill them up).
    void SetReading(bool on);
    // Sets the mode and clears the counts.
    void SetDrainMode(DrainMode mode);
    std::string DrainReport();
    // The poll thread writes a resume event for peer into rings' incoming ring
    // once delayMs have passed (dropped if the rings are closed by then).
    void ScheduleResume(const std::shared_ptr<ClientRings>& rings, uint32_t peer, DWORD delayMs);
    // Starts a thread that writes count sequenced events into rings' incoming
    // ring, waiting while it is full, until all are written or the rings close
    // (see Flood in localserver_control.idl). False if no thread could start.
    bool Flood(const std::shared_ptr<ClientRings>& rings, uint32_t count, int32_t code);

    // Ends the poll thread and every flood, and forgets every ring; call before
    // the process ends.
    void Stop();

    // The channel range scanned for a free pair: both rings stay within
    // 500..65000.
    static constexpr uint32_t kFirstChannel = 500;
    static constexpr uint32_t kLastChannel = 64999;

private:
    RingHub();
    RingHub(const RingHub&) = delete;
    RingHub& operator=(const RingHub&) = delete;

    struct Resume {
        DWORD due;
        std::weak_ptr<ClientRings> rings;
        uint32_t peer;
    };

    struct FloodJob {
        RingHub* hub;
        std::weak_ptr<ClientRings> rings;
        uint32_t count;
        int32_t code;
    };
    static unsigned __stdcall FloodMain(void* job);
    void RunFlood(const FloodJob& job);
    bool IsOpen(const ClientRings* rings);

    bool PairFreeLocked(uint32_t channel) const;
    void StartLocked();
    void Run();
    bool EchoOn();
    // What one pass counted in Count mode, added to the totals once per pass.
    struct PassCounts {
        uint64_t packets = 0;
        uint64_t bytes = 0;
    };
    void Handle(ClientRings& rings, const ShmMessage& msg, DrainMode mode, PassCounts& counted);
    // Counts and checks one data record in Check mode (m_countLock).
    void Check(const ShmMessage& msg);
    void AddCounts(PassCounts& counted);
    void RunDueResumes();

    serverlink::CCritSec m_passLock;                   // held by the poll thread for one pass; taken before m_lock
    serverlink::CCritSec m_lock;                       // guards everything below
    std::set<uint32_t> m_reservedRings;                // both rings of every reserved channel
    std::vector<std::shared_ptr<ClientRings>> m_open;  // in opening order
    std::vector<Resume> m_resumes;
    std::vector<serverlink::CHandle> m_floods;  // flood threads; joined by Stop
    std::atomic<bool> m_echo{false};            // read per record without m_lock; publishes nothing, so relaxed
    bool m_reading = true;
    DrainMode m_drain = DrainMode::Log;

    // Drain counts: written by the poll thread, read by the control.
    struct SenderCount {
        uint64_t count = 0;
        uint32_t lastSeq = 0;
    };
    serverlink::CCritSec m_countLock;  // guards the counts below; taken after m_lock, never before
    uint64_t m_packets = 0;
    uint64_t m_bytes = 0;
    uint64_t m_bad = 0;
    uint64_t m_order = 0;
    std::map<uint32_t, SenderCount> m_senders;
    bool m_started = false;
    std::atomic<bool> m_stopping{false};  // set once, by Stop; publishes nothing, so relaxed
    serverlink::CHandle m_wake;           // auto-reset: the idle poll thread waits on it
    serverlink::CWorkerThread m_thread;
};

// A LocalServer object's channel reservation: at most one, released when the
// object negotiates again, signs off, or goes away.
class ChannelLease {
public:
    ChannelLease() = default;
    ~ChannelLease() { Release(); }
    ChannelLease(const ChannelLease&) = delete;
    ChannelLease& operator=(const ChannelLease&) = delete;

    // Returns the channel the client is to use.
    uint32_t Take(uint32_t proposal);
    void Release();

private:
    uint32_t m_channel = 0;
    bool m_held = false;
};

// A LocalServer object's open ring pair, registered with the hub while held.
class RingAttachment {
public:
    RingAttachment() = default;
    ~RingAttachment() { Detach(); }
    RingAttachment(const RingAttachment&) = delete;
    RingAttachment& operator=(const RingAttachment&) = delete;

    void Attach(uint32_t clientId, uint16_t channelId);
    void Detach();

private:
    std::shared_ptr<ClientRings> m_rings;
};

}  // namespace localserver
