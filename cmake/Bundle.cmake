# Version resources from the one project version, and the release bundle:
# `cmake --install` lays out the tree, CPack zips the same tree.

set(SL_VERSION_TWEAK 0)
if(NOT "${PROJECT_VERSION_TWEAK}" STREQUAL "")
  set(SL_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
endif()
set(SL_VERSION4 ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${SL_VERSION_TWEAK})
string(REPLACE "." "," SL_VERSION_COMMAS ${SL_VERSION4})

# serverlink_version_info(<target> <file name> <description>): a VERSIONINFO
# resource for the target's binary.
function(serverlink_version_info target file_name description)
  get_filename_component(SL_INTERNAL_NAME ${file_name} NAME_WE)
  set(SL_FILE_NAME ${file_name})
  set(SL_DESCRIPTION ${description})
  if(file_name MATCHES "\\.dll$")
    set(SL_FILE_TYPE VFT_DLL)
  else()
    set(SL_FILE_TYPE VFT_APP)
  endif()
  set(rc ${CMAKE_BINARY_DIR}/version/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

serverlink_version_info(serverlink serverlink.dll "Server link in-process COM server")
serverlink_version_info(localserver localserver.exe "Server link reference local server")
serverlink_version_info(ringview ringview.exe "Server link ring inspector")
serverlink_version_info(demo demo.exe "Server link demo client")
serverlink_version_info(bench bench.exe "Server link benchmarks")

# Shipped binaries are stripped; their debug information goes into <file>.debug
# beside them, named in a .gnu_debuglink section (with its CRC) so that gdb and
# addr2line find it. The build tree keeps its unstripped binaries for the tests.
set(SERVERLINK_STRIPPED_DIR ${CMAKE_BINARY_DIR}/stripped)
file(MAKE_DIRECTORY ${SERVERLINK_STRIPPED_DIR})
set(stripped_files)
foreach(pair serverlink:serverlink.dll localserver:localserver.exe ringview:ringview.exe demo:demo.exe)
  string(REPLACE ":" ";" pair ${pair})
  list(GET pair 0 target)
  list(GET pair 1 file_name)
  set(out ${SERVERLINK_STRIPPED_DIR}/${file_name})
  add_custom_command(
    OUTPUT ${out} ${out}.debug
    COMMAND ${CMAKE_OBJCOPY} --only-keep-debug $<TARGET_FILE:${target}> ${file_name}.debug
    COMMAND ${CMAKE_STRIP} --strip-all -o ${file_name} $<TARGET_FILE:${target}>
    # Run here: objcopy reads the debug file by the name it records.
    COMMAND ${CMAKE_OBJCOPY} --add-gnu-debuglink=${file_name}.debug ${file_name}
    DEPENDS ${target}
    WORKING_DIRECTORY ${SERVERLINK_STRIPPED_DIR}
    COMMENT "Stripping ${file_name}"
    VERBATIM)
  list(APPEND stripped_files ${out} ${out}.debug)
endforeach()
add_custom_target(stripped_binaries ALL DEPENDS ${stripped_files})

# register.cmd / unregister.cmd, with the line ends cmd.exe expects.
set(SERVERLINK_CLSID "{E33E6614-4B84-4956-A45C-AA9FDCBC2233}")
foreach(script register unregister)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${script}.cmd.in ${CMAKE_BINARY_DIR}/packaging/${script}.cmd
                 @ONLY NEWLINE_STYLE CRLF)
endforeach()

# The bundle's layout.
install(PROGRAMS ${stripped_files} DESTINATION bin)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/ DESTINATION include FILES_MATCHING PATTERN "*.h")
install(FILES ${localserver_idl_TLB} DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/tools/demo/demo.cpp
              ${IDL_OUT_DIR}/localserver_control.h
              ${IDL_OUT_DIR}/localserver_control_i.c
        DESTINATION demo)
install(FILES ${CMAKE_SOURCE_DIR}/doc/client.md DESTINATION doc)
install(PROGRAMS ${CMAKE_BINARY_DIR}/packaging/register.cmd ${CMAKE_BINARY_DIR}/packaging/unregister.cmd
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME serverlink)
set(CPACK_PACKAGE_VENDOR serverlink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME serverlink-${PROJECT_VERSION}-win32)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_SOURCE_GENERATOR "")
# For scripts/package.sh, which names the installed tree like the ZIP, and the
# tests. Taken before include(CPack), which rewrites the file name.
set(SERVERLINK_BUNDLE_NAME ${CPACK_PACKAGE_FILE_NAME} CACHE INTERNAL "Release bundle name")
include(CPack)
