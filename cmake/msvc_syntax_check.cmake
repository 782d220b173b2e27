# The launcher is built here by MinGW GCC but must stay valid for MSVC. Each
# of its sources is also compiled by clang in MSVC mode (MSVC's predefined
# macros, its language extensions and its C++ ABI), for errors only: there is
# no MSVC runtime here to link against, and libc++ stands in for MSVC's
# standard library. What MSVC alone rejects, or MSVC's own library headers,
# cannot be checked this way.
include(${CMAKE_CURRENT_LIST_DIR}/clang-msvc-flags.cmake)
find_program(VYN_CLANGXX NAMES clang++-14 clang++)

# vyn_msvc_syntax_check(<target>...): checks the C++ sources of the targets,
# with their include folders and definitions, as part of the build.
function(vyn_msvc_syntax_check)
  if(NOT VYN_CLANGXX)
    message(STATUS "No clang++: the launcher's sources are not checked in MSVC mode")
    return()
  endif()
  set(_stamps "")
  foreach(_target IN LISTS ARGN)
    get_target_property(_sources ${_target} SOURCES)
    get_target_property(_source_dir ${_target} SOURCE_DIR)
    set(_includes "$<TARGET_PROPERTY:${_target},INCLUDE_DIRECTORIES>")
    set(_definitions "$<TARGET_PROPERTY:${_target},COMPILE_DEFINITIONS>")
    foreach(_source IN LISTS _sources)
      if(NOT _source MATCHES "\\.cpp$")
        continue()
      endif()
      get_filename_component(_path ${_source} ABSOLUTE BASE_DIR ${_source_dir})
      file(RELATIVE_PATH _name ${PROJECT_SOURCE_DIR} ${_path})
      set(_stamp ${CMAKE_BINARY_DIR}/msvc-syntax-check/${_name}.checked)
      add_custom_command(
        OUTPUT ${_stamp}
        COMMAND ${VYN_CLANGXX} --target=${VYN_CLANG_MSVC_TARGET} ${VYN_CLANG_MSVC_CXX_FLAGS}
                -std=c++20 -fexceptions -fcxx-exceptions -fsyntax-only -Wall -Wextra -Werror
                "$<$<BOOL:${_includes}>:-I$<JOIN:${_includes},;-I>>"
                "$<$<BOOL:${_definitions}>:-D$<JOIN:${_definitions},;-D>>"
                -MD -MF ${_stamp}.d -MT ${_stamp} ${_path}
        COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
        DEPENDS ${_path}
        DEPFILE ${_stamp}.d
        COMMENT "Checking ${_name} in MSVC mode"
        COMMAND_EXPAND_LISTS VERBATIM)
      list(APPEND _stamps ${_stamp})
    endforeach()
  endforeach()
  add_custom_target(vyn_msvc_syntax_check ALL DEPENDS ${_stamps})
  # Generated headers come with the targets themselves.
  add_dependencies(vyn_msvc_syntax_check ${ARGN})
endfunction()
