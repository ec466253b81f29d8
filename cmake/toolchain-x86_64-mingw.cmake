# 64-bit Windows (x64): the DLL for 64-bit clients, from the same source.
set(SERVERLINK_MINGW_TARGET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
