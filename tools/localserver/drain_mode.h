#pragma once
#include <windows.h>

namespace localserver {

// What the reference server's poll thread does with each data record (see
// SetDrainMode in localserver_control.idl).
enum class DrainMode : LONG { Log = 0, Count = 1, Check = 2 };

}  // namespace localserver
