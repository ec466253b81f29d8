// The subscriber table against a plain model of its rules, over random
// sequences of adds, removes, clears and walks, with changes (and exceptions)
// made from inside the walks' callbacks.
//
// Input: a sequence of operations, each an opcode byte and its arguments, see
// Step(). Sinks are four objects or null; keys come from a small set with the
// unsigned edge values.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "events/subscriber_table.h"
#include "native_sink.h"

using namespace serverlink;

namespace {

[[noreturn]] void Fail(const char* what, int line) {
    std::fprintf(stderr, "fuzz_subscribers: check failed at line %d: %s\n", line, what);
    std::abort();
}
#define CHECK(c)                         \
    do {                                 \
        if (!(c)) Fail(#c, __LINE__);    \
    } while (0)

const uint32_t kKeys[] = {0, 1, 2, 7, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};

// The model. Subscriptions carry the number of their insertion; the table's
// order is by key (unsigned), then newest insertion first. Sinks are numbers,
// -1 being null.
struct ModelEntry {
    int sink;
    uint32_t key;
    uint64_t inserted;
};

class Model {
public:
    std::vector<ModelEntry> entries;  // always in table order
    bool walking = false;
    std::vector<ModelEntry> queuedAdds, queuedRemoves;

    bool Add(int sink, uint32_t key) {
        if (sink < 0) return false;
        if (walking) {
            if (entries.size() + queuedAdds.size() >= 100) return false;
            queuedAdds.push_back({sink, key, 0});
            return true;
        }
        if (entries.size() >= 100) return false;
        entries.push_back({sink, key, ++m_insertions});
        std::sort(entries.begin(), entries.end(), [](const ModelEntry& a, const ModelEntry& b) {
            return a.key != b.key ? a.key < b.key : a.inserted > b.inserted;
        });
        return true;
    }
    bool Remove(int sink, uint32_t key) {
        if (walking) {
            queuedRemoves.push_back({sink, key, 0});
            return true;
        }
        for (size_t i = 0; i < entries.size(); ++i) {
            if (entries[i].sink == sink && entries[i].key == key) {
                entries.erase(entries.begin() + long(i));
                return true;
            }
        }
        return false;
    }
    void Clear() { entries.clear(); }
    // After a walk: every queued add, then every queued remove.
    void EndWalk() {
        walking = false;
        for (const ModelEntry& e : queuedAdds) Add(e.sink, e.key);
        for (const ModelEntry& e : queuedRemoves) Remove(e.sink, e.key);
        queuedAdds.clear();
        queuedRemoves.clear();
    }

private:
    uint64_t m_insertions = 0;
};

class Sink final : public IEventSink {
public:
    int32_t OnEvent(uint32_t, int32_t, intptr_t, int32_t) override { return 0; }
    int32_t OnData(uint32_t, const uint8_t*, uint32_t, int32_t) override { return 0; }
};

// An action a callback takes: at its `call`-th callback of the walk.
struct Action {
    uint8_t call;
    uint8_t what;  // 0 add, 1 remove, 2 clear, 3 throw
    int sink;
    uint32_t key;
};

struct Thrown {};

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}
    bool More() const { return m_size > 0; }
    uint8_t Byte() {
        if (m_size == 0) return 0;
        --m_size;
        return *m_data++;
    }

private:
    const uint8_t* m_data;
    size_t m_size;
};

class Harness {
public:
    void Step(Input& in) {
        const uint8_t op = in.Byte();
        switch (op % 5) {
            case 0: {  // add
                const uint8_t a = in.Byte();
                CHECK(m_table.Add(SinkPtr(SinkOf(a)), KeyOf(a)) == m_model.Add(SinkOf(a), KeyOf(a)));
                break;
            }
            case 1: {  // remove
                const uint8_t a = in.Byte();
                CHECK(m_table.Remove(SinkPtr(SinkOf(a)), KeyOf(a)) == m_model.Remove(SinkOf(a), KeyOf(a)));
                break;
            }
            case 2:
                m_table.Clear();
                m_model.Clear();
                break;
            case 3: {  // many adds at once, to reach the limit
                const uint8_t n = in.Byte() % 104;
                const uint8_t a = in.Byte();
                for (uint8_t i = 0; i < n; ++i) {
                    const uint8_t b = uint8_t(a + i * 9);
                    CHECK(m_table.Add(SinkPtr(SinkOf(b)), KeyOf(b)) == m_model.Add(SinkOf(b), KeyOf(b)));
                }
                break;
            }
            case 4:
                Walk(in);
                break;
        }
        CheckSame();
    }

private:
    static int SinkOf(uint8_t a) { return (a & 7) < 4 ? a & 3 : ((a & 7) == 4 ? -1 : (a >> 6) & 3); }
    static uint32_t KeyOf(uint8_t a) { return kKeys[(a >> 3) & 7]; }
    IEventSink* SinkPtr(int sink) { return sink < 0 ? nullptr : &m_sinks[sink]; }
    int SinkNumber(IEventSink* p) {
        for (int i = 0; i < 4; ++i)
            if (p == &m_sinks[i]) return i;
        Fail("a sink that was never added was called", __LINE__);
    }

    // A walk for an id, with up to 7 actions; the real table and the model run
    // the same script, and must call the same sinks and answer the same.
    void Walk(Input& in) {
        const uint8_t idByte = in.Byte();
        const uint32_t id = (idByte & 0x80) ? kKeys[idByte & 7] : uint32_t(idByte & 0x7F);
        std::vector<Action> script(in.Byte() % 8);
        for (Action& a : script) {
            a.call = in.Byte() % 8;
            const uint8_t what = in.Byte();
            a.what = what % 4;
            a.sink = SinkOf(what >> 2);
            a.key = KeyOf(uint8_t(what >> 2));
        }

        std::vector<int> realCalls, modelCalls;
        std::vector<bool> realAnswers, modelAnswers;
        bool realThrew = false, modelThrew = false;

        try {
            m_table.Walk(id, [&](IEventSink* sink) {
                CHECK(m_table.Dispatching());
                const uint8_t call = uint8_t(realCalls.size());
                realCalls.push_back(SinkNumber(sink));
                for (const Action& a : script) {
                    if (a.call != call) continue;
                    if (a.what == 0) realAnswers.push_back(m_table.Add(SinkPtr(a.sink), a.key));
                    if (a.what == 1) realAnswers.push_back(m_table.Remove(SinkPtr(a.sink), a.key));
                    if (a.what == 2) m_table.Clear();
                    if (a.what == 3) throw Thrown{};
                }
            });
        } catch (const Thrown&) {
            realThrew = true;
        }
        CHECK(!m_table.Dispatching());

        // The model's walk: by index over its entries, which only Clear can
        // change while walking.
        m_model.walking = true;
        try {
            for (size_t i = 0; i < m_model.entries.size(); ++i) {
                const ModelEntry e = m_model.entries[i];
                if (e.key > id) break;
                if (e.key != 0 && e.key != id) continue;
                const uint8_t call = uint8_t(modelCalls.size());
                modelCalls.push_back(e.sink);
                for (const Action& a : script) {
                    if (a.call != call) continue;
                    if (a.what == 0) modelAnswers.push_back(m_model.Add(a.sink, a.key));
                    if (a.what == 1) modelAnswers.push_back(m_model.Remove(a.sink, a.key));
                    if (a.what == 2) m_model.Clear();
                    if (a.what == 3) throw Thrown{};
                }
            }
        } catch (const Thrown&) {
            modelThrew = true;
        }
        m_model.EndWalk();

        CHECK(realCalls == modelCalls);
        CHECK(realAnswers == modelAnswers);
        CHECK(realThrew == modelThrew);
    }

    void CheckSame() {
        CHECK(m_table.Count() == m_model.entries.size());
        for (uint32_t i = 0; i < m_table.Count(); ++i) {
            CHECK(m_table.At(i).sink == SinkPtr(m_model.entries[i].sink));
            CHECK(m_table.At(i).key == m_model.entries[i].key);
        }
    }

    Sink m_sinks[4];
    CSubscriberTable m_table;
    Model m_model;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    Harness h;
    while (in.More()) h.Step(in);
    return 0;
}
