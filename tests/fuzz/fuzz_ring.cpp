// A hostile ring: the other process may leave anything in the section and may
// change its indexes, state bytes and records between our calls. The reader
// decodes what it reads and dispatches it into a subscriber table, as the link
// does. Must hold: no access outside the section (it is an exactly-sized heap
// block), no byte changed but those the ring's rules allow, no sink given a
// length over 1280 or a pointer outside the record, and every record delivered
// exactly as it stood in the slot.
//
// Input:
//   byte 0                    slot count, 1 + b % 4
//   next 8 + 1312 * N bytes   the section as the other process left it (zero
//                             past the end of the input)
//   then pairs (op, arg)      operations, see Run(); finally the ring is drained
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "events/decode.h"
#include "events/subscriber_table.h"
#include "native_sink.h"
#include "ring_block.h"
#include "serverlink_codes.h"
#include "shm/ring.h"

using namespace serverlink;
using namespace testing_support;

namespace {

[[noreturn]] void Fail(const char* what, int line) {
    std::fprintf(stderr, "fuzz_ring: check failed at line %d: %s\n", line, what);
    std::abort();
}
#define CHECK(c)                         \
    do {                                 \
        if (!(c)) Fail(#c, __LINE__);    \
    } while (0)

constexpr size_t kMessage = kBlockMessageSize;
constexpr size_t kPayloadAt = 16;
constexpr size_t kPayloadSize = 1280;

uint32_t Get32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }

// The ring's rules written out over a shadow copy of the section, by offset.
class ShadowRing {
public:
    ShadowRing(const uint8_t* image, size_t size, int32_t slots) : bytes(image, image + size), m_slots(slots) {}

    bool Write(const uint8_t* record) {
        const int32_t i = int32_t(Get32(&bytes[0]));
        if (i < 0 || i >= m_slots) return false;
        uint8_t* slot = &bytes[BlockSlotAt(size_t(i))];
        if (slot[kBlockStateAt] == 0) return false;
        std::memcpy(slot, record, kMessage);
        slot[kBlockStateAt] = 0;
        Put32(&bytes[0], uint32_t(i + 1 == m_slots ? 0 : i + 1));
        return true;
    }
    bool Read(uint8_t* record) {
        const int32_t i = int32_t(Get32(&bytes[4]));
        if (i < 0 || i >= m_slots) return false;
        uint8_t* slot = &bytes[BlockSlotAt(size_t(i))];
        if (slot[kBlockStateAt] != 0) return false;
        std::memcpy(record, slot, kMessage);
        slot[kBlockStateAt] = 1;
        Put32(&bytes[4], uint32_t(i + 1 == m_slots ? 0 : i + 1));
        return true;
    }

    std::vector<uint8_t> bytes;

private:
    int32_t m_slots;
};

// One sink call as the sink saw it.
struct Call {
    char sink;
    bool data;
    uint32_t id;
    int32_t code;
    intptr_t param;
    int32_t extra;
    const uint8_t* bytes;
    uint32_t length;
};

// The record being delivered (heap, exactly one record long) and the shadow's
// copy of it, so sinks can check what they are given.
struct Delivering {
    const ShmMessage* record = nullptr;
    const uint8_t* expected = nullptr;
};

const uint8_t* PayloadOf(const ShmMessage* m) { return reinterpret_cast<const uint8_t*>(m) + kPayloadAt; }

// Checks every address and length against the record it must lie in, then
// reads every byte it was given (ASan sees any overrun) and compares them with
// the bytes the slot held.
class CheckingSink final : public IEventSink {
public:
    CheckingSink(char name, std::vector<Call>& log, const Delivering& now) : m_name(name), m_log(log), m_now(now) {}

    int32_t OnEvent(uint32_t id, int32_t code, intptr_t param, int32_t extra) override {
        const uint16_t type = m_now.record->type;
        if (type == 9 || type == 10) {
            CHECK(extra >= 0 && extra <= int32_t(kPayloadSize));
            const auto* p = reinterpret_cast<const uint8_t*>(param);
            CHECK(p == PayloadOf(m_now.record));
            CHECK(std::memcmp(p, m_now.expected + kPayloadAt, size_t(extra)) == 0);
        }
        m_log.push_back(Call{m_name, false, id, code, param, extra, nullptr, 0});
        return 0;
    }
    int32_t OnData(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) override {
        const uint8_t* payload = PayloadOf(m_now.record);
        CHECK(length <= kPayloadSize);
        CHECK(data >= payload && data + length <= payload + kPayloadSize);
        CHECK(std::memcmp(data, m_now.expected + kPayloadAt + (data - payload), length) == 0);
        m_log.push_back(Call{m_name, true, id, 0, 0, extra, data, length});
        return 0;
    }

private:
    char m_name;
    std::vector<Call>& m_log;
    const Delivering& m_now;
};

// The link's composition, minus flow control: decode, then walk the table.
class Dispatcher final : public IRecordReceiver {
public:
    explicit Dispatcher(CSubscriberTable& table) : m_table(table) {}
    void HandleEvent(uint32_t id, int32_t code, intptr_t param, int32_t extra) override {
        m_table.Walk(id, [&](IEventSink* sink) { sink->OnEvent(id, code, param, extra); });
    }
    void HandleData(uint32_t id, const uint8_t* data, uint32_t length, int32_t extra) override {
        m_table.Walk(id, [&](IEventSink* sink) { sink->OnData(id, data, length, extra); });
    }

private:
    CSubscriberTable& m_table;
};

constexpr uint32_t kIdB = 7;             // sinks d and b
constexpr uint32_t kIdC = 0xFFFFFFFFu;   // sink c

// What the sinks must hear for a record, from the shadow's copy of its bytes:
// a (key 0) first, then d and b (key 7, d newest), then c (key 0xFFFFFFFF).
std::vector<Call> Expected(const uint8_t* rec, const ShmMessage* delivered) {
    uint16_t type;
    std::memcpy(&type, rec, 2);
    const uint32_t clientId = Get32(rec + 4), peerId = Get32(rec + 8), length = Get32(rec + 12);
    const int32_t code = int32_t(Get32(rec + 1296)), param = int32_t(Get32(rec + 1300)), extra = int32_t(Get32(rec + 1304));
    const uint32_t cut = length < kPayloadSize ? length : uint32_t(kPayloadSize);
    const intptr_t payload = reinterpret_cast<intptr_t>(PayloadOf(delivered));
    Call call{};
    switch (type) {
        case 7: call = Call{0, false, peerId, code, param, extra, nullptr, 0}; break;
        case 8: call = Call{0, true, peerId, 0, 0, extra, PayloadOf(delivered), cut}; break;
        case 9: call = Call{0, false, clientId, 8, payload, int32_t(cut), nullptr, 0}; break;
        case 10: call = Call{0, false, clientId, 9, payload, int32_t(cut), nullptr, 0}; break;
        default: return {};
    }
    std::vector<Call> out;
    const char order[] = {'a', 'd', 'b', 'c'};
    for (char s : order) {
        const bool hears = s == 'a' || ((s == 'd' || s == 'b') && call.id == kIdB) || (s == 'c' && call.id == kIdC);
        if (!hears) continue;
        call.sink = s;
        out.push_back(call);
    }
    return out;
}

bool SameCalls(const std::vector<Call>& a, const std::vector<Call>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const Call &x = a[i], &y = b[i];
        if (x.sink != y.sink || x.data != y.data || x.id != y.id || x.code != y.code || x.param != y.param ||
            x.extra != y.extra || x.bytes != y.bytes || x.length != y.length)
            return false;
    }
    return true;
}

int32_t IndexValue(uint8_t arg, int32_t slots) {
    const int32_t values[] = {0, 1, slots - 1, slots, -1, INT_MIN, INT_MAX, int32_t(arg >> 3)};
    return values[arg & 7];
}

// A record whose type and length come from the argument, the rest a pattern.
void MakeRecord(uint8_t arg, uint8_t* rec) {
    static const uint16_t types[] = {7, 8, 9, 10, 4, 6, 0, 0xFFFF};
    static const uint32_t lengths[] = {0, 1, 20, 1279, 1280, 1281, 0x80000000u, 0xFFFFFFFFu};
    for (size_t i = 0; i < kMessage; ++i) rec[i] = uint8_t(arg * 13u + i * 5u);
    std::memcpy(rec, &types[arg & 7], 2);
    Put32(rec + 4, (arg & 0x40) ? kIdB : kIdC);
    Put32(rec + 8, (arg & 0x80) ? kIdB : kIdC);
    Put32(rec + 12, lengths[(arg >> 3) & 7]);
}

class Harness {
public:
    Harness(const uint8_t* image, size_t imageBytes, int32_t slots)
        : m_slots(slots), m_block(size_t(slots)), m_ring(m_block.Bytes(), slots), m_record(new ShmMessage) {
        std::memcpy(m_block.Bytes(), image, imageBytes);
        m_shadow = std::make_unique<ShadowRing>(m_block.Bytes(), m_block.Size(), slots);
        CHECK(m_table.Add(&m_a, 0));
        CHECK(m_table.Add(&m_b, kIdB));
        CHECK(m_table.Add(&m_c, kIdC));
        CHECK(m_table.Add(&m_d, kIdB));
    }

    void Run(uint8_t op, uint8_t arg) {
        switch (op % 8) {
            case 0:
            case 1:
            case 2:
                Read();
                break;
            case 3: {  // our writer
                uint8_t rec[kMessage];
                MakeRecord(arg, rec);
                ShmMessage msg;
                std::memcpy(static_cast<void*>(&msg), rec, kMessage);
                CHECK(m_ring.Write(msg) == m_shadow->Write(rec));
                break;
            }
            case 4:  // the other side moves an index
                Other32(0, IndexValue(arg, m_slots));
                break;
            case 5:
                Other32(4, IndexValue(arg, m_slots));
                break;
            case 6: {  // the other side sets a state byte to anything
                const size_t at = BlockSlotAt(arg % size_t(m_slots)) + kBlockStateAt;
                const uint8_t v = (arg & 0x80) ? uint8_t(arg >> 2) : uint8_t((arg >> 2) & 1);
                m_block.Bytes()[at] = v;
                m_shadow->bytes[at] = v;
                break;
            }
            case 7: {  // the other side writes a record anywhere and marks it full
                const size_t at = BlockSlotAt(arg % size_t(m_slots));
                uint8_t rec[kMessage];
                MakeRecord(uint8_t(arg * 37u), rec);
                std::memcpy(m_block.Bytes() + at, rec, kMessage);
                std::memcpy(&m_shadow->bytes[at], rec, kMessage);
                m_block.Bytes()[at + kBlockStateAt] = 0;
                m_shadow->bytes[at + kBlockStateAt] = 0;
                break;
            }
        }
        CHECK(std::memcmp(m_block.Bytes(), m_shadow->bytes.data(), m_block.Size()) == 0);
    }

    void Drain() {
        for (int32_t i = 0; i <= m_slots; ++i) Read();
    }

private:
    void Other32(size_t at, int32_t v) {
        m_block.Set32(at, v);
        Put32(&m_shadow->bytes[at], uint32_t(v));
    }

    void Read() {
        std::memset(static_cast<void*>(m_record.get()), 0x5C, sizeof(ShmMessage));
        uint8_t expected[kMessage];
        std::memset(expected, 0x5C, kMessage);
        const bool got = m_ring.Read(*m_record);
        CHECK(got == m_shadow->Read(expected));
        CHECK(std::memcmp(m_record.get(), expected, kMessage) == 0);  // untouched when nothing was read
        CHECK(std::memcmp(m_block.Bytes(), m_shadow->bytes.data(), m_block.Size()) == 0);
        if (!got) return;

        m_calls.clear();
        m_now.record = m_record.get();
        m_now.expected = expected;
        Dispatcher dispatcher(m_table);
        DecodeRecord(*m_record, dispatcher);
        CHECK(SameCalls(m_calls, Expected(expected, m_record.get())));
        CHECK(m_table.Count() == 4 && !m_table.Dispatching());
    }

    int32_t m_slots;
    RingBlock m_block;
    CRing m_ring;
    std::unique_ptr<ShadowRing> m_shadow;
    std::unique_ptr<ShmMessage> m_record;  // exactly one record on the heap
    std::vector<Call> m_calls;
    Delivering m_now;
    CSubscriberTable m_table;
    CheckingSink m_a{'a', m_calls, m_now}, m_b{'b', m_calls, m_now}, m_c{'c', m_calls, m_now},
        m_d{'d', m_calls, m_now};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int32_t slots = 1 + data[0] % 4;
    ++data, --size;
    const size_t imageBytes = size < BlockSize(size_t(slots)) ? size : BlockSize(size_t(slots));
    Harness h(data, imageBytes, slots);
    data += imageBytes, size -= imageBytes;
    for (; size >= 2; data += 2, size -= 2) h.Run(data[0], data[1]);
    h.Drain();
    return 0;
}
