#pragma once
#include <windows.h>
#include <oleauto.h>

#include <array>
#include <string>
#include <vector>

#include "common/crit_sec.h"

namespace localserver {

// The ILocalServer operations, in vtable order.
enum class Op {
    Disconnect,
    Login,
    Logout,
    Request,
    ClosePeer,
    Reserved12,
    QueryA,
    QueryB,
    NegotiateChannel,
    PostBlock,
    Reserved17,
    ModeRequest,
    PairRequest,
    PostValueList,
    ModePairRequest,
    ModeValueRequestA,
    ModeValueRequestB,
    ModeQuery,
    Count
};

const char* OpName(Op op);
// False if name is not an operation name (exact, case-sensitive).
bool OpFromName(const wchar_t* name, Op* op);

// What an operation does when called, as scripted.
struct Outcome {
    LONG answer = 0;           // written to the operation's out value/status
    HRESULT failure = S_OK;    // returned instead of S_OK when it is a failure
    std::wstring description;  // error object text that goes with failure
    LONG channel = 0;          // NegotiateChannel: replaces the proposal when non-zero
};

// Script and call log, shared by every object in the process.
class ServerState {
public:
    static ServerState& Instance();

    void Reset();
    void SetAnswer(Op op, LONG value);
    void SetFailure(Op op, HRESULT hr, const wchar_t* description);
    void SetChannel(LONG value);

    // Appends one log line and returns what the operation is to do.
    Outcome Record(Op op, std::string line);
    // Appends a line that is not an ILocalServer call (ring traffic); any thread.
    void Append(std::string line);

    std::string Log();
    void ClearLog();

    void ObjectCreated();
    void ObjectDestroyed();
    LONG LiveObjects();

private:
    ServerState();
    ~ServerState();
    ServerState(const ServerState&) = delete;
    ServerState& operator=(const ServerState&) = delete;

    serverlink::CCritSec m_lock;
    std::array<Outcome, static_cast<size_t>(Op::Count)> m_script;
    LONG m_channel = 0;
    std::vector<std::string> m_log;
    LONG m_liveObjects = 0;
};

// Builds one log line: the operation name, then each argument after a space.
class LogLine {
public:
    explicit LogLine(Op op);
    LogLine& Num(LONG value);
    // Byte blocks as [hex]; see FormatVariant.
    LogLine& Var(const VARIANT& value);
    std::string Take() { return std::move(m_text); }

private:
    std::string m_text;
};

// A VARIANT argument as logged: a byte array (VT_UI1/VT_I1) as [hex] in
// lowercase without separators ([] when empty or null), another integer array
// as (v1,v2,...) in decimal, anything else as {vt=N} with N the decimal type.
std::string FormatVariant(const VARIANT& value);

// Lowercase hex without separators.
std::string HexBytes(const unsigned char* data, size_t size);

// The bytes of a byte array (VT_UI1/VT_I1, also by reference or inside a
// VARIANT reference), at most max of them. False for anything else.
bool VariantBytes(const VARIANT& value, size_t max, std::vector<unsigned char>* out);

}  // namespace localserver
