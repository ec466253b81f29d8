#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

#include "bench.h"
#include "common/error.h"

namespace bench {

namespace {

double Frequency() {
    static const double freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    return freq;
}

std::string Format(double v) {
    char text[64];
    const double a = std::fabs(v);
    if (std::isnan(v))
        std::snprintf(text, sizeof(text), "-");
    else if (a >= 1e6)
        std::snprintf(text, sizeof(text), "%.3gM", v / 1e6);
    else if (a >= 100)
        std::snprintf(text, sizeof(text), "%.0f", v);
    else if (a >= 10)
        std::snprintf(text, sizeof(text), "%.1f", v);
    else
        std::snprintf(text, sizeof(text), "%.2f", v);
    return text;
}

std::string FormatRatio(double v) {
    char text[32];
    if (std::isnan(v))
        std::snprintf(text, sizeof(text), "-");
    else if (v >= 100)
        std::snprintf(text, sizeof(text), "%.0fx", v);
    else
        std::snprintf(text, sizeof(text), "%.2fx", v);
    return text;
}

std::string Csv(double v) {
    char text[32];
    std::snprintf(text, sizeof(text), "%.6g", v);
    return text;
}

}  // namespace

int64_t Ticks() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}
double TicksToNs(int64_t ticks) { return double(ticks) * 1e9 / Frequency(); }
double TicksToUs(int64_t ticks) { return double(ticks) * 1e6 / Frequency(); }
int64_t UsToTicks(double us) { return int64_t(us * Frequency() / 1e6); }

double Figure::Median() const {
    if (runs.empty()) return std::numeric_limits<double>::quiet_NaN();
    std::vector<double> s = runs;
    std::sort(s.begin(), s.end());
    const size_t n = s.size();
    return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
}
double Figure::Min() const {
    return runs.empty() ? std::numeric_limits<double>::quiet_NaN() : *std::min_element(runs.begin(), runs.end());
}
double Figure::Max() const {
    return runs.empty() ? std::numeric_limits<double>::quiet_NaN() : *std::max_element(runs.begin(), runs.end());
}
double Figure::SpreadPct() const {
    const double m = Median();
    return (runs.empty() || m == 0) ? 0 : (Max() - Min()) / 2 / m * 100;
}

double Percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return std::numeric_limits<double>::quiet_NaN();
    size_t rank = size_t(std::ceil(p / 100.0 * double(sorted.size())));
    if (rank == 0) rank = 1;
    if (rank > sorted.size()) rank = sorted.size();
    return sorted[rank - 1];
}

Figure& Report::Add(const std::string& id, const std::string& phase, const std::string& name,
                    const std::string& unit, bool higherIsBetter) {
    auto f = std::make_unique<Figure>();
    f->id = id;
    f->phase = phase;
    f->name = name;
    f->unit = unit;
    f->higherIsBetter = higherIsBetter;
    m_figures.push_back(std::move(f));
    return *m_figures.back();
}

const Figure* Report::Find(const std::string& id) const {
    for (const auto& f : m_figures)
        if (f->id == id) return f.get();
    return nullptr;
}

double Report::Median(const std::string& id) const {
    const Figure* f = Find(id);
    return f == nullptr ? std::numeric_limits<double>::quiet_NaN() : f->Median();
}

Series& Report::AddSeries(const std::string& file, const std::string& header) {
    m_series.push_back(Series{file, header, {}});
    return m_series.back();
}

void Report::Fail(const std::string& what) {
    std::printf("  CHECK FAILED: %s\n", what.c_str());
    std::fflush(stdout);
    m_failures.push_back(what);
}

void Report::PrintTable() const {
    std::printf("\n%-12s %-58s %12s %8s  %s\n", "phase", "figure", "median", "spread", "unit");
    for (const auto& f : m_figures) {
        std::printf("%-12s %-58s %12s %7.1f%%  %s (%zu runs)\n", f->phase.c_str(), f->name.c_str(),
                    Format(f->Median()).c_str(), f->SpreadPct(), f->unit.c_str(), f->runs.size());
    }
    std::printf("\n%-58s %10s  %-14s %s\n", "ratio", "value", "target", "met");
    for (const Ratio& r : m_ratios)
        std::printf("%-58s %10s  %-14s %s\n", r.name.c_str(), FormatRatio(r.value).c_str(), r.target.c_str(),
                    r.met ? "yes" : "NO");
    for (const std::string& n : m_notes) std::printf("note: %s\n", n.c_str());
    std::fflush(stdout);
}

std::string Report::Markdown(const Options& opt) const {
    std::string md;
    md += "| Ratio | Value | Target | Met | From |\n|---|---:|---|---|---|\n";
    for (const Ratio& r : m_ratios)
        md += "| " + r.name + " | " + FormatRatio(r.value) + " | " + r.target + " | " + (r.met ? "yes" : "**no**") +
              " | `" + r.formula + "` |\n";
    md += "\n| Phase | Figure | Id | Median | Min | Max | Unit |\n|---|---|---|---:|---:|---:|---|\n";
    for (const auto& f : m_figures)
        md += "| " + f->phase + " | " + f->name + " | `" + f->id + "` | " + Format(f->Median()) + " | " +
              Format(f->Min()) + " | " + Format(f->Max()) + " | " + f->unit + " |\n";
    md += "\nEach figure: median, lowest and highest of " + std::to_string(opt.runs) +
          " runs in one process" + (opt.quick ? " (quick mode: tiny counts, not for comparison)" : "") + ".\n";
    for (const std::string& n : m_notes) md += "\n" + n + "\n";
    return md;
}

bool Report::Write(const std::string& dir, const Options& opt) const {
    bool ok = true;
    auto open = [&](const std::string& name, std::ofstream& out) {
        out.open(dir + "/" + name, std::ios::binary | std::ios::trunc);
        if (!out) {
            std::printf("cannot write %s/%s\n", dir.c_str(), name.c_str());
            ok = false;
        }
        return bool(out);
    };
    {
        std::ofstream out;
        if (open("bench.csv", out)) {
            out << "id,phase,figure,unit,median,min,max,runs\n";
            for (const auto& f : m_figures) {
                out << f->id << "," << f->phase << ",\"" << f->name << "\"," << f->unit << "," << Csv(f->Median())
                    << "," << Csv(f->Min()) << "," << Csv(f->Max()) << ",";
                for (size_t i = 0; i < f->runs.size(); ++i) out << (i ? " " : "") << Csv(f->runs[i]);
                out << "\n";
            }
        }
    }
    {
        std::ofstream out;
        if (open("ratios.csv", out)) {
            out << "ratio,value,target,met,from\n";
            for (const Ratio& r : m_ratios)
                out << "\"" << r.name << "\"," << Csv(r.value) << ",\"" << r.target << "\"," << (r.met ? 1 : 0)
                    << ",\"" << r.formula << "\"\n";
        }
    }
    for (const Series& s : m_series) {
        std::ofstream out;
        if (!open(s.file, out)) continue;
        out << s.header << "\n";
        for (const std::string& row : s.rows) out << row << "\n";
    }
    {
        std::ofstream out;
        if (open("table.md", out)) out << Markdown(opt);
    }
    return ok;
}

void Mark(uint8_t* p, uint32_t seq, int64_t stamp) {
    const uint32_t inv = ~seq, mid = seq * kMidMarkFactor, tail = seq ^ kTailMarkXor;
    std::memcpy(p, &seq, 4);
    std::memcpy(p + 4, &inv, 4);
    std::memcpy(p + 8, &stamp, 8);
    std::memcpy(p + kMidMarkAt, &mid, 4);
    std::memcpy(p + kBenchLength - 4, &tail, 4);
}

uint32_t MarkedSeq(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

int64_t MarkedStamp(const uint8_t* p) {
    int64_t v;
    std::memcpy(&v, p + 8, 8);
    return v;
}

bool MarksIntact(const uint8_t* p, uint32_t length) {
    if (length != kBenchLength) return false;
    uint32_t seq, inv, mid, tail;
    std::memcpy(&seq, p, 4);
    std::memcpy(&inv, p + 4, 4);
    std::memcpy(&mid, p + kMidMarkAt, 4);
    std::memcpy(&tail, p + kBenchLength - 4, 4);
    return inv == ~seq && mid == seq * kMidMarkFactor && tail == (seq ^ kTailMarkXor);
}

bool WaitFor(const std::function<bool()>& done, DWORD limitMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() - start > limitMs) return done();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(1);
    }
}

namespace {

void* RingBlock(int32_t slots) {
    void* block =
        VirtualAlloc(nullptr, SIZE_T(serverlink::RingSectionSize(slots)), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block == nullptr) throw serverlink::CError("alloc ring fail!");
    return block;
}

}  // namespace

PlainRing::PlainRing(int32_t slots) : m_block(RingBlock(slots)), m_ring(m_block.get(), slots) { m_ring.Initialize(); }

}  // namespace bench
