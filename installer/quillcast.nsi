; The Quillcast installer: a per-user install that needs no administrator.
;   program      %LOCALAPPDATA%\Programs\Quillcast
;   settings     %APPDATA%\Quillcast (common.cfg, shared.cfg, and downloads.cfg once a
;                download completes), created here and kept on uninstall; every shortcut
;                starts in it, so the server, the Send to entry and the control panel all
;                use the same files
;   shortcuts    Send to "Quillcast"; Start menu folder "Quillcast" with "Quillcast",
;                "Quillcast control panel" and "Stop Quillcast"; "start with Windows"
;   options      "Hide the icon in the notification area" (unticked; /NOICON ticks it for
;                a silent install: setup.exe /S /NOICON)
;
; Built by CMake (target "packages"), which passes VERSION, VERSION_MAJOR, VERSION_MINOR,
; EXE, ICON, LICENSE_FILE and OUTFILE. Debian's wine64 runs only 64-bit programs, and a
; 64-bit Windows runs either, so the installer itself is a 64-bit program.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestSupportedOS all

!include "LogicLib.nsh"
!include "FileFunc.nsh"
!include "Sections.nsh"

!define PRODUCT "Quillcast"
!define PUBLISHER "Quillcast developers"
!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillcast"
!define DATA_DIR "$APPDATA\Quillcast"
; The program's own settings that are not in common.cfg (so that an update never touches
; that file's bytes): NotificationIcon, a DWORD, 0 hides the icon in the notification area.
!define SETTINGS_KEY "Software\Quillcast"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\Quillcast"
InstallDirRegKey HKCU "${UNINST_KEY}" "InstallLocation"
Icon "${ICON}"
UninstallIcon "${ICON}"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "Copyright (c) 2026 ${PUBLISHER}, MIT License"

LicenseData "${LICENSE_FILE}"
Page license
Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; A running server holds quillcast.exe open and keeps its settings in memory: it is asked
; to stop exactly as "quillcast.exe -stop" asks (its stop event), and awaited until its
; single-instance mutex is gone. Nothing is asked of a server that is not running, so no
; message box can stop a silent run.
!macro DEFINE_STOP_SERVER prefix
Function ${prefix}StopRunningServer
  System::Call 'kernel32::OpenEventW(i 0x1F0003, i 0, w "$$QuillcastEventExitProgramm$$") p .r0'
  ${If} $0 == 0
    Return
  ${EndIf}
  DetailPrint "Stopping the running Quillcast server"
  System::Call 'kernel32::SetEvent(p r0)'
  System::Call 'kernel32::CloseHandle(p r0)'
  ; Up to 20 s: the server first closes every client connection.
  StrCpy $1 0
  ${Do}
    System::Call 'kernel32::OpenMutexW(i 0x00100000, i 0, w "QuillcastOneCopyAtTime") p .r2'
    ${If} $2 == 0
      ${Break}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r2)'
    Sleep 100
    IntOp $1 $1 + 1
  ${LoopUntil} $1 >= 200
  ; The mutex goes just before the process ends; the program file is free once it has.
  StrCpy $1 0
  ${Do}
    ClearErrors
    Delete "$INSTDIR\quillcast.exe"
    ${IfNot} ${FileExists} "$INSTDIR\quillcast.exe"
      ${Break}
    ${EndIf}
    Sleep 100
    IntOp $1 $1 + 1
  ${LoopUntil} $1 >= 50
FunctionEnd
!macroend
!insertmacro DEFINE_STOP_SERVER ""
!insertmacro DEFINE_STOP_SERVER "un."

Function .onInit
  SetShellVarContext current
  Call PreselectIconChoice
FunctionEnd

Function un.onInit
  SetShellVarContext current
FunctionEnd

Section "Quillcast" SecProgram
  SectionIn RO
  Call StopRunningServer

  SetOutPath "$INSTDIR"
  File "/oname=quillcast.exe" "${EXE}"
  File "/oname=LICENSE.txt" "${LICENSE_FILE}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; The data folder, and settings that make the first Send to put a working link on the
  ; clipboard: port 80, the first address of this machine (hostChoice 1), "Copy to
  ; clipboard" set, no domain, no default folder. An existing file is the user's.
  CreateDirectory "${DATA_DIR}"
  ${IfNot} ${FileExists} "${DATA_DIR}\common.cfg"
    FileOpen $0 "${DATA_DIR}\common.cfg" w
    ; magic "QC"
    FileWriteByte $0 0x51
    FileWriteByte $0 0x43
    ; port 80
    FileWriteByte $0 0x50
    FileWriteByte $0 0x00
    ; hostChoice 1
    FileWriteByte $0 0x01
    FileWriteByte $0 0x00
    ; flags: CopyUrlAfterShare
    FileWriteByte $0 0x02
    FileWriteByte $0 0x00
    ; no domain, no default folder
    FileWriteByte $0 0x00
    FileWriteByte $0 0x00
    FileWriteByte $0 0x00
    FileWriteByte $0 0x00
    FileClose $0
  ${EndIf}

  ; A shortcut's working directory is the output path when it is created.
  SetOutPath "${DATA_DIR}"
  CreateShortCut "$SENDTO\Quillcast.lnk" "$INSTDIR\quillcast.exe" "" \
      "$INSTDIR\quillcast.exe" 0 SW_SHOWNORMAL "" "Share the selected files with Quillcast"
  CreateDirectory "$SMPROGRAMS\Quillcast"
  CreateShortCut "$SMPROGRAMS\Quillcast\Quillcast.lnk" "$INSTDIR\quillcast.exe" "" \
      "$INSTDIR\quillcast.exe" 0 SW_SHOWNORMAL "" "Start the Quillcast server"
  CreateShortCut "$SMPROGRAMS\Quillcast\Quillcast control panel.lnk" "$INSTDIR\quillcast.exe" \
      "-ui" "$INSTDIR\quillcast.exe" 0 SW_SHOWNORMAL "" "Open the control panel of the running server"
  CreateShortCut "$SMPROGRAMS\Quillcast\Stop Quillcast.lnk" "$INSTDIR\quillcast.exe" "-stop" \
      "$INSTDIR\quillcast.exe" 0 SW_SHOWNORMAL "" "Stop the running Quillcast server"
  ; Recreated below when "Start with Windows" stays chosen.
  Delete "$SMSTARTUP\Quillcast.lnk"
  ; Written again below when the icon stays hidden.
  DeleteRegValue HKCU "${SETTINGS_KEY}" "NotificationIcon"

  WriteRegStr HKCU "${UNINST_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINST_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINST_KEY}" "DisplayIcon" "$INSTDIR\quillcast.exe,0"
  WriteRegStr HKCU "${UNINST_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINST_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINST_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINST_KEY}" "VersionMajor" ${VERSION_MAJOR}
  WriteRegDWORD HKCU "${UNINST_KEY}" "VersionMinor" ${VERSION_MINOR}
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINST_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINST_KEY}" "EstimatedSize" $0
SectionEnd

Section "Start with Windows" SecStartup
  SetOutPath "${DATA_DIR}"
  CreateShortCut "$SMSTARTUP\Quillcast.lnk" "$INSTDIR\quillcast.exe" "" \
      "$INSTDIR\quillcast.exe" 0 SW_SHOWNORMAL "" "Start the Quillcast server"
SectionEnd

; Unticked: the icon tells the user that the server runs and that a link was copied. The
; server reads the choice when it starts.
Section /o "Hide the icon in the notification area" SecNoIcon
  WriteRegDWORD HKCU "${SETTINGS_KEY}" "NotificationIcon" 0
SectionEnd

; An update (silent ones included) keeps the user's choice: the option starts ticked when
; the icon is hidden now, or when the command line says /NOICON (for silent installs).
Function PreselectIconChoice
  ClearErrors
  ReadRegDWORD $0 HKCU "${SETTINGS_KEY}" "NotificationIcon"
  ${IfNot} ${Errors}
  ${AndIf} $0 = 0
    SectionSetFlags ${SecNoIcon} ${SF_SELECTED}
  ${EndIf}
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/NOICON" $2
  ${IfNot} ${Errors}
    SectionSetFlags ${SecNoIcon} ${SF_SELECTED}
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.StopRunningServer
  Delete "$SENDTO\Quillcast.lnk"
  Delete "$SMSTARTUP\Quillcast.lnk"
  Delete "$SMPROGRAMS\Quillcast\Quillcast.lnk"
  Delete "$SMPROGRAMS\Quillcast\Quillcast control panel.lnk"
  Delete "$SMPROGRAMS\Quillcast\Stop Quillcast.lnk"
  RMDir "$SMPROGRAMS\Quillcast"
  Delete "$INSTDIR\quillcast.exe"
  Delete "$INSTDIR\LICENSE.txt"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINST_KEY}"
  ; The data folder (settings and share list) and the icon choice stay: they are the
  ; user's.
SectionEnd
