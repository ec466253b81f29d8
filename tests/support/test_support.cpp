#include "test_support.h"

#include <cstring>

#include "shm/shm_queue.h"

namespace testing_support {

bool WaitFor(const std::function<bool()>& pred, DWORD boundMs) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (pred()) return true;
        if (GetTickCount64() - start > boundMs) return pred();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(1);
    }
}

uint32_t UniqueNumber() {
    static volatile LONG counter = 0;
    // Process id in the high bits keeps parallel test processes apart.
    return (GetCurrentProcessId() << 12) ^ (static_cast<uint32_t>(InterlockedIncrement(&counter)) & 0xFFF);
}

uint16_t ScriptedChannel() { return static_cast<uint16_t>(65002 + (UniqueNumber() % 250) * 2); }

uint32_t FreshRingNumber() { return 100000 + (UniqueNumber() & 0x3FFFFFF); }

bool SectionExists(uint32_t n) {
    HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, serverlink::RingName(n).c_str());
    if (h == nullptr) return false;
    CloseHandle(h);
    return true;
}

std::wstring BesideExe(const wchar_t* file) {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    const size_t slash = dir.find_last_of(L"\\/");
    if (slash != std::wstring::npos) dir.resize(slash + 1);
    return dir + file;
}

}  // namespace testing_support

namespace testing_support {

namespace {
// {C89758C7-9DAB-4661-90B5-C9E5EEA903C5}
const CLSID kControlClsid = {0xC89758C7, 0x9DAB, 0x4661, {0x90, 0xB5, 0xC9, 0xE5, 0xEE, 0xA9, 0x03, 0xC5}};

class Bstr {
public:
    explicit Bstr(const wchar_t* s) : m_b(SysAllocString(s)) {}
    ~Bstr() { SysFreeString(m_b); }
    operator BSTR() const { return m_b; }

private:
    BSTR m_b;
};
}  // namespace

RefServer::RefServer() {
    if (FAILED(CoCreateInstance(kControlClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_ILocalServerControl,
                                reinterpret_cast<void**>(&m_control))))
        m_control = nullptr;
    else
        Reset();
}

RefServer::~RefServer() {
    if (m_control != nullptr) {
        m_control->Reset();
        m_control->Release();
    }
}

void RefServer::Reset() {
    if (m_control) m_control->Reset();
}

void RefServer::SetAnswer(const wchar_t* op, LONG value) {
    if (m_control) m_control->SetAnswer(Bstr(op), value);
}

void RefServer::SetFailure(const wchar_t* op, HRESULT hr, const wchar_t* description) {
    if (m_control) m_control->SetFailure(Bstr(op), hr, Bstr(description));
}

void RefServer::SetChannel(LONG value) {
    if (m_control) m_control->SetChannel(value);
}

std::vector<std::string> RefServer::Log() {
    std::vector<std::string> lines;
    BSTR log = nullptr;
    if (m_control == nullptr || FAILED(m_control->GetLog(&log)) || log == nullptr) return lines;
    std::string line;
    for (const wchar_t* p = log; *p; ++p) {
        if (*p == L'\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line.push_back(static_cast<char>(*p));
        }
    }
    if (!line.empty()) lines.push_back(line);
    SysFreeString(log);
    return lines;
}

bool RefServer::LogHas(const std::string& prefix) {
    for (const std::string& line : Log())
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

void RefServer::ClearLog() {
    if (m_control) m_control->ClearLog();
}

LONG RefServer::ObjectCount() {
    LONG n = -1;
    if (m_control) m_control->GetObjectCount(&n);
    return n;
}

HRESULT RefServer::Inject(LONG clientId, LONG type, LONG msgClientId, LONG peerId, LONG length, LONG eventCode,
                          LONG eventParam, LONG extra, const std::vector<BYTE>& payload, LONG* written) {
    if (written) *written = -1;
    if (m_control == nullptr) return E_POINTER;
    VARIANT bytes;
    VariantInit(&bytes);
    if (!payload.empty()) {
        SAFEARRAY* sa = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(payload.size()));
        if (sa == nullptr) return E_OUTOFMEMORY;
        void* data = nullptr;
        if (SUCCEEDED(SafeArrayAccessData(sa, &data))) {
            std::memcpy(data, payload.data(), payload.size());
            SafeArrayUnaccessData(sa);
        }
        V_VT(&bytes) = VT_ARRAY | VT_UI1;
        V_ARRAY(&bytes) = sa;
    }
    LONG took = -1;
    const HRESULT hr =
        m_control->Inject(clientId, type, msgClientId, peerId, length, eventCode, eventParam, extra, bytes, &took);
    VariantClear(&bytes);
    if (written) *written = SUCCEEDED(hr) ? took : -1;
    return hr;
}

void RefServer::SetEcho(bool on) {
    if (m_control) m_control->SetEcho(on ? 1 : 0);
}

HRESULT RefServer::RunDemo(LONG clientId, LONG pausedPeer, LONG pauseMs) {
    return m_control ? m_control->RunDemo(clientId, pausedPeer, pauseMs) : E_POINTER;
}

void RefServer::SetReading(bool on) {
    if (m_control) m_control->SetReading(on ? 1 : 0);
}

HRESULT RefServer::SetDrainMode(LONG mode) { return m_control ? m_control->SetDrainMode(mode) : E_POINTER; }

std::string RefServer::DrainReport() {
    std::string text;
    BSTR report = nullptr;
    if (m_control == nullptr || FAILED(m_control->GetDrainReport(&report)) || report == nullptr) return text;
    for (const wchar_t* p = report; *p; ++p) text.push_back(static_cast<char>(*p));
    SysFreeString(report);
    return text;
}

LONG RefServer::RingClients() {
    LONG n = -1;
    if (m_control == nullptr || FAILED(m_control->GetRingClients(&n))) return -1;
    return n;
}

HRESULT RefServer::HoldWithdrawalForCall(const wchar_t* readyEvent) {
    return m_control ? m_control->HoldWithdrawalForCall(Bstr(readyEvent)) : E_POINTER;
}

HRESULT RefServer::Flood(LONG clientId, LONG count, LONG code) {
    return m_control ? m_control->Flood(clientId, count, code) : E_POINTER;
}

DWORD RefServer::ProcessId() {
    LONG pid = 0;
    if (m_control == nullptr || FAILED(m_control->GetProcessId(&pid))) return 0;
    return static_cast<DWORD>(pid);
}

bool RefServer::Kill() {
    const DWORD pid = ProcessId();
    if (pid == 0 || FAILED(m_control->WithdrawClasses())) return false;
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
    if (process == nullptr) return false;
    const bool ended = TerminateProcess(process, 1) && WaitForSingleObject(process, kPatienceMs) == WAIT_OBJECT_0;
    CloseHandle(process);
    // The control proxy is dead now; it goes without a call.
    m_control->Release();
    m_control = nullptr;
    return ended;
}

HRESULT CreateLink(IServerLink** link) {
    *link = nullptr;
    return CoCreateInstance(CLSID_ServerLink, nullptr, CLSCTX_INPROC_SERVER, IID_IServerLink,
                            reinterpret_cast<void**>(link));
}

ULONG RefCount(IUnknown* p) {
    p->AddRef();
    return p->Release();
}

namespace {
DWORD WINAPI ThreadMain(void* p) {
    (*static_cast<const std::function<void()>*>(p))();
    return 0;
}
}  // namespace

void RunOnThread(const std::function<void()>& fn) {
    HANDLE h = CreateThread(nullptr, 0, ThreadMain, const_cast<std::function<void()>*>(&fn), 0, nullptr);
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}

DWORD HandleCount() {
    DWORD n = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &n) && n != 0) return n;
    DWORD flags = 0;
    for (uintptr_t v = 4; v < 0x8000; v += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags)) ++n;
    return n;
}

}  // namespace testing_support
