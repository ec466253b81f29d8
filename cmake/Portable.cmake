# The platform-free parts: the ring over any block of bytes, incoming record
# decoding, the subscriber table, peer flow control and descrambling. They
# include no Windows header, so the DLL's build and the native tier (sanitizers,
# fuzzers) compile this one list.
#
# serverlink_portable_library(<target>) makes a static library of them; the
# caller adds its warnings, and an instrumentation as PUBLIC options so that
# whatever links the library is built the same way.
function(serverlink_portable_library target)
  get_filename_component(root ${CMAKE_CURRENT_FUNCTION_LIST_DIR} DIRECTORY)
  add_library(${target} STATIC
    ${root}/src/shm/ring.cpp
    ${root}/src/events/decode.cpp
    ${root}/src/events/subscriber_table.cpp
    ${root}/src/events/flow_control.cpp
    ${root}/src/events/descramble.cpp)
  target_include_directories(${target} PUBLIC ${root}/src ${root}/include)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()
