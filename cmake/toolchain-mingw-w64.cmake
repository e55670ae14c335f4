# Cross-compiles for Windows with Debian's mingw-w64 (packages
# g++-mingw-w64-x86-64 and g++-mingw-w64-i686):
#
#   cmake -S . -B build/win64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake
#   cmake -S . -B build/win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-w64.cmake \
#         -DTOLVARINE_MINGW_ARCH=i686
#
# TOLVARINE_MINGW_ARCH picks the target: x86_64 (64-bit Windows, the default)
# or i686 (32-bit Windows). The compilers are the POSIX-thread flavour: the
# default (win32) flavour of Debian's GCC 12 has no std::thread or
# std::mutex, which the library uses next to Boost.Thread.

if(NOT DEFINED TOLVARINE_MINGW_ARCH)
  if(DEFINED ENV{TOLVARINE_MINGW_ARCH})
    set(TOLVARINE_MINGW_ARCH "$ENV{TOLVARINE_MINGW_ARCH}")
  else()
    set(TOLVARINE_MINGW_ARCH x86_64)
  endif()
endif()
if(NOT TOLVARINE_MINGW_ARCH MATCHES "^(x86_64|i686)$")
  message(FATAL_ERROR "TOLVARINE_MINGW_ARCH must be x86_64 or i686, not '${TOLVARINE_MINGW_ARCH}'")
endif()
# try_compile projects read this file again; they need the choice too.
set(ENV{TOLVARINE_MINGW_ARCH} "${TOLVARINE_MINGW_ARCH}")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVARINE_MINGW_ARCH)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR "${TOLVARINE_MINGW_ARCH}")
set(TOLVARINE_MINGW_TRIPLE "${TOLVARINE_MINGW_ARCH}-w64-mingw32")

find_program(TOLVARINE_MINGW_CXX NAMES "${TOLVARINE_MINGW_TRIPLE}-g++-posix" NO_CACHE)
if(NOT TOLVARINE_MINGW_CXX)
  if(TOLVARINE_MINGW_ARCH STREQUAL "x86_64")
    set(package g++-mingw-w64-x86-64-posix)
  else()
    set(package g++-mingw-w64-i686-posix)
  endif()
  message(FATAL_ERROR "${TOLVARINE_MINGW_TRIPLE}-g++-posix not found; the Debian package "
                      "${package} provides it (scripts/install-deps.sh installs it)")
endif()
set(CMAKE_CXX_COMPILER "${TOLVARINE_MINGW_CXX}")
set(CMAKE_C_COMPILER "/usr/bin/${TOLVARINE_MINGW_TRIPLE}-gcc-posix")
set(CMAKE_RC_COMPILER "/usr/bin/${TOLVARINE_MINGW_TRIPLE}-windres")

# Libraries and headers of the target come from its own tree, never from
# the build machine's /usr; programs (code generators) from the build machine.
set(CMAKE_FIND_ROOT_PATH "/usr/${TOLVARINE_MINGW_TRIPLE}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built here run on the build machine under Wine where it is
# installed: wine64 runs 64-bit programs; 32-bit ones need Debian's wine32
# (i386 architecture).
if(TOLVARINE_MINGW_ARCH STREQUAL "x86_64")
  find_program(TOLVARINE_WINE NAMES wine64 PATHS /usr/lib/wine NO_CACHE)
else()
  find_program(TOLVARINE_WINE NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CACHE)
endif()
if(TOLVARINE_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR "${TOLVARINE_WINE}")
endif()
