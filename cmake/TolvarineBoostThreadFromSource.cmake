# Boost.Thread for a Windows cross build, as the target Boost::thread.
#
# Debian packages no Boost for mingw-w64. Boost.Thread's few compiled
# sources for Windows are taken from Debian's source package of the same
# Boost whose headers are installed (`apt-get source`, which needs an apt
# source list with `Types: deb-src`; scripts/install-deps.sh adds one), kept
# in TOLVARINE_BOOST_SOURCE_CACHE so that a second configure fetches nothing,
# and compiled here into a static library that the DLL takes in whole. The
# headers are Debian's own (libboost-dev), reached through a folder of their
# own so that the build machine's /usr/include stays out of the target's path.

set(TOLVARINE_BOOST_HEADERS "/usr/include/boost" CACHE PATH
    "Boost's headers (Debian's libboost-dev), for the Windows build of Boost.Thread")
set(TOLVARINE_BOOST_SOURCE_CACHE "${CMAKE_BINARY_DIR}/boost-source" CACHE PATH
    "Where Boost.Thread's sources are fetched to and kept")

if(NOT EXISTS "${TOLVARINE_BOOST_HEADERS}/version.hpp")
  message(FATAL_ERROR "Boost's headers are not in ${TOLVARINE_BOOST_HEADERS} (install libboost-dev, "
                      "or set TOLVARINE_BOOST_HEADERS)")
endif()
file(STRINGS "${TOLVARINE_BOOST_HEADERS}/version.hpp" boost_lib_version
     REGEX "^#define BOOST_LIB_VERSION \"[0-9_]+\"")
string(REGEX REPLACE ".*\"([0-9]+)_([0-9]+).*" "\\1.\\2" boost_version "${boost_lib_version}")
set(boost_package "boost${boost_version}")  # Debian's source package, e.g. boost1.74

set(boost_tree "${TOLVARINE_BOOST_SOURCE_CACHE}/${boost_package}")
set(boost_thread_src "${boost_tree}/libs/thread/src")
set(boost_stamp "${boost_tree}/.complete")

# Two builds configuring at once (one per architecture) share the cache.
file(MAKE_DIRECTORY "${TOLVARINE_BOOST_SOURCE_CACHE}")
file(LOCK "${TOLVARINE_BOOST_SOURCE_CACHE}/.lock" GUARD FILE TIMEOUT 900
     RESULT_VARIABLE lock_result)
if(NOT lock_result EQUAL 0)
  message(FATAL_ERROR "cannot lock ${TOLVARINE_BOOST_SOURCE_CACHE}: ${lock_result}")
endif()

if(EXISTS "${boost_stamp}")
  message(STATUS "Boost.Thread for Windows: sources of Debian's ${boost_package} in ${boost_tree}")
else()
  find_program(TOLVARINE_APT_GET apt-get)
  find_program(TOLVARINE_TAR tar)
  if(NOT TOLVARINE_APT_GET OR NOT TOLVARINE_TAR)
    message(FATAL_ERROR "Boost.Thread for Windows is built from Debian's source package "
                        "${boost_package}, fetched with apt-get source and unpacked with tar; "
                        "this machine lacks one of them")
  endif()
  set(download "${TOLVARINE_BOOST_SOURCE_CACHE}/download")
  file(REMOVE_RECURSE "${download}" "${boost_tree}")
  file(MAKE_DIRECTORY "${download}")
  message(STATUS "Boost.Thread for Windows: fetching Debian's ${boost_package} source package "
                 "(about 60 MB, once per build folder) ...")
  execute_process(COMMAND "${TOLVARINE_APT_GET}" source --download-only "${boost_package}"
                  WORKING_DIRECTORY "${download}"
                  RESULT_VARIABLE fetched OUTPUT_VARIABLE fetch_output ERROR_VARIABLE fetch_output)
  file(GLOB orig_tarball "${download}/${boost_package}_*.orig.tar.*")
  if(NOT fetched EQUAL 0 OR NOT orig_tarball)
    message(FATAL_ERROR "apt-get source ${boost_package} failed (${fetched}):\n${fetch_output}\n"
                        "It needs an apt source list with 'Types: deb-src' for Debian's main "
                        "component and 'apt-get update' after it; scripts/install-deps.sh sets "
                        "this up.")
  endif()
  list(GET orig_tarball 0 orig_tarball)
  message(STATUS "Boost.Thread for Windows: unpacking libs/thread/src from ${orig_tarball}")
  file(MAKE_DIRECTORY "${download}/unpacked")
  # Only Boost.Thread's sources and the licence: the headers come from Debian.
  execute_process(COMMAND "${TOLVARINE_TAR}" -xf "${orig_tarball}" -C "${download}/unpacked"
                          --wildcards "*/libs/thread/src/*" "*/LICENSE_1_0.txt"
                  RESULT_VARIABLE unpacked ERROR_VARIABLE unpack_output)
  file(GLOB unpacked_top LIST_DIRECTORIES true "${download}/unpacked/*")
  if(NOT unpacked EQUAL 0 OR NOT EXISTS "${unpacked_top}/libs/thread/src/win32/thread.cpp")
    message(FATAL_ERROR "cannot unpack Boost.Thread's sources from ${orig_tarball}:\n"
                        "${unpack_output}")
  endif()
  file(RENAME "${unpacked_top}" "${boost_tree}")
  file(REMOVE_RECURSE "${download}")
  file(TOUCH "${boost_stamp}")
  message(STATUS "Boost.Thread for Windows: sources of Debian's ${boost_package} kept in "
                 "${boost_tree}")
endif()
file(LOCK "${TOLVARINE_BOOST_SOURCE_CACHE}/.lock" RELEASE)

# Debian's headers under a folder that holds nothing else.
set(boost_include "${CMAKE_BINARY_DIR}/boost-headers")
file(MAKE_DIRECTORY "${boost_include}")
if(NOT EXISTS "${boost_include}/boost/version.hpp")
  file(CREATE_LINK "${TOLVARINE_BOOST_HEADERS}" "${boost_include}/boost" SYMBOLIC)
endif()

# Boost.Thread's Windows implementation: threads, thread-specific storage
# cleaned up through the TLS callbacks of a static library (tss_pe), and
# futures.
add_library(tolvarine_boost_thread STATIC
  "${boost_thread_src}/win32/thread.cpp"
  "${boost_thread_src}/win32/thread_primitives.cpp"
  "${boost_thread_src}/win32/tss_dll.cpp"
  "${boost_thread_src}/win32/tss_pe.cpp"
  "${boost_thread_src}/future.cpp")
target_include_directories(tolvarine_boost_thread SYSTEM PUBLIC "${boost_include}")
target_compile_definitions(tolvarine_boost_thread
  PRIVATE BOOST_THREAD_BUILD_LIB
  PUBLIC BOOST_THREAD_USE_LIB BOOST_ALL_NO_LIB)
# Third-party code: its own warnings are not ours to fix.
target_compile_options(tolvarine_boost_thread PRIVATE -w)
add_library(Boost::thread ALIAS tolvarine_boost_thread)
set(TOLVARINE_BOOST_LICENSE "${boost_tree}/LICENSE_1_0.txt")
