; The Windows installer, built on the build host by makensis (cmake/windows.cmake defines VERSION,
; VIVERSION, FILES: the folder holding what the zip holds, ICON and OUTFILE). It installs into Program
; Files, adds Start-menu entries for the window and for the window on the virtual board, an entry in
; Apps & features, and on request (the unselected "Add to PATH" component, or /PATH on the command
; line) the install folder on the system PATH. /S installs and uninstalls silently.
; A 64-bit installer for 64-bit programs: Program Files and the registry as the programs see them.
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!include LogicLib.nsh
!include FileFunc.nsh
!include Sections.nsh
!include WinMessages.nsh

!define UNINST_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Zentrel"
!define ENV_KEY "SYSTEM\CurrentControlSet\Control\Session Manager\Environment"
; What a string variable holds, terminator included: a registry value read into one is cut short
; there, so a PATH this long or longer may not be whole and is never written back.
!define /math PATH_MAX ${NSIS_MAX_STRLEN} - 1

Name "Zentrel ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Zentrel"
; Installed again, into the same folder.
InstallDirRegKey HKLM "${UNINST_KEY}" InstallLocation
Icon "${ICON}"
UninstallIcon "${ICON}"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VIVERSION}"
VIAddVersionKey ProductName "Zentrel"
VIAddVersionKey CompanyName "Zentrel Labs"
VIAddVersionKey LegalCopyright "Copyright (C) 1996, 2026 Zentrel Labs"
VIAddVersionKey FileDescription "Zentrel ${VERSION} setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey ProductVersion "${VERSION}"

Page components
Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

; PATH as one string: $0 the value, $1 an entry. $2 := the index of the first whole entry equal to $1
; (case aside, as Windows compares paths), -1 when there is none.
!macro PATH_FIND un
Function ${un}PathFind
    Push $3
    Push $4
    Push $5
    StrLen $4 $1
    StrLen $5 $0
    StrCpy $2 0
    ${Do}
        IntOp $3 $2 + $4
        ${If} $3 > $5
            StrCpy $2 -1
            ${ExitDo}
        ${EndIf}
        StrCpy $3 $0 $4 $2
        ${If} $3 == $1
            ; A whole entry: a ';' or the string's end on either side.
            IntOp $3 $2 - 1
            StrCpy $3 $0 1 $3
            ${If} $2 == 0
            ${OrIf} $3 == ";"
                IntOp $3 $2 + $4
                StrCpy $3 $0 1 $3
                ${If} $3 == ""
                ${OrIf} $3 == ";"
                    ${ExitDo}
                ${EndIf}
            ${EndIf}
        ${EndIf}
        IntOp $2 $2 + 1
    ${Loop}
    Pop $5
    Pop $4
    Pop $3
FunctionEnd
!macroend
!insertmacro PATH_FIND ""
!insertmacro PATH_FIND "un."

; $0 := the system PATH; the error flag set when it cannot be read whole.
!macro PATH_READ
    ClearErrors
    ReadRegStr $0 HKLM "${ENV_KEY}" Path
    StrLen $2 $0
    ${If} $2 >= ${PATH_MAX}
        SetErrors
    ${EndIf}
!macroend

!macro PATH_WRITE
    WriteRegExpandStr HKLM "${ENV_KEY}" Path $0
    SendMessage ${HWND_BROADCAST} ${WM_SETTINGCHANGE} 0 "STR:Environment" /TIMEOUT=5000
!macroend

Section "Zentrel (required)" SecMain
    SectionIn RO
    SetOutPath "$INSTDIR"
    File "${FILES}\zentrel.exe"
    File "${FILES}\zentrel-cli.exe"
    File "${FILES}\zentrel-probe.exe"
    File "${FILES}\README.txt"
    File "${FILES}\LICENSE.txt"
    WriteUninstaller "$INSTDIR\uninstall.exe"

    CreateDirectory "$SMPROGRAMS\Zentrel"
    CreateShortcut "$SMPROGRAMS\Zentrel\Zentrel.lnk" "$INSTDIR\zentrel.exe"
    CreateShortcut "$SMPROGRAMS\Zentrel\Zentrel (virtual board).lnk" "$INSTDIR\zentrel.exe" "--virtual"

    WriteRegStr HKLM "${UNINST_KEY}" DisplayName "Zentrel"
    WriteRegStr HKLM "${UNINST_KEY}" DisplayVersion "${VERSION}"
    WriteRegStr HKLM "${UNINST_KEY}" Publisher "Zentrel Labs"
    WriteRegStr HKLM "${UNINST_KEY}" UninstallString '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINST_KEY}" QuietUninstallString '"$INSTDIR\uninstall.exe" /S'
    WriteRegStr HKLM "${UNINST_KEY}" InstallLocation "$INSTDIR"
    WriteRegStr HKLM "${UNINST_KEY}" DisplayIcon "$INSTDIR\zentrel.exe"
    WriteRegDWORD HKLM "${UNINST_KEY}" NoModify 1
    WriteRegDWORD HKLM "${UNINST_KEY}" NoRepair 1
    ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
    WriteRegDWORD HKLM "${UNINST_KEY}" EstimatedSize $0
SectionEnd

Section /o "Add to PATH" SecPath
    StrCpy $1 "$INSTDIR"
    !insertmacro PATH_READ
    ${If} ${Errors}
        DetailPrint "PATH left as it is: the system PATH could not be read whole (${PATH_MAX} characters or more)"
        Return
    ${EndIf}
    Call PathFind
    ${If} $2 < 0
        StrCpy $1 "$INSTDIR\"
        Call PathFind
    ${EndIf}
    ${If} $2 >= 0
        DetailPrint "PATH already holds $1"
        Return
    ${EndIf}
    StrCpy $1 "$INSTDIR"
    ; Longer afterwards than the uninstaller could read whole, it could not be taken out again.
    StrLen $2 $0
    StrLen $3 $1
    IntOp $2 $2 + $3
    IntOp $2 $2 + 1
    ${If} $2 >= ${PATH_MAX}
        DetailPrint "PATH left as it is: with $1 it would be ${PATH_MAX} characters or more"
        Return
    ${EndIf}
    ${If} $0 == ""
        StrCpy $0 $1
    ${Else}
        StrCpy $0 "$0;$1"
    ${EndIf}
    !insertmacro PATH_WRITE
    ; What was added, so that the uninstaller removes exactly that.
    WriteRegStr HKLM "${UNINST_KEY}" PathEntry $1
    DetailPrint "PATH: added $1"
SectionEnd

Function .onInit
    SetShellVarContext all
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/PATH" $1
    ${IfNot} ${Errors}
        !insertmacro SelectSection ${SecPath}
    ${EndIf}
FunctionEnd

Function un.onInit
    SetShellVarContext all
FunctionEnd

Section Uninstall
    ReadRegStr $1 HKLM "${UNINST_KEY}" PathEntry
    ${If} $1 != ""
        !insertmacro PATH_READ
        ${If} ${Errors}
            DetailPrint "PATH left as it is: it could not be read whole; remove $1 from it by hand"
        ${Else}
            Call un.PathFind
            ${If} $2 >= 0
                ; The entry and the ';' before it (after it, when it comes first): the rest stays as it is.
                StrLen $3 $1
                IntOp $3 $2 + $3
                ${If} $2 > 0
                    IntOp $2 $2 - 1
                ${Else}
                    IntOp $3 $3 + 1
                ${EndIf}
                StrCpy $4 $0 $2
                StrCpy $5 $0 "" $3
                StrCpy $0 "$4$5"
                !insertmacro PATH_WRITE
                DetailPrint "PATH: removed $1"
            ${EndIf}
        ${EndIf}
    ${EndIf}

    Delete "$INSTDIR\zentrel.exe"
    Delete "$INSTDIR\zentrel-cli.exe"
    Delete "$INSTDIR\zentrel-probe.exe"
    Delete "$INSTDIR\README.txt"
    Delete "$INSTDIR\LICENSE.txt"
    Delete "$INSTDIR\uninstall.exe"
    ; Not /r: whatever else someone put there stays, and so does the folder then.
    RMDir "$INSTDIR"
    Delete "$SMPROGRAMS\Zentrel\Zentrel.lnk"
    Delete "$SMPROGRAMS\Zentrel\Zentrel (virtual board).lnk"
    RMDir "$SMPROGRAMS\Zentrel"
    DeleteRegKey HKLM "${UNINST_KEY}"
SectionEnd
