# Cross-build for 64-bit Windows with Debian's mingw-w64 (POSIX threading model, which
# std::thread and std::mutex need). Libraries built for Windows are looked for only in the
# mingw-w64 sysroot and in ORVO_WINDOWS_DEPS (scripts/windows/deps.sh installs them there);
# programs such as the message generator are the build machine's own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVO_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ORVO_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVO_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVO_MINGW_TRIPLET}-windres)

# Passed on to the compiler checks, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ORVO_WINDOWS_DEPS)
if(NOT ORVO_WINDOWS_DEPS AND DEFINED ENV{ORVO_WINDOWS_DEPS})
  set(ORVO_WINDOWS_DEPS $ENV{ORVO_WINDOWS_DEPS})
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${ORVO_MINGW_TRIPLET} ${ORVO_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine when it is installed.
find_program(ORVO_WINE NAMES wine wine64)
if(ORVO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ORVO_WINE})
endif()
