# The stand-in libnode.dll, generated from the delay imports of the tested
# vynAddon and built in a folder of its own, as libnode.dll.
set(_vyn_stub_dir ${CMAKE_CURRENT_BINARY_DIR}/libnode_stub)
set(_vyn_stub_generator ${CMAKE_CURRENT_LIST_DIR}/generate_stub.cmake)
add_custom_command(
  OUTPUT ${_vyn_stub_dir}/libnode.def ${_vyn_stub_dir}/thunks.inc
  COMMAND ${CMAKE_COMMAND} -DREADOBJ=${VYN_LLVM_READOBJ} -DADDON=$<TARGET_FILE:vynAddon>
          -DHOST=node.exe -DDEF=${_vyn_stub_dir}/libnode.def -DTHUNKS=${_vyn_stub_dir}/thunks.inc
          -P ${_vyn_stub_generator}
  DEPENDS vynAddon ${_vyn_stub_generator} ${PROJECT_SOURCE_DIR}/cmake/coff_tables.cmake
  VERBATIM)
add_library(vyn_libnode_stub SHARED ${CMAKE_CURRENT_LIST_DIR}/libnode_stub.c
                                    ${_vyn_stub_dir}/thunks.inc)
set_target_properties(vyn_libnode_stub PROPERTIES
                      OUTPUT_NAME libnode PREFIX "" LINK_DEPENDS ${_vyn_stub_dir}/libnode.def
                      RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/libnode-stub)
target_include_directories(vyn_libnode_stub PRIVATE ${_vyn_stub_dir})
target_compile_options(vyn_libnode_stub PRIVATE -Wall -Wextra -Werror)
target_link_options(vyn_libnode_stub PRIVATE LINKER:/entry:vyn_stub_entry
                    LINKER:/def:${_vyn_stub_dir}/libnode.def)
vyn_import_library(vyn_libnode_stub ${VYN_WINDOWS_SYSTEM_DLL_DIR}/kernel32.dll)
