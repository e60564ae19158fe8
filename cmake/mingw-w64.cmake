# Cross-compiles the Windows program with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
# The posix thread model compilers give std::thread, std::mutex and a
# non-deterministic std::random_device; the win32 model ones have none of these.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KOMOREBI_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KOMOREBI_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KOMOREBI_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KOMOREBI_MINGW_PREFIX}-windres)

# Look for libraries and headers in the cross environment only, programs on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${KOMOREBI_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Every program links the C++ run-time and winpthreads statically, so that a
# stock Windows needs no DLL beyond its own.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
