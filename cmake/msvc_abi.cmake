# Build rules for modules in the MSVC C++ ABI made with clang and lld-link
# (cmake/clang-msvc-x86_64.cmake): import libraries made from the modules
# that will really be loaded, and the pieces of MSVC's runtime the addon needs.

find_program(VYN_LLVM_READOBJ NAMES llvm-readobj-14 llvm-readobj REQUIRED)
find_program(VYN_LLVM_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool REQUIRED)
find_program(VYN_LLVM_OBJCOPY NAMES llvm-objcopy-14 llvm-objcopy REQUIRED)

# vyn_import_library(<target> <module file> [LIBRARY <name>]): links <target>
# against an import library of every named export of <module file>, made at
# build time. The imports bind to LIBRARY, by default the module's file name.
function(vyn_import_library target module)
  cmake_parse_arguments(ARG "" "LIBRARY" "" ${ARGN})
  get_filename_component(_file ${module} NAME)
  if(NOT ARG_LIBRARY)
    set(ARG_LIBRARY ${_file})
  endif()
  string(MAKE_C_IDENTIFIER "${ARG_LIBRARY}" _id)
  set(_dir ${CMAKE_BINARY_DIR}/import-libraries)
  set(_lib ${_dir}/${_id}.lib)
  if(NOT TARGET vyn_import_${_id})
    add_custom_command(
      OUTPUT ${_lib}
      COMMAND ${CMAKE_COMMAND} -DREADOBJ=${VYN_LLVM_READOBJ} -DMODULE=${module}
              -DLIBRARY=${ARG_LIBRARY} -DOUTPUT=${_dir}/${_id}.def
              -P ${PROJECT_SOURCE_DIR}/cmake/def_from_exports.cmake
      COMMAND ${VYN_LLVM_DLLTOOL} -m i386:x86-64 -d ${_dir}/${_id}.def -l ${_lib}
      DEPENDS ${module} ${PROJECT_SOURCE_DIR}/cmake/def_from_exports.cmake
              ${PROJECT_SOURCE_DIR}/cmake/coff_tables.cmake
      COMMENT "Import library for ${ARG_LIBRARY} from ${_file}"
      VERBATIM)
    add_custom_target(vyn_import_${_id} DEPENDS ${_lib})
  endif()
  add_dependencies(${target} vyn_import_${_id})
  target_link_libraries(${target} PRIVATE ${_lib})
endfunction()

# vyn_without_msvc_runtime(<target>): what a DLL built this way needs in place
# of MSVC's runtime: the system's C runtime (ucrtbase) and kernel32, both
# imported from the DLLs that Wine ships as real Windows modules, and
# MinGW-w64's delay-load helper, taken alone from its archive because the
# archive as a whole would drag in MinGW's own C runtime, and without its GCC
# debug information, which has no place in a module debugged as MSVC's.
function(vyn_without_msvc_runtime target)
  foreach(_dll ucrtbase.dll kernel32.dll)
    vyn_import_library(${target} ${VYN_WINDOWS_SYSTEM_DLL_DIR}/${_dll})
  endforeach()
  set(_member lib64_libmingwex_a-delayimp.o)
  set(_object ${CMAKE_BINARY_DIR}/delay-load-helper/${_member})
  if(NOT TARGET vyn_delay_load_helper)
    add_custom_command(
      OUTPUT ${_object}
      COMMAND ${CMAKE_AR} x ${VYN_MINGW_RUNTIME_ARCHIVE} ${_member}
      COMMAND ${VYN_LLVM_OBJCOPY} --strip-debug ${_member}
      WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/delay-load-helper
      DEPENDS ${VYN_MINGW_RUNTIME_ARCHIVE}
      VERBATIM)
    file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/delay-load-helper)
    add_custom_target(vyn_delay_load_helper DEPENDS ${_object})
  endif()
  add_dependencies(${target} vyn_delay_load_helper)
  target_link_libraries(${target} PRIVATE ${_object})
  # MinGW's helper finds the image base under GCC's name for it.
  target_link_options(${target} PRIVATE LINKER:/alternatename:__image_base__=__ImageBase)
endfunction()
