// A client of the server link, end to end: signs on to the reference local
// server, prints the events and data it receives, sends packets (the server
// echoes them back), shows a send refused while its peer is paused, signs off
// and prints a summary.
#include <windows.h>
#include <objbase.h>

#include <comdef.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "localserver_control.h"
#include "serverlink.h"

_COM_SMARTPTR_TYPEDEF(ILocalServerControl, __uuidof(ILocalServerControl));
_COM_SMARTPTR_TYPEDEF(IServerLink, __uuidof(IServerLink));

namespace {

constexpr ULONG kClientId = 1001;
constexpr ULONG kEchoPeer = 1;
constexpr ULONG kPausedPeer = 2;
constexpr int kPackets = 5;
constexpr LONG kDemoEvents = 3;       // the server's script delivers two events and a notice
constexpr LONG kPauseMs = 800;        // how long the server pauses kPausedPeer
constexpr DWORD kWaitLimitMs = 5000;  // for what the server sends, and for the resume
constexpr DWORD kSendGapMs = 20;      // between two echoed packets
constexpr DWORD kRetryGapMs = 50;     // between two sends to the paused peer
constexpr DWORD kPollMs = 5;          // while waiting for the sink
constexpr int kSeqs = 10;             // packets are numbered by one digit: "packet0".."packet9"
constexpr int kPausedSeq = 9;         // the number of the packet for the paused peer
constexpr ULONG kPrintableMax = 64;   // bytes of a payload printed
constexpr BYTE kLongSignOn = 2;       // sign-on record version: the long form

std::mutex g_print;  // callbacks print on the receive thread, main() on its own

void Say(const char* fmt, ...) {
    std::lock_guard<std::mutex> lock(g_print);
    va_list args;
    va_start(args, fmt);
    vprintf(fmt, args);
    va_end(args);
    fflush(stdout);
}

double NowMs() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return 1000.0 * double(t.QuadPart) / double(freq.QuadPart);
}

std::string Printable(const BYTE* data, ULONG length) {
    std::string s;
    for (ULONG i = 0; i < length && i < kPrintableMax; ++i) s += (data[i] >= 32 && data[i] < 127) ? char(data[i]) : '.';
    return s;
}

// Called on the link's receive thread.
class DemoSink : public IEventSink {
public:
    DemoSink() {
        for (auto& t : m_sentAt) t = 0;
    }

    HRESULT STDMETHODCALLTYPE OnEvent(ULONG id, LONG code, LONG_PTR param, LONG extra) override {
        m_events.fetch_add(1, std::memory_order_relaxed);
        if (code == SERVERLINK_EVENT_NOTICE_A || code == SERVERLINK_EVENT_NOTICE_B) {
            const BYTE* text = reinterpret_cast<const BYTE*>(param);
            Say("  <- notice for client %lu: \"%s\" (%ld bytes)\n", id, Printable(text, ULONG(extra)).c_str(), extra);
        } else if (code == SERVERLINK_EVENT_SCRAMBLED) {
            Say("  <- event from peer %lu: code 5, parameter %ld (arrived scrambled, descrambled by the link), "
                "extra 0x%08lX\n",
                id, long(param), extra);
        } else {
            Say("  <- event from peer %lu: code %ld, parameter %ld, extra 0x%08lX\n", id, code, long(param), extra);
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE OnData(ULONG id, const BYTE* data, ULONG length, LONG) override {
        const double now = NowMs();
        int seq = -1;
        if (length >= 6 && std::memcmp(data, "packet", 6) == 0) seq = data[6] - '0';
        double rtt = -1;
        if (seq >= 0 && seq < kSeqs && m_sentAt[seq] > 0) {
            rtt = now - m_sentAt[seq];
            std::lock_guard<std::mutex> lock(g_print);
            m_rttSum += rtt;
            m_rttMin = m_rttCount == 0 || rtt < m_rttMin ? rtt : m_rttMin;
            m_rttMax = rtt > m_rttMax ? rtt : m_rttMax;
            ++m_rttCount;
        }
        m_data.fetch_add(1, std::memory_order_relaxed);
        if (rtt >= 0)
            Say("  <- data from peer %lu: \"%s\" (%lu bytes, round trip %.2f ms)\n", id,
                Printable(data, length).c_str(), length, rtt);
        else
            Say("  <- data from peer %lu: \"%s\" (%lu bytes)\n", id, Printable(data, length).c_str(), length);
        return S_OK;
    }

    void MarkSent(int seq) { m_sentAt[seq] = NowMs(); }
    LONG Events() const { return m_events.load(std::memory_order_relaxed); }
    LONG Data() const { return m_data.load(std::memory_order_relaxed); }

    double m_sentAt[kSeqs];
    double m_rttSum = 0, m_rttMin = 0, m_rttMax = 0;
    int m_rttCount = 0;

private:
    // Counts only: main() polls them and reads nothing else they would publish.
    std::atomic<LONG> m_events{0};
    std::atomic<LONG> m_data{0};
};

// Waits (bounded) until pred() holds; the sink is fed by the receive thread.
template <class Pred>
bool WaitUntil(Pred pred, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!pred()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Sleep(kPollMs);
    }
    return true;
}

const char* Hr(HRESULT hr) {
    static char buf[32];
    if (hr == S_OK) return "S_OK";
    if (hr == E_FAIL) return "E_FAIL";
    std::snprintf(buf, sizeof(buf), "0x%08lX", static_cast<unsigned long>(hr));
    return buf;
}

// The demo between CoInitialize and CoUninitialize: every interface it holds
// is released before it returns.
int Run() {
    Say("serverlink demo\n===============\n");
    ILocalServerControlPtr control;
    HRESULT hr = CoCreateInstance(CLSID_LocalServerControl, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServerControl,
                                  reinterpret_cast<void**>(&control));
    if (FAILED(hr)) {
        Say("The reference local server is not registered (%s). Run scripts/demo.sh.\n", Hr(hr));
        return 1;
    }
    control->Reset();
    control->SetEcho(1);
    Say("Reference local server is up; it will echo every packet back to its sender.\n\n");

    DemoSink sink;  // declared first: it outlives the link that calls it
    IServerLinkPtr link;
    hr = CoCreateInstance(CLSID_ServerLink, nullptr, CLSCTX_INPROC_SERVER, IID_IServerLink,
                          reinterpret_cast<void**>(&link));
    if (FAILED(hr)) {
        Say("Could not create the link object (%s): is serverlink.dll registered?\n", Hr(hr));
        return 1;
    }
    Say("1. Created the link object with CoCreateInstance (in-process server serverlink.dll).\n");

    SignOnRecord record{};
    record.version = kLongSignOn;
    record.clientId = kClientId;
    record.dword405 = 16;
    record.dword537 = 32;
    record.mode = 1;
    std::memcpy(record.block17, "demo-client", 11);
#ifndef _WIN64
    record.eventSink = &sink;  // subscribed under key 0 by SignOn
#else
    // A 64-bit record cannot hold a pointer: the field stays 0 and the client
    // subscribes its sign-on sink itself, first.
    link->AddSubscriber(&sink, 0);
#endif

    int rc = 1;
    hr = link->SignOn(&record);
    Say("2. SignOn as client %lu: %s\n", kClientId, Hr(hr));
    if (hr == S_OK) {
        Say("   The link agreed a channel with the server, made its two shared-memory rings,\n"
            "   started its receive thread and subscribed our sink under key 0.\n\n");

        Say("3. Asking the server for a few events (one with a scrambled parameter), a notice,\n"
            "   and a pause of peer %lu for %ld ms.\n",
            kPausedPeer, kPauseMs);
        control->RunDemo(kClientId, kPausedPeer, kPauseMs);
        WaitUntil([&] { return sink.Events() >= kDemoEvents; }, kWaitLimitMs);

        Say("\n4. Sending %d packets to peer %lu; each comes back as data from that peer.\n", kPackets, kEchoPeer);
        int sent = 0;
        for (int i = 0; i < kPackets; ++i) {
            char text[32];
            const int n = std::snprintf(text, sizeof(text), "packet%d hello", i);
            sink.MarkSent(i);
            const HRESULT sendHr = link->SendData(kEchoPeer, reinterpret_cast<const BYTE*>(text), ULONG(n));
            Say("  -> SendData(peer %lu, \"%s\"): %s\n", kEchoPeer, text, Hr(sendHr));
            if (sendHr == S_OK) ++sent;
            Sleep(kSendGapMs);
        }
        WaitUntil([&] { return sink.Data() >= sent; }, kWaitLimitMs);

        Say("\n5. Peer %lu is paused by the server: sends to it are refused until it resumes.\n", kPausedPeer);
        const char* text = "packet9 for the paused peer";
        int refused = 0;
        HRESULT pausedHr = E_FAIL;
        const DWORD pauseStart = GetTickCount();
        while (GetTickCount() - pauseStart < kWaitLimitMs) {
            sink.MarkSent(kPausedSeq);
            pausedHr = link->SendData(kPausedPeer, reinterpret_cast<const BYTE*>(text), ULONG(std::strlen(text)));
            if (pausedHr == S_OK) break;
            if (refused == 0) Say("  -> SendData(peer %lu): %s (peer paused)\n", kPausedPeer, Hr(pausedHr));
            ++refused;
            Sleep(kRetryGapMs);
        }
        Say("  -> SendData(peer %lu): %s after %d refused attempt(s) (peer resumed)\n", kPausedPeer, Hr(pausedHr),
            refused);
        WaitUntil([&] { return sink.Data() >= sent + 1; }, kWaitLimitMs);

        const HRESULT offHr = link->SignOff();
        Say("\n6. SignOff: %s (subscribers cleared, rings closed, receive thread stopped)\n", Hr(offHr));

        Say("\nSummary\n-------\n");
        Say("  events received:   %ld\n", sink.Events());
        Say("  data packets:      %ld received, %d sent\n", sink.Data(), sent + (pausedHr == S_OK ? 1 : 0));
        Say("  refused sends:     %d (while peer %lu was paused)\n", refused, kPausedPeer);
        if (sink.m_rttCount > 0)
            Say("  round trip:        min %.2f ms, avg %.2f ms, max %.2f ms over %d packets\n", sink.m_rttMin,
                sink.m_rttSum / sink.m_rttCount, sink.m_rttMax, sink.m_rttCount);
        rc = (offHr == S_OK && sink.Events() >= kDemoEvents && sink.Data() == sent + 1 && refused > 0) ? 0 : 2;
        Say("  result:            %s\n", rc == 0 ? "everything arrived as expected" : "something was missing");
    }
    link = nullptr;  // released before the server is set back
    control->SetEcho(0);
    return rc;
}

}  // namespace

int main() {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(CoInitialize(nullptr))) return 1;
    const int rc = Run();
    CoUninitialize();
    return rc;
}
