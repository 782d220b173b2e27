# cmake -DREADOBJ=<llvm-readobj> -DADDON=<vynAddon.node> -DHOST=<module name>
#       -DDEF=<libnode.def> -DTHUNKS=<thunks.inc> -P generate_stub.cmake
#
# The stand-in libnode.dll exports exactly what the addon imports from its
# host: each export is a thunk that marks itself used and jumps to the
# function of the same name in the main executable. Written from the addon's
# own delay-import table, so it follows whatever the addon starts to import.
include(${CMAKE_CURRENT_LIST_DIR}/../../../cmake/coff_tables.cmake)
vyn_script_arguments(generate_stub.cmake READOBJ ADDON HOST DEF THUNKS)
vyn_coff_table(_dump ${READOBJ} --coff-imports ${ADDON})
string(FIND "${_dump}" "DelayImport {\n  Name: ${HOST}\n" _start)
if(_start EQUAL -1)
  message(FATAL_ERROR "${ADDON} has no delay imports from ${HOST}")
endif()
string(SUBSTRING "${_dump}" ${_start} -1 _dump)
# This module's imports end where the next import table begins.
string(FIND "${_dump}" "\n}" _end)
string(SUBSTRING "${_dump}" 0 ${_end} _dump)
string(REGEX MATCHALL "Symbol: [^ \n]+" _symbols "${_dump}")

set(_def "LIBRARY \"libnode.dll\"\nEXPORTS\n  getSystemCache\n")
set(_names "")
set(_asm "")
set(_index 0)
foreach(_symbol IN LISTS _symbols)
  string(REGEX REPLACE "^Symbol: " "" _name "${_symbol}")
  math(EXPR _offset "${_index} * 8")
  string(APPEND _def "  \"${_name}\"=vyn_thunk_${_index}\n")
  string(APPEND _names "  \"${_name}\",\n")
  string(APPEND _asm "  \".globl vyn_thunk_${_index}\\n\"\n"
         "  \".p2align 4\\n\"\n"
         "  \"vyn_thunk_${_index}:\\n\"\n"
         "  \"  movb $1, vyn_thunk_used+${_index}(%rip)\\n\"\n"
         "  \"  jmpq *vyn_thunk_targets+${_offset}(%rip)\\n\"\n")
  math(EXPR _index "${_index} + 1")
endforeach()
if(_index EQUAL 0)
  message(FATAL_ERROR "${ADDON} imports nothing from ${HOST}")
endif()

file(WRITE ${DEF} "${_def}")
file(WRITE ${THUNKS}
     "#define VYN_THUNK_COUNT ${_index}\n"
     "static const char* const vyn_thunk_names[VYN_THUNK_COUNT] = {\n${_names}};\n"
     "__asm__(\".text\\n\"\n${_asm});\n")
