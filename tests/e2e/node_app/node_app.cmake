# VYN.exe as a real Node program: the Windows Node of the addon tests made a
# single executable application (Node's own mechanism: a blob of the script
# that Node prepares, injected into a copy of node.exe with postject from
# npm), whose script is assembled from the integration guide's blocks. Built
# into bin/ as vyn_node_app.exe; the tests copy it into their installations as
# VYN.exe.
get_property(_vyn_windows_node GLOBAL PROPERTY VYN_WINDOWS_NODE)
find_program(VYN_HOST_NODE node)
find_program(VYN_NPM npm)
if(NOT _vyn_windows_node OR NOT VYN_HOST_NODE OR NOT VYN_NPM)
  message(STATUS "No Windows Node, node or npm: the application is not played by a real Node")
  return()
endif()

set(_vyn_app_dir ${CMAKE_BINARY_DIR}/node-app)
set(_vyn_app_sources ${CMAKE_CURRENT_LIST_DIR})
set(_vyn_guide ${PROJECT_SOURCE_DIR}/docs/INTEGRATION.md)
set(_vyn_app_exe ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vyn_node_app.exe)
set(_vyn_postject_version 1.0.0-alpha.6)
set(_vyn_node_tools ${CMAKE_BINARY_DIR}/node-tools)
set(_vyn_postject ${_vyn_node_tools}/node_modules/postject/dist/cli.js)
# The fuse that marks a Node executable as carrying an application.
set(_vyn_sea_fuse NODE_SEA_FUSE_fce680ab2cc467b6e072b8b5df1996b2)

file(MAKE_DIRECTORY ${_vyn_app_dir})
file(WRITE ${_vyn_app_dir}/sea.json
     "{\"main\": \"app.js\", \"output\": \"app.blob\", \"disableExperimentalSEAWarning\": true}\n")

add_custom_command(
  OUTPUT ${_vyn_app_dir}/app.js
  COMMAND ${VYN_HOST_NODE} ${_vyn_app_sources}/assemble_app.js ${_vyn_guide}
          ${_vyn_app_sources}/driver.js ${_vyn_app_dir}/app.js
  DEPENDS ${_vyn_app_sources}/assemble_app.js ${_vyn_app_sources}/driver.js ${_vyn_guide}
  COMMENT "Assembling the application's script from the integration guide"
  VERBATIM)
add_custom_command(
  OUTPUT ${_vyn_app_dir}/app.blob
  COMMAND ${CMAKE_BINARY_DIR}/wine-run ${_vyn_windows_node} --experimental-sea-config sea.json
  DEPENDS ${_vyn_app_dir}/app.js ${_vyn_windows_node}
  WORKING_DIRECTORY ${_vyn_app_dir}
  COMMENT "Preparing the application's blob with the Windows Node"
  VERBATIM)
add_custom_command(
  OUTPUT ${_vyn_postject}
  COMMAND ${VYN_NPM} install --silent --no-audit --no-fund --prefix ${_vyn_node_tools}
          postject@${_vyn_postject_version}
  COMMENT "Fetching postject ${_vyn_postject_version} from the npm registry"
  VERBATIM)
add_custom_command(
  OUTPUT ${_vyn_app_exe}
  COMMAND ${CMAKE_COMMAND} -E copy ${_vyn_windows_node} ${_vyn_app_dir}/VYN.exe
  COMMAND ${VYN_HOST_NODE} ${_vyn_postject} ${_vyn_app_dir}/VYN.exe NODE_SEA_BLOB
          ${_vyn_app_dir}/app.blob --sentinel-fuse ${_vyn_sea_fuse}
  COMMAND ${CMAKE_COMMAND} -E rename ${_vyn_app_dir}/VYN.exe ${_vyn_app_exe}
  DEPENDS ${_vyn_app_dir}/app.blob ${_vyn_windows_node} ${_vyn_postject}
  COMMENT "Making the Windows Node into the application"
  VERBATIM)
add_custom_target(vyn_node_app ALL DEPENDS ${_vyn_app_exe})
add_dependencies(vyn_node_app vyn_windows_node)
add_dependencies(tests_e2e vyn_node_app)
