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

# Each tree builds for one bitness; the x86 tree's package is the release
# bundle, and it carries the x64 tree's shipped files as well.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(SERVERLINK_ARCH x64)
  set(SERVERLINK_ASSEMBLY_ARCH amd64)
else()
  set(SERVERLINK_ARCH x86)
  set(SERVERLINK_ASSEMBLY_ARCH x86)
endif()

# Registration-free use: the DLL's assembly manifest (beside the DLL) and the
# demo's application manifest that depends on it, one of each per bitness.
set(SERVERLINK_CLSID "{E33E6614-4B84-4956-A45C-AA9FDCBC2233}")
set(SERVERLINK_PACKAGING_DIR ${CMAKE_BINARY_DIR}/packaging)
configure_file(${CMAKE_SOURCE_DIR}/packaging/serverlink.manifest.in ${SERVERLINK_PACKAGING_DIR}/serverlink.manifest
               @ONLY NEWLINE_STYLE CRLF)
configure_file(${CMAKE_SOURCE_DIR}/packaging/demo.exe.manifest.in ${SERVERLINK_PACKAGING_DIR}/demo.exe.manifest
               @ONLY NEWLINE_STYLE CRLF)
# The same manifest inside the DLL, as resource 1: probing for assembly
# serverlink, Windows looks at serverlink.dll before serverlink.manifest.
set(manifest_rc ${SERVERLINK_PACKAGING_DIR}/serverlink_manifest.rc)
file(CONFIGURE OUTPUT ${manifest_rc} CONTENT "1 24 \"${SERVERLINK_PACKAGING_DIR}/serverlink.manifest\"\n")
set_source_files_properties(${manifest_rc} PROPERTIES OBJECT_DEPENDS ${SERVERLINK_PACKAGING_DIR}/serverlink.manifest)
target_sources(serverlink PRIVATE ${manifest_rc})

if(NOT SERVERLINK_ARCH STREQUAL x86)
  unset(SERVERLINK_BUNDLE_NAME CACHE)
  return()
endif()

# register.cmd / unregister.cmd, with the line ends cmd.exe expects.
foreach(script register unregister)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/${script}.cmd.in ${SERVERLINK_PACKAGING_DIR}/${script}.cmd
                 @ONLY NEWLINE_STYLE CRLF)
endforeach()

set(SERVERLINK_X64_BUILD_DIR ${CMAKE_SOURCE_DIR}/build64 CACHE PATH
    "The x64 build tree (preset mingw64) whose shipped files the release bundle carries in bin/x64")
set(x64_stripped ${SERVERLINK_X64_BUILD_DIR}/stripped)
set(x64_files)
foreach(file_name serverlink.dll localserver.exe ringview.exe demo.exe)
  list(APPEND x64_files ${x64_stripped}/${file_name} ${x64_stripped}/${file_name}.debug)
endforeach()

# The bundle's layout. bin/x64 holds the reference server too: the one server
# serves clients of both bitnesses and is the 32-bit build wherever 32-bit
# programs run, but a 64-bit Windows without them needs the 64-bit build.
install(CODE "
  foreach(f ${x64_files} ${SERVERLINK_X64_BUILD_DIR}/packaging/serverlink.manifest)
    if(NOT EXISTS \${f})
      message(FATAL_ERROR \"The bundle carries the x64 build: \${f} is missing. Build it first: \"
                          \"cmake --preset mingw64 && cmake --build --preset mingw64 --target stripped_binaries \"
                          \"(or point SERVERLINK_X64_BUILD_DIR at another x64 tree).\")
    endif()
  endforeach()")
install(PROGRAMS ${stripped_files} DESTINATION bin/x86)
install(FILES ${SERVERLINK_PACKAGING_DIR}/serverlink.manifest DESTINATION bin/x86)
install(PROGRAMS ${x64_files} DESTINATION bin/x64)
install(FILES ${SERVERLINK_X64_BUILD_DIR}/packaging/serverlink.manifest DESTINATION bin/x64)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/ DESTINATION include FILES_MATCHING PATTERN "*.h")
install(FILES ${localserver_idl_TLB} DESTINATION lib)
install(FILES ${CMAKE_SOURCE_DIR}/tools/demo/demo.cpp
              ${IDL_OUT_DIR}/localserver_control.h
              ${IDL_OUT_DIR}/localserver_control_i.c
        DESTINATION demo)
install(FILES ${SERVERLINK_PACKAGING_DIR}/demo.exe.manifest DESTINATION demo/x86)
install(FILES ${SERVERLINK_X64_BUILD_DIR}/packaging/demo.exe.manifest DESTINATION demo/x64)
install(FILES ${CMAKE_SOURCE_DIR}/doc/client.md DESTINATION doc)
install(PROGRAMS ${SERVERLINK_PACKAGING_DIR}/register.cmd ${SERVERLINK_PACKAGING_DIR}/unregister.cmd
        DESTINATION .)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME serverlink)
set(CPACK_PACKAGE_VENDOR serverlink)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Both bitnesses in one bundle.
set(CPACK_PACKAGE_FILE_NAME serverlink-${PROJECT_VERSION}-windows)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_SOURCE_GENERATOR "")
# For scripts/package.sh, which names the installed tree like the ZIP, and the
# tests. Taken before include(CPack), which rewrites the file name.
set(SERVERLINK_BUNDLE_NAME ${CPACK_PACKAGE_FILE_NAME} CACHE INTERNAL "Release bundle name")
include(CPack)
