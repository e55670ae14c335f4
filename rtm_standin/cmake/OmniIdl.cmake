# omniidl_generate_cxx(IDL <file.idl> [OUTPUT_DIR <dir>] [INCLUDE_DIRS <dir>...]
#                      [DEPENDS <file>...] [SOURCES_VAR <var>] [HEADER_VAR <var>])
# compiles one IDL file to C++ at build time with omniORB's omniidl and the
# flags OpenRTM-aist uses for data types. OUTPUT_DIR defaults to
# ${CMAKE_CURRENT_BINARY_DIR}/idl; every *.idl file in INCLUDE_DIRS is a
# dependency; SOURCES_VAR receives <name>SK.cc and <name>DynSK.cc,
# HEADER_VAR <name>.hh (generated code: give their target no -Werror). The
# stand-in's README shows a call. This file may be included on its own.

include_guard(GLOBAL)

find_program(OMNIIDL_EXECUTABLE omniidl DOC "omniORB's IDL compiler")

function(omniidl_generate_cxx)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "IDL;OUTPUT_DIR;SOURCES_VAR;HEADER_VAR"
                        "INCLUDE_DIRS;DEPENDS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "omniidl_generate_cxx: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT arg_IDL)
    message(FATAL_ERROR "omniidl_generate_cxx: IDL <file> is required")
  endif()
  if(NOT OMNIIDL_EXECUTABLE)
    message(FATAL_ERROR "omniidl_generate_cxx: omniidl not found (Debian package 'omniidl')")
  endif()

  get_filename_component(idl "${arg_IDL}" ABSOLUTE)
  if(NOT EXISTS "${idl}")
    message(FATAL_ERROR "omniidl_generate_cxx: ${idl} does not exist")
  endif()
  get_filename_component(stem "${idl}" NAME_WE)
  get_filename_component(idl_dir "${idl}" DIRECTORY)

  set(out_dir "${arg_OUTPUT_DIR}")
  if(NOT out_dir)
    set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/idl")
  endif()
  file(MAKE_DIRECTORY "${out_dir}")

  set(include_flags "-I${idl_dir}")
  set(depends "${idl}" ${arg_DEPENDS})
  foreach(dir IN LISTS arg_INCLUDE_DIRS)
    get_filename_component(dir "${dir}" ABSOLUTE)
    list(APPEND include_flags "-I${dir}")
    file(GLOB included_idl "${dir}/*.idl")
    list(APPEND depends ${included_idl})
  endforeach()
  list(REMOVE_DUPLICATES depends)

  set(header "${out_dir}/${stem}.hh")
  set(sources "${out_dir}/${stem}SK.cc" "${out_dir}/${stem}DynSK.cc")
  add_custom_command(
    OUTPUT ${header} ${sources}
    COMMAND "${OMNIIDL_EXECUTABLE}" -bcxx -Wba -nf -Wbuse_quotes -Wbshortcut ${include_flags}
            "-C${out_dir}" "${idl}"
    DEPENDS ${depends}
    COMMENT "omniidl ${stem}.idl"
    VERBATIM)

  if(arg_SOURCES_VAR)
    set(${arg_SOURCES_VAR} ${sources} PARENT_SCOPE)
  endif()
  if(arg_HEADER_VAR)
    set(${arg_HEADER_VAR} ${header} PARENT_SCOPE)
  endif()
endfunction()
