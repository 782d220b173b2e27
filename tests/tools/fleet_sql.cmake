# The fleet reports read two ways: logs of real launcher runs under Wine are
# made once (the fixture), then the SQL of docs/SUPPORT.md runs over them in
# DuckDB and must give the numbers of `vyn-logview summary --json`. Included
# from the end-to-end folder, whose harness makes the logs.
set(_vyn_fleet_corpus ${CMAKE_BINARY_DIR}/fleet-corpus)

vyn_program(vyn_fleet_corpus fleet_corpus_win.cpp WMAIN DEPS vyn_e2e_harness)
add_dependencies(vyn_fleet_corpus VYN_Launcher vyn-seal vyn-logview)
if(TARGET VYN)
  add_dependencies(vyn_fleet_corpus VYN)
endif()
string(REPLACE "/" "\\" _vyn_fleet_corpus_win "Z:${_vyn_fleet_corpus}")
add_test(NAME fleet_corpus COMMAND vyn_fleet_corpus ${_vyn_fleet_corpus_win})
set_tests_properties(fleet_corpus PROPERTIES FIXTURES_SETUP fleet_corpus
                                             RESOURCE_LOCK vyn_global_names TIMEOUT 300)

find_program(VYN_HOST_NODE node)
find_program(VYN_NPM npm)
if(NOT VYN_HOST_NODE OR NOT VYN_NPM)
  message(STATUS "No node or npm: the SQL of docs/SUPPORT.md is not run")
  return()
endif()
# Test-only, into the build tree.
set(_vyn_duckdb_version 1.5.6-r.1)
set(_vyn_duckdb_prefix ${CMAKE_BINARY_DIR}/node-duckdb)
set(_vyn_duckdb_stamp ${_vyn_duckdb_prefix}/node_modules/@duckdb/node-api/package.json)
add_custom_command(
  OUTPUT ${_vyn_duckdb_stamp}
  COMMAND ${VYN_NPM} install --silent --no-audit --no-fund --prefix ${_vyn_duckdb_prefix}
          @duckdb/node-api@${_vyn_duckdb_version}
  COMMENT "Fetching DuckDB ${_vyn_duckdb_version} for Node from the npm registry"
  VERBATIM)
add_custom_target(vyn_node_duckdb ALL DEPENDS ${_vyn_duckdb_stamp})
add_test(NAME fleet_sql
         COMMAND ${VYN_HOST_NODE} ${PROJECT_SOURCE_DIR}/tests/tools/fleet_sql_test.js
                 ${PROJECT_SOURCE_DIR}/docs/SUPPORT.md ${_vyn_fleet_corpus}
                 ${_vyn_duckdb_prefix}/node_modules ${CMAKE_BINARY_DIR}/wine-run
                 $<TARGET_FILE:vyn-logview>)
set_tests_properties(fleet_sql PROPERTIES FIXTURES_REQUIRED fleet_corpus TIMEOUT 120)
