# widl: C++ header, interface ids and a typelib from one IDL file.
set(IDL_OUT_DIR ${CMAKE_BINARY_DIR}/idl)

# widl from MinGW-w64's tools, and the Windows IDL files and the stdole2.tlb of
# Wine for the target's bitness (the contracts import the one and importlib the
# other).
# All are host files: searched outside the cross build's find root, first in
# the prefix widl lives in. Each can be given as a cache variable instead.
find_program(SERVERLINK_WIDL NAMES ${SERVERLINK_MINGW_TARGET}-widl widl DOC "widl, the IDL compiler")
if(NOT SERVERLINK_WIDL)
  message(FATAL_ERROR "widl not found: run scripts/bootstrap.sh (Debian package mingw-w64-tools) "
                      "or configure with -DSERVERLINK_WIDL=<widl>")
endif()
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(widl_bits --win64)
  set(wine_tlb_suffixes lib/x86_64-linux-gnu/wine/x86_64-windows lib64/wine/x86_64-windows lib/wine/x86_64-windows)
  set(wine_tlb_package wine64)
else()
  set(widl_bits --win32)
  set(wine_tlb_suffixes lib/i386-linux-gnu/wine/i386-windows lib32/wine/i386-windows lib/wine/i386-windows)
  set(wine_tlb_package wine32:i386)
endif()
get_filename_component(widl_prefix ${SERVERLINK_WIDL} DIRECTORY)
get_filename_component(widl_prefix ${widl_prefix} DIRECTORY)
find_path(SERVERLINK_WINE_IDL_DIR
  NAMES oaidl.idl
  HINTS ${widl_prefix}
  PATHS ${CMAKE_SYSTEM_PREFIX_PATH}
  PATH_SUFFIXES include/wine/wine/windows include/wine/windows
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "Wine's Windows IDL files (oaidl.idl, ocidl.idl, ...)")
find_path(SERVERLINK_WINE_TLB_DIR
  NAMES stdole2.tlb
  HINTS ${widl_prefix}
  PATHS ${CMAKE_SYSTEM_PREFIX_PATH}
  PATH_SUFFIXES ${wine_tlb_suffixes}
  NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH
  DOC "Wine's Windows libraries of the target's bitness, holding stdole2.tlb")
if(NOT SERVERLINK_WINE_IDL_DIR OR NOT SERVERLINK_WINE_TLB_DIR)
  message(FATAL_ERROR "Wine's IDL files or its stdole2.tlb not found: run scripts/bootstrap.sh "
                      "(Debian packages libwine-dev and ${wine_tlb_package}) or configure with "
                      "-DSERVERLINK_WINE_IDL_DIR=<folder of oaidl.idl> -DSERVERLINK_WINE_TLB_DIR=<folder of stdole2.tlb>")
endif()

# serverlink_idl(<target> <idl file> <base name>) makes a static library
# carrying ${IDL_OUT_DIR}/<base>.h, <base>_i.c and <base>.tlb; link it to use them.
function(serverlink_idl target idl base)
  file(MAKE_DIRECTORY ${IDL_OUT_DIR})
  get_filename_component(idl_dir ${idl} DIRECTORY)
  set(h ${IDL_OUT_DIR}/${base}.h)
  set(c ${IDL_OUT_DIR}/${base}_i.c)
  set(tlb ${IDL_OUT_DIR}/${base}.tlb)
  add_custom_command(
    OUTPUT ${h} ${c} ${tlb}
    COMMAND ${SERVERLINK_WIDL} ${widl_bits} -I${SERVERLINK_WINE_IDL_DIR} -I${idl_dir} -I${CMAKE_SOURCE_DIR}/idl -h -o ${h} ${idl}
    COMMAND ${SERVERLINK_WIDL} ${widl_bits} -I${SERVERLINK_WINE_IDL_DIR} -I${idl_dir} -I${CMAKE_SOURCE_DIR}/idl -u -o ${c} ${idl}
    COMMAND ${SERVERLINK_WIDL} ${widl_bits} -I${SERVERLINK_WINE_IDL_DIR} -I${idl_dir} -I${CMAKE_SOURCE_DIR}/idl -L${SERVERLINK_WINE_TLB_DIR} -t -o ${tlb} ${idl}
    DEPENDS ${idl}
    COMMENT "widl ${base}.idl"
    VERBATIM)
  add_custom_target(${target}_gen DEPENDS ${h} ${c} ${tlb})
  add_library(${target} STATIC ${c})
  add_dependencies(${target} ${target}_gen)
  target_include_directories(${target} PUBLIC ${IDL_OUT_DIR})
  set(${target}_TLB ${tlb} PARENT_SCOPE)
endfunction()
