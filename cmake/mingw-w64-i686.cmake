# Cross-build for 32-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-i686): the DLL
# for 32-bit host processes (which also run on 64-bit Windows).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(KSV_MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
