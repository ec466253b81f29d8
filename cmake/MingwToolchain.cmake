# Cross build for Windows with MinGW-w64 (posix thread model), for the target
# named by SERVERLINK_MINGW_TARGET (i686-w64-mingw32 or x86_64-w64-mingw32),
# which the toolchain files set before including this.
set(CMAKE_SYSTEM_NAME Windows)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${SERVERLINK_MINGW_TARGET})

# By name, found on PATH.
set(CMAKE_C_COMPILER   ${SERVERLINK_MINGW_TARGET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${SERVERLINK_MINGW_TARGET}-g++-posix)
set(CMAKE_RC_COMPILER  ${SERVERLINK_MINGW_TARGET}-windres)

# The target's headers and libraries sit in <prefix>/<target> beside the
# compiler's <prefix>/bin.
find_program(SERVERLINK_MINGW_GCC ${CMAKE_C_COMPILER} REQUIRED)
get_filename_component(mingw_prefix ${SERVERLINK_MINGW_GCC} DIRECTORY)
get_filename_component(mingw_prefix ${mingw_prefix} DIRECTORY)
set(CMAKE_FIND_ROOT_PATH ${mingw_prefix}/${SERVERLINK_MINGW_TARGET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# Everything static, so the binaries import system DLLs only.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
