# The report page's charting library: Chart.js at a pinned version, fetched
# with npm into the build tree and checked against its digest, then built
# into vyn-logview with the page. Neither is kept in the repository. Set
# VYN_CHARTJS_DIR to an unpacked chart.js package to build without npm.
set(VYN_CHARTJS_VERSION 4.6.2)
set(VYN_CHARTJS_SHA256 6dfb08548aaa3dd2792d8614d087f2f9c69be841b2e21127ccf400f9c66e9619)
set(VYN_CHARTJS_DIR "" CACHE PATH "An unpacked chart.js ${VYN_CHARTJS_VERSION} package (else npm fetches it)")

find_program(VYN_HOST_NODE node)
if(NOT VYN_HOST_NODE)
  message(FATAL_ERROR "vyn-logview's report page is built with Node.js (node), which is missing")
endif()
if(VYN_CHARTJS_DIR)
  set(_vyn_chartjs ${VYN_CHARTJS_DIR})
else()
  find_program(VYN_NPM npm)
  if(NOT VYN_NPM)
    message(FATAL_ERROR "vyn-logview's report page needs Chart.js: install npm or set VYN_CHARTJS_DIR")
  endif()
  set(_vyn_chartjs_prefix ${CMAKE_BINARY_DIR}/node-chartjs)
  set(_vyn_chartjs ${_vyn_chartjs_prefix}/node_modules/chart.js)
  add_custom_command(
    OUTPUT ${_vyn_chartjs}/dist/chart.umd.js ${_vyn_chartjs}/LICENSE.md
    COMMAND ${VYN_NPM} install --silent --no-audit --no-fund --ignore-scripts
            --prefix ${_vyn_chartjs_prefix} chart.js@${VYN_CHARTJS_VERSION}
    COMMENT "Fetching Chart.js ${VYN_CHARTJS_VERSION} from the npm registry"
    VERBATIM)
endif()

set(_vyn_report_page ${CMAKE_CURRENT_BINARY_DIR}/report_page.cpp)
add_custom_command(
  OUTPUT ${_vyn_report_page}
  COMMAND ${VYN_HOST_NODE} ${CMAKE_CURRENT_LIST_DIR}/embed_report_page.js
          ${CMAKE_CURRENT_LIST_DIR}/report_page.html ${_vyn_chartjs}/dist/chart.umd.js
          ${_vyn_chartjs}/LICENSE.md ${VYN_CHARTJS_SHA256} ${_vyn_report_page}
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/embed_report_page.js ${CMAKE_CURRENT_LIST_DIR}/report_page.html
          ${_vyn_chartjs}/dist/chart.umd.js
  COMMENT "Building the report page with Chart.js ${VYN_CHARTJS_VERSION}"
  VERBATIM)
target_sources(vyn_logview PRIVATE ${CMAKE_CURRENT_LIST_DIR}/report.cpp ${_vyn_report_page})
