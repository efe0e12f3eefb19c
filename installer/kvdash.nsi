; The kvdash installer for Windows: the app folder that
; scripts/build-windows-installer.sh prepares (kvdash.exe, kvdash-dashboard.exe
; and CPython for Windows under runtime\), for one user, with no administrator.
; Switches: /S silent, /D=<folder> (last, unquoted), /STARTUP with /S.
; Defined on makensis's command line: VERSION, VI_VERSION (four numbers),
; APP_DIR (the folder), OUT_FILE, SIZE_KB.

Unicode true
; The default 32-bit stub exits 0 and installs nothing under a 64-bit-only
; Wine; the app is 64-bit anyway.
Target amd64-unicode
SetCompressor /SOLID lzma

!define APP "kvdash"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\kvdash"
!define EXE "kvdash.exe"
!define CONSOLE_EXE "kvdash-dashboard.exe"
!define MENU "$SMPROGRAMS\kvdash"
; The Start-menu shortcuts are named once, for the uninstaller too.
!define APP_LINK "kvdash.lnk"
!define DEMO_LINK "kvdash demo.lnk"
; What versions before the notification-area app made: removed on the way.
!define OLD_LINK "kvdash dashboard.lnk"
; Start with Windows, as kvdash.exe's menu sets it.
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"

Name "${APP} ${VERSION}"
OutFile "${OUT_FILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\kvdash"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${APP} ${VERSION}"

VIProductVersion "${VI_VERSION}"
VIAddVersionKey "ProductName" "${APP}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "FileDescription" "${APP} ${VERSION} setup"
VIAddVersionKey "LegalCopyright" "MIT licence"

!include "MUI2.nsh"
!include "FileFunc.nsh"

!define MUI_COMPONENTSPAGE_NODESC
!define MUI_FINISHPAGE_RUN "$INSTDIR\${EXE}"
!define MUI_FINISHPAGE_RUN_TEXT "Start kvdash now"
!insertmacro MUI_PAGE_LICENSE "${APP_DIR}\LICENSE.txt"
!insertmacro MUI_PAGE_COMPONENTS
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

Section "kvdash" SecApp
  SectionIn RO
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  ; A running kvdash.exe holds its files: it ends first, as its Quit does.
  IfFileExists "$INSTDIR\${EXE}" 0 +2
    ExecWait '"$INSTDIR\${EXE}" --quit'
  ; An older version's interpreter and packages go next, so that no stale
  ; module shadows a new one; only when the folder is ours.
  IfFileExists "$INSTDIR\${CONSOLE_EXE}" 0 +2
    RMDir /r "$INSTDIR\runtime"
  File /r "${APP_DIR}\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Shortcuts start in the app folder (SetOutPath above).
  CreateDirectory "${MENU}"
  Delete "${MENU}\${OLD_LINK}"
  Delete "$SMSTARTUP\${OLD_LINK}"
  CreateShortcut "${MENU}\${APP_LINK}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0 \
    SW_SHOWNORMAL "" "Drive the display from every supported game, from the notification area"
  CreateShortcut "${MENU}\${DEMO_LINK}" "$INSTDIR\${CONSOLE_EXE}" "--source demo" \
    "$INSTDIR\${CONSOLE_EXE}" 0 SW_SHOWNORMAL "" "A demo lap, with or without a display"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "kvdash"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" ${SIZE_KB}
SectionEnd

; Off unless chosen: kvdash.exe, in the notification area, each time the user
; signs in (the same value its menu's "Start with Windows" sets).
Section /o "Start with Windows" SecStartup
  WriteRegStr HKCU "${RUN_KEY}" "${APP}" '"$INSTDIR\${EXE}"'
SectionEnd

; /STARTUP chooses "Start with Windows" for a silent install (/S), which
; shows no page to choose it on.
Function .onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/STARTUP" $R1
  IfErrors +2
    SectionSetFlags ${SecStartup} ${SF_SELECTED}
FunctionEnd

; What the installer put there, and nothing else: settings and best laps
; (%APPDATA%\kvdash, %LOCALAPPDATA%\kvdash) stay, as does anything the user
; saved into the folder (then the folder stays too).
; The folder goes last: a silent uninstaller returns at once, and a caller
; waits for the folder to go.
Section "Uninstall"
  SetShellVarContext current
  ; A running kvdash.exe holds its files: it ends first, as its Quit does.
  IfFileExists "$INSTDIR\${EXE}" 0 +2
    ExecWait '"$INSTDIR\${EXE}" --quit'
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegValue HKCU "${RUN_KEY}" "${APP}"
  Delete "$SMSTARTUP\${OLD_LINK}"
  Delete "${MENU}\${OLD_LINK}"
  Delete "${MENU}\${APP_LINK}"
  Delete "${MENU}\${DEMO_LINK}"
  RMDir "${MENU}"
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\${CONSOLE_EXE}"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\README.txt"
  RMDir /r "$INSTDIR\runtime"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
