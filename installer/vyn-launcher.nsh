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
;                    any file is touched: one-click and silent installers
;                    end launchers running from it here.
;   customPageAfterChangeDir
;                    assisted installer, between its directory page and
;                    the installation page: hooks that page's SHOW function,
;                    where the assisted installer ends them.
;   customInstall    after files, uninstall record and shortcuts; also sets
;                    $launchLink, what the installer starts when it is done.
;   customUnInstall  uninstaller's section, before any file is removed (a
;                    real uninstall, or the old uninstaller an update runs
;                    with --updated).
; A plain script inserts them at the same points and defines what
; electron-builder would: APP_ID, APP_EXECUTABLE_FILENAME, ONE_CLICK when it
; shows no pages, the variables $newDesktopLink, $newStartMenuLink and
; $launchLink, and BUILD_UNINSTALLER when it compiles the uninstaller on its
; own. Without electron-builder's ${isUpdated}, "--updated" on the command
; line is looked up here.
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
; How long an ended launcher may take to be gone.
!define /ifndef VYN_LAUNCHER_END_WAIT_MS 5000
; The first size of the process list (1024 ids); doubled until all fit.
!define /ifndef VYN_PROCESS_LIST_BYTES 4096
!define /ifndef VYN_LAUNCHER_LOCKED_TEXT "${VYN_LAUNCHER_FILENAME} of this installation is still running and cannot be ended (it may be another user's). Close it and retry, or cancel the installation."

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

; Sets OUT to the identity of the file PATH: volume serial and file index,
; the same whatever spelling reaches the file (another drive letter mapped to
; it, an 8.3 short name, a \\?\ prefix); "" when it cannot be opened. Uses
; $R0 to $R4. A failed CreateFileW hands back INVALID_HANDLE_VALUE, which
; GetFileInformationByHandle refuses and CloseHandle ignores.
!macro _VYN_FILE_ID PATH OUT
  ; FILE_READ_ATTRIBUTES, shared every way, OPEN_EXISTING
  System::Call 'kernel32::CreateFileW(w "${PATH}", i 0x80, i 7, p 0, i 3, i 0, p 0) p .R0'
  ; BY_HANDLE_FILE_INFORMATION: 13 DWORDs, serial 8th, index 12th and 13th
  System::Alloc 52
  Pop $R1
  System::Call 'kernel32::GetFileInformationByHandle(p R0, p R1) i .R2'
  StrCpy ${OUT} ""
  ${If} $R2 <> 0
    System::Call '*$R1(i, i, i, i, i, i, i, i .R2, i, i, i, i .R3, i .R4)'
    StrCpy ${OUT} "$R2:$R3:$R4"
  ${EndIf}
  System::Free $R1
  System::Call 'kernel32::CloseHandle(p R0)'
!macroend

; Ends every process running this installation's VYN_Launcher.exe, after
; giving them VYN_LAUNCHER_EXIT_WAIT_MS in all to end by themselves. A
; process is this installation's when its program is the same file as
; $INSTDIR\VYN_Launcher.exe (compared by identity, not by path text);
; another installation's launcher is another file and is left alone. The
; launcher holds nothing that ending it could damage: its log records are
; appended whole, each by one write, and the application it started runs on.
;
; A launcher that cannot be ended (another user's, without the right to end
; it) is named in the details, and so is a launcher file still in use by a
; process this installer cannot see. Then, rather than leave new files
; beside an old locked launcher, the user may retry or cancel; a silent
; installer cancels: it exits with ERROR_ACCESS_DENIED (5) before it has
; changed anything.
;
; The process list grows until every id fits. Handles and the list go
; through pointer-sized ("p") values and IntPtrOp, so the same code serves
; x86-unicode and amd64-unicode builds.
!macro VYN_END_RUNNING_LAUNCHERS
  Push $0
  Push $1
  Push $2
  Push $3
  Push $4
  Push $5
  Push $6
  Push $7
  Push $8
  Push $9
  Push $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  !insertmacro _VYN_FILE_ID "$INSTDIR\${VYN_LAUNCHER_FILENAME}" $8
  ; Without the file nothing of this installation can be running.
  ${DoWhile} $8 != ""
    System::Call 'kernel32::GetTickCount() i .r7'
    IntOp $7 $7 + ${VYN_LAUNCHER_EXIT_WAIT_MS}
    StrCpy $9 0
    ; EnumProcesses fills the list without a word when it is too small.
    StrCpy $2 ${VYN_PROCESS_LIST_BYTES}
    ${Do}
      System::Alloc $2
      Pop $1
      System::Call 'kernel32::K32EnumProcesses(p r1, i r2, *i .r3) i .r0'
      ${If} $0 = 0
        DetailPrint "The list of processes is not available: running launchers are not looked for"
        StrCpy $3 0
      ${EndIf}
      ${If} $3 < $2
        ${Break}
      ${EndIf}
      System::Free $1
      IntOp $2 $2 * 2
    ${Loop}
    IntOp $2 $3 / 4
    StrCpy $3 0
    ${DoWhile} $3 < $2
      IntOp $4 $3 * 4
      IntPtrOp $4 $1 + $4
      System::Call '*$4(i .r4)'
      ; SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION
      System::Call 'kernel32::OpenProcess(i 0x101000, i 0, i r4) p .r5'
      ${If} $5 P<> 0
        StrCpy $6 ""
        System::Call 'kernel32::QueryFullProcessImageNameW(p r5, i 0, w .r6, *i ${NSIS_MAX_STRLEN}) i .r0'
        ${If} $0 <> 0
          !insertmacro _VYN_FILE_ID "$6" $6
        ${EndIf}
        ${If} $6 == $8
          System::Call 'kernel32::GetTickCount() i .r0'
          IntOp $0 $7 - $0
          ${If} $0 < 0
            StrCpy $0 0
          ${EndIf}
          System::Call 'kernel32::WaitForSingleObject(p r5, i r0) i .r0'
          ${If} $0 <> 0
            ; PROCESS_TERMINATE, asked for only now: another user's launcher
            ; is still found above, and said to be left running below.
            System::Call 'kernel32::OpenProcess(i 1, i 0, i r4) p .r6 ?e'
            Pop $0
            ${If} $6 P<> 0
              System::Call 'kernel32::TerminateProcess(p r6, i 1) i .R0 ?e'
              Pop $0
              ${If} $R0 <> 0
                System::Call 'kernel32::WaitForSingleObject(p r5, i ${VYN_LAUNCHER_END_WAIT_MS}) i .r0'
              ${EndIf}
              System::Call 'kernel32::CloseHandle(p r6)'
            ${EndIf}
            ${If} $0 = 0
              DetailPrint "Ended ${VYN_LAUNCHER_FILENAME} (process $4)"
            ${Else}
              DetailPrint "${VYN_LAUNCHER_FILENAME} (process $4) cannot be ended (error $0); it may be another user's"
              IntOp $9 $9 + 1
            ${EndIf}
          ${EndIf}
        ${EndIf}
        System::Call 'kernel32::CloseHandle(p r5)'
      ${EndIf}
      IntOp $3 $3 + 1
    ${Loop}
    System::Free $1
    ; A running program's file cannot be opened for writing: this finds a
    ; launcher of a process that could not even be looked at. The lock of
    ; one just ended may outlive it a moment.
    ${If} $9 = 0
      StrCpy $2 0
      ${Do}
        System::Call 'kernel32::SetLastError(i 0)'
        ; GENERIC_WRITE, shared every way, OPEN_EXISTING
        System::Call 'kernel32::CreateFileW(w "$INSTDIR\${VYN_LAUNCHER_FILENAME}", i 0x40000000, i 7, p 0, i 3, i 0, p 0) p .r0 ?e'
        Pop $9
        System::Call 'kernel32::CloseHandle(p r0)'
        ${If} $9 <> 32
        ${OrIf} $2 >= ${VYN_LAUNCHER_END_WAIT_MS}
          ${Break}
        ${EndIf}
        Sleep 250
        IntOp $2 $2 + 250
      ${Loop}
      ${If} $9 = 32
        DetailPrint "${VYN_LAUNCHER_FILENAME} is in use by a process this installer cannot end"
        StrCpy $9 1
      ${Else}
        StrCpy $9 0
      ${EndIf}
    ${EndIf}
    ${If} $9 = 0
      ${Break}
    ${EndIf}
    StrCpy $0 cancel
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "${VYN_LAUNCHER_LOCKED_TEXT}" /SD IDCANCEL IDCANCEL +2
    StrCpy $0 retry
    ${If} $0 == cancel
      DetailPrint "Cancelled: ${VYN_LAUNCHER_FILENAME} is still running"
      SetErrorLevel 5
      Quit
    ${EndIf}
  ${Loop}
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $R0
  Pop $9
  Pop $8
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

; One-click and silent installers have settled the folder by .onInit and
; ask nothing more. An assisted one still shows its pages: there the
; launchers are ended once the user has chosen the folder and started the
; installation, below; cancelling before that ends nothing.
!macro customInit
  !ifdef ONE_CLICK
    !insertmacro VYN_END_RUNNING_LAUNCHERS
  !else
    ${If} ${Silent}
      !insertmacro VYN_END_RUNNING_LAUNCHERS
    ${EndIf}
  !endif
!macroend

; electron-builder inserts this after its directory page, just before the
; installation page, whose PRE function (its own, completing the chosen
; folder) stays; this adds the page's SHOW function, which runs with $INSTDIR
; final and before the installation's first step. A project's own page goes
; into VYN_PAGE_AFTER_CHANGE_DIR.
!macro customPageAfterChangeDir
  !ifmacrodef VYN_PAGE_AFTER_CHANGE_DIR
    !insertmacro VYN_PAGE_AFTER_CHANGE_DIR
  !endif
  !ifndef ONE_CLICK
    Function VynEndLaunchersBeforeInstalling
      !insertmacro VYN_END_RUNNING_LAUNCHERS
    FunctionEnd
    !define MUI_PAGE_CUSTOMFUNCTION_SHOW VynEndLaunchersBeforeInstalling
  !endif
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
  ; What the installer starts after finishing (one-click, the finish page's
  ; Run, --force-run after a silent update): electron-builder names the
  ; Start-menu shortcut, or VYN.exe when there is none (no such shortcut
  ; configured, or the user deleted it). The launcher, always.
  StrCpy $launchLink "${VYN_SHORTCUT_TARGET}"
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
