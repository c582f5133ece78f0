# Cross-compiles for 64-bit Windows with Debian's mingw-w64, posix thread
# model (std::thread and thread_local need it). AE_WIN64_PREFIX names the
# prefix of the cross-built dependencies (scripts/cross-deps-win64.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(AE_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${AE_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${AE_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${AE_MINGW}-windres)
# Programs built here (tests, test discovery) run under wine64, in a Wine
# prefix of this build directory, quietly, without the Mono and Gecko
# installers a new prefix would otherwise offer.
find_program(AE_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
find_program(AE_WINE64 NAMES wine64 wine)
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml= ${AE_WINE64})

if(DEFINED ENV{AE_WIN64_PREFIX} AND NOT AE_WIN64_PREFIX)
  set(AE_WIN64_PREFIX $ENV{AE_WIN64_PREFIX})
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${AE_MINGW} ${AE_WIN64_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(AE_WIN64_PREFIX)
  # pkg-config sees only the cross-built libraries, never the host's.
  set(ENV{PKG_CONFIG_LIBDIR} ${AE_WIN64_PREFIX}/lib/pkgconfig)
  set(ENV{PKG_CONFIG_PATH} "")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
endif()

# Programs, tests and the DLLs they load share one directory.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
