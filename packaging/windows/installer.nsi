; The host's installer: installs the package folder and an application's
; init.dat per user, under the user's local programs folder, so that the
; working directory (and the log written there) is the user's own and no
; administrator rights are needed. One installation per APP_NAME: a second
; run upgrades it in place, or moves it when given another folder. Pages in
; English and Russian (the user's language picks). makensis defines:
;   STAGE     the package folder (qsnclient.exe, qsnpack.exe, lib\...)
;   INIT_DAT  the application's init.dat
;   OUTFILE   the installer to write
;   VERSION   the version, three numbers (x.y.z)
;   ICON      the installer's icon (.ico)
;   APP_NAME  the name of the folder, shortcut and uninstall entry (optional)
;   APP_ARGS  the command line the shortcut gives the host (optional)
;   SIGN      a command that signs the file named by its last argument in
;             place, for the installer and the uninstaller (optional)
; Exit codes of a silent run (/S) that refuses: 2 the folder (under Program
; Files, or no full folder name), 3 the application is running from the
; folder.
Unicode true
Target amd64-unicode
RequestExecutionLevel user
SetCompressor /SOLID lzma
ManifestDPIAware true
; A drive's root is allowed, with a warning (WarnDriveRoot): refused by
; NSIS itself, a silent run would install into the default folder instead.
AllowRootDirInstall true

!include MUI2.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!ifndef APP_NAME
  !define APP_NAME "qsnclient"
!endif
!ifndef APP_ARGS
  !define APP_ARGS ""
!endif
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${APP_NAME}"
!define PUBLISHER "qsnclient maintainers"
!define EXIT_FOLDER_REFUSED 2
!define EXIT_RUNNING 3

!ifdef SIGN
  !finalize '${SIGN} "%1"' = 0
  !uninstfinalize '${SIGN} "%1"' = 0
!endif

Name "${APP_NAME}"
OutFile "${OUTFILE}"
InstallDir "$LOCALAPPDATA\Programs\${APP_NAME}"
; The folder of the installation there is, to upgrade it in place.
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_FUNCTION RunNow
!insertmacro MUI_PAGE_FINISH
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"
!insertmacro MUI_LANGUAGE "Russian"

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductName" "${APP_NAME}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "FileDescription" "${APP_NAME} installer"
VIAddVersionKey /LANG=${LANG_ENGLISH} "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=${LANG_ENGLISH} "LegalCopyright" "Copyright 2026 ${PUBLISHER}"

LangString MsgProgramFiles ${LANG_ENGLISH} "$R0 is under Program Files, where its users cannot write: the application's log could not be written there. Choose a folder of your own, such as $LOCALAPPDATA\Programs\${APP_NAME}."
LangString MsgProgramFiles ${LANG_RUSSIAN} "Папка $R0 находится в Program Files, куда пользователи не могут писать: журнал приложения там не будет записан. Выберите свою папку, например $LOCALAPPDATA\Programs\${APP_NAME}."
LangString MsgRunning ${LANG_ENGLISH} "${APP_NAME} is running from $R0. Close it, then choose Retry."
LangString MsgRunning ${LANG_RUSSIAN} "${APP_NAME} запущен из папки $R0. Закройте его и нажмите «Повтор»."
LangString MsgRunningSilent ${LANG_ENGLISH} "${APP_NAME} is running from $R0: close it and run this again."
LangString MsgRunningSilent ${LANG_RUSSIAN} "${APP_NAME} запущен из папки $R0: закройте его и запустите это снова."
LangString MsgNotAFolder ${LANG_ENGLISH} "$R4 is no full folder name (such as C:\Apps\${APP_NAME}): nothing was installed."
LangString MsgNotAFolder ${LANG_RUSSIAN} "$R4 — не полное имя папки (например, C:\Apps\${APP_NAME}): ничего не установлено."
LangString MsgDriveRoot ${LANG_ENGLISH} "$R0 is the root of a drive: the application's files and its log would lie among everything else there. Install there all the same?"
LangString MsgDriveRoot ${LANG_RUSSIAN} "$R0 — корень диска: файлы приложения и его журнал окажутся там среди всего остального. Всё равно установить туда?"
LangString MsgDriveRootSilent ${LANG_ENGLISH} "warning: installing into $R0, the root of a drive"
LangString MsgDriveRootSilent ${LANG_RUSSIAN} "предупреждение: установка в $R0, корень диска"

; The helpers below serve the installer and the uninstaller alike; NSIS
; wants a copy of each for the uninstaller, whose names start with "un.".
!macro Helpers un
; $R0 -> $R0: the folder's full name, long names in place of 8.3 ones
; ("C:\PROGRA~1\x" -> "C:\Program Files\x"), also when its last parts do not
; exist yet.
Function ${un}LongName
  Push $0
  Push $R1
  Push $R2
  Push $R3
  System::Call 'kernel32::GetFullPathNameW(w R0, i ${NSIS_MAX_STRLEN}, w .R1, p 0) i .R3'
  ${If} $R3 = 0
    Goto done
  ${EndIf}
  StrCpy $R0 $R1
  StrCpy $R2 ""
  ${Do}
    System::Call 'kernel32::GetLongPathNameW(w R1, w .R3, i ${NSIS_MAX_STRLEN}) i .r0'
    ${If} $0 <> 0
      StrCpy $R0 "$R3$R2"
      ${Break}
    ${EndIf}
    ${GetParent} $R1 $R3
    ${If} $R3 == ""
      ${Break}
    ${EndIf}
    ${GetFileName} $R1 $0
    StrCpy $R2 "\$0$R2"
    StrCpy $R1 $R3
  ${Loop}
  done:
  Pop $R3
  Pop $R2
  Pop $R1
  Pop $0
FunctionEnd

; $R0: a folder. $0 -> 1 when qsnclient.exe in it is running (Windows does
; not let a running program's file be opened for writing), else 0.
Function ${un}IsRunning
  StrCpy $0 0
  ${If} ${FileExists} "$R0\qsnclient.exe"
    ClearErrors
    FileOpen $1 "$R0\qsnclient.exe" a
    ${If} ${Errors}
      StrCpy $0 1
    ${Else}
      FileClose $1
    ${EndIf}
  ${EndIf}
FunctionEnd

; $0: a line for whoever started a silent run from a console, on its
; standard error; nothing where there is none.
Function ${un}ToStdErr
  System::Call 'kernel32::GetStdHandle(i -12) p .r1'
  ${If} $1 P<> 0
  ${AndIf} $1 P<> -1
    FileWrite $1 "$0$\r$\n"
  ${EndIf}
FunctionEnd

; $R0: a folder. Waits, asking, for the application running from it to
; end: $0 -> 0 once it has, 1 when the user gave up. A silent run ends
; with EXIT_RUNNING instead.
Function ${un}WaitNotRunning
  ${Do}
    Call ${un}IsRunning
    ${If} $0 = 0
      Return
    ${EndIf}
    ${If} ${Silent}
      StrCpy $0 "$(MsgRunningSilent)"
      Call ${un}ToStdErr
      SetErrorLevel ${EXIT_RUNNING}
      Quit
    ${EndIf}
    MessageBox MB_RETRYCANCEL|MB_ICONEXCLAMATION "$(MsgRunning)" IDRETRY +2
    Return
  ${Loop}
FunctionEnd
!macroend
!insertmacro Helpers ""
!insertmacro Helpers "un."

; $R0 -> $R0: the folder chosen, by its long name; $0 -> 1 when it is
; refused (under Program Files), after showing or printing why.
Function CheckFolder
  StrCpy $R0 $INSTDIR
  Call LongName
  StrCpy $0 0
  ${ForEach} $1 0 1 + 1
    ${If} $1 = 0
      StrCpy $2 $PROGRAMFILES64
    ${Else}
      StrCpy $2 $PROGRAMFILES32
    ${EndIf}
    StrLen $3 $2
    StrCpy $4 $R0 $3
    StrCpy $5 $R0 1 $3
    ; StrCmp, which == is, ignores case, as Windows' names do.
    ${If} $4 == $2
      ${If} $5 == ""
      ${OrIf} $5 == "\"
        StrCpy $0 1
      ${EndIf}
    ${EndIf}
  ${Next}
  ${If} $0 = 1
    ${If} ${Silent}
      Push $0
      StrCpy $0 "$(MsgProgramFiles)"
      Call ToStdErr
      Pop $0
    ${Else}
      MessageBox MB_OK|MB_ICONSTOP "$(MsgProgramFiles)"
    ${EndIf}
  ${EndIf}
FunctionEnd

; $R0: the folder chosen. $0 -> 1 when it is a drive's root and the user
; would rather choose another; a silent run goes on, with a warning.
Function WarnDriveRoot
  StrCpy $0 0
  StrLen $1 $R0
  StrCpy $2 $R0 1 1
  ${If} $1 <= 3
  ${AndIf} $2 == ":"
    ${If} ${Silent}
      StrCpy $0 "$(MsgDriveRootSilent)"
      Call ToStdErr
      StrCpy $0 0
    ${Else}
      MessageBox MB_YESNO|MB_ICONEXCLAMATION "$(MsgDriveRoot)" IDYES +2
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
FunctionEnd

; $0 -> 1 when the command line's /D= names a folder NSIS did not take (it
; would install into the default folder instead, silently), after saying
; so. The command line as given: NSIS cuts /D= off its own copy.
Function CheckRequested
  StrCpy $0 0
  System::Call 'kernel32::GetCommandLineW() w .R4'
  StrLen $1 $R4
  ${ForEach} $2 0 $1 + 1
    StrCpy $3 $R4 4 $2
    ${If} $3 S== " /D="
      IntOp $2 $2 + 4
      StrCpy $R4 $R4 "" $2
      StrCpy $R0 $R4
      Call LongName
      StrCpy $R5 $R0
      StrCpy $R0 $INSTDIR
      Call LongName
      ${If} $R0 != $R5
        StrCpy $0 "$(MsgNotAFolder)"
        Call ToStdErr
        StrCpy $0 1
      ${EndIf}
      ${Break}
    ${EndIf}
  ${Next}
FunctionEnd

; What the directory page's Next and a silent run check alike: the folder,
; the drive's root, the application running from the folder or from the
; folder of the installation there is. $0 -> 1 to stay on the page.
Function CheckChoice
  Call CheckFolder
  ${If} $0 = 1
    ${If} ${Silent}
      SetErrorLevel ${EXIT_FOLDER_REFUSED}
      Quit
    ${EndIf}
    Return
  ${EndIf}
  Call WarnDriveRoot
  ${If} $0 = 1
    Return
  ${EndIf}
  StrCpy $INSTDIR $R0
  Call WaitNotRunning
  ${If} $0 = 1
    Return
  ${EndIf}
  ReadRegStr $R0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $R0 != ""
    Call WaitNotRunning
  ${EndIf}
FunctionEnd

Function .onInit
  ${If} ${Silent}
    Call CheckRequested
    ${If} $0 = 1
      SetErrorLevel ${EXIT_FOLDER_REFUSED}
      Quit
    ${EndIf}
    Call CheckChoice
  ${EndIf}
FunctionEnd

Function DirectoryLeave
  Call CheckChoice
  ${If} $0 = 1
    Abort
  ${EndIf}
FunctionEnd

; The finish page's "run": in the installed folder, as the shortcut runs it.
Function RunNow
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\qsnclient.exe" ${APP_ARGS}'
FunctionEnd

; The installation there is, when it lies in another folder, is removed by
; its own uninstaller first: one installation, one shortcut, one entry.
Function RemoveOtherInstallation
  ReadRegStr $R0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $R0 == ""
  ${OrIf} $R0 == $INSTDIR
  ${OrIfNot} ${FileExists} "$R0\uninstall.exe"
    Return
  ${EndIf}
  ; A drive's root is kept as "R:": names in it are made with a "\", and
  ; the uninstaller, which takes "R:" for the current folder there, is
  ; given "R:\".
  StrCpy $R1 $R0
  StrCpy $R2 $R1 "" -1
  ${If} $R2 == "\"
    StrCpy $R1 $R1 -1
  ${EndIf}
  StrCpy $R2 $R1
  StrCpy $R3 $R1 "" -1
  ${If} $R3 == ":"
    StrCpy $R2 "$R1\"
  ${EndIf}
  DetailPrint "$R2 -> $INSTDIR"
  ExecWait '"$R1\uninstall.exe" /S _?=$R2'
  ; Run in place, the uninstaller cannot remove itself.
  Delete "$R1\uninstall.exe"
  RMDir "$R2"
FunctionEnd

Section
  SetShellVarContext current
  Call RemoveOtherInstallation
  SetOutPath "$INSTDIR"
  File /r "${STAGE}/*"
  File "/oname=init.dat" "${INIT_DAT}"
  WriteUninstaller "$INSTDIR\uninstall.exe"

  ; A shortcut's working directory is the output path at its creation.
  SetOutPath "$INSTDIR"
  CreateShortCut "$SMPROGRAMS\${APP_NAME}.lnk" "$INSTDIR\qsnclient.exe" "${APP_ARGS}"

  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${APP_NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\qsnclient.exe,0"
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Function un.onInit
  StrCpy $R0 $INSTDIR
  Call un.WaitNotRunning
  ${If} $0 = 1
    Quit
  ${EndIf}
FunctionEnd

; Removes what the installer put there and the host's log, by name: the
; folder may have been chosen by the user and hold other files. The
; shortcut and the entry go only with the installation they name: a copy
; of the folder uninstalled leaves them to the installation.
Section "Uninstall"
  SetShellVarContext current
  Delete "$INSTDIR\qsnclient.exe"
  Delete "$INSTDIR\qsnpack.exe"
  Delete "$INSTDIR\init.dat"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\qsnclient.log"
  Delete "$INSTDIR\qsnclient.log.1"
  RMDir /r "$INSTDIR\lib\tcl8.5"
  RMDir /r "$INSTDIR\lib\tcl8"
  RMDir /r "$INSTDIR\lib\tk8.6"
  RMDir "$INSTDIR\lib"
  Delete "$INSTDIR\uninstall.exe"
  RMDir "$INSTDIR"

  ReadRegStr $R0 HKCU "${UNINSTALL_KEY}" "InstallLocation"
  Call un.LongName
  StrCpy $R1 $R0
  StrCpy $R0 $INSTDIR
  Call un.LongName
  ${If} $R0 == $R1
    Delete "$SMPROGRAMS\${APP_NAME}.lnk"
    DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${EndIf}
SectionEnd
