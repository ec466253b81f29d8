# widl: C++ header, interface ids and a typelib from one IDL file.
set(IDL_OUT_DIR ${CMAKE_BINARY_DIR}/idl)
set(WIDL /usr/bin/i686-w64-mingw32-widl)
set(WIDL_INCLUDE /usr/include/wine/wine/windows)
set(WIDL_TLB_PATH /usr/lib/i386-linux-gnu/wine/i386-windows)

# serverlink_idl(<target> <idl file> <base name>) makes an INTERFACE library
# carrying ${IDL_OUT_DIR}/<base>.h, <base>_i.c and <base>.tlb; link it to use them.
function(serverlink_idl target idl base)
  file(MAKE_DIRECTORY ${IDL_OUT_DIR})
  get_filename_component(idl_dir ${idl} DIRECTORY)
  set(h ${IDL_OUT_DIR}/${base}.h)
  set(c ${IDL_OUT_DIR}/${base}_i.c)
  set(tlb ${IDL_OUT_DIR}/${base}.tlb)
  add_custom_command(
    OUTPUT ${h} ${c} ${tlb}
    COMMAND ${WIDL} --win32 -I${WIDL_INCLUDE} -I${idl_dir} -I${CMAKE_SOURCE_DIR}/idl -h -o ${h} ${idl}
    COMMAND ${WIDL} --win32 -I${WIDL_INCLUDE} -I${idl_dir} -I${CMAKE_SOURCE_DIR}/idl -u -o ${c} ${idl}
    COMMAND ${WIDL} --win32 -I${WIDL_INCLUDE} -I${idl_dir} -I${CMAKE_SOURCE_DIR}/idl -L${WIDL_TLB_PATH} -t -o ${tlb} ${idl}
    DEPENDS ${idl}
    COMMENT "widl ${base}.idl"
    VERBATIM)
  add_custom_target(${target}_gen DEPENDS ${h} ${c} ${tlb})
  add_library(${target} STATIC ${c})
  add_dependencies(${target} ${target}_gen)
  target_include_directories(${target} PUBLIC ${IDL_OUT_DIR})
  set(${target}_TLB ${tlb} PARENT_SCOPE)
endfunction()
