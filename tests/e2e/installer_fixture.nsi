; A small installer built the way electron-builder builds the application's,
; around installer/vyn-launcher.nsh: files first, then the uninstall record
; and the shortcuts to VYN.exe, then customInstall; the uninstaller runs
; customUnInstall before it removes files and shortcuts. The launcher
; include hooks the same macros it does there.
;
;   makensis -DAPP_DIR=<folder to install> -DOUTFILE=<installer>
;            [-DTARGET=x86-unicode] installer_fixture.nsi
;
; Wine here runs 64-bit programs only, hence amd64-unicode by default;
; electron-builder's own installers are x86-unicode.

!define /ifndef TARGET amd64-unicode
Unicode true
Target ${TARGET}
Name "VYN"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\VYN"
ShowInstDetails nevershow
ShowUninstDetails nevershow
; Built on every test build: speed over size.
SetCompress off

; What electron-builder defines and declares before the custom include.
!define PRODUCT_NAME "VYN"
!define APP_ID "com.vyn.desktop"
!define APP_EXECUTABLE_FILENAME "VYN.exe"
!define UNINSTALL_FILENAME "Uninstall VYN.exe"
Var newDesktopLink
Var newStartMenuLink
Var appExe
Var launchLink
; No pages: launchers are ended in .onInit, as in electron-builder's one-click
; installer.
!define ONE_CLICK

; A launcher the tests keep waiting is ended after a second, not five.
!define VYN_LAUNCHER_EXIT_WAIT_MS 1000
; Room for two process ids at first: every run grows the list.
!define VYN_PROCESS_LIST_BYTES 8
!ifndef VYN_INCLUDE_DIR
  !define VYN_INCLUDE_DIR "${__FILEDIR__}/../../installer"
!endif
!addincludedir "${VYN_INCLUDE_DIR}"
!include "vyn-launcher.nsh"

!macro setLinkVars
  StrCpy $appExe "$INSTDIR\${APP_EXECUTABLE_FILENAME}"
  StrCpy $newDesktopLink "$DESKTOP\${PRODUCT_NAME}.lnk"
  StrCpy $newStartMenuLink "$SMPROGRAMS\${PRODUCT_NAME}.lnk"
!macroend

Function .onInit
  !insertmacro customInit
FunctionEnd

Section "install"
  !insertmacro setLinkVars
  SetOutPath $INSTDIR
  File /r "${APP_DIR}/*.*"
  WriteUninstaller "$INSTDIR\${UNINSTALL_FILENAME}"
  CreateShortCut "$newStartMenuLink" "$appExe" "" "$appExe" 0
  CreateShortCut "$newDesktopLink" "$appExe" "" "$appExe" 0
  ${If} ${FileExists} "$newStartMenuLink"
    StrCpy $launchLink "$newStartMenuLink"
  ${Else}
    StrCpy $launchLink "$appExe"
  ${EndIf}
  !insertmacro customInstall
  ; electron-builder's start after a silent update run with --force-run.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "--force-run" $1
  ${IfNot} ${Errors}
    ExecShell "open" "$launchLink" "--updated"
  ${EndIf}

  ; Wine's shell links keep no properties (their store is a stub), so the
  ; identifier goes, as the include stores it, into an in-memory store too;
  ; read back, "vt:value" is left for the tests.
  System::Call 'propsys::PSCreateMemoryPropertyStore(g "{886D8EEB-8CF2-4446-8D02-CDBA1DBDCF99}", *p .r1) i .r0'
  ${If} $0 = 0
    !insertmacro VYN_STORE_APP_ID $1
    System::Call '*(&g16 "{9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}", i 5) p .r4'
    System::Call '*(i 0, i 0, p 0, p 0) p .r6'
    System::Call '$1->5(p r4, p r6) i .r0'
    System::Call '*$6(i .r2, i, p .r5)'
    StrCpy $3 ""
    ${If} $5 P<> 0
      System::Call 'kernel32::lstrcpynW(w .r3, p r5, i ${NSIS_MAX_STRLEN}) p'
    ${EndIf}
    WriteRegStr HKCU "Software\VYN-fixture" "appUserModelId" "$2:$3"
    System::Call 'ole32::PropVariantClear(p r6)'
    System::Free $6
    System::Free $4
    System::Call '$1->2()'
  ${EndIf}
SectionEnd

Section "Uninstall"
  !insertmacro setLinkVars
  !insertmacro customUnInstall
  SetOutPath $TEMP
  RMDir /r $INSTDIR
  Delete "$newDesktopLink"
  Delete "$newStartMenuLink"
SectionEnd
