// Sign-on record reading, validation and the login record built from the copy.
// The expected login layout is written out here on its own, as a table of
// byte ranges, so a slip in the code's struct cannot hide behind itself.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <vector>

#include "link/records.h"

using namespace serverlink;

namespace {

constexpr size_t kShort = 812;
constexpr size_t kLong = 943;
constexpr size_t kLogin = 933;

// Source of one range of the login record.
enum : int { kFromIpv4 = -1 };

struct LoginRange {
    size_t loginOffset;
    size_t width;
    int source;  // sign-on offset, or kFromIpv4
};

// The login record, field by field, in order; every byte 0..932 once.
constexpr LoginRange kLoginLayout[] = {
    {0, 1, 0},       // version
    {1, 4, 1},       // clientId
    {5, 4, 5},       //
    {9, 2, 9},       //
    {11, 4, kFromIpv4},
    {15, 2, 15},     // channelId, from the copy
    {17, 128, 17},   //
    {145, 2, 145},   //
    {147, 128, 147}, //
    {275, 2, 275},   //
    {277, 128, 277}, //
    {405, 4, 405},   //
    {409, 128, 409}, //
    {537, 4, 537},   //
    {541, 1, 541},   //
    {542, 1, 542},   // mode
    {543, 1, 812},   // long form only
    {544, 128, 813}, // long form only
    {672, 2, 941},   // long form only
    {674, 1, 543},   //
    {675, 128, 544}, //
    {803, 2, 672},   //
    {805, 64, 674},  //
    {869, 64, 738},  //
};

// inet_addr("127.0.0.1") as the caller hands it over: bytes 7F 00 00 01.
constexpr uint32_t kLoopback = 0x0100007Fu;

// Two unrelated byte patterns: the first repeats every 256 bytes, the second
// does not, so a range taken from the wrong place differs under at least one.
uint8_t PatternA(size_t i) { return static_cast<uint8_t>((i * 7 + 3) & 0xFF); }
uint8_t PatternB(size_t i) { return static_cast<uint8_t>((uint32_t(i + 1) * 2654435761u) >> 24); }

std::vector<uint8_t> Filled(uint8_t (*pattern)(size_t), uint8_t version, size_t size = kLong) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = pattern(i);
    bytes[0] = version;
    return bytes;
}

void PutDword(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    for (int b = 0; b < 4; ++b) bytes[offset + b] = static_cast<uint8_t>(value >> (8 * b));
}

bool IsShortForm(uint8_t version) { return version <= 1; }

// What the login record must hold for a caller's buffer of at least 943 bytes.
std::array<uint8_t, kLogin> ExpectedLogin(const std::vector<uint8_t>& caller, uint32_t ipv4) {
    std::array<uint8_t, kLogin> out{};
    const bool shortForm = IsShortForm(caller[0]);
    for (const LoginRange& r : kLoginLayout) {
        for (size_t k = 0; k < r.width; ++k) {
            uint8_t v;
            if (r.source == kFromIpv4) {
                v = static_cast<uint8_t>(ipv4 >> (8 * k));
            } else {
                const size_t src = size_t(r.source) + k;
                v = (shortForm && src >= kShort) ? 0 : caller[src];
            }
            out[r.loginOffset + k] = v;
        }
    }
    return out;
}

std::array<uint8_t, kLogin> BuildFrom(const void* caller, uint32_t ipv4) {
    SignOnRecord copy;
    ReadSignOnRecord(caller, copy);
    LoginRecord login;
    BuildLoginRecord(copy, ipv4, login);
    std::array<uint8_t, kLogin> out{};
    static_assert(sizeof(login) == kLogin);
    std::memcpy(out.data(), &login, kLogin);
    return out;
}

// First differing offset, for a readable failure message.
template <size_t N>
::testing::AssertionResult SameBytes(const std::array<uint8_t, N>& actual, const std::array<uint8_t, N>& expected) {
    for (size_t i = 0; i < N; ++i)
        if (actual[i] != expected[i])
            return ::testing::AssertionFailure() << "first difference at offset " << i << ": got 0x" << std::hex
                                                 << int(actual[i]) << ", expected 0x" << int(expected[i]);
    return ::testing::AssertionSuccess();
}

bool Accepted(const std::vector<uint8_t>& caller) {
    SignOnRecord copy;
    ReadSignOnRecord(caller.data(), copy);
    return ValidateSignOnRecord(copy);
}

// Two pages: the record ends exactly at the end of the first, read-only page,
// and the second cannot be touched at all. Reading past the record's form or
// writing into the caller's buffer faults.
class GuardedRecord {
public:
    explicit GuardedRecord(const std::vector<uint8_t>& bytes) {
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        m_page = si.dwPageSize;
        m_base = static_cast<uint8_t*>(VirtualAlloc(nullptr, 2 * m_page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        if (m_base == nullptr) return;
        m_record = m_base + m_page - bytes.size();
        std::memcpy(m_record, bytes.data(), bytes.size());
        DWORD old = 0;
        m_ok = VirtualProtect(m_base + m_page, m_page, PAGE_NOACCESS, &old) &&
               VirtualProtect(m_base, m_page, PAGE_READONLY, &old);
    }
    ~GuardedRecord() {
        if (m_base != nullptr) VirtualFree(m_base, 0, MEM_RELEASE);
    }
    GuardedRecord(const GuardedRecord&) = delete;
    GuardedRecord& operator=(const GuardedRecord&) = delete;
    bool ok() const { return m_ok; }
    const void* record() const { return m_record; }

private:
    size_t m_page = 0;
    uint8_t* m_base = nullptr;
    uint8_t* m_record = nullptr;
    bool m_ok = false;
};

}  // namespace

TEST(SignOnRead, ShortFormReadsFirst812BytesAndZeroesTheRest) {
    for (uint8_t version : {uint8_t(0), uint8_t(1)}) {
        SCOPED_TRACE(int(version));
        const std::vector<uint8_t> caller = Filled(PatternA, version);
        SignOnRecord copy;
        std::memset(&copy, 0xEE, sizeof(copy));  // stale bytes must not survive
        ReadSignOnRecord(caller.data(), copy);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&copy);
        for (size_t i = 0; i < kShort; ++i) ASSERT_EQ(bytes[i], caller[i]) << "offset " << i;
        for (size_t i = kShort; i < kLong; ++i) ASSERT_EQ(bytes[i], 0) << "offset " << i;
    }
}

TEST(SignOnRead, LongFormReadsAll943Bytes) {
    for (uint8_t version : {uint8_t(2), uint8_t(3), uint8_t(128), uint8_t(255)}) {
        SCOPED_TRACE(int(version));
        const std::vector<uint8_t> caller = Filled(PatternB, version);
        SignOnRecord copy;
        std::memset(&copy, 0, sizeof(copy));
        ReadSignOnRecord(caller.data(), copy);
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&copy);
        for (size_t i = 0; i < kLong; ++i) ASSERT_EQ(bytes[i], caller[i]) << "offset " << i;
    }
}

TEST(SignOnRead, ReadsNoFurtherThanItsFormAndNeverWrites) {
    // The caller's buffer is exactly as long as its form, read-only, and
    // followed by an inaccessible page.
    for (uint8_t version : {uint8_t(0), uint8_t(1), uint8_t(2), uint8_t(255)}) {
        SCOPED_TRACE(int(version));
        const size_t size = IsShortForm(version) ? kShort : kLong;
        const std::vector<uint8_t> caller = Filled(PatternA, version, size);
        GuardedRecord guarded(caller);
        ASSERT_TRUE(guarded.ok());
        SignOnRecord copy;
        ReadSignOnRecord(guarded.record(), copy);
        EXPECT_EQ(std::memcmp(&copy, caller.data(), size), 0);
        std::vector<uint8_t> padded = caller;
        padded.resize(kLong, 0);
        EXPECT_TRUE(SameBytes(BuildFrom(guarded.record(), kLoopback), ExpectedLogin(padded, kLoopback)));
    }
}

TEST(SignOnValidate, Dword405AndDword537AtMost128Unsigned) {
    struct Case {
        uint32_t value;
        bool accepted;
    };
    const Case cases[] = {{0, true},           {1, true},           {127, true},         {128, true},
                          {129, false},        {256, false},        {0x80000000u, false}, {0x7FFFFFFFu, false},
                          {0xFFFFFF80u, false}, {0xFFFFFFFFu, false}};
    for (uint8_t version : {uint8_t(0), uint8_t(2)}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(::testing::Message() << "version " << int(version) << " value " << c.value);
            // Every other byte non-zero: only the two fields decide.
            std::vector<uint8_t> caller(kLong, 0xFF);
            caller[0] = version;
            PutDword(caller, 405, c.value);
            PutDword(caller, 537, 128);
            EXPECT_EQ(Accepted(caller), c.accepted) << "dword405";
            PutDword(caller, 405, 0);
            PutDword(caller, 537, c.value);
            EXPECT_EQ(Accepted(caller), c.accepted) << "dword537";
            PutDword(caller, 405, c.value);
            EXPECT_EQ(Accepted(caller), c.accepted) << "both";
        }
    }
}

TEST(SignOnValidate, BytesNextToTheCheckedFieldsDoNotCount) {
    // A field read one byte off would see these neighbours.
    std::vector<uint8_t> caller(kLong, 0);
    caller[0] = 2;
    PutDword(caller, 405, 128);
    PutDword(caller, 537, 128);
    caller[404] = 0xFF;
    caller[409] = 0xFF;
    caller[536] = 0xFF;
    caller[541] = 0xFF;
    EXPECT_TRUE(Accepted(caller));
    caller[408] = 0x01;  // high byte of dword405: 0x01000080
    EXPECT_FALSE(Accepted(caller));
    caller[408] = 0;
    caller[540] = 0x01;  // high byte of dword537
    EXPECT_FALSE(Accepted(caller));
}

TEST(LoginBuild, EveryByteFollowsTheLayout) {
    // The table itself must cover bytes 0..932 once, or the comparison below
    // would leave some unchecked.
    size_t next = 0;
    for (const LoginRange& r : kLoginLayout) {
        ASSERT_EQ(r.loginOffset, next);
        next = r.loginOffset + r.width;
    }
    ASSERT_EQ(next, kLogin);

    for (uint8_t version : {uint8_t(0), uint8_t(1), uint8_t(2), uint8_t(255)}) {
        for (auto pattern : {PatternA, PatternB}) {
            SCOPED_TRACE(::testing::Message() << "version " << int(version)
                                              << (pattern == PatternA ? " pattern A" : " pattern B"));
            const std::vector<uint8_t> caller = Filled(pattern, version);
            EXPECT_TRUE(SameBytes(BuildFrom(caller.data(), kLoopback), ExpectedLogin(caller, kLoopback)));
        }
    }
}

TEST(LoginBuild, ShortFormSendsZerosWhereLongFieldsGo) {
    for (uint8_t version : {uint8_t(0), uint8_t(1)}) {
        SCOPED_TRACE(int(version));
        std::vector<uint8_t> caller(kLong, 0xA5);  // the caller's bytes 812..942 are all non-zero
        caller[0] = version;
        const auto login = BuildFrom(caller.data(), kLoopback);
        for (size_t i = 543; i < 674; ++i) EXPECT_EQ(login[i], 0) << "offset " << i;
        EXPECT_EQ(login[542], 0xA5);
        EXPECT_EQ(login[674], 0xA5);
    }
}

TEST(LoginBuild, AddressIsStoredAsGivenWhateverTheRecordHolds) {
    std::vector<uint8_t> caller = Filled(PatternA, 2);
    PutDword(caller, 11, 0x0A0B0C0Du);
    const auto login = BuildFrom(caller.data(), kLoopback);
    EXPECT_EQ(login[11], 0x7F);
    EXPECT_EQ(login[12], 0x00);
    EXPECT_EQ(login[13], 0x00);
    EXPECT_EQ(login[14], 0x01);
    const auto other = BuildFrom(caller.data(), 0x04030201u);
    EXPECT_EQ(other[11], 0x01);
    EXPECT_EQ(other[14], 0x04);
}

TEST(LoginBuild, ChannelComesFromTheCopy) {
    // Sign-on overwrites the copy's channelId before building; the build
    // takes whatever the copy holds there.
    const std::vector<uint8_t> caller = Filled(PatternA, 2);
    SignOnRecord copy;
    ReadSignOnRecord(caller.data(), copy);
    copy.channelId = 0xBEEF;
    LoginRecord login;
    BuildLoginRecord(copy, kLoopback, login);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&login);
    EXPECT_EQ(bytes[15], 0xEF);
    EXPECT_EQ(bytes[16], 0xBE);
}

TEST(LoginBuild, UncarriedBytesHaveNoEffect) {
    // dword11 (11..14), spare802 (802..807) and eventSink (808..811).
    for (uint8_t version : {uint8_t(0), uint8_t(2)}) {
        SCOPED_TRACE(int(version));
        const std::vector<uint8_t> base = Filled(PatternB, version);
        std::vector<uint8_t> changed = base;
        for (size_t i = 11; i < 15; ++i) changed[i] = static_cast<uint8_t>(~changed[i]);
        for (size_t i = 802; i < 812; ++i) changed[i] = static_cast<uint8_t>(~changed[i]);
        EXPECT_TRUE(SameBytes(BuildFrom(changed.data(), kLoopback), BuildFrom(base.data(), kLoopback)));
    }
}

TEST(LoginBuild, StaleOutputBytesDoNotSurvive) {
    // A short-form build into a record that held a long-form one.
    const std::vector<uint8_t> longForm = Filled(PatternA, 2);
    SignOnRecord copy;
    ReadSignOnRecord(longForm.data(), copy);
    LoginRecord login;
    BuildLoginRecord(copy, kLoopback, login);
    const std::vector<uint8_t> shortForm = Filled(PatternB, 0);
    ReadSignOnRecord(shortForm.data(), copy);
    BuildLoginRecord(copy, kLoopback, login);
    std::array<uint8_t, kLogin> out{};
    std::memcpy(out.data(), &login, kLogin);
    EXPECT_TRUE(SameBytes(out, ExpectedLogin(shortForm, kLoopback)));
}
