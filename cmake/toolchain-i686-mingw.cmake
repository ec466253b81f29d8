# 32-bit Windows (x86): the binaries that 32-bit clients load, run under WOW64.
set(SERVERLINK_MINGW_TARGET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
