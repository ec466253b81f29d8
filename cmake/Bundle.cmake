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
