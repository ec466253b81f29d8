# GoogleTest is built from source with the build's own compiler: the cross build
# needs a Windows gtest, the native tier one built like the code under test.
# Debian's googletest package ships that source tree (scripts/bootstrap.sh
# installs it); -DSERVERLINK_GTEST_DIR=<tree> points at another.
# The tree is a host folder, so the cross build's find root does not apply.
find_path(SERVERLINK_GTEST_DIR
  NAMES googletest/src/gtest-all.cc
  PATHS ${CMAKE_SYSTEM_PREFIX_PATH}
  PATH_SUFFIXES src/googletest share/googletest googletest
  NO_CMAKE_FIND_ROOT_PATH
  DOC "GoogleTest source tree (holds googletest/ and its top CMakeLists.txt)")
if(NOT SERVERLINK_GTEST_DIR)
  message(FATAL_ERROR "GoogleTest sources not found: run scripts/bootstrap.sh (Debian package googletest) "
                      "or configure with -DSERVERLINK_GTEST_DIR=<googletest source tree>")
endif()
