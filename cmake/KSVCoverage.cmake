# Line and branch coverage (gcc's --coverage) of every target of the tree: each object file writes
# its counts to a .gcda file beside it when a program that holds it ends. The build type stays as
# configured; tests/run-all.sh reads the counts with gcovr.
if(KSV_COVERAGE)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU" OR WIN32)
    message(FATAL_ERROR "KSV_COVERAGE needs gcc for Linux")
  endif()
  if(KSV_SANITIZE OR KSV_TSAN OR KSV_FUZZ)
    message(FATAL_ERROR "KSV_COVERAGE takes a tree of its own, without sanitizers")
  endif()
  add_compile_options(--coverage)
  add_link_options(--coverage)
  # Guest tests run in the test guest, where the build tree is read-only: their counts go below
  # this folder instead (GCOV_PREFIX), at the same paths below it as in the tree.
  set(KSV_GUEST_COVERAGE_DIR ${PROJECT_BINARY_DIR}/guest-coverage)
  file(MAKE_DIRECTORY ${KSV_GUEST_COVERAGE_DIR})
endif()
