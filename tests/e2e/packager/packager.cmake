# electron-builder's own installer around installer/vyn-launcher.nsh, built
# offline the way docs/INTEGRATION.md configures it (nsis.include, extraFiles,
# afterPack sealer), for the packager tests (bin/vyn_packaged_installer.exe).
#
# electron-builder ships x86-unicode installers only, and writes the
# uninstaller by running the installer under the system's wine, which cannot
# run 32-bit programs on a kernel without 32-bit support. So the makensis it
# is given is Debian's, made to build amd64-unicode (plugins included). It
# also stops NSIS's "label not used" warning, which electron-builder's own
# templates raise under Debian's NSIS 3.08 with or without the include; the
# fixture installer holds the include to warnings as errors, both targets.
find_program(VYN_HOST_NODE node)
find_program(VYN_NPM npm)
find_program(VYN_MAKENSIS makensis)
if(NOT VYN_HOST_NODE OR NOT VYN_NPM OR NOT VYN_MAKENSIS OR NOT TARGET VYN)
  message(STATUS "No node, npm or makensis: electron-builder's installer is not built")
  return()
endif()

set(VYN_ELECTRON_BUILDER_VERSION 26.18.1)
# electron-builder needs a 7-Zip and fetches it unless told where one is.
set(VYN_7ZIP_BIN_VERSION 5.2.0)
set(_src ${CMAKE_CURRENT_LIST_DIR})
set(_npm ${CMAKE_BINARY_DIR}/packager-npm)
set(_cli ${_npm}/node_modules/electron-builder/cli.js)
set(_7za_host ${_npm}/node_modules/7zip-bin/linux/x64/7za)
set(_pk ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/packaged_installer)
set(_plugins ${_pk}/resources/plugins/x86-unicode)
set(_out ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/vyn_packaged_installer.exe)

add_custom_command(
  OUTPUT ${_cli}
  COMMAND ${VYN_NPM} install --silent --no-audit --no-fund --prefix ${_npm}
          electron-builder@${VYN_ELECTRON_BUILDER_VERSION} 7zip-bin@${VYN_7ZIP_BIN_VERSION}
  # npm drops the executable bit of the 7-Zip it unpacks.
  COMMAND chmod +x ${_7za_host}
  COMMENT "Fetching electron-builder ${VYN_ELECTRON_BUILDER_VERSION} from the npm registry"
  VERBATIM)

# One DLL for the five plugins, each name a copy.
add_library(vyn_nsis_plugin_standins SHARED ${_src}/nsis_plugin_standins.cpp)
target_link_libraries(vyn_nsis_plugin_standins PRIVATE shell32)
set_target_properties(vyn_nsis_plugin_standins PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY
                                                                       ${_pk})
vyn_target_options(vyn_nsis_plugin_standins)
vyn_static_runtime(vyn_nsis_plugin_standins)
vyn_program(vyn_powershell_standin ${_src}/powershell_standin.cpp WMAIN)

file(MAKE_DIRECTORY ${_pk}/nsis/linux ${_pk}/app ${_plugins})
file(WRITE ${_pk}/nsis/linux/makensis
     "#!/bin/sh\nexport NSISDIR=/usr/share/nsis\nexec ${VYN_MAKENSIS} '-XTarget amd64-unicode' "
     "'-X!addplugindir /amd64-unicode ${_plugins}' '-X!pragma warning disable 6012' \"$@\"\n")
file(CHMOD ${_pk}/nsis/linux/makensis PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
     GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(_copy ${CMAKE_COMMAND} -E copy)
set(_plugin $<TARGET_FILE:vyn_nsis_plugin_standins>)
add_custom_command(
  OUTPUT ${_out}
  COMMAND ${CMAKE_COMMAND} -E rm -rf build vendor ../electron ../out
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_pk}/app/build ${_pk}/app/vendor/vyn
          ${_pk}/electron
  COMMAND ${_copy} ${_plugin} ${_plugins}/Nsis7z.dll
  COMMAND ${_copy} ${_plugin} ${_plugins}/StdUtils.dll
  COMMAND ${_copy} ${_plugin} ${_plugins}/WinShell.dll
  COMMAND ${_copy} ${_plugin} ${_plugins}/SpiderBanner.dll
  COMMAND ${_copy} ${_plugin} ${_plugins}/UAC.dll
  # electron-builder packs an elevate.exe into the application; any
  # program serves here.
  COMMAND ${_copy} $<TARGET_FILE:vyn_powershell_standin> ${_pk}/nsis/elevate.exe
  # The application's stand-in plays electron.exe: without symbols, with a
  # version resource, as electron-builder requires.
  COMMAND ${CMAKE_STRIP} --strip-all -o ${_pk}/electron/electron.exe $<TARGET_FILE:VYN>
  COMMAND ${CMAKE_STRIP} --strip-debug -o ${_pk}/app/vendor/vyn/VYN_Launcher.exe
          $<TARGET_FILE:VYN_Launcher>
  COMMAND ${_copy} ${_src}/app/package.json ${_src}/app/main.js ${_pk}/app
  COMMAND ${_copy} ${PROJECT_SOURCE_DIR}/installer/vyn-launcher.nsh
          ${PROJECT_SOURCE_DIR}/tools/seal/vyn-seal.js ${_pk}/app/build
  # Starts the build's Wine prefix, where electron-builder writes the
  # uninstaller.
  COMMAND ${CMAKE_BINARY_DIR}/wine-run $<TARGET_FILE:vyn_powershell_standin>
  COMMAND
    ${CMAKE_COMMAND} -E env ELECTRON_BUILDER_NSIS_DIR=${_pk}/nsis
    ELECTRON_BUILDER_NSIS_RESOURCES_DIR=${_pk}/resources ELECTRON_BUILDER_7ZIP_PATH=${_7za_host}
    VYN_VERIFY_PASSPHRASE=${VYN_VERIFY_PASSPHRASE} CSC_IDENTITY_AUTO_DISCOVERY=false
    WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix WINEDEBUG=-all
    "WINEDLLOVERRIDES=mscoree,mshtml=;winemenubuilder.exe=d" ${VYN_HOST_NODE} ${_cli} --win --x64
  COMMAND ${_copy} "../out/VYN Setup 3.0.0.exe" ${_out}
  WORKING_DIRECTORY ${_pk}/app
  DEPENDS ${_cli} vyn_nsis_plugin_standins vyn_powershell_standin VYN VYN_Launcher
          ${_src}/app/package.json ${_src}/app/main.js ${PROJECT_SOURCE_DIR}/installer/vyn-launcher.nsh
          ${PROJECT_SOURCE_DIR}/tools/seal/vyn-seal.js
  COMMENT "Building the installer with electron-builder ${VYN_ELECTRON_BUILDER_VERSION}"
  VERBATIM)
add_custom_target(vyn_packaged_installer DEPENDS ${_out})
add_dependencies(tests_e2e vyn_packaged_installer vyn_powershell_standin)
file(RELATIVE_PATH _7za ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
     ${_npm}/node_modules/7zip-bin/win/x64/7za.exe)
target_compile_definitions(tests_e2e PRIVATE "VYN_E2E_7ZA=\"${_7za}\"")
