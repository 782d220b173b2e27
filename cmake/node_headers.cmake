# What a folder of Node headers says about its host (cmake/node_headers.py),
# for the build of vynAddon.

set(VYN_ADDON_HOST_RELEASE "" CACHE STRING
    "The host's release as vynAddon.buildinfo.json names it, e.g. \"electron 33.2.1\" \
(default: read from the headers and their folder)")

# vyn_read_node_headers(<include dir>): sets, in the caller's scope,
# _vyn_headers_module_version, _vyn_headers_defines (the macros an addon of
# these headers is compiled with), _vyn_headers_node_version and
# _vyn_headers_release ("node 20.20.2", "electron 33.2.1").
macro(vyn_read_node_headers include_dir)
  foreach(_file node_version.h config.gypi common.gypi)
    if(NOT EXISTS ${include_dir}/${_file})
      message(FATAL_ERROR
              "vynAddon: ${include_dir} has no ${_file}. The headers archive of the host's "
              "release has it, and without it nothing tells how the host's V8 was built.")
    endif()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                                             ${include_dir}/${_file})
  endforeach()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                                                           ${PROJECT_SOURCE_DIR}/cmake/node_headers.py)
  find_package(Python3 3.6 COMPONENTS Interpreter REQUIRED)
  if(WIN32)
    set(_vyn_gyp_os win)
  elseif(APPLE)
    set(_vyn_gyp_os mac)
  else()
    set(_vyn_gyp_os linux)
  endif()
  set(_vyn_headers_script ${CMAKE_BINARY_DIR}/node-headers.cmake)
  execute_process(COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/cmake/node_headers.py
                          ${include_dir} ${_vyn_gyp_os} ${_vyn_headers_script}
                  RESULT_VARIABLE _vyn_result ERROR_VARIABLE _vyn_error)
  if(NOT _vyn_result EQUAL 0)
    message(FATAL_ERROR "vynAddon: cannot read the configuration of the headers in "
                        "${include_dir}: ${_vyn_error}")
  endif()
  include(${_vyn_headers_script})
  if(VYN_ADDON_HOST_RELEASE)
    set(_vyn_headers_release "${VYN_ADDON_HOST_RELEASE}")
  elseif(_vyn_headers_embedder)
    # An embedder's headers carry its Node's release, not its own; its own is
    # the name of the folder that node-gyp unpacks them into
    # (<cache>/<release>/include/node).
    get_filename_component(_vyn_release_dir ${include_dir}/../.. ABSOLUTE)
    get_filename_component(_vyn_release_dir ${_vyn_release_dir} NAME)
    if(_vyn_release_dir MATCHES "^v?([0-9]+\\.[0-9]+\\.[0-9]+.*)$")
      set(_vyn_headers_release "${_vyn_headers_embedder} ${CMAKE_MATCH_1}")
    else()
      set(_vyn_headers_release
          "${_vyn_headers_embedder} of unknown release (Node ${_vyn_headers_node_version})")
    endif()
  else()
    set(_vyn_headers_release "node ${_vyn_headers_node_version}")
  endif()
endmacro()

# vyn_write_addon_buildinfo(<file>): what the release notes of the module
# built here: its module version and the host release it was built for.
function(vyn_write_addon_buildinfo file)
  set(_json "{}")
  string(JSON _json SET "${_json}" moduleVersion ${_vyn_addon_module_version})
  string(JSON _json SET "${_json}" headers "\"${_vyn_headers_release}\"")
  string(JSON _json SET "${_json}" nodeVersion "\"${_vyn_headers_node_version}\"")
  # The Electron release whose headers these are, null for other hosts and
  # for an Electron of unknown release: vyn-seal.js's afterPack hook refuses
  # to package the module with any other Electron.
  set(_electron null)
  if(_vyn_headers_release MATCHES "^electron v?([0-9]+\\.[0-9]+\\.[0-9]+[^ ]*)$")
    set(_electron "\"${CMAKE_MATCH_1}\"")
  endif()
  string(JSON _json SET "${_json}" electronVersion ${_electron})
  set(_defines "[]")
  foreach(_define IN LISTS _vyn_headers_defines)
    string(JSON _length LENGTH "${_defines}")
    string(JSON _defines SET "${_defines}" ${_length} "\"${_define}\"")
  endforeach()
  string(JSON _json SET "${_json}" buildMacros "${_defines}")
  string(JSON _json SET "${_json}" contextAware false)
  file(CONFIGURE OUTPUT ${file} CONTENT "${_json}\n" @ONLY)
endfunction()
