# For build scripts run with cmake -P that read the tables of Windows modules
# with llvm-readobj.

# vyn_script_arguments(<script> <variable>...): stops the script when one of
# the -D arguments it needs is missing.
function(vyn_script_arguments script)
  foreach(_var IN LISTS ARGN)
    if(NOT DEFINED ${_var})
      message(FATAL_ERROR "${script}: ${_var} is not set")
    endif()
  endforeach()
endfunction()

# vyn_coff_table(<variable> <readobj> <--coff-exports|--coff-imports> <module>):
# the table as llvm-readobj prints it.
function(vyn_coff_table out_var readobj table module)
  execute_process(COMMAND ${readobj} ${table} ${module} OUTPUT_VARIABLE _dump
                  RESULT_VARIABLE _result ERROR_VARIABLE _error)
  if(NOT _result EQUAL 0)
    message(FATAL_ERROR "cannot read ${table} of ${module}: ${_error}")
  endif()
  set(${out_var} "${_dump}" PARENT_SCOPE)
endfunction()
