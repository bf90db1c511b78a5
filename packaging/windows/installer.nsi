; The host's installer: installs the package folder and an application's
; init.dat per user, under the user's local programs folder, so that the
; working directory (and the log written there) is the user's own and no
; administrator rights are needed. makensis defines:
;   STAGE     the package folder (qsnclient.exe, qsnpack.exe, lib\...)
;   INIT_DAT  the application's init.dat
;   OUTFILE   the installer to write
;   APP_NAME  the name of the folder, shortcut and uninstall entry (optional)
;   APP_ARGS  the command line the shortcut gives the host (optional)
Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma

!ifndef APP_NAME
  !define APP_NAME "qsnclient"
!endif
!ifndef APP_ARGS
  !define APP_ARGS ""
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP_NAME}"

Name "${APP_NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP_NAME}"

Page directory
Page instfiles

; The host writes its log into its folder: a folder under Program Files is
; not writable by its user, and the log would silently not exist. The
; Next button stays off for such a folder.
Function .onVerifyInstDir
  StrLen $0 "$PROGRAMFILES64"
  StrCpy $1 "$INSTDIR" $0
  StrCmp $1 "$PROGRAMFILES64" refuse
  StrLen $0 "$PROGRAMFILES32"
  StrCpy $1 "$INSTDIR" $0
  StrCmp $1 "$PROGRAMFILES32" refuse
  Return
  refuse:
    Abort
FunctionEnd
UninstPage uninstConfirm
UninstPage instfiles

Section
  SetShellVarContext current
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  File "/oname=init.dat" "${INIT_DAT}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; A shortcut's working directory is the output path at its creation.
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\${APP_NAME}.lnk" "$INSTDIR\qsnclient.exe" "${APP_ARGS}"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

; Removes what the installer put there and the host's log, by name: the
; folder may have been chosen by the user and hold other files.
Section "Uninstall"
  SetShellVarContext current
  Delete "$SMPROGRAMS\${APP_NAME}.lnk"
  Delete "$INSTDIR\qsnclient.exe"
  Delete "$INSTDIR\qsnpack.exe"
  Delete "$INSTDIR\init.dat"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\qsnclient.log"
  RMDir /r "$INSTDIR\lib\tcl8.5"
  RMDir /r "$INSTDIR\lib\tcl8"
  RMDir /r "$INSTDIR\lib\tk8.6"
  RMDir "$INSTDIR\lib"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
SectionEnd
