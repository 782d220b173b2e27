# Shared build rules. Files named *_win.cpp (and tests *_win_test.cpp) are the
# thin Win32 shell; everything else is platform-neutral and must also build on
# the host, where it runs under the sanitizers and fuzzers.

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # The header-only libraries live in the host's /usr/include, which must not
  # be on the cross compiler's path as a whole (it would shadow the MinGW C
  # library headers), so expose just their folders.
  set(VYN_THIRDPARTY_INCLUDE ${CMAKE_BINARY_DIR}/thirdparty-include)
  file(MAKE_DIRECTORY ${VYN_THIRDPARTY_INCLUDE})
  foreach(_dir nlohmann CLI)
    if(NOT EXISTS ${VYN_THIRDPARTY_INCLUDE}/${_dir})
      file(CREATE_LINK /usr/include/${_dir} ${VYN_THIRDPARTY_INCLUDE}/${_dir} SYMBOLIC)
    endif()
  endforeach()
endif()

add_library(vyn_thirdparty INTERFACE)
if(WIN32 AND CMAKE_CROSSCOMPILING)
  target_include_directories(vyn_thirdparty SYSTEM INTERFACE ${VYN_THIRDPARTY_INCLUDE})
elseif(WIN32)
  # A build on Windows itself (MSVC) takes the packages' CMake files, as a
  # package manager such as vcpkg installs them.
  find_package(nlohmann_json CONFIG REQUIRED)
  find_package(CLI11 CONFIG REQUIRED)
  target_link_libraries(vyn_thirdparty INTERFACE nlohmann_json::nlohmann_json CLI11::CLI11)
endif()

function(vyn_target_options target)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /WX /utf-8 /permissive-)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  endif()
  if(WIN32)
    target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                                 _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  endif()
  if(VYN_SANITIZE AND NOT WIN32)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-omit-frame-pointer
                                             -fno-sanitize-recover=all)
    target_link_options(${target} PRIVATE -fsanitize=address,undefined)
  endif()
endfunction()

# The release version in the programs' version resources (the file
# properties Windows shows): the companion's own release as CHANGELOG.md
# lists it, never the application's, so the launcher's bytes change only
# with its code, this version or the pass phrase.
set(VYN_RELEASE_VERSION "0.0.0-dev" CACHE STRING "Release version stamped into the programs")
if(NOT VYN_RELEASE_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)(-[0-9A-Za-z.-]+)?$")
  message(FATAL_ERROR "VYN_RELEASE_VERSION must look like 1.2.3 (or 1.2.3-rc.1), not '${VYN_RELEASE_VERSION}'")
endif()
foreach(_part ${CMAKE_MATCH_1} ${CMAKE_MATCH_2} ${CMAKE_MATCH_3})
  if(_part GREATER 65535)
    message(FATAL_ERROR "each number of VYN_RELEASE_VERSION must be at most 65535")
  endif()
endforeach()
set(VYN_RC_NUMBERS "${CMAKE_MATCH_1},${CMAKE_MATCH_2},${CMAKE_MATCH_3},0")

# Reproducible release binaries: the same commit built in any folder gives
# the same bytes (no build paths, no link time stamp, no symbols).
option(VYN_REPRODUCIBLE "Build binaries that do not depend on the build folder or time" OFF)
if(VYN_REPRODUCIBLE)
  # For every target of the build, the shipped ones made outside the
  # functions below (the check bridge) included.
  if(MSVC)
    add_compile_options(/Brepro)
    add_link_options(/Brepro)
  else()
    add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/= -ffile-prefix-map=${CMAKE_BINARY_DIR}/=)
    add_link_options(-s)
    if(WIN32)
      add_link_options(-Wl,--no-insert-timestamp)
    endif()
  endif()
endif()

# vyn_version_resource(<target> <description> [PASS_PHRASE]): the version
# resource of a shipped program.
function(vyn_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 _arg "PASS_PHRASE" "" "")
  set(VYN_RC_NAME ${target})
  set(VYN_RC_DESCRIPTION ${description})
  # PASS_PHRASE: a program built with the pass phrase names its fingerprint
  # and its kind of build (cmake/verify_passphrase.cmake), for the sealers.
  set(VYN_RC_PASS_PHRASE_VALUES "")
  if(_arg_PASS_PHRASE)
    if(NOT VYN_PASSPHRASE_FINGERPRINT)
      message(FATAL_ERROR "${target}: the pass phrase's fingerprint is not known yet")
    endif()
    set(_kind development)
    if(VYN_RELEASE_BUILD)
      set(_kind release)
    endif()
    string(CONCAT VYN_RC_PASS_PHRASE_VALUES
           "      VALUE \"PassPhraseFingerprint\", \"${VYN_PASSPHRASE_FINGERPRINT}\"\n"
           "      VALUE \"VynBuild\", \"${_kind}\"\n")
  endif()
  set(_rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${_rc} @ONLY)
  target_sources(${target} PRIVATE ${_rc})
endfunction()

# Test code is built for a quick build, not for speed: it does not ship
# (what it tests comes from the libraries, built as released). Optimising
# what GoogleTest's macros expand to, and parsing GoogleTest, nlohmann/json
# and windows.h again in every test file, were most of the build: a test
# file took about 10 s of CPU at -O2, 5 s at -O0 and 4 s with the shared
# precompiled headers below. The shipped code gets no precompiled headers:
# with this compiler, loading the set (over 200 MB with debug information)
# costs a light file more than parsing its headers does.
option(VYN_QUICK_TEST_BUILD "Build test code unoptimised, with shared precompiled headers" ON)
set(VYN_TEST_PCH_HEADERS <algorithm> <chrono> <cstdint> <functional> <future> <map> <memory>
                         <optional> <string> <string_view> <thread> <utility> <variant> <vector>
                         <nlohmann/json.hpp> <gtest/gtest.h>)

function(vyn_test_code_options target)
  if(NOT VYN_QUICK_TEST_BUILD)
    return()
  endif()
  if(MSVC)
    target_compile_options(${target} PRIVATE /Od)
  else()
    target_compile_options(${target} PRIVATE -O0)
  endif()
endfunction()

# vyn_test_precompiled_headers(<target>): the test program <target> reuses
# the one shared set, compiled once per build with the test programs' flags.
function(vyn_test_precompiled_headers target)
  if(NOT VYN_QUICK_TEST_BUILD)
    return()
  endif()
  if(NOT TARGET vyn_test_pch)
    set(_headers ${VYN_TEST_PCH_HEADERS})
    if(WIN32)
      list(PREPEND _headers <windows.h>)
    endif()
    set(_source ${CMAKE_BINARY_DIR}/vyn_test_pch.cpp)
    file(CONFIGURE OUTPUT ${_source} CONTENT "// Compiles the test programs' precompiled headers.\n")
    add_library(vyn_test_pch OBJECT ${_source})
    target_link_libraries(vyn_test_pch PRIVATE vyn_thirdparty GTest::gtest)
    vyn_target_options(vyn_test_pch)
    vyn_test_code_options(vyn_test_pch)
    target_precompile_headers(vyn_test_pch PRIVATE ${_headers})
  endif()
  # The set was compiled with GoogleTest's definitions, which must match.
  target_link_libraries(${target} PRIVATE GTest::gtest)
  target_precompile_headers(${target} REUSE_FROM vyn_test_pch)
endfunction()

# Executables for Windows carry their runtime inside, so nothing but system
# DLLs has to travel with them.
function(vyn_static_runtime target)
  if(WIN32 AND NOT MSVC)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# vyn_program(<name> <sources...> [WMAIN] [DEPS ...]): a console program of
# the build (tool, test helper, benchmark) with its runtime inside; WMAIN for
# an entry point that takes UTF-16 arguments.
function(vyn_program name)
  cmake_parse_arguments(ARG "WMAIN" "" "DEPS" ${ARGN})
  add_executable(${name} ${ARG_UNPARSED_ARGUMENTS})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  vyn_target_options(${name})
  vyn_static_runtime(${name})
  if(ARG_WMAIN AND NOT MSVC)
    target_link_options(${name} PRIVATE -municode)
  endif()
endfunction()

# vyn_module(<name> <folder> [DEPS ...]): a static library of one source folder.
function(vyn_module name dir)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*.cpp)
  if(NOT WIN32)
    list(FILTER _srcs EXCLUDE REGEX "(/|_)win\\.cpp$")
  endif()
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC vyn_thirdparty ${ARG_DEPS})
    vyn_target_options(${name})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE vyn_thirdparty ${ARG_DEPS})
  endif()
endfunction()

# vyn_test(<name> <folder> [DEPS ...] [LOCK]): one GoogleTest program per test
# folder; LOCK serialises programs that use the machine-wide names (mutex,
# boot pipe, registry key).
function(vyn_test name dir)
  cmake_parse_arguments(ARG "LOCK" "" "DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${dir}/*_test.cpp)
  if(NOT WIN32)
    list(FILTER _srcs EXCLUDE REGEX "(/|_)win_test\\.cpp$")
  endif()
  if(NOT _srcs)
    return()
  endif()
  add_executable(${name} ${_srcs})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} GTest::gtest_main)
  if(TARGET vyn_test_support)
    target_link_libraries(${name} PRIVATE vyn_test_support)
  endif()
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  vyn_target_options(${name})
  vyn_test_code_options(${name})
  vyn_test_precompiled_headers(${name})
  vyn_static_runtime(${name})
  add_test(NAME ${name} COMMAND ${name})
  if(ARG_LOCK)
    set_tests_properties(${name} PROPERTIES RESOURCE_LOCK vyn_global_names)
  endif()
endfunction()

# Tests run under a private Wine prefix inside the build tree, created on
# first use by the wrapper, so they never touch the user's own ~/.wine.
function(vyn_setup_wine)
  find_program(VYN_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_DEFAULT_PATH)
  if(NOT VYN_WINE64)
    find_program(VYN_WINE64 NAMES wine64 wine REQUIRED)
  endif()
  set(VYN_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/wine-run.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run PARENT_SCOPE)
endfunction()
