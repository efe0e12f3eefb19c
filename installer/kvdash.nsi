; The kvdash installer for Windows: the app folder that
; scripts/build-windows-installer.sh prepares (kvdash-dashboard.exe and
; CPython for Windows under runtime\), for one user, with no administrator.
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
!define EXE "kvdash-dashboard.exe"
!define MENU "$SMPROGRAMS\kvdash"
; The Start-menu and Startup shortcuts are named once, for the uninstaller too.
!define DASHBOARD_LINK "kvdash dashboard.lnk"
!define DEMO_LINK "kvdash demo.lnk"

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
!define MUI_FINISHPAGE_RUN_PARAMETERS "--source demo"
!define MUI_FINISHPAGE_RUN_TEXT "Run the kvdash demo"
!define MUI_FINISHPAGE_RUN_NOTCHECKED
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
  ; An older version's interpreter and packages go first, so that no stale
  ; module shadows a new one; only when the folder is ours.
  IfFileExists "$INSTDIR\${EXE}" 0 +2
    RMDir /r "$INSTDIR\runtime"
  File /r "${APP_DIR}\*"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; Shortcuts start in the app folder (SetOutPath above).
  CreateDirectory "${MENU}"
  CreateShortcut "${MENU}\${DASHBOARD_LINK}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0 \
    SW_SHOWNORMAL "" "Drive the display from every supported game at once"
  CreateShortcut "${MENU}\${DEMO_LINK}" "$INSTDIR\${EXE}" "--source demo" "$INSTDIR\${EXE}" 0 \
    SW_SHOWNORMAL "" "A demo lap, with or without a display"

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

; Off unless chosen: the dashboard, minimised, each time the user signs in.
Section /o "Start with Windows" SecStartup
  SetShellVarContext current
  CreateShortcut "$SMSTARTUP\${DASHBOARD_LINK}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0 \
    SW_SHOWMINIMIZED "" "Drive the display from every supported game at once"
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
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  Delete "$SMSTARTUP\${DASHBOARD_LINK}"
  Delete "${MENU}\${DASHBOARD_LINK}"
  Delete "${MENU}\${DEMO_LINK}"
  RMDir "${MENU}"
  Delete "$INSTDIR\${EXE}"
  Delete "$INSTDIR\LICENSE.txt"
  RMDir /r "$INSTDIR\runtime"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
SectionEnd
