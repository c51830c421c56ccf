# What the mingw-w64 toolchain files share; each sets KSV_MINGW_PREFIX (the target triplet) and
# CMAKE_SYSTEM_PROCESSOR, then includes this file. Debian's posix-thread compilers: the library
# uses std::mutex, which the win32 thread model lacks.
set(CMAKE_SYSTEM_NAME Windows)

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
