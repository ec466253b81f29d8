#include "server_state.h"

namespace localserver {

namespace {

constexpr std::array<const char*, static_cast<size_t>(Op::Count)> kOpNames = {
    "Disconnect",  "Login",         "Logout",           "Request",           "ClosePeer",         "Reserved12",
    "QueryA",      "QueryB",        "NegotiateChannel", "PostBlock",         "Reserved17",        "ModeRequest",
    "PairRequest", "PostValueList", "ModePairRequest",  "ModeValueRequestA", "ModeValueRequestB", "ModeQuery"};

size_t Index(Op op) { return static_cast<size_t>(op); }

// Element count over all dimensions; 0 for an array without dimensions.
ULONG ElementCount(const SAFEARRAY* sa) {
    if (sa->cDims == 0) return 0;
    ULONG n = 1;
    for (USHORT d = 0; d < sa->cDims; ++d) n *= sa->rgsabound[d].cElements;
    return n;
}

ULONG ElementSize(VARTYPE elem) {
    switch (elem) {
        case VT_UI1:
        case VT_I1:
            return 1;
        case VT_I2:
        case VT_UI2:
            return 2;
        default:
            return 4;
    }
}

const char kHex[] = "0123456789abcdef";

// The VARIANT a by-reference VARIANT points to, else the value itself.
const VARIANT& Unwrapped(const VARIANT& value) {
    return V_VT(&value) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&value) ? *V_VARIANTREF(&value) : value;
}

// The array of an array VARIANT, by value or by reference; may be null.
SAFEARRAY* ArrayOf(const VARIANT& v) {
    return (V_VT(&v) & VT_BYREF) ? (V_ARRAYREF(&v) ? *V_ARRAYREF(&v) : nullptr) : V_ARRAY(&v);
}

std::string FormatArray(SAFEARRAY* sa, VARTYPE elem) {
    const bool bytes = elem == VT_UI1 || elem == VT_I1;
    if (sa && sa->cbElements != ElementSize(elem)) return "{vt=" + std::to_string(VT_ARRAY | elem) + "}";
    std::string out(1, bytes ? '[' : '(');
    if (sa) {
        const ULONG n = ElementCount(sa);
        void* data = nullptr;
        if (n > 0 && SUCCEEDED(SafeArrayAccessData(sa, &data))) {
            if (bytes) out += HexBytes(static_cast<const unsigned char*>(data), n);
            for (ULONG i = 0; !bytes && i < n; ++i) {  // other integers: decimal, comma-separated
                long long v = 0;
                switch (elem) {
                    case VT_I2:
                        v = static_cast<const SHORT*>(data)[i];
                        break;
                    case VT_UI2:
                        v = static_cast<const USHORT*>(data)[i];
                        break;
                    case VT_I4:
                    case VT_INT:
                        v = static_cast<const LONG*>(data)[i];
                        break;
                    default:
                        v = static_cast<const ULONG*>(data)[i];
                        break;
                }
                if (i) out += ',';
                out += std::to_string(v);
            }
            SafeArrayUnaccessData(sa);
        }
    }
    out += bytes ? ']' : ')';
    return out;
}

}  // namespace

const char* OpName(Op op) { return kOpNames[Index(op)]; }

bool OpFromName(const wchar_t* name, Op* op) {
    if (!name) return false;
    for (size_t i = 0; i < kOpNames.size(); ++i) {
        const char* n = kOpNames[i];
        size_t k = 0;
        while (n[k] && name[k] == static_cast<wchar_t>(n[k])) ++k;
        if (n[k] == 0 && name[k] == 0) {
            *op = static_cast<Op>(i);
            return true;
        }
    }
    return false;
}

ServerState& ServerState::Instance() {
    static ServerState state;
    return state;
}

ServerState::ServerState() = default;
ServerState::~ServerState() = default;

void ServerState::Reset() {
    serverlink::CAutoLock lock(m_lock);
    m_script.fill(Outcome{});
    m_channel = 0;
    m_log.clear();
}

void ServerState::SetAnswer(Op op, LONG value) {
    serverlink::CAutoLock lock(m_lock);
    m_script[Index(op)].answer = value;
}

void ServerState::SetFailure(Op op, HRESULT hr, const wchar_t* description) {
    serverlink::CAutoLock lock(m_lock);
    Outcome& o = m_script[Index(op)];
    o.failure = hr;
    o.description = (FAILED(hr) && description) ? description : L"";
}

void ServerState::SetChannel(LONG value) {
    serverlink::CAutoLock lock(m_lock);
    m_channel = value;
}

Outcome ServerState::Record(Op op, std::string line) {
    serverlink::CAutoLock lock(m_lock);
    m_log.push_back(std::move(line));
    Outcome o = m_script[Index(op)];
    o.channel = m_channel;
    return o;
}

void ServerState::Append(std::string line) {
    serverlink::CAutoLock lock(m_lock);
    m_log.push_back(std::move(line));
}

std::string ServerState::Log() {
    serverlink::CAutoLock lock(m_lock);
    std::string text;
    for (size_t i = 0; i < m_log.size(); ++i) {
        if (i) text += '\n';
        text += m_log[i];
    }
    return text;
}

void ServerState::ClearLog() {
    serverlink::CAutoLock lock(m_lock);
    m_log.clear();
}

void ServerState::ObjectCreated() {
    serverlink::CAutoLock lock(m_lock);
    ++m_liveObjects;
}

void ServerState::ObjectDestroyed() {
    serverlink::CAutoLock lock(m_lock);
    --m_liveObjects;
}

LONG ServerState::LiveObjects() {
    serverlink::CAutoLock lock(m_lock);
    return m_liveObjects;
}

LogLine::LogLine(Op op) : m_text(OpName(op)) {}

LogLine& LogLine::Num(LONG value) {
    m_text += ' ';
    m_text += std::to_string(value);
    return *this;
}

LogLine& LogLine::Var(const VARIANT& value) {
    m_text += ' ';
    m_text += FormatVariant(value);
    return *this;
}

std::string FormatVariant(const VARIANT& value) {
    const VARIANT& v = Unwrapped(value);
    const VARTYPE vt = V_VT(&v);
    const VARTYPE elem = vt & VT_TYPEMASK;
    if ((vt & VT_ARRAY) != 0) {
        switch (elem) {
            case VT_UI1:
            case VT_I1:
            case VT_I2:
            case VT_UI2:
            case VT_I4:
            case VT_UI4:
            case VT_INT:
            case VT_UINT:
                return FormatArray(ArrayOf(v), elem);
            default:
                break;
        }
    }
    return "{vt=" + std::to_string(vt) + "}";
}

std::string HexBytes(const unsigned char* data, size_t size) {
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 15];
    }
    return out;
}

bool VariantBytes(const VARIANT& value, size_t max, std::vector<unsigned char>* out) {
    out->clear();
    const VARIANT& v = Unwrapped(value);
    const VARTYPE vt = V_VT(&v);
    if ((vt & VT_ARRAY) == 0 || ((vt & VT_TYPEMASK) != VT_UI1 && (vt & VT_TYPEMASK) != VT_I1)) return false;
    SAFEARRAY* sa = ArrayOf(v);
    if (!sa) return true;
    if (sa->cbElements != 1) return false;
    const ULONG n = ElementCount(sa);
    if (n == 0) return true;
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data))) return false;
    const size_t take = n < max ? n : max;
    const auto* bytes = static_cast<const unsigned char*>(data);
    out->assign(bytes, bytes + take);
    SafeArrayUnaccessData(sa);
    return true;
}

}  // namespace localserver
