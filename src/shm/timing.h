#pragma once
#include <windows.h>

namespace serverlink {

// The receive thread's timing.
constexpr DWORD kIdleSleepMs = 2;             // after a pass that read nothing
constexpr DWORD kHeartbeatIntervalMs = 7000;  // silence after which heartbeats go out (more than this)
// How often a thread waiting for a worker thread's end looks again.
constexpr DWORD kExitPollMs = 10;

}  // namespace serverlink
