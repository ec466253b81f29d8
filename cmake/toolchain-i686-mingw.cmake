# Cross build for 32-bit Windows with MinGW-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

# By name, found on PATH.
set(CMAKE_C_COMPILER   i686-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER i686-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER  i686-w64-mingw32-windres)

# The target's headers and libraries sit in <prefix>/i686-w64-mingw32 beside
# the compiler's <prefix>/bin.
find_program(SERVERLINK_MINGW_GCC ${CMAKE_C_COMPILER} REQUIRED)
get_filename_component(mingw_prefix ${SERVERLINK_MINGW_GCC} DIRECTORY)
get_filename_component(mingw_prefix ${mingw_prefix} DIRECTORY)
set(CMAKE_FIND_ROOT_PATH ${mingw_prefix}/i686-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Everything static, so the binaries import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
