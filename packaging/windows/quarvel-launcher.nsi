; The player's setup program for the Windows launcher.
;
; The launcher writes beside itself (its version file, the downloaded package, the game
; folder), so it is installed per user, without administrator rights, into a folder the
; player can write to, and every shortcut starts it with that folder as its working
; directory. packaging/windows/package.sh runs
;
;   makensis -DPRODUCT=build/quarvel-product.nsh -DFILES=files.nsh -DSIDEBAR=side.bmp
;            -DOUTFILE=setup.exe [-DSIGN=command] quarvel-launcher.nsi
;
; PRODUCT defines VERSION, PUBLISHER, COPYRIGHT and ICON (the build writes it); FILES
; defines the macros INSTALL_FILES and REMOVE_FILES for the launcher's folder; SIDEBAR is
; the 164 by 314 picture of the welcome and finish pages; SIGN, when given, signs a file
; in place and is run on the uninstaller and on the setup program.
;
; Silent use: setup.exe /S [/DESKTOP] [/D=folder]  and  uninstall.exe /S

; The launcher is a 64-bit program, and so is its setup program.
Target amd64-unicode
!include "${PRODUCT}"
!include "${FILES}"
!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include TextFunc.nsh

!define NAME "Quarvel Launcher"
!define EXE "quarvel-launcher.exe"
!define UNINSTALLER "uninstall.exe"
!define SHORTCUT "${NAME}.lnk"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\QuarvelLauncher"

Name "${NAME}"
; makensis warns of "setup" in the file's name, which makes Windows apply its installer
; heuristics; the manifest's execution level (user, below) already settles what they
; would guess, and players look for a setup program by that name.
!pragma warning disable 9000
OutFile "${OUTFILE}"
RequestExecutionLevel user
ManifestDPIAware true
SetCompressor /SOLID lzma
BrandingText "${NAME} ${VERSION}"
; %LOCALAPPDATA%\Programs is where Windows puts programs installed for one user; an
; earlier install's folder wins.
InstallDir "$LOCALAPPDATA\Programs\${NAME}"
InstallDirRegKey HKCU "${UNINSTALL_KEY}" "InstallLocation"

VIProductVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${NAME}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${NAME} Setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${COPYRIGHT}"

!ifdef SIGN
  ; The uninstaller is made by makensis and written out by the setup program, so it is
  ; signed here, before it is packed; the setup program after it is complete.
  !uninstfinalize '"${SIGN}" "%1"' = 0
  !finalize '"${SIGN}" "%1"' = 0
!endif

!define MUI_ICON "${ICON}"
!define MUI_UNICON "${ICON}"
!define MUI_WELCOMEFINISHPAGE_BITMAP "${SIDEBAR}"
!define MUI_ABORTWARNING

!define MUI_WELCOMEPAGE_TEXT "This will install ${NAME} ${VERSION} for you alone; it needs no administrator rights.$\r$\n$\r$\nThe launcher keeps Quarvel up to date and starts it. It downloads the game into its own folder, so that folder must be one you can write to.$\r$\n$\r$\nClick Next to continue."
!insertmacro MUI_PAGE_WELCOME
!define MUI_COMPONENTSPAGE_NODESC
!insertmacro MUI_PAGE_COMPONENTS
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup will install ${NAME} in the folder below. The launcher downloads the game into this folder and updates it there, so choose a folder you can write to and that has room for the game (not under Program Files).$\r$\n$\r$\nTo use another folder, click Browse. Click Install to start."
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE DirectoryLeave
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start ${NAME} now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartLauncher
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; $0 becomes 1 when a file can be made in $INSTDIR (created if missing), else 0. A folder
; this check created is removed again; the install makes it anew.
Function CheckWritable
  StrCpy $1 0
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    StrCpy $1 1
  ${EndIf}
  ClearErrors
  CreateDirectory "$INSTDIR"
  FileOpen $2 "$INSTDIR\quarvel-setup-check.tmp" w
  ${If} ${Errors}
    StrCpy $0 0
  ${Else}
    FileClose $2
    Delete "$INSTDIR\quarvel-setup-check.tmp"
    StrCpy $0 1
  ${EndIf}
  ${If} $1 = 1
    RMDir "$INSTDIR"
  ${EndIf}
FunctionEnd

Function RefusedFolderMessage
  MessageBox MB_OK|MB_ICONSTOP "Setup cannot write to this folder:$\r$\n$INSTDIR$\r$\n$\r$\nThe launcher keeps the game and its updates in its own folder, so it must be installed where you can write. Choose another folder, for example:$\r$\n$LOCALAPPDATA\Programs\${NAME}" /SD IDOK
FunctionEnd

Function DirectoryLeave
  Call CheckWritable
  ${If} $0 = 0
    Call RefusedFolderMessage
    Abort
  ${EndIf}
FunctionEnd

Section "${NAME} and its Start menu shortcut" SecLauncher
  SectionIn RO
  SetOutPath "$INSTDIR"
  !insertmacro INSTALL_FILES
  WriteUninstaller "$INSTDIR\${UNINSTALLER}"
  ; A shortcut's working directory is the output path at the time it is made.
  CreateShortcut "$SMPROGRAMS\${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0

  ; The entry of "Apps & features" for this user.
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "${NAME}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${EXE},0"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\${UNINSTALLER}"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\${UNINSTALLER}" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0
SectionEnd

Section /o "Desktop shortcut" SecDesktop
  SetOutPath "$INSTDIR"
  CreateShortcut "$DESKTOP\${SHORTCUT}" "$INSTDIR\${EXE}" "" "$INSTDIR\${EXE}" 0
SectionEnd

Function .onInit
  ; A silent install has no folder page, so its folder is checked here; the exit code
  ; tells the deployment tool.
  ${If} ${Silent}
    Call CheckWritable
    ${If} $0 = 0
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/DESKTOP" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecDesktop}
  ${EndIf}
FunctionEnd

Function StartLauncher
  SetOutPath "$INSTDIR"
  Exec '"$INSTDIR\${EXE}"'
FunctionEnd

; Removes each file named on a "file NAME" line of $0 (a record of an update of the launcher
; itself), with the copies that update kept beside it. The launcher writes plain names only:
; no folder, no wildcard.
Function un.RemoveListedFiles
  ClearErrors
  FileOpen $1 "$0" r
  IfErrors done
  next:
    ClearErrors
    FileRead $1 $2
    IfErrors close
    ${TrimNewLines} "$2" $2
    StrCpy $3 $2 5
    StrCmp $3 "file " 0 next
    StrCpy $2 $2 "" 5
    StrCmp $2 "" next
    Delete "$INSTDIR\$2"
    Delete "$INSTDIR\$2.quarvel-next"
    Delete "$INSTDIR\$2.quarvel-previous"
    Goto next
  close:
  FileClose $1
  Delete "$0"
  Delete "$0.new"
  done:
FunctionEnd

; Only what setup put here, and after asking (yes when silent) what the launcher wrote
; here; the folder itself goes only once it is empty, so nothing of the player's is lost.
Section "Uninstall"
  !insertmacro REMOVE_FILES
  ; An update of the launcher itself may have brought files setup never put here.
  StrCpy $0 "$INSTDIR\launcher-update.txt"
  Call un.RemoveListedFiles
  StrCpy $0 "$INSTDIR\launcher-files.txt"
  Call un.RemoveListedFiles
  Delete "$INSTDIR\launcher-update-refused.txt"
  Delete "$INSTDIR\launcher-update-refused.txt.new"
  Delete "$INSTDIR\quarvel-launcher.version"
  Delete "$INSTDIR\quarvel-launcher.keys"
  Delete "$INSTDIR\quarvel-launcher.server"
  ; The launcher's log files and its folder lock are its own, not the player's.
  Delete "$INSTDIR\quarvel-launcher.log"
  Delete "$INSTDIR\quarvel-launcher.log.1"
  Delete "$INSTDIR\quarvel-launcher.lock"
  ; The number that places this folder in staged rollouts; a reinstall draws a new one.
  Delete "$INSTDIR\quarvel-rollout-number.txt"
  Delete "$INSTDIR\quarvel-rollout-number.txt.new"
  Delete "$INSTDIR\${UNINSTALLER}"
  Delete "$SMPROGRAMS\${SHORTCUT}"
  Delete "$DESKTOP\${SHORTCUT}"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  ${If} ${FileExists} "$INSTDIR\game\*.*"
  ${OrIf} ${FileExists} "$INSTDIR\latest_version.txt"
  ${OrIf} ${FileExists} "$INSTDIR\quarvel *.zip"
    MessageBox MB_YESNO|MB_ICONQUESTION "Also remove the game Quarvel and its downloads from$\r$\n$INSTDIR?$\r$\n$\r$\nChoose No to keep them; installing the launcher there again then needs no download." /SD IDYES IDNO keep
    RMDir /r "$INSTDIR\game"
    Delete "$INSTDIR\latest_version.txt"
    Delete "$INSTDIR\latest_version.txt.new"
    Delete "$INSTDIR\update_in_progress.txt"
    Delete "$INSTDIR\update_in_progress.txt.new"
    Delete "$INSTDIR\temp.txt"
    Delete "$INSTDIR\quarvel *.zip"
  keep:
  ${EndIf}
  RMDir "$INSTDIR"
SectionEnd
