# cmake -DREADOBJ=<llvm-readobj> -DMODULE=<exe or dll> -DLIBRARY=<module name>
#       -DOUTPUT=<file.def> -P def_from_exports.cmake
#
# Writes a module-definition file listing every named export of a Windows
# executable or DLL, from which llvm-dlltool makes an import library. Imports
# through that library bind to LIBRARY; for a host executable that is the
# name the delay-load hook of vynAddon recognises. Names are quoted because
# C++ exports in the MSVC ABI are made of characters (? @ $) that a .def file
# would read otherwise.
include(${CMAKE_CURRENT_LIST_DIR}/coff_tables.cmake)
vyn_script_arguments(def_from_exports.cmake READOBJ MODULE LIBRARY OUTPUT)
vyn_coff_table(_dump ${READOBJ} --coff-exports ${MODULE})

string(REGEX MATCHALL "\n  Name: [^\n]+" _lines "${_dump}")
set(_def "LIBRARY \"${LIBRARY}\"\nEXPORTS\n")
set(_count 0)
foreach(_line IN LISTS _lines)
  string(REGEX REPLACE "^\n  Name: " "" _name "${_line}")
  string(APPEND _def "  \"${_name}\"\n")
  math(EXPR _count "${_count} + 1")
endforeach()
if(_count EQUAL 0)
  message(FATAL_ERROR "${MODULE} exports nothing by name")
endif()
file(WRITE ${OUTPUT} "${_def}")
