; The Windows installer of one bitness: the VST 2 DLL into a VST 2 folder the user
; picks, the VST 3 bundle into Common Files\VST3, plumbra.exe into the program's
; folder; an uninstaller listed in Programs and Features.
; makensis -DBITS=32|64 -DVERSION=... -DBUILD=<build tree> -DSTAGE=<folder of the
;          other files> -DOUTFILE=... plumbra.nsi   (packaging/windows/make-installer.sh)
; Silent: setup.exe /S [/VST2DIR=folder] [/D=program folder]; uninstall.exe /S.
; The 64-bit installer is a 64-bit program itself (it runs only where its plug-ins can).
!if ${BITS} == 64
  Target amd64-unicode
!else
  Unicode true
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin
ManifestDPIAware true

!include MUI2.nsh
!include x64.nsh
!include FileFunc.nsh
!include LogicLib.nsh

!define NAME "Halvex_Plumbra-Vektis"
!define KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${NAME}-win${BITS}"
!define SETTINGS "Software\Halvex\Plumbra-Vektis"
!define VST3 "${NAME}.vst3"

Name "${NAME} ${VERSION} (${BITS}-bit)"
OutFile "${OUTFILE}"
BrandingText "${NAME} ${VERSION}"
!if ${BITS} == 64
  InstallDir "$PROGRAMFILES64\Halvex\Plumbra-Vektis"
!else
  InstallDir "$PROGRAMFILES32\Halvex\Plumbra-Vektis"
!endif
; Dates of the installed files: the commit's, not the build's.
SetDateSave off

Var Vst2Dir

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_COMPONENTS
!define MUI_PAGE_HEADER_TEXT "VST 2 plug-in folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where your host looks for ${BITS}-bit VST 2 plug-ins."
!define MUI_DIRECTORYPAGE_TEXT_TOP "The VST 2 plug-in (${NAME}.dll) goes into this folder. Pick the folder your host scans for ${BITS}-bit VST 2 plug-ins."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "VST 2 plug-in folder"
!define MUI_DIRECTORYPAGE_VARIABLE $Vst2Dir
!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipVst2Page
!insertmacro MUI_PAGE_DIRECTORY
!define MUI_PAGE_HEADER_TEXT "Program folder"
!define MUI_PAGE_HEADER_SUBTEXT "Where plumbra.exe and the uninstaller go."
!insertmacro MUI_PAGE_DIRECTORY
!insertmacro MUI_PAGE_INSTFILES
!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES
!insertmacro MUI_LANGUAGE "English"

; The outermost of the folders of $0 that do not exist yet, into $1 ("" when $0 exists):
; what the uninstaller may remove again.
Function MissingFolders
  StrCpy $1 ""
  StrCpy $2 $0
  ${DoWhile} $2 != ""
    ${If} ${FileExists} "$2\*.*"
      ${ExitDo}
    ${EndIf}
    StrCpy $1 $2
    ${GetParent} $2 $2
  ${Loop}
FunctionEnd

!macro RemoveFolders UN
; Removes the empty folders from $0 up to $1, the outermost one the install made.
Function ${UN}RemoveFolders
  ${DoWhile} $1 != ""
    RMDir $0
    ${If} $0 == $1
      ${ExitDo}
    ${EndIf}
    ${GetParent} $0 $0
    ${If} $0 == ""
      ${ExitDo}
    ${EndIf}
  ${Loop}
FunctionEnd
!macroend
!insertmacro RemoveFolders "un."

Section "VST 2 plug-in" SecVst2
  StrCpy $0 $Vst2Dir
  Call MissingFolders
  WriteRegStr HKLM "${SETTINGS}" "VST2Made" $1
  SetOutPath $Vst2Dir
  File "${BUILD}/${NAME}.dll"
  WriteRegStr HKLM "${SETTINGS}" "VST2Folder" $Vst2Dir
SectionEnd

!if /FileExists "${BUILD}/${VST3}/Contents/Resources/moduleinfo.json"
Section "VST 3 plug-in" SecVst3
!if ${BITS} == 64
  SetOutPath "$COMMONFILES64\VST3\${VST3}"
!else
  SetOutPath "$COMMONFILES32\VST3\${VST3}"
!endif
  File /r "${BUILD}/${VST3}/*"
  WriteRegStr HKLM "${SETTINGS}" "VST3Installed" "1"
SectionEnd
!endif

Section "plumbra.exe (command-line host)" SecHost
  StrCpy $0 $INSTDIR
  Call MissingFolders
  WriteRegStr HKLM "${SETTINGS}" "ProgramMade" $1
  SetOutPath $INSTDIR
  File "${BUILD}/plumbra.exe"
SectionEnd

Section "-uninstaller"
  ReadRegStr $0 HKLM "${SETTINGS}" "ProgramMade"
  ${IfNot} ${SectionIsSelected} ${SecHost}
    StrCpy $0 $INSTDIR
    Call MissingFolders
    WriteRegStr HKLM "${SETTINGS}" "ProgramMade" $1
  ${EndIf}
  SetOutPath $INSTDIR
  File "${STAGE}/README.txt"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${KEY}" "DisplayName" "${NAME} ${VERSION} (${BITS}-bit)"
  WriteRegStr HKLM "${KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${KEY}" "Publisher" "Halvex"
  WriteRegStr HKLM "${KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKLM "${KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${KEY}" "EstimatedSize" $0
SectionEnd

Function .onInit
!if ${BITS} == 64
  ${IfNot} ${RunningX64}
    MessageBox MB_OK|MB_ICONSTOP "This installer holds the 64-bit plug-ins; use the 32-bit installer on 32-bit Windows." /SD IDOK
    Abort
  ${EndIf}
  SetRegView 64
  StrCpy $Vst2Dir "$PROGRAMFILES64\VSTPlugins"
!else
  SetRegView 32
  StrCpy $Vst2Dir "$PROGRAMFILES32\VSTPlugins"
!endif
  ; The folder hosts share through the registry, when one is set; an earlier install's choice goes first.
  ReadRegStr $0 HKLM "Software\VST" "VSTPluginsPath"
  ${If} $0 != ""
    StrCpy $Vst2Dir $0
  ${EndIf}
  ReadRegStr $0 HKLM "${SETTINGS}" "VST2Folder"
  ${If} $0 != ""
    StrCpy $Vst2Dir $0
  ${EndIf}
  ; /VST2DIR=folder on the command line (for silent installs).
  ${GetParameters} $1
  ClearErrors
  ${GetOptions} $1 "/VST2DIR=" $0
  ${IfNot} ${Errors}
  ${AndIf} $0 != ""
    StrCpy $Vst2Dir $0
  ${EndIf}
FunctionEnd

Function SkipVst2Page
  ${IfNot} ${SectionIsSelected} ${SecVst2}
    Abort
  ${EndIf}
FunctionEnd

Function un.onInit
!if ${BITS} == 64
  SetRegView 64
!else
  SetRegView 32
!endif
FunctionEnd

Section "Uninstall"
  ReadRegStr $0 HKLM "${SETTINGS}" "VST2Folder"
  ${If} $0 != ""
    Delete "$0\${NAME}.dll"
    ReadRegStr $1 HKLM "${SETTINGS}" "VST2Made"
    Call un.RemoveFolders  ; only those the install made, and only when empty
  ${EndIf}
  ReadRegStr $0 HKLM "${SETTINGS}" "VST3Installed"
  ${If} $0 == "1"
!if ${BITS} == 64
    RMDir /r "$COMMONFILES64\VST3\${VST3}"
    RMDir "$COMMONFILES64\VST3"
!else
    RMDir /r "$COMMONFILES32\VST3\${VST3}"
    RMDir "$COMMONFILES32\VST3"
!endif
  ${EndIf}
  Delete "$INSTDIR\plumbra.exe"
  Delete "$INSTDIR\README.txt"
  Delete "$INSTDIR\uninstall.exe"
  StrCpy $0 $INSTDIR
  ReadRegStr $1 HKLM "${SETTINGS}" "ProgramMade"
  Call un.RemoveFolders
  RMDir $INSTDIR  ; the folder itself, when it is empty
  DeleteRegKey HKLM "${SETTINGS}"
  DeleteRegKey /ifempty HKLM "Software\Halvex"
  DeleteRegKey HKLM "${KEY}"
SectionEnd
