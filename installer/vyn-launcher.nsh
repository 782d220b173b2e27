; VYN_Launcher for NSIS installers: electron-builder's "nsis.include", or
; !include from a plain NSIS 3 script. Standard plugins only (System).
;
; What the launcher needs from the installer:
;   - HKCU "Software\VYN\InstallTracking": "installId" (kept for the life of
;     the installation, updates included) and "installDir" = $INSTDIR;
;   - the desktop and Start-menu shortcuts starting VYN_Launcher.exe rather
;     than VYN.exe, with VYN.exe's icon, $INSTDIR as working folder and the
;     application's AppUserModelID, so taskbar buttons and pins group under
;     the shortcut;
;   - no launcher of this installation still running while its files are
;     replaced or removed: Windows refuses to overwrite a running program's
;     file, and a silent NSIS update then keeps the old launcher beside new
;     files.
;
; Macros electron-builder calls, and when:
;   customInit       installer's .onInit, after $INSTDIR is settled, before
;                    any file is touched: ends launchers running from it.
;   customInstall    after files, uninstall record and shortcuts.
;   customUnInstall  uninstaller's section, before any file is removed (a
;                    real uninstall, or the old uninstaller an update runs
;                    with --updated).
; A plain script inserts them at the same points and defines what
; electron-builder would: APP_ID, APP_EXECUTABLE_FILENAME, the variables
; $newDesktopLink and $newStartMenuLink, and BUILD_UNINSTALLER when it
; compiles the uninstaller on its own. Without electron-builder's
; ${isUpdated}, "--updated" on the command line is looked up here.
;
; Registers are saved and restored, and nothing here declares a variable or
; a function: electron-builder builds with warnings as errors, and an unused
; one in either of its two passes is a warning.

!ifndef VYN_LAUNCHER_NSH_INCLUDED
!define VYN_LAUNCHER_NSH_INCLUDED

!include LogicLib.nsh
!include FileFunc.nsh

!define VYN_TRACKING_KEY "Software\VYN\InstallTracking"
!define VYN_LAUNCHER_FILENAME "VYN_Launcher.exe"
; What the shortcuts start. Rolling back to starting the application
; directly is this define set to "$INSTDIR\VYN.exe" before the include, in
; one more release: the shortcuts an update keeps are re-pointed at VYN.exe,
; identifier and all.
!define /ifndef VYN_SHORTCUT_TARGET "$INSTDIR\${VYN_LAUNCHER_FILENAME}"
; How long a running launcher may take to end on its own (it ends as soon as
; the application reports ready) before the installer ends it.
!define /ifndef VYN_LAUNCHER_EXIT_WAIT_MS 5000

!ifndef isUpdated
  !macro _isUpdated _a _b _t _f
    Push $R9
    Push $R8
    ${GetParameters} $R9
    ClearErrors
    ${GetOptions} $R9 "--updated" $R8
    Pop $R8
    Pop $R9
    IfErrors `${_f}` `${_t}`
  !macroend
  !define isUpdated `"" isUpdated ""`
!endif

; Ends every process whose program is $INSTDIR\VYN_Launcher.exe, after
; giving them VYN_LAUNCHER_EXIT_WAIT_MS in all to end by themselves. The
; launcher holds nothing that ending it could damage: its log records are
; appended whole, each by one write, and the application it started runs on.
; The process list and handles go through pointer-sized ("p") values and
; IntPtrOp, so the same code serves x86-unicode and amd64-unicode builds.
!macro VYN_END_RUNNING_LAUNCHERS
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  System::Call 'kernel32::GetTickCount() i .r7'
  IntOp $7 $7 + ${VYN_LAUNCHER_EXIT_WAIT_MS}
  System::Alloc 16384
  Pop $1
  ${If} $1 P<> 0
    StrCpy $2 0
    System::Call 'kernel32::K32EnumProcesses(p r1, i 16384, *i .r2) i .r0'
    ${If} $0 = 0
      StrCpy $2 0
    ${EndIf}
    IntOp $2 $2 / 4
    StrCpy $3 0
    ${DoWhile} $3 < $2
      IntOp $4 $3 * 4
      IntPtrOp $4 $1 + $4
      System::Call '*$4(i .r4)'
      ; SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE
      System::Call 'kernel32::OpenProcess(i 0x101001, i 0, i r4) p .r5'
      ${If} $5 P<> 0
        StrCpy $6 ""
        System::Call 'kernel32::QueryFullProcessImageNameW(p r5, i 0, w .r6, *i ${NSIS_MAX_STRLEN}) i .r0'
        ${If} $0 <> 0
        ${AndIf} $6 == "$INSTDIR\${VYN_LAUNCHER_FILENAME}"
          System::Call 'kernel32::GetTickCount() i .r0'
          IntOp $0 $7 - $0
          ${If} $0 < 0
            StrCpy $0 0
          ${EndIf}
          System::Call 'kernel32::WaitForSingleObject(p r5, i r0) i .r0'
          ${If} $0 <> 0
            DetailPrint "Ending ${VYN_LAUNCHER_FILENAME} (process $4)"
            System::Call 'kernel32::TerminateProcess(p r5, i 1) i .r0'
            System::Call 'kernel32::WaitForSingleObject(p r5, i 5000) i .r0'
          ${EndIf}
        ${EndIf}
        System::Call 'kernel32::CloseHandle(p r5)'
      ${EndIf}
      IntOp $3 $3 + 1
    ${Loop}
    System::Free $1
  ${EndIf}
  Pop $7
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
!macroend

; Sets ${APP_ID} as PKEY_AppUserModel_ID in the IPropertyStore whose
; pointer STORE holds, and commits it; $0 is the outcome (0: done). Uses $4
; to $6 too. The PROPVARIANT is VT_LPWSTR: vt and the reserved words fill its
; first 8 bytes, the string pointer follows, and the trailing pointer pads
; the union to the structure's size on either target (16 or 24 bytes).
!macro VYN_STORE_APP_ID STORE
  System::Call '*(&g16 "{9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}", i 5) p .r4'
  System::Call '*(&w${NSIS_MAX_STRLEN} "${APP_ID}") p .r5'
  System::Call '*(i 31, i 0, p r5, p 0) p .r6'
  ; IPropertyStore::SetValue, then Commit
  System::Call '${STORE}->6(p r4, p r6) i .r0'
  ${If} $0 = 0
    System::Call '${STORE}->7() i .r0'
  ${EndIf}
  System::Free $6
  System::Free $5
  System::Free $4
!macroend

; Points the shortcut LINK, when there is one, at the launcher. It is loaded
; and saved in place, so whatever else the installer gave it (name,
; description, arguments, hot key) stays. The AppUserModelID goes through the
; link's property store, as taskbar pinning reads it.
!macro VYN_REPOINT_SHORTCUT LINK
  ${If} ${FileExists} "${LINK}"
    Push $0
    Push $1
    Push $2
    Push $3
    Push $4
    Push $5
    Push $6
    Push $7
    System::Call 'ole32::CoInitialize(p 0) i .r7'
    ; CLSID_ShellLink, IID_IShellLinkW
    System::Call 'ole32::CoCreateInstance(g "{00021401-0000-0000-C000-000000000046}", p 0, i 1, g "{000214F9-0000-0000-C000-000000000046}", *p .r1) i .r0'
    ${If} $0 = 0
      ; IShellLinkW::QueryInterface(IID_IPersistFile)
      System::Call '$1->0(g "{0000010b-0000-0000-C000-000000000046}", *p .r2) i .r0'
      ${If} $0 = 0
        ; IPersistFile::Load, STGM_READWRITE
        System::Call '$2->5(w "${LINK}", i 2) i .r0'
        ${If} $0 = 0
          ; SetPath, SetWorkingDirectory, SetIconLocation
          System::Call '$1->20(w "${VYN_SHORTCUT_TARGET}") i .r0'
          System::Call '$1->9(w "$INSTDIR") i .r0'
          System::Call '$1->17(w "$INSTDIR\${APP_EXECUTABLE_FILENAME}", i 0) i .r0'
          ; IID_IPropertyStore
          System::Call '$1->0(g "{886D8EEB-8CF2-4446-8D02-CDBA1DBDCF99}", *p .r3) i .r0'
          ${If} $0 = 0
            !insertmacro VYN_STORE_APP_ID $3
            ${IfThen} $0 <> 0 ${|} DetailPrint "AppUserModelID not set on ${LINK}: $0" ${|}
            System::Call '$3->2()'
          ${EndIf}
          ; IPersistFile::Save to the file it was loaded from
          System::Call '$2->6(p 0, i 1) i .r0'
          ${IfThen} $0 <> 0 ${|} DetailPrint "Shortcut not saved: ${LINK}: $0" ${|}
        ${EndIf}
        System::Call '$2->2()'
      ${EndIf}
      System::Call '$1->2()'
    ${EndIf}
    ${If} $7 >= 0
      System::Call 'ole32::CoUninitialize()'
    ${EndIf}
    Pop $7
    Pop $6
    Pop $5
    Pop $4
    Pop $3
    Pop $2
    Pop $1
    Pop $0
  ${EndIf}
!macroend

!macro customInit
  !insertmacro VYN_END_RUNNING_LAUNCHERS
!macroend

!macro customInstall
  Push $0
  Push $1
  ; An identifier that is missing or not text is replaced; one that exists
  ; stays, so an update keeps the installation's identity in the log.
  ClearErrors
  ReadRegStr $0 HKCU "${VYN_TRACKING_KEY}" "installId"
  ${If} ${Errors}
  ${OrIf} $0 == ""
    System::Call 'ole32::CoCreateGuid(g .r0) i .r1'
    ${If} $1 = 0
      StrCpy $0 $0 36 1
    ${Else}
      ; No GUID from the system: time and process make one unique enough.
      System::Call 'kernel32::GetTickCount() i .r1'
      StrCpy $0 "$1"
      System::Call 'kernel32::GetCurrentProcessId() i .r1'
      StrCpy $0 "install-$0-$1"
    ${EndIf}
    WriteRegStr HKCU "${VYN_TRACKING_KEY}" "installId" "$0"
  ${EndIf}
  WriteRegStr HKCU "${VYN_TRACKING_KEY}" "installDir" "$INSTDIR"
  Pop $1
  Pop $0
  !insertmacro VYN_REPOINT_SHORTCUT "$newDesktopLink"
  !insertmacro VYN_REPOINT_SHORTCUT "$newStartMenuLink"
  System::Call 'shell32::SHChangeNotify(i 0x8000000, i 0, p 0, p 0)'
  ; electron-builder has one customInstall, and this is it: a project's own
  ; steps go into VYN_AFTER_INSTALL.
  !ifmacrodef VYN_AFTER_INSTALL
    !insertmacro VYN_AFTER_INSTALL
  !endif
!macroend

!macro customUnInstall
  !insertmacro VYN_END_RUNNING_LAUNCHERS
  ; An update's uninstall keeps the key, and with it "installId". A real one
  ; removes it, unless it belongs to another installation by now. The user's
  ; bootstrap.log under %APPDATA%\VYN is never touched here.
  ${IfNot} ${isUpdated}
    Push $0
    ClearErrors
    ReadRegStr $0 HKCU "${VYN_TRACKING_KEY}" "installDir"
    ${If} ${Errors}
    ${OrIf} $0 == "$INSTDIR"
      DeleteRegKey HKCU "${VYN_TRACKING_KEY}"
      DeleteRegKey /ifempty HKCU "Software\VYN"
    ${EndIf}
    Pop $0
  ${EndIf}
!macroend

!endif
