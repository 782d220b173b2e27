# cmake -DSOURCE=<project> -DWORK=<scratch folder> -P configure_headers.cmake
#
# The addon's configure step with an embedder's headers: it builds for their
# module version with the macros of their V8 build and their own guards, and
# refuses a module version the headers disagree with, before anything is built.
foreach(_var SOURCE WORK)
  if(NOT DEFINED ${_var})
    message(FATAL_ERROR "configure_headers.cmake: ${_var} is not set")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK})
# Where node-gyp unpacks an embedder's headers: <cache>/<release>/include/node.
set(_headers ${WORK}/headers/33.2.1/include/node)
file(COPY ${CMAKE_CURRENT_LIST_DIR}/embedder_headers/ DESTINATION ${_headers})
set(_configure ${CMAKE_COMMAND} -S ${SOURCE} -B ${WORK}/build -G Ninja
               -DCMAKE_TOOLCHAIN_FILE=${SOURCE}/cmake/clang-msvc-x86_64.cmake
               -DVYN_BUILD_TESTS=OFF -DVYN_ADDON_NODE_INCLUDE_DIR=${_headers}
               -DVYN_ADDON_HOST_EXECUTABLE=${CMAKE_CURRENT_LIST_FILE})

execute_process(COMMAND ${_configure} RESULT_VARIABLE _result OUTPUT_VARIABLE _out
                ERROR_VARIABLE _out)
if(NOT _result EQUAL 0)
  message(FATAL_ERROR "configuring with the embedder's headers failed:\n${_out}")
endif()
if(NOT _out MATCHES "vynAddon: built for electron 33.2.1, module version 130")
  message(FATAL_ERROR "no word of the headers' release and version:\n${_out}")
endif()
file(READ ${WORK}/build/vynAddon.buildinfo.json _info)
string(JSON _version GET "${_info}" moduleVersion)
string(JSON _release GET "${_info}" headers)
string(JSON _macros GET "${_info}" buildMacros)
string(JSON _count LENGTH "${_info}" buildMacros)
set(_expected ELECTRON_ENSURE_CONFIG_GYPI USING_ELECTRON_CONFIG_GYPI V8_COMPRESS_POINTERS
              V8_COMPRESS_POINTERS_IN_MULTIPLE_CAGES V8_31BIT_SMIS_ON_64BIT_ARCH
              V8_ENABLE_SANDBOX V8_EXTERNAL_CODE_SPACE)
set(_macro_list)
math(EXPR _last "${_count} - 1")
foreach(_i RANGE ${_last})
  string(JSON _macro GET "${_info}" buildMacros ${_i})
  list(APPEND _macro_list ${_macro})
endforeach()
if(NOT _version EQUAL 130 OR NOT _release STREQUAL "electron 33.2.1"
   OR NOT _macro_list STREQUAL "${_expected}")
  message(FATAL_ERROR "wrong build information:\n${_info}")
endif()

execute_process(COMMAND ${_configure} -DVYN_ADDON_MODULE_VERSION=115 RESULT_VARIABLE _result
                OUTPUT_VARIABLE _out ERROR_VARIABLE _out)
# CMake wraps the message's lines.
string(REGEX REPLACE "[ \n]+" " " _flat "${_out}")
if(_result EQUAL 0 OR NOT _flat MATCHES "VYN_ADDON_MODULE_VERSION is 115, but the headers in .* are \
those of electron 33.2.1, module version 130")
  message(FATAL_ERROR "a module version the headers disagree with was not refused:\n${_out}")
endif()
file(REMOVE_RECURSE ${WORK})
