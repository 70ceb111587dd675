; QuibrixInstall.exe, the Windows installer of Quibrix, and the uninstaller it writes. Built by
; scripts/package, which gives makensis:
;   QUIBRIX_PAYLOAD    the files to install: Quibrix.dll, and quibrix.exe and plugins\*.dll when
;                      they were built
;   QUIBRIX_GENERATED  the build tree's generated folder (quibrix_version.nsh)
;   QUIBRIX_OUTFILE    the installer to write
;   QUIBRIX_RESTART_TOOL  restart_explorer.exe, run from the temporary folder, never installed
;
; QuibrixInstall.exe /S installs without a window, /S /RESTARTEXPLORER restarts Explorer after
; it; "uninstall.exe" /S removes Quibrix without a window and keeps the tag data.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma

!include "${QUIBRIX_GENERATED}/quibrix_version.nsh"
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quibrix"
!define UNINSTALLER "uninstall.exe"
!define SHCNE_ASSOCCHANGED 0x08000000
!define MOVEFILE_DELAY_UNTIL_REBOOT 4

Name "Quibrix ${QUIBRIX_VERSION}"
; "QuibrixInstall.exe": the host rule knows Setup by this name and lets it register the module
; in its own process.
OutFile "${QUIBRIX_OUTFILE}"
InstallDir "$PROGRAMFILES64\Quibrix"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
BrandingText "Quibrix ${QUIBRIX_VERSION}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${QUIBRIX_VERSION_MAJOR}.${QUIBRIX_VERSION_MINOR}.${QUIBRIX_VERSION_PATCH}.0"
VIAddVersionKey "ProductName" "Quibrix"
VIAddVersionKey "ProductVersion" "${QUIBRIX_VERSION}"
VIAddVersionKey "FileVersion" "${QUIBRIX_VERSION}"
VIAddVersionKey "FileDescription" "Quibrix Setup"
VIAddVersionKey "CompanyName" "Quibrix"
VIAddVersionKey "LegalCopyright" "Quibrix"

!define MUI_ICON "${__FILEDIR__}/../resources/icons/tag_folder.ico"
!define MUI_UNICON "${__FILEDIR__}/../resources/icons/tag_folder.ico"
!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TEXT "Setup will install Quibrix ${QUIBRIX_VERSION}, tags for files and folders in Windows Explorer.$\r$\n$\r$\nAn installed Quibrix is upgraded in place. Explorer loads the new version when it starts again.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
; The details stay on screen: they say when Explorer held the module being replaced.
!define MUI_FINISHPAGE_NOAUTOCLOSE
; Explorer reads the overlay identifiers and a replaced module only when it starts.
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Restart Explorer now, so that it loads Quibrix"
!define MUI_FINISHPAGE_RUN_FUNCTION RestartExplorer
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!define MUI_UNFINISHPAGE_NOAUTOCLOSE
!insertmacro MUI_UNPAGE_FINISH

!insertmacro MUI_LANGUAGE "English"

; Explorer keeps Quibrix.dll and its plug-ins loaded: such a file can be neither overwritten nor
; deleted, but it can be renamed. The loaded copy moves aside under a temporary name in the
; same folder (removed at the next reboot, or by the next run of Setup) and the new file takes
; its place, to be loaded by Explorer's next start.
; In: the path on the stack. Out: on the stack, 1 when the path is free, 0 when it is not.
Function MoveAsideInUse
  Exch $R0
  Push $R1
  Delete "$R0"
  ${If} ${FileExists} "$R0"
    GetTempFileName $R1 "$INSTDIR"
    Delete "$R1"
    ClearErrors
    Rename "$R0" "$R1"
    ${If} ${Errors}
      DetailPrint "In use and cannot be moved aside: $R0"
    ${Else}
      DetailPrint "In use, replaced for Explorer's next start: $R0"
      System::Call 'kernel32::MoveFileExW(w R1, p 0, i ${MOVEFILE_DELAY_UNTIL_REBOOT})'
    ${EndIf}
  ${EndIf}
  ${If} ${FileExists} "$R0"
    StrCpy $R0 0
  ${Else}
    StrCpy $R0 1
  ${EndIf}
  Pop $R1
  Exch $R0
FunctionEnd

; Every plug-in of the installed copy, so that plug-ins dropped from this version go too.
Function MoveAsidePlugins
  Push $R0
  Push $R1
  FindFirst $R0 $R1 "$INSTDIR\plugins\*.dll"
  ${DoWhile} $R1 != ""
    Push "$INSTDIR\plugins\$R1"
    Call MoveAsideInUse
    Pop $R1
    FindNext $R0 $R1
  ${Loop}
  FindClose $R0
  Pop $R1
  Pop $R0
FunctionEnd

; Explorer restarts in the user's own context, never as a child of Setup, which is elevated:
; restart_explorer.exe has the Restart Manager restart the shell and the processes that hold
; the copies set aside above, or else the user's shell start a new Explorer, and starts
; nothing itself. When neither can be done, Explorer stays as it was and loads Quibrix when it
; next starts; Setup says so and ends with exit code 3.
Function RestartExplorer
  Push $0
  Push $1
  Push $2
  Push $3
  InitPluginsDir
  File "/oname=$PLUGINSDIR\restart_explorer.exe" "${QUIBRIX_RESTART_TOOL}"
  StrCpy $0 '"$PLUGINSDIR\restart_explorer.exe"'
  FindFirst $1 $2 "$INSTDIR\ns*.tmp"
  ${DoWhile} $2 != ""
    StrCpy $0 '$0 "$INSTDIR\$2"'
    FindNext $1 $2
  ${Loop}
  FindClose $1
  nsExec::ExecToLog $0
  Pop $3
  ${If} $3 != 0
    DetailPrint "Explorer was not restarted (code $3): it loads Quibrix when it next starts."
    MessageBox MB_ICONEXCLAMATION "Explorer could not be restarted. It loads Quibrix when it next starts: sign out and sign in again." /SD IDOK
    SetErrorLevel 3
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Function .onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Quibrix"
  SectionIn RO
  SetOutPath "$INSTDIR"
  ; Every user's Explorer, an administrator's too, loads Quibrix.dll and the plug-ins from here.
  ; A folder outside Program Files inherits its parent's rights (below C:\ any user may modify),
  ; so before anything is put in it, it gets the rights Program Files gives: only the system and
  ; administrators change it, users and app containers read and run it. Rights that an earlier
  ; install's files were given of their own are reset first, so that they inherit these.
  nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /reset /T /C /Q'
  Pop $0
  ${If} $0 == 0
    nsExec::ExecToLog '"$SYSDIR\icacls.exe" "$INSTDIR" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX *S-1-15-2-1:(OI)(CI)RX'
    Pop $0
  ${EndIf}
  ${If} $0 != 0
    MessageBox MB_ICONSTOP "The rights of $INSTDIR could not be set (icacls exit code $0)." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ; Copies set aside by an earlier upgrade, once Explorer has let them go.
  Delete "$INSTDIR\ns*.tmp"

  ; Unpacked under another name first, so that one copy serves both ways of putting it in place.
  File "/oname=Quibrix.dll.new" "${QUIBRIX_PAYLOAD}/Quibrix.dll"
  Push "$INSTDIR\Quibrix.dll"
  Call MoveAsideInUse
  Pop $0
  ${If} $0 == 1
    Rename "$INSTDIR\Quibrix.dll.new" "$INSTDIR\Quibrix.dll"
  ${Else}
    ; Held so that it cannot even be renamed: the new module takes its place at the next reboot.
    Rename /REBOOTOK "$INSTDIR\Quibrix.dll.new" "$INSTDIR\Quibrix.dll"
  ${EndIf}
  Push "$INSTDIR\quibrix.exe"
  Call MoveAsideInUse
  Pop $0
  !if /FileExists "${QUIBRIX_PAYLOAD}/quibrix.exe"
    File "${QUIBRIX_PAYLOAD}/quibrix.exe"
  !endif

  Call MoveAsidePlugins
  SetOutPath "$INSTDIR\plugins"
  !if /FileExists "${QUIBRIX_PAYLOAD}/plugins/*.dll"
    File "${QUIBRIX_PAYLOAD}/plugins/*.dll"
  !endif
  SetOutPath "$INSTDIR"

  WriteUninstaller "$INSTDIR\${UNINSTALLER}"

  ; The module's own DllRegisterServer, in this process, which the host rule knows by its name.
  ; A renamed copy of Setup is not known to it: the system's registration tool does it then.
  ClearErrors
  RegDLL "$INSTDIR\Quibrix.dll"
  ${If} ${Errors}
    ExecWait '"$SYSDIR\regsvr32.exe" /s "$INSTDIR\Quibrix.dll"' $0
    ${If} $0 != 0
      MessageBox MB_ICONSTOP "Quibrix.dll could not be registered (regsvr32 exit code $0)." /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}
  ${EndIf}

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Quibrix"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${QUIBRIX_VERSION}"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMajor" ${QUIBRIX_VERSION_MAJOR}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "VersionMinor" ${QUIBRIX_VERSION_MINOR}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Quibrix"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quibrix.dll,1"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  ; New Explorer windows find the folder; the running ones refresh their view of the namespace.
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i 0, p 0, p 0)'

  ; A silent install has no finish page: /RESTARTEXPLORER asks for its restart.
  ${If} ${Silent}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/RESTARTEXPLORER" $1
    ${IfNot} ${Errors}
      Call RestartExplorer
    ${EndIf}
  ${EndIf}
SectionEnd

Function un.onInit
  SetRegView 64
  SetShellVarContext all
FunctionEnd

Section "Uninstall"
  ; Unattended, the tag data stays: unregistration takes the answer from the environment and
  ; shows no question.
  ${If} ${Silent}
    System::Call 'kernel32::SetEnvironmentVariableW(w "QUIBRIX_REMOVE_TAG_DATA", w "no")'
  ${EndIf}
  ; Through the system's registration tool: the uninstaller runs from a copy of itself in the
  ; temporary folder ("Un.exe"), a process the host rule does not let the module load into.
  ExecWait '"$SYSDIR\regsvr32.exe" /s /u "$INSTDIR\Quibrix.dll"' $0
  ${If} $0 != 0
    DetailPrint "Quibrix.dll could not be unregistered (regsvr32 exit code $0)"
  ${EndIf}
  System::Call 'shell32::SHChangeNotify(i ${SHCNE_ASSOCCHANGED}, i 0, p 0, p 0)'

  ; A module still loaded by Explorer goes at the next reboot.
  Delete /REBOOTOK "$INSTDIR\Quibrix.dll"
  Delete "$INSTDIR\quibrix.exe"
  Delete /REBOOTOK "$INSTDIR\plugins\*.dll"
  RMDir /REBOOTOK "$INSTDIR\plugins"
  Delete /REBOOTOK "$INSTDIR\ns*.tmp"
  Delete "$INSTDIR\${UNINSTALLER}"
  RMDir /REBOOTOK "$INSTDIR"

  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
