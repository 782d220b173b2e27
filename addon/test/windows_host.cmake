# The Windows module, tested for real: built from the same sources by the
# MSVC-ABI toolchain in a build of its own (the MinGW compiler of this build
# cannot make it), then loaded into a Windows Node from the npm registry
# under this build's Wine prefix, with the MinGW bridges built above.
if(NOT VYN_ADDON_NODE_INCLUDE_DIR)
  message(STATUS "vynAddon: no Node headers, so no Windows module or its tests")
  return()
endif()
include(ExternalProject)
include(${PROJECT_SOURCE_DIR}/cmake/windows_node.cmake)
vyn_windows_node(_vyn_windows_node ${VYN_ADDON_NODE_INCLUDE_DIR})
vyn_node_module_version(_vyn_addon_host_version ${VYN_ADDON_NODE_INCLUDE_DIR})
vyn_foreign_module_version(_vyn_foreign_version)

set(_vyn_msvc_build ${CMAKE_BINARY_DIR}/addon-msvc)
ExternalProject_Add(
  vyn_addon_msvc
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${_vyn_msvc_build}
  CMAKE_GENERATOR Ninja
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/clang-msvc-x86_64.cmake
             -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
             -DVYN_BUILD_TESTS=ON
             -DVYN_ADDON_NODE_INCLUDE_DIR=${VYN_ADDON_NODE_INCLUDE_DIR}
             -DVYN_ADDON_HOST_EXECUTABLE=${_vyn_windows_node}
             -DVYN_ADDON_HOST_MODULE_VERSION=${_vyn_addon_host_version}
             -DVYN_ADDON_MODULE_VERSION=${VYN_ADDON_MODULE_VERSION}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  DEPENDS vyn_windows_node)

# The production case: the host is the application's executable, not called
# node.exe, in a folder without one, so only the addon's delay-load hook can
# bind its imports.
set(_vyn_host ${CMAKE_BINARY_DIR}/addon-host/VYN.exe)
add_custom_command(OUTPUT ${_vyn_host} COMMAND ${CMAKE_COMMAND} -E copy ${_vyn_windows_node} ${_vyn_host}
                   DEPENDS ${_vyn_windows_node} VERBATIM)
add_custom_target(vyn_addon_host ALL DEPENDS ${_vyn_host} vyn_addon_msvc vyn_test_bridge
                                              vyn_test_bridge_no_init vyn_test_bridge_null_cache
                                              vyn_test_bridge_empty_cache vyn_test_bridge_bare
                                              vyn_check_bridge)

# The Windows Node reads the paths as Windows paths; Wine maps the host's
# root to drive Z:.
function(_vyn_wine_path out_var path)
  string(REPLACE "/" "\\" _path "${path}")
  set(${out_var} "Z:${_path}" PARENT_SCOPE)
endfunction()
_vyn_wine_path(_vyn_addon ${_vyn_msvc_build}/bin/vynAddon.node)
_vyn_wine_path(_vyn_foreign ${_vyn_msvc_build}/bin/vynAddon-abi${_vyn_foreign_version}.node)
_vyn_wine_path(_vyn_stub ${_vyn_msvc_build}/libnode-stub/libnode.dll)
_vyn_wine_path(_vyn_bridges ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
_vyn_wine_path(_vyn_tests ${CMAKE_CURRENT_SOURCE_DIR})

add_test(NAME addon_js_windows COMMAND ${CMAKE_BINARY_DIR}/wine-run ${_vyn_host} --test ${_vyn_tests})
set_tests_properties(
  addon_js_windows
  PROPERTIES ENVIRONMENT
             "VYN_ADDON_PATH=${_vyn_addon};VYN_ADDON_FOREIGN_PATH=${_vyn_foreign};\
VYN_ADDON_FOREIGN_VERSION=${_vyn_foreign_version};VYN_TEST_BRIDGE_DIR=${_vyn_bridges};\
VYN_TEST_LIBNODE_STUB=${_vyn_stub}")
