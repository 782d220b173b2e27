# cmake -DREADOBJ=<llvm-readobj> -DMODULE=<exe or dll> -DLIBRARY=<module name>
#       -DOUTPUT=<file.def> -P def_from_exports.cmake
#
# Writes a module-definition file listing every named export of a Windows
# executable or DLL, from which llvm-dlltool makes an import library. Imports
# through that library bind to LIBRARY; for a host executable that is the
# name the delay-load hook of vynAddon recognises. Names are quoted because
# C++ exports in the MSVC ABI are made of characters (? @ $) that a .def file
# would read otherwise.
foreach(_var READOBJ MODULE LIBRARY OUTPUT)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "def_from_exports.cmake: ${_var} is not set")
  endif()
endforeach()

execute_process(COMMAND ${READOBJ} --coff-exports ${MODULE} OUTPUT_VARIABLE _dump
                RESULT_VARIABLE _result ERROR_VARIABLE _error)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "cannot read the exports of ${MODULE}: ${_error}")
endif()

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
