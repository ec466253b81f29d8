#pragma once
// How long tests wait before calling something hung. Its own header so that
// helper programs that do not link the support library use the same bounds.
#include <windows.h>

namespace testing_support {

// How long a test waits for something another thread or process is to do
// before calling it hung: a guard against hangs, never a speed limit, and
// generous enough for a machine ten times slower than usual.
constexpr DWORD kPatienceMs = 60000;

// For waiting on another process or thread that may itself wait up to
// kPatienceMs before it is done.
constexpr DWORD kOuterPatienceMs = 2 * kPatienceMs;

}  // namespace testing_support
