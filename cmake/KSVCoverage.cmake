# Line and branch coverage (gcc's --coverage) of the library's own sources: each object file
# writes its counts to a .gcda file beside it when a program that holds it ends. Only the functions
# of files below Library/ get counters (-fprofile-filter-files), in every target, so that the
# public headers' inline functions count where the tests use them, while the tests, tools and
# bindings compile at nearly the plain cost. The build type stays as configured;
# tests/harness/coverage.sh reads the counts with gcovr.
if(NOT KSV_COVERAGE)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR WIN32)
  message(FATAL_ERROR "KSV_COVERAGE needs gcc for Linux")
endif()
if(KSV_SANITIZE OR KSV_TSAN OR KSV_FUZZ)
  message(FATAL_ERROR "KSV_COVERAGE takes a tree of its own, without sanitizers")
endif()
add_compile_options(--coverage -fprofile-filter-files=^${PROJECT_SOURCE_DIR}/Library/)
add_link_options(--coverage)
# Guest tests run in the test guest, where the build tree is read-only: their counts go below this
# folder instead (GCOV_PREFIX, tests/vm/GuestTest.cmake), at the same paths below it as in the tree.
set(KSV_GUEST_COVERAGE_DIR ${PROJECT_BINARY_DIR}/guest-coverage)
file(MAKE_DIRECTORY ${KSV_GUEST_COVERAGE_DIR})
