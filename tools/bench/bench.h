#pragma once
// Shared parts of bench.exe: the clock, figures with their runs, ratios against
// targets, the series behind the charts, record marks that let every phase
// check what it moves, and a few thread helpers.
#include <windows.h>

#include <atomic>
#include <deque>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shm/ring.h"
#include "shm/shm_message.h"

namespace bench {

// ---- clock (QueryPerformanceCounter) ----
int64_t Ticks();
double TicksToNs(int64_t ticks);
double TicksToUs(int64_t ticks);
int64_t UsToTicks(double us);

// A run, or a wait for what it moved, that takes longer than this has hung.
constexpr double kRunLimitS = 60;
constexpr DWORD kWaitLimitMs = 60000;

// ---- options ----
struct Options {
    bool quick = false;   // tiny counts: the smoke test
    std::string only;     // comma-separated phases to run; empty: all
    int runs = 5;         // repetitions of every figure
    std::string outDir = ".";
    double Scale(double full, double small) const { return quick ? small : full; }
    uint32_t Count(uint32_t full, uint32_t small) const { return quick ? small : full; }
    bool Runs(const char* phase) const {
        return only.empty() || ("," + only + ",").find("," + std::string(phase) + ",") != std::string::npos;
    }
};

// ---- results ----
struct Figure {
    std::string id;     // key used by ratios and the CSV
    std::string phase;  // group in the table
    std::string name;
    std::string unit;
    bool higherIsBetter = false;
    std::vector<double> runs;
    std::string note;

    double Median() const;
    double Min() const;
    double Max() const;
    // Half the range, as a percentage of the median.
    double SpreadPct() const;
};

struct Ratio {
    std::string name;
    std::string formula;  // how it is made from figures
    double value = 0;
    std::string target;  // the bound the ratio must stay within, as printed ("<= 1.25x")
    bool met = false;
};

// A named table of numbers written as CSV for the charts.
struct Series {
    std::string file;
    std::string header;
    std::vector<std::string> rows;
};

class Report {
public:
    Figure& Add(const std::string& id, const std::string& phase, const std::string& name, const std::string& unit,
                bool higherIsBetter);
    const Figure* Find(const std::string& id) const;
    // Value of a figure's median, or NaN when it is missing or empty.
    double Median(const std::string& id) const;
    void AddRatio(Ratio r) { m_ratios.push_back(std::move(r)); }
    Series& AddSeries(const std::string& file, const std::string& header);
    void Fail(const std::string& what);
    void Note(const std::string& what) { m_notes.push_back(what); }

    const std::vector<std::string>& Failures() const { return m_failures; }
    void PrintTable() const;
    // bench.csv, ratios.csv, every series, and table.md; false if a file failed.
    bool Write(const std::string& dir, const Options& opt) const;

private:
    std::string Markdown(const Options& opt) const;

    std::vector<std::unique_ptr<Figure>> m_figures;
    std::vector<Ratio> m_ratios;
    std::deque<Series> m_series;  // AddSeries hands out references that stay valid
    std::vector<std::string> m_failures;
    std::vector<std::string> m_notes;
};

// Percentile p (0..100) of sorted samples: the smallest value with at least p%
// of the samples at or below it.
double Percentile(const std::vector<double>& sorted, double p);

// ---- marks: what a record carries so that the far side can check it ----
// payload[0..3] seq, [4..7] ~seq, [8..15] a tick stamp (0 when unstamped),
// [640..643] a hash of seq, [1276..1279] seq ^ 0x5A5A5A5A: a torn or stale
// copy shows at the start, middle or end. The length is always 1280.
constexpr uint32_t kBenchLength = 1280;
constexpr uint32_t kMidMarkAt = 640;
constexpr uint32_t kMidMarkFactor = 2654435761u;  // Knuth's multiplicative hash
constexpr uint32_t kTailMarkXor = 0x5A5A5A5Au;
void Mark(uint8_t* payload, uint32_t seq, int64_t stamp);
uint32_t MarkedSeq(const uint8_t* payload);
int64_t MarkedStamp(const uint8_t* payload);
bool MarksIntact(const uint8_t* payload, uint32_t length);

// ---- threads ----
// What a thread does when the ring is full (writer) or empty (reader): it
// yields its processor, then tries again. Spinning on the slot the other side
// is about to write instead keeps both sides' cache lines moving between the
// processors, which slows the writer more than a yield costs the reader.
class Backoff {
public:
    void Wait() {
        if (++m_n < kSpins) {
            YieldProcessor();
        } else {
            SwitchToThread();
            m_n = 0;
        }
    }

    static inline int kSpins = 1;  // --spins N: N pause instructions first

private:
    int m_n = 0;
};

// Threads started together: each waits at Go() until the owner calls Release.
class StartLine {
public:
    void Go() const {
        while (!m_go.load(std::memory_order_acquire)) YieldProcessor();
    }
    // Returns the ticks of the release.
    int64_t Release() {
        const int64_t t = Ticks();
        m_go.store(true, std::memory_order_release);
        return t;
    }

private:
    std::atomic<bool> m_go{false};
};

// Polls until done() or limitMs passed, serving this thread's apartment (the
// owner thread of the link objects). Returns done().
bool WaitFor(const std::function<bool()>& done, DWORD limitMs);

// A ring over plain memory with the layout of a section, 64 KiB aligned like a
// mapped view: the floors run the ring code without the DLL.
class PlainRing {
public:
    explicit PlainRing(int32_t slots = serverlink::kRingSlots);
    bool Write(const serverlink::ShmMessage& m) { return m_ring.Write(m); }
    bool Read(serverlink::ShmMessage& m) { return m_ring.Read(m); }

private:
    struct Free {
        void operator()(void* block) const { VirtualFree(block, 0, MEM_RELEASE); }
    };
    std::unique_ptr<void, Free> m_block;  // first: the ring logic runs over it
    serverlink::CRing m_ring;
};

}  // namespace bench
