# Cross-build for 64-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-x86-64).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KSV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KSV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KSV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KSV_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KSV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

# One self-contained DLL: the C++ runtime, libgcc and winpthread are linked in, so only the
# Windows system DLLs and the C runtime are imported.
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Programs built here run under Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/run-wine.sh)
