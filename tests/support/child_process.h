#pragma once
// A child process of a test (a tool or a peer next to the test exe). Its stdout
// and stderr go to temporary files, read back once it has exited: no pipe can
// fill up and block it while the test is busy with the other side.
#include <windows.h>

#include <string>

#include "patience.h"

namespace testing_support {

class ChildProcess {
public:
    ChildProcess(const std::wstring& exe, const std::wstring& args) {
        m_out = TempFile();
        m_err = TempFile();
        if (m_out == INVALID_HANDLE_VALUE || m_err == INVALID_HANDLE_VALUE) return;
        std::wstring cmd = L"\"" + exe + L"\" " + args;
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = nullptr;
        si.hStdOutput = m_out;
        si.hStdError = m_err;
        PROCESS_INFORMATION pi{};
        if (CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
            CloseHandle(pi.hThread);
            m_process = pi.hProcess;
        }
    }
    ~ChildProcess() {
        // A child still running here belongs to a failed test: end it, it is ours.
        if (m_process != nullptr) {
            if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
                TerminateProcess(m_process, 99);
                WaitForSingleObject(m_process, kPatienceMs);
            }
            CloseHandle(m_process);
        }
        if (m_out != INVALID_HANDLE_VALUE) CloseHandle(m_out);
        if (m_err != INVALID_HANDLE_VALUE) CloseHandle(m_err);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_process != nullptr; }
    bool Running() const { return m_process != nullptr && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    // True when the child ended within timeoutMs (a hang guard, not a speed limit).
    bool Wait(DWORD timeoutMs) const {
        return m_process != nullptr && WaitForSingleObject(m_process, timeoutMs) == WAIT_OBJECT_0;
    }
    DWORD ExitCode() const {
        DWORD code = 0xFFFFFFFF;
        if (m_process != nullptr) GetExitCodeProcess(m_process, &code);
        return code;
    }
    // What the child printed, with the CRs of text mode taken out.
    std::string Stdout() const { return ReadAll(m_out); }
    std::string Stderr() const { return ReadAll(m_err); }

private:
    static HANDLE TempFile() {
        wchar_t dir[MAX_PATH], path[MAX_PATH];
        if (GetTempPathW(MAX_PATH, dir) == 0 || GetTempFileNameW(dir, L"slt", 0, path) == 0)
            return INVALID_HANDLE_VALUE;
        SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
        return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    static std::string ReadAll(HANDLE file) {
        std::string text;
        if (file == INVALID_HANDLE_VALUE || SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER)
            return text;
        char buf[4096];
        DWORD got = 0;
        while (ReadFile(file, buf, sizeof(buf), &got, nullptr) && got > 0) {
            for (DWORD i = 0; i < got; ++i)
                if (buf[i] != '\r') text.push_back(buf[i]);
        }
        return text;
    }

    HANDLE m_process = nullptr;  // owned; the test thread only
    HANDLE m_out = INVALID_HANDLE_VALUE;
    HANDLE m_err = INVALID_HANDLE_VALUE;
};

}  // namespace testing_support
