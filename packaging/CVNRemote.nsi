; Setup program of the Corvane Remote Shutdown Client: the client, its
; library and the Windows 9x helper in the program-files folder, the settings
; file beside them, and the client as a service that starts at boot.
;
; Built by packaging/CMakeLists.txt:
;   makensis -DVERSION=x.y.z -DARCH=win32|win64 -DCLIENT=<CVNRemote.exe>
;            -DLIBRARY=<QMXDLL.dll> -DHELPER=<CVNShutdown.exe> -DOUTFILE=<setup.exe>
;            CVNRemote.nsi
;
; Silent install:  setup.exe /S [/SETTINGS=file] [/SERVER=host] [/PORT=n]
;                  [/USER=name] [/PASSWORD=text] [/ONBATTERY=s] [/LOWBATTERY=s]
;                  [/D=folder]
; Silent removal:  Uninstall.exe /S [/PURGE]  (/PURGE: the settings and trace too)
;
; Option values keep every character: a value runs up to the blanks before
; the next option ("/NAME=", "/NAME" or a quote before "/"), or it is put in
; double quotes, where "" stands for one quote; the whole option may be
; quoted too ("/PASSWORD=my pass", as PowerShell passes it). An unknown
; option, a value the client could not read back, or a silent install that
; would leave no server address ends the setup before it changes anything,
; with the reason on the standard error of the console that started it and
; exit status 2. A service that does not keep running ends it with status 3.
;
; NSIS reads /S, /NCRC and /D= from the command line by a rule of its own
; before this script runs; a line on which that rule and the options' rule
; disagree (such a switch inside a quoted value, say) is refused alike.
;
; The service runs the programs and the commands of the settings file in the
; program folder as the system account, so the setup takes a folder only
; when nobody but the administrators can have put anything there: a settings
; file in it must be one that an installation of ours left (the registry,
; which only administrators can write, records that), and a folder that
; exists already must be owned, with all that is in it, by the
; administrators, the system, TrustedInstaller or the account running the
; setup. Otherwise it is refused (status 2), nothing changed.
;
; What is in the folder is judged by the client's own code as well (its
; "trust" verb, which the Windows Installer package runs too): nothing in it
; may let anyone but those owners write it, change its rules or take it.
; After the lock and the service's stop, its "lock" verb refuses a file that
; someone still holds open for writing. A client installed by the package is
; not taken over: the setup refuses to install beside it.

Unicode true
!if "${ARCH}" == "win64"
  Target amd64-unicode
  !define PROGRAMS_FOLDER "$PROGRAMFILES64"
!else
  !define PROGRAMS_FOLDER "$PROGRAMFILES"
!endif

!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include Sections.nsh

!define PRODUCT "Corvane Remote Shutdown Client"
!define SERVICE_NAME "Corvane Remote Shutdown Client"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\CVNRemote"
!define EVENT_SOURCE_KEY "SYSTEM\CurrentControlSet\Services\EventLog\Application\${SERVICE_NAME}"
!define SETTINGS "$INSTDIR\CVNRemote.ini"
; Folders whose settings file an uninstaller (or a move into another folder)
; left behind: one value per folder, named by its full long path.
!define KEPT_KEY "Software\Corvane\CVNRemote\Kept settings"
; Owners that only an administrator can give a file: the Administrators
; group, the system account, TrustedInstaller (the running account is added).
!define ADMINISTRATORS_SID "S-1-5-32-544"
!define SYSTEM_SID "S-1-5-18"
!define TRUSTED_INSTALLER_SID "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
; The Windows Installer package's UpgradeCode for this architecture.
!if "${ARCH}" == "win64"
  !define PACKAGE_UPGRADE_CODE "{D18680E2-A8F0-4259-9A5B-D9EA263037BF}"
!else
  !define PACKAGE_UPGRADE_CODE "{B4382FF6-793C-46D2-900B-E81166A69275}"
!endif

!define SC_MANAGER_ALL_ACCESS 0xF003F
!define SERVICE_ALL_ACCESS 0xF01FF
!define SERVICE_NO_CHANGE 0xFFFFFFFF
!define SERVICE_AUTO_START 2
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define SERVICE_RUNNING 4
!define ERROR_SERVICE_ALREADY_RUNNING 1056
!define ERROR_SERVICE_SPECIFIC_ERROR 1066
; DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
!define PROTECTED_DACL 0x80000004
; The settings hold the server's password: full access for the system account
; (the service) and the administrators, nobody else, nothing inherited.
!define SETTINGS_SDDL "D:P(A;;FA;;;SY)(A;;FA;;;BA)"
; The service runs its programs from the folder as the system account: only
; the system account and the administrators may change anything in it, users
; may read and run (0x1200A9: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE), and
; nothing is inherited from the parent, which may let users write (C:\).
!define FOLDER_SDDL "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
; The longest value the client reads whole: it takes a line's value in one
; piece of 255 characters, its line end included.
!define LONGEST_VALUE 253
!define OPTIONS_TEXT "Options: /S /SETTINGS=file /SERVER=host /PORT=n /USER=name /PASSWORD=text /ONBATTERY=s /LOWBATTERY=s /D=folder"

Name "${PRODUCT}"
OutFile "${OUTFILE}"
InstallDir "${PROGRAMS_FOLDER}\CVNRemote"
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey "ProductName" "${PRODUCT}"
VIAddVersionKey "CompanyName" "Corvane"
VIAddVersionKey "FileDescription" "${PRODUCT} setup (${ARCH})"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "Corvane"

Page directory "" "" DirectoryLeave
Page custom SettingsPage SettingsPageLeave
Page instfiles
UninstPage uninstConfirm
UninstPage components
UninstPage instfiles

; One variable per setting with what the setup writes, a flag that says
; whether an existing settings file gets it (given on the command line or
; changed on the page), the value the page showed, and the page's field.
!macro Setting NAME
  Var ${NAME}
  Var ${NAME}Given
  Var ${NAME}Shown
  Var ${NAME}Field
!macroend
!insertmacro Setting Server
!insertmacro Setting Port
!insertmacro Setting User
!insertmacro Setting Password
!insertmacro Setting OnBattery
!insertmacro Setting LowBattery
Var SettingsRead
; /SETTINGS=: a prepared settings file (full path), or empty.
Var SettingsFile
; The file whose settings this setup carries on, or empty for none: the
; prepared file, the one in the program folder, or the one in the folder of
; an earlier installation elsewhere.
Var SettingsSource
; The folder of the installation found in the registry, if any.
Var OldDir
; Command line parsing: what is left of it, the option and its value, and the
; first thing found wrong ("" while all is well).
Var Rest
Var OptName
Var OptValue
Var OptKnown
Var Problem
; The whole command line after the program's name (NSIS's own $CMDLINE ends
; before a /D=), the character before it, and one character per character of
; it: "S", "N" or "D" where NSIS takes /S, /NCRC or /D= ($NsisMap) and where
; the options' rule puts them ($OurMap), "." elsewhere; $Dots is all dots.
Var Params
Var Before
Var NsisMap
Var OurMap
Var Dots
Var OptPos
; The account running the setup (a SID in text form).
Var MySid

; The settings' keys in the [Settings] section, the options that give them,
; and the client's defaults.
!macro ForEachSetting MACRO
  !insertmacro ${MACRO} Server     "Server Address"       "SERVER"     ""
  !insertmacro ${MACRO} Port       "Server Port"          "PORT"       "8888"
  !insertmacro ${MACRO} User       "Username"             "USER"       "admin"
  !insertmacro ${MACRO} Password   "Password"             "PASSWORD"   "vorak"
  !insertmacro ${MACRO} OnBattery  "On Battery Shutdown"  "ONBATTERY"  "120"
  !insertmacro ${MACRO} LowBattery "Low Battery Shutdown" "LOWBATTERY" "30"
!macroend

!macro SetDefault NAME KEY OPTION DEFAULT
  StrCpy $${NAME} "${DEFAULT}"
  StrCpy $${NAME}Given 0
!macroend

; Option names are compared without regard to case.
!macro StoreOption NAME KEY OPTION DEFAULT
  ${If} $OptName == "${OPTION}"
    StrCpy $${NAME} $OptValue
    StrCpy $${NAME}Given 1
    StrCpy $OptKnown 1
  ${EndIf}
!macroend

; The client takes a value from after the blanks that follow "=", and in one
; piece of at most LONGEST_VALUE characters: a value it would read otherwise
; is refused rather than written.
!macro CheckValue NAME KEY OPTION DEFAULT
  ${If} $${NAME}Given == 1
  ${AndIf} $Problem == ""
    StrCpy $0 $${NAME} 1
    StrLen $1 $${NAME}
    ${If} $0 == " "
    ${OrIf} $0 == "$\t"
      StrCpy $Problem "The value of /${OPTION} begins with a blank, which the client would drop."
    ${ElseIf} $1 > ${LONGEST_VALUE}
      StrCpy $Problem "The value of /${OPTION} is longer than ${LONGEST_VALUE} characters, more than the client reads."
    ${EndIf}
  ${EndIf}
!macroend

!macro ReadSetting NAME KEY OPTION DEFAULT
  ${If} $${NAME}Given == 0
    ClearErrors
    ReadINIStr $R1 "$SettingsSource" "Settings" "${KEY}"
    ${IfNot} ${Errors}
      StrCpy $${NAME} $R1
    ${EndIf}
  ${EndIf}
!macroend

!macro RememberShown NAME KEY OPTION DEFAULT
  StrCpy $${NAME}Shown $${NAME}
!macroend

!macro Field TOP LABEL KIND NAME
  ${NSD_CreateLabel} 0 ${TOP} 30% 12u "${LABEL}"
  Pop $0
  ${NSD_Create${KIND}} 32% ${TOP} 68% 12u $${NAME}
  Pop $${NAME}Field
!macroend

!macro NoteChange NAME KEY OPTION DEFAULT
  ${NSD_GetText} $${NAME}Field $${NAME}
  ; Case counts: "Secret" and "secret" are two passwords.
  ${If} $${NAME} S!= $${NAME}Shown
    StrCpy $${NAME}Given 1
  ${EndIf}
!macroend

!macro WriteSetting NAME KEY OPTION DEFAULT
  WriteINIStr "${SETTINGS}" "Settings" "${KEY}" $${NAME}
!macroend

!macro WriteGivenSetting NAME KEY OPTION DEFAULT
  ${If} $${NAME}Given == 1
    WriteINIStr "${SETTINGS}" "Settings" "${KEY}" $${NAME}
  ${EndIf}
!macroend

; $0: a message for the administrator. Shown in a box, and written to the
; standard error of the console that started the setup, where a silent
; install has nothing else to tell it with.
Function Tell
  DetailPrint "$0"
  System::Call 'kernel32::GetStdHandle(i -12) p .r1'
  ${If} $1 == 0
  ${OrIf} $1 == -1
    ; AttachConsole is not on every Windows this setup runs on: looked up
    ; when called, and a missing one leaves the box alone to tell.
    System::Call 'kernel32::AttachConsole(i -1) i'
    System::Call 'kernel32::GetStdHandle(i -12) p .r1'
    ${If} $1 == 0
    ${OrIf} $1 == -1
      ; GENERIC_WRITE, FILE_SHARE_WRITE, OPEN_EXISTING
      System::Call 'kernel32::CreateFileW(w "CONOUT$$", i 0x40000000, i 2, p 0, i 3, i 0, p 0) p .r1'
    ${EndIf}
  ${EndIf}
  ${If} $1 != 0
  ${AndIf} $1 != -1
    StrCpy $2 "$0$\r$\n"
    System::Call 'kernel32::lstrlenA(m r2) i .r3'
    System::Call 'kernel32::WriteFile(p r1, m r2, i r3, *i .r4, p 0) i'
  ${EndIf}
  MessageBox MB_ICONSTOP "$0" /SD IDOK
FunctionEnd

; Skips the blanks at the start of $Rest.
Function SkipBlanks
  ${Do}
    StrCpy $0 $Rest 1
    ${If} $0 != " "
    ${AndIf} $0 != "$\t"
      ${Break}
    ${EndIf}
    StrCpy $Rest $Rest "" 1
  ${Loop}
FunctionEnd

; $0 = 1 when the text in $1 starts with an option: "/" and a name (one or
; more characters other than blanks, quotes, "=" and "/") followed by "=", a
; blank, a quote or the end; or a quote followed by "/".
Function IsOptionStart
  StrCpy $0 0
  StrCpy $6 $1 2
  ${If} $6 == '"/'
    StrCpy $0 1
    Return
  ${EndIf}
  StrCpy $6 $1 1
  ${If} $6 != "/"
    Return
  ${EndIf}
  StrCpy $7 1
  ${Do}
    StrCpy $6 $1 1 $7
    ${If} $6 == ""
    ${OrIf} $6 == " "
    ${OrIf} $6 == "$\t"
    ${OrIf} $6 == "="
    ${OrIf} $6 == '"'
      ${Break}
    ${EndIf}
    ${If} $6 == "/"
      Return
    ${EndIf}
    IntOp $7 $7 + 1
  ${Loop}
  ${If} $7 > 1
    StrCpy $0 1
  ${EndIf}
FunctionEnd

; $Rest starts just after an opening quote: $OptValue gets the text up to
; the closing quote, "" standing for one quote, and $Rest what follows it.
Function TakeQuoted
  StrCpy $OptValue ""
  StrCpy $3 0
  ${Do}
    StrCpy $0 $Rest 1 $3
    ${If} $0 == ""
      StrCpy $Problem "The value of /$OptName has no closing quote."
      Return
    ${EndIf}
    IntOp $3 $3 + 1
    ${If} $0 == '"'
      StrCpy $1 $Rest 1 $3
      ${If} $1 != '"'
        ${Break}
      ${EndIf}
      IntOp $3 $3 + 1
    ${EndIf}
    StrCpy $OptValue "$OptValue$0"
  ${Loop}
  StrCpy $Rest $Rest "" $3
  StrCpy $0 $Rest 1
  ${If} $0 != ""
  ${AndIf} $0 != " "
  ${AndIf} $0 != "$\t"
    StrCpy $Problem "The value of /$OptName goes on after its closing quote; a quote inside quotes is written twice."
  ${EndIf}
FunctionEnd

; An unquoted value: $OptValue gets $Rest up to the blanks before the next
; option, or up to the end (trailing blanks dropped).
Function TakeUnquoted
  StrCpy $3 0
  ${Do}
    StrCpy $0 $Rest 1 $3
    ${If} $0 == ""
      ${Break}
    ${EndIf}
    ${If} $0 == " "
    ${OrIf} $0 == "$\t"
      StrCpy $5 $3
      ${Do}
        IntOp $5 $5 + 1
        StrCpy $0 $Rest 1 $5
        ${If} $0 != " "
        ${AndIf} $0 != "$\t"
          ${Break}
        ${EndIf}
      ${Loop}
      StrCpy $1 $Rest "" $5
      Call IsOptionStart
      ${If} $0 = 1
      ${OrIf} $1 == ""
        ${Break}
      ${EndIf}
    ${EndIf}
    IntOp $3 $3 + 1
  ${Loop}
  StrCpy $OptValue $Rest $3
  StrCpy $Rest $Rest "" $3
FunctionEnd

; ${MAP}'s character at ${POS} becomes ${CHAR}.
!macro MarkAt MAP POS CHAR
  IntOp $9 ${POS} + 1
  StrCpy $8 ${MAP} ${POS}
  StrCpy $9 ${MAP} "" $9
  StrCpy ${MAP} "$8${CHAR}$9"
!macroend

; $0 (the command line) into $Params and $Before, as NSIS splits it: the
; program's name runs to its closing quote, or to the first blank, which
; goes with it. $Dots gets as many dots as $Params has characters.
Function SplitCommandLine
  StrCpy $1 $0 1
  StrCpy $2 " "
  StrCpy $3 0
  ${If} $1 == '"'
    StrCpy $2 '"'
    StrCpy $3 1
  ${EndIf}
  ${Do}
    StrCpy $1 $0 1 $3
    ${If} $1 == ""
      ${Break}
    ${EndIf}
    IntOp $3 $3 + 1
    ${If} $1 == $2
      ${Break}
    ${EndIf}
  ${Loop}
  StrCpy $Params $0 "" $3
  IntOp $3 $3 - 1
  StrCpy $Before $0 1 $3
  StrLen $1 $Params
  StrCpy $Dots ""
  StrCpy $2 0
  ${DoWhile} $2 < $1
    StrCpy $Dots "$Dots."
    IntOp $2 $2 + 1
  ${Loop}
FunctionEnd

; $NsisMap: where NSIS itself, before this script runs, takes its switches
; in $Params. It skips spaces (tabs are text to it); an argument runs to the
; next space, or from an opening quote to the closing one; one that begins
; with "/" is /S or /NCRC when a space or the end follows, and /D= when a
; space goes before it, which ends the scan: the folder is all the rest.
Function NsisScan
  StrCpy $NsisMap $Dots
  StrCpy $3 0
  ${Do}
    ${Do}
      StrCpy $0 $Params 1 $3
      ${If} $0 != " "
        ${Break}
      ${EndIf}
      IntOp $3 $3 + 1
    ${Loop}
    ${If} $0 == ""
      ${Break}
    ${EndIf}
    StrCpy $6 " "
    ${If} $0 == '"'
      StrCpy $6 '"'
      IntOp $3 $3 + 1
      StrCpy $0 $Params 1 $3
    ${EndIf}
    ${If} $0 == "/"
      IntOp $4 $3 + 1
      StrCpy $1 $Params 2 $4
      ${If} $1 S== "S"
      ${OrIf} $1 S== "S "
        !insertmacro MarkAt $NsisMap $3 "S"
      ${EndIf}
      StrCpy $1 $Params 5 $4
      ${If} $1 S== "NCRC"
      ${OrIf} $1 S== "NCRC "
        !insertmacro MarkAt $NsisMap $3 "N"
      ${EndIf}
      StrCpy $2 $Before
      ${If} $3 > 0
        IntOp $5 $3 - 1
        StrCpy $2 $Params 1 $5
      ${EndIf}
      StrCpy $1 $Params 2 $4
      ${If} $1 S== "D="
      ${AndIf} $2 == " "
        !insertmacro MarkAt $NsisMap $3 "D"
        ${Break}
      ${EndIf}
    ${EndIf}
    ${Do}
      StrCpy $0 $Params 1 $3
      ${If} $0 == ""
      ${OrIf} $0 == $6
        ${Break}
      ${EndIf}
      IntOp $3 $3 + 1
    ${Loop}
    ${If} $0 == '"'
      IntOp $3 $3 + 1
    ${EndIf}
  ${Loop}
FunctionEnd

; $0: the position in $Params of the start of $Rest.
!macro RestPos
  StrLen $0 $Params
  StrLen $8 $Rest
  IntOp $0 $0 - $8
!macroend

; $0 = the switch that $1 (a character of a map) stands for.
Function SwitchName
  ${If} $1 S== "S"
    StrCpy $0 "/S"
  ${ElseIf} $1 S== "N"
    StrCpy $0 "/NCRC"
  ${Else}
    StrCpy $0 "/D="
  ${EndIf}
FunctionEnd

; The value just taken, from position $R1 to the start of $Rest: NSIS must
; not have taken a switch of its own inside it.
Function CheckValueSpan
  !insertmacro RestPos
  IntOp $0 $0 - $R1
  ${If} $0 <= 0
    Return
  ${EndIf}
  StrCpy $8 $NsisMap $0 $R1
  StrCpy $9 $Dots $0
  ${If} $8 S== $9
    Return
  ${EndIf}
  ${Do}
    StrCpy $1 $8 1
    StrCpy $8 $8 "" 1
  ${LoopWhile} $1 == "."
  Call SwitchName
  ${If} $1 S== "S"
    StrCpy $1 "as its switch for a silent install"
  ${ElseIf} $1 S== "N"
    StrCpy $1 "as its switch to skip its integrity check"
  ${Else}
    StrCpy $1 "as the folder to install into"
  ${EndIf}
  StrCpy $Problem 'The value of /$OptName holds " $0", which the setup itself takes $1 before it reads the options. Give such a value in a settings file with /SETTINGS=.'
FunctionEnd

; The setup's parameters ($Params) into the settings' variables and
; $SettingsFile; the first thing wrong goes to $Problem. /S and /NCRC are
; NSIS's own switches, and /D= (the folder) comes last, as NSIS takes it.
Function ParseOptions
  StrCpy $Rest $Params
  StrCpy $OurMap $Dots
  StrCpy $Problem ""
  ${Do}
    Call SkipBlanks
    ${If} $Rest == ""
      ${Break}
    ${EndIf}
    ; $4 = 1: the whole option is in quotes, as PowerShell quotes it.
    StrCpy $4 0
    StrCpy $0 $Rest 2
    ${If} $0 == '"/'
      StrCpy $4 1
      StrCpy $Rest $Rest "" 1
    ${EndIf}
    StrCpy $0 $Rest 1
    ${If} $0 != "/"
      StrCpy $0 $Rest 40
      StrCpy $Problem "Not an option: $0"
      ${Break}
    ${EndIf}
    !insertmacro RestPos
    StrCpy $OptPos $0
    StrCpy $3 1
    ${Do}
      StrCpy $0 $Rest 1 $3
      ${If} $0 == ""
      ${OrIf} $0 == " "
      ${OrIf} $0 == "$\t"
      ${OrIf} $0 == "="
      ${OrIf} $0 == '"'
        ${Break}
      ${EndIf}
      IntOp $3 $3 + 1
    ${Loop}
    IntOp $5 $3 - 1
    StrCpy $OptName $Rest $5 1
    StrCpy $Rest $Rest "" $3
    StrCpy $0 $Rest 1
    ${If} $0 != "="
      ; A switch. NSIS itself looks for /S and /NCRC in capitals only.
      ${If} $OptName S== "S"
      ${OrIf} $OptName S== "NCRC"
        ${If} $4 = 1
        ${AndIf} $0 == '"'
          StrCpy $Rest $Rest "" 1
          StrCpy $0 $Rest 1
        ${EndIf}
        ${If} $0 == ""
        ${OrIf} $0 == " "
        ${OrIf} $0 == "$\t"
          StrCpy $1 $OptName 1
          !insertmacro MarkAt $OurMap $OptPos $1
          ${Continue}
        ${EndIf}
      ${EndIf}
      StrCpy $Problem "Unknown option /$OptName."
      ${Break}
    ${EndIf}
    StrCpy $Rest $Rest "" 1
    ${If} $OptName S== "D"
      ${If} $4 = 1
        StrCpy $Problem "The setup itself takes /D= only unquoted: /D=C:\some folder, last on the line."
        ${Break}
      ${EndIf}
      !insertmacro MarkAt $OurMap $OptPos "D"
      StrCpy $Rest ""
      ${Break}
    ${EndIf}
    !insertmacro RestPos
    StrCpy $R1 $0
    StrCpy $0 $Rest 1
    ${If} $4 = 1
      Call TakeQuoted
    ${ElseIf} $0 == '"'
      StrCpy $Rest $Rest "" 1
      Call TakeQuoted
    ${Else}
      Call TakeUnquoted
    ${EndIf}
    ${If} $Problem != ""
      ${Break}
    ${EndIf}
    Call CheckValueSpan
    ${If} $Problem != ""
      ${Break}
    ${EndIf}
    StrCpy $OptKnown 0
    !insertmacro ForEachSetting StoreOption
    ${If} $OptName == "SETTINGS"
      StrCpy $SettingsFile $OptValue
      StrCpy $OptKnown 1
    ${EndIf}
    ${If} $OptKnown = 0
      StrCpy $Problem "Unknown option /$OptName."
      ${Break}
    ${EndIf}
  ${Loop}
  ; Both rules must find the same switches in the same places: a quoted
  ; "/S", or one after a tab, is a switch to the options' rule only.
  ${If} $Problem == ""
  ${AndIf} $OurMap S!= $NsisMap
    StrCpy $2 0
    ${Do}
      StrCpy $1 $OurMap 1 $2
      StrCpy $3 $NsisMap 1 $2
      ${If} $1 S!= $3
        ${Break}
      ${EndIf}
      IntOp $2 $2 + 1
    ${Loop}
    ${If} $1 S!= "."
      Call SwitchName
      StrCpy $Problem "The setup itself does not take this $0 as its switch: write /S, /NCRC and /D= unquoted, after a space."
    ${Else}
      StrCpy $1 $3
      Call SwitchName
      StrCpy $Problem 'The setup itself takes " $0" at character $2 of the options as its switch.'
    ${EndIf}
  ${EndIf}
FunctionEnd

; /SETTINGS= names a file that can be read: $SettingsFile becomes its full
; path (a relative one counts from the current folder).
Function CheckSettingsFile
  StrCpy $1 $SettingsFile
  System::Call 'kernel32::GetFullPathNameW(w r1, i ${NSIS_MAX_STRLEN}, w .r2, p 0) i .r0'
  ${If} $0 = 0
  ${OrIf} $0 >= ${NSIS_MAX_STRLEN}
    StrCpy $Problem "The settings file $SettingsFile cannot be found."
    Return
  ${EndIf}
  StrCpy $SettingsFile $2
  ${If} ${FileExists} "$SettingsFile\*.*"
    StrCpy $Problem "The settings file $SettingsFile is a folder."
    Return
  ${EndIf}
  ClearErrors
  FileOpen $0 "$SettingsFile" r
  ${If} ${Errors}
    StrCpy $Problem "The settings file $SettingsFile cannot be read."
    Return
  ${EndIf}
  FileClose $0
FunctionEnd

; $SettingsSource: the settings this setup carries on (see the variable).
Function FindSettingsSource
  StrCpy $SettingsSource ""
  ${If} $SettingsFile != ""
    StrCpy $SettingsSource $SettingsFile
  ${ElseIf} ${FileExists} "${SETTINGS}"
    StrCpy $SettingsSource "${SETTINGS}"
  ${ElseIf} $OldDir != ""
  ${AndIf} $OldDir != $INSTDIR
  ${AndIf} ${FileExists} "$OldDir\CVNRemote.ini"
    StrCpy $SettingsSource "$OldDir\CVNRemote.ini"
  ${EndIf}
FunctionEnd

; $0: the server address that the installed settings will hold.
Function ResultingServer
  StrCpy $0 $Server
  ${If} $ServerGiven == 0
  ${AndIf} $SettingsSource != ""
    ReadINIStr $0 "$SettingsSource" "Settings" "Server Address"
  ${EndIf}
FunctionEnd

Function .onInit
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Installing a service takes an administrator." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
  !insertmacro ForEachSetting SetDefault
  StrCpy $SettingsRead 0
  StrCpy $SettingsFile ""
  ReadRegStr $OldDir HKLM "${UNINSTALL_KEY}" "InstallLocation"

  ; Everything is checked before anything changes. The line as it was
  ; given: NSIS cuts its own copy ($CMDLINE) before a /D=.
  System::Call 'kernel32::GetCommandLineW() w .r0'
  StrLen $1 $0
  IntOp $2 ${NSIS_MAX_STRLEN} - 1
  ${If} $1 >= $2
    StrCpy $Problem "The command line is longer than this setup can take whole; give the settings in a file with /SETTINGS=."
  ${Else}
    Call SplitCommandLine
    Call NsisScan
    Call ParseOptions
  ${EndIf}
  !insertmacro ForEachSetting CheckValue
  ${If} $Problem == ""
  ${AndIf} $SettingsFile != ""
    Call CheckSettingsFile
  ${EndIf}
  ${If} $Problem == ""
    Call FindMySid
  ${EndIf}
  ; The client itself judges the folder too: a copy in the plugins folder.
  InitPluginsDir
  File "/oname=$PLUGINSDIR\CVNRemote.exe" "${CLIENT}"
  File "/oname=$PLUGINSDIR\QMXDLL.dll" "${LIBRARY}"
  ; A client installed by the Windows Installer package is the package's
  ; to upgrade and remove. MsiEnumRelatedProductsW: Windows Installer 1.0.
  ${If} $Problem == ""
    System::Call 'msi::MsiEnumRelatedProductsW(w "${PACKAGE_UPGRADE_CODE}", i 0, i 0, w .r1) i .r0'
    ${If} $0 = 0
      StrCpy $Problem "The client is installed here by its Windows Installer package ($1): upgrade or remove it with msiexec, not with this setup."
    ${EndIf}
  ${EndIf}
  ${If} $Problem == ""
  ${AndIf} ${Silent}
    Call CheckFolder
  ${EndIf}
  ${If} $Problem == ""
  ${AndIf} ${Silent}
    Call FindSettingsSource
    Call ResultingServer
    ${If} $0 == ""
      StrCpy $Problem "No server address: give it with /SERVER= or in the file of /SETTINGS=."
    ${EndIf}
  ${EndIf}
  ${If} $Problem != ""
    StrCpy $0 "$Problem Nothing was installed.$\r$\n${OPTIONS_TEXT}"
    Call Tell
    SetErrorLevel 2
    Quit
  ${EndIf}
FunctionEnd

; An upgrade shows what the settings file holds (read once, so that going
; back and forth keeps what was typed).
Function SettingsPage
  ${If} $SettingsRead == 0
    Call FindSettingsSource
    ${If} $SettingsSource != ""
      !insertmacro ForEachSetting ReadSetting
    ${EndIf}
  ${EndIf}
  StrCpy $SettingsRead 1
  !insertmacro ForEachSetting RememberShown

  nsDialogs::Create 1018
  Pop $0
  ${If} $0 == error
    Abort
  ${EndIf}
  ${NSD_CreateLabel} 0 0 100% 28u "The UPS management server the client follows and its login; the seconds from going on battery, and from a low battery, to the shutdown (a negative number: no shutdown)."
  Pop $0
  !insertmacro Field 32u "Server address" Text Server
  !insertmacro Field 47u "Server port" Number Port
  !insertmacro Field 62u "User name" Text User
  !insertmacro Field 77u "Password" Password Password
  !insertmacro Field 92u "On battery (s)" Text OnBattery
  !insertmacro Field 107u "Low battery (s)" Text LowBattery
  ${NSD_SetFocus} $ServerField
  nsDialogs::Show
FunctionEnd

Function SettingsPageLeave
  !insertmacro ForEachSetting NoteChange
  StrCpy $Problem ""
  !insertmacro ForEachSetting CheckValue
  ${If} $Server == ""
    StrCpy $Problem "Enter the address of the UPS server: without it the client cannot run."
  ${EndIf}
  ${If} $Problem != ""
    MessageBox MB_ICONEXCLAMATION "$Problem"
    Abort
  ${EndIf}
FunctionEnd

; $0 = 1 when the access rules in $2 (SDDL) now protect the file or folder
; $3, 0 when they could not be set. On a Windows without the SDDL call the
; System plugin gives "error", which counts as 0 as well.
Function ProtectPath
  ; Strings go through registers: a path such as "Program Files (x86)" would
  ; otherwise end the System plugin's argument list.
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r2, i 1, *p .r1, p 0) i .r0'
  ${If} $0 = 0
    Return
  ${EndIf}
  System::Call 'advapi32::SetFileSecurityW(w r3, i ${PROTECTED_DACL}, p r1) i .r0'
  System::Call 'kernel32::LocalFree(p r1)'
  ${If} $0 != 0
    StrCpy $0 1
  ${EndIf}
FunctionEnd

; $1 becomes the full path of the file or folder $1 in its long form, without
; a closing "\" (but for a drive's), so that two spellings of one folder
; compare equal (without regard to case, as NSIS compares).
!macro PathFunctions UN
  Function ${UN}NormalPath
    System::Call 'kernel32::GetFullPathNameW(w r1, i ${NSIS_MAX_STRLEN}, w .r2, p 0) i .r0'
    ${If} $0 > 0
    ${AndIf} $0 < ${NSIS_MAX_STRLEN}
      StrCpy $1 $2
    ${EndIf}
    System::Call 'kernel32::GetLongPathNameW(w r1, w .r2, i ${NSIS_MAX_STRLEN}) i .r0'
    ${If} $0 > 0
    ${AndIf} $0 < ${NSIS_MAX_STRLEN}
      StrCpy $1 $2
    ${EndIf}
    StrCpy $2 $1 1 -1
    StrLen $0 $1
    ${If} $2 == "\"
    ${AndIf} $0 > 3
      StrCpy $1 $1 -1
    ${EndIf}
  FunctionEnd

  ; The settings file left in the folder $INSTDIR (if it is there) is ours:
  ; a later setup into this folder may take it.
  Function ${UN}RecordKeptSettings
    StrCpy $1 $INSTDIR
    Call ${UN}NormalPath
    ${If} ${FileExists} "$1\CVNRemote.ini"
      WriteRegStr HKLM "${KEPT_KEY}" "$1" "CVNRemote.ini"
    ${Else}
      Call ${UN}ForgetKeptSettings
    ${EndIf}
  FunctionEnd

  ; No settings of ours are kept in the folder $1 (a normal path) any more.
  Function ${UN}ForgetKeptSettings
    DeleteRegValue HKLM "${KEPT_KEY}" "$1"
    DeleteRegKey /ifempty HKLM "${KEPT_KEY}"
    DeleteRegKey /ifempty HKLM "Software\Corvane\CVNRemote"
    DeleteRegKey /ifempty HKLM "Software\Corvane"
  FunctionEnd
!macroend
!insertmacro PathFunctions ""
!insertmacro PathFunctions "un."

; $MySid: the account running the setup.
Function FindMySid
  StrCpy $MySid ""
  System::Call 'kernel32::GetCurrentProcess() p .r1'
  ; TOKEN_QUERY
  System::Call 'advapi32::OpenProcessToken(p r1, i 8, *p .r2) i .r0'
  ${If} $0 = 0
    Return
  ${EndIf}
  System::Call '*(&i1024) p .r3'
  ; TokenUser: a TOKEN_USER, whose first field points to the SID.
  System::Call 'advapi32::GetTokenInformation(p r2, i 1, p r3, i 1024, *i .r4) i .r0'
  ${If} $0 != 0
    System::Call '*$3(p .r4)'
    System::Call 'advapi32::ConvertSidToStringSidW(p r4, *p .r5) i .r0'
    ${If} $0 != 0
      System::Call 'kernel32::lstrcpynW(w .r0, p r5, i ${NSIS_MAX_STRLEN})'
      StrCpy $MySid $0
      System::Call 'kernel32::LocalFree(p r5)'
    ${EndIf}
  ${EndIf}
  System::Free $3
  System::Call 'kernel32::CloseHandle(p r2)'
FunctionEnd

; $0: the owner of the file or folder $3 as a SID in text form, "" when it
; cannot be read.
Function OwnerOf
  System::Call '*(&i1024) p .r5'
  ; OWNER_SECURITY_INFORMATION
  System::Call 'advapi32::GetFileSecurityW(w r3, i 1, p r5, i 1024, *i .r6) i .r0'
  ${If} $0 != 0
    System::Call 'advapi32::GetSecurityDescriptorOwner(p r5, *p .r6, *i .r7) i .r0'
  ${EndIf}
  ${If} $0 != 0
  ${AndIf} $6 != 0
    System::Call 'advapi32::ConvertSidToStringSidW(p r6, *p .r7) i .r0'
  ${EndIf}
  ${If} $0 != 0
  ${AndIf} $6 != 0
    System::Call 'kernel32::lstrcpynW(w .r0, p r7, i ${NSIS_MAX_STRLEN})'
    System::Call 'kernel32::LocalFree(p r7)'
  ${Else}
    StrCpy $0 ""
  ${EndIf}
  System::Free $5
FunctionEnd

; One file or folder $R2 of the program folder: no link to elsewhere (the
; lock would follow it), no file with other names elsewhere (the lock would
; change that file too), and an owner that only an administrator can give
; it. With $R6 = 1 it is locked first, with the rules $R1 (SDDL): an owner
; must not be able to loosen them again. $Problem gets what is wrong.
Function CheckEntry
  ; FILE_READ_ATTRIBUTES; every kind of sharing; OPEN_EXISTING;
  ; FILE_FLAG_BACKUP_SEMANTICS (folders too) | FILE_FLAG_OPEN_REPARSE_POINT.
  System::Call 'kernel32::CreateFileW(w R2, i 0x80, i 7, p 0, i 3, i 0x02200000, p 0) p .r3'
  ${If} $3 = -1
    StrCpy $Problem "Cannot examine $R2."
    Return
  ${EndIf}
  ; BY_HANDLE_FILE_INFORMATION: the attributes first, the number of links
  ; eleventh.
  System::Call '*(i,i,i,i,i,i,i,i,i,i,i,i,i) p .r4'
  System::Call 'kernel32::GetFileInformationByHandle(p r3, p r4) i .r0'
  System::Call '*$4(i .r5,i,i,i,i,i,i,i,i,i,i .r6)'
  System::Free $4
  System::Call 'kernel32::CloseHandle(p r3)'
  ${If} $0 = 0
    StrCpy $Problem "Cannot examine $R2."
    Return
  ${EndIf}
  ; FILE_ATTRIBUTE_REPARSE_POINT
  IntOp $4 $5 & 0x400
  ${If} $4 != 0
    StrCpy $Problem "$R2 is a link to another place; the setup does not take a folder that holds links."
    Return
  ${EndIf}
  ; FILE_ATTRIBUTE_DIRECTORY
  IntOp $4 $5 & 0x10
  ${If} $4 = 0
  ${AndIf} $6 > 1
    StrCpy $Problem "$R2 has other names elsewhere (hard links); the setup does not take a folder that holds such a file."
    Return
  ${EndIf}
  ${If} $R6 = 1
    StrCpy $2 $R1
    StrCpy $3 $R2
    Call ProtectPath
    ${If} $0 = 0
      StrCpy $Problem "Cannot restrict the access to $R2."
      Return
    ${EndIf}
  ${EndIf}
  StrCpy $3 $R2
  Call OwnerOf
  ${If} $0 == ""
    StrCpy $Problem "Cannot read who owns $R2."
    Return
  ${EndIf}
  ${If} $0 != "${ADMINISTRATORS_SID}"
  ${AndIf} $0 != "${SYSTEM_SID}"
  ${AndIf} $0 != "${TRUSTED_INSTALLER_SID}"
  ${AndIf} $0 != $MySid
    StrCpy $Problem "$R2 belongs to $0, not to the administrators: anyone could have put it there for the service to run."
  ${EndIf}
FunctionEnd

; $INSTDIR and everything in it through CheckEntry (with $R6 as given): the
; first thing wrong goes to $Problem. Folders wait on the stack above a "|".
Function WalkFolder
  StrCpy $R2 $INSTDIR
  StrCpy $R1 "${FOLDER_SDDL}"
  Call CheckEntry
  ${If} $Problem != ""
    Return
  ${EndIf}
  Push "|"
  Push $INSTDIR
  ${Do}
    Pop $R5
    ${If} $R5 == "|"
      ${Break}
    ${EndIf}
    ClearErrors
    FindFirst $R4 $R3 "$R5\*.*"
    ${If} ${Errors}
      StrCpy $Problem "Cannot list the folder $R5."
    ${EndIf}
    ${Do}
      ${If} $R3 == ""
      ${OrIf} $Problem != ""
        ${Break}
      ${EndIf}
      ${If} $R3 != "."
      ${AndIf} $R3 != ".."
        StrCpy $R2 "$R5\$R3"
        StrCpy $R1 "${FOLDER_SDDL}"
        ; The password's file keeps its own, narrower rules.
        ${If} $R2 == "${SETTINGS}"
          StrCpy $R1 "${SETTINGS_SDDL}"
        ${EndIf}
        Call CheckEntry
        ${If} $Problem == ""
        ${AndIf} ${FileExists} "$R2\*.*"
          Push $R2
        ${EndIf}
      ${EndIf}
      FindNext $R4 $R3
    ${Loop}
    FindClose $R4
    ${If} $Problem != ""
      ${Do}
        Pop $R5
      ${LoopUntil} $R5 == "|"
      ${Break}
    ${EndIf}
  ${Loop}
FunctionEnd

; $Problem gets why the setup may not take the folder $INSTDIR, if it may
; not. Its lock would reach all that is in it: never a folder of Windows
; itself, of the programs, or of a user.
Function CheckFolder
  StrCpy $Problem ""
  StrCpy $1 $INSTDIR
  Call NormalPath
  StrCpy $R0 $1
  ; $R7: the folder with a closing "\" (a drive's has one already).
  StrCpy $R7 "$R0\"
  StrCpy $2 $R0 1 -1
  ${If} $2 == "\"
    StrCpy $R7 $R0
  ${EndIf}
  SetShellVarContext all
  ${ForEach} $R3 0 8 + 1
    ${Select} $R3
      ${Case} 0
        StrCpy $1 $WINDIR
      ${Case} 1
        StrCpy $1 $SYSDIR
      ${Case} 2
        StrCpy $1 $PROGRAMFILES32
      ${Case} 3
        StrCpy $1 $PROGRAMFILES64
      ${Case} 4
        StrCpy $1 $COMMONFILES32
      ${Case} 5
        StrCpy $1 $COMMONFILES64
      ${Case} 6
        StrCpy $1 $APPDATA
      ${Case} 7
        StrCpy $1 $PROFILE
      ${Case} 8
        StrCpy $1 $TEMP
    ${EndSelect}
    Call NormalPath
    StrLen $2 $R7
    StrCpy $3 "$1\" $2
    ${If} $3 == $R7
    ${AndIf} $1 != ""
      StrCpy $Problem "The folder $INSTDIR is, or holds, a folder of Windows, of the programs or of a user ($1): choose a folder of its own for the client."
      ${Break}
    ${EndIf}
  ${Next}
  ${If} $Problem != ""
  ${OrIfNot} ${FileExists} "$INSTDIR\*.*"
    Return
  ${EndIf}
  ${If} ${FileExists} "${SETTINGS}"
    ; On record: the installation's folder, or one whose settings were kept.
    StrCpy $1 $OldDir
    Call NormalPath
    StrCpy $5 0
    ${If} $OldDir != ""
    ${AndIf} $1 == $R0
      StrCpy $5 1
    ${EndIf}
    ClearErrors
    ReadRegStr $2 HKLM "${KEPT_KEY}" $R0
    ${IfNot} ${Errors}
      StrCpy $5 1
    ${EndIf}
    ${If} $5 = 0
      StrCpy $Problem "${SETTINGS} is not a settings file that this client's setup left there: the service would run what it says as the system account. Move it away, or choose another folder."
      Return
    ${EndIf}
  ${EndIf}
  StrCpy $R6 0
  Call WalkFolder
  ${If} $Problem == ""
    Call ClientTrust
  ${EndIf}
FunctionEnd

; The client's own judgement of the folder $INSTDIR (its "trust" verb, run
; from the copy in the plugins folder): $Problem gets its reason.
Function ClientTrust
  nsExec::ExecToStack '"$PLUGINSDIR\CVNRemote.exe" trust "$INSTDIR\."'
  Pop $0
  Pop $1
  ${If} $0 != 0
    Call TrimLineEnds
    StrCpy $Problem $1
    ${If} $Problem == ""
      StrCpy $Problem "The client could not judge the folder $INSTDIR (status $0)."
    ${EndIf}
  ${EndIf}
FunctionEnd

; $1 without the line ends at its end.
Function TrimLineEnds
  ${Do}
    StrCpy $2 $1 1 -1
    ${If} $2 != "$\r"
    ${AndIf} $2 != "$\n"
      ${Break}
    ${EndIf}
    StrCpy $1 $1 -1
  ${Loop}
FunctionEnd

; After the lock and the service's stop: the client's "lock" verb locks
; again (nothing changes) and refuses a file still held open for writing.
Function ClientLock
  nsExec::ExecToStack '"$PLUGINSDIR\CVNRemote.exe" lock "$INSTDIR\."'
  Pop $0
  Pop $1
  ${If} $0 != 0
    Call TrimLineEnds
    StrCpy $0 "$1 Nothing was copied into the folder $INSTDIR."
    Call Tell
    SetErrorLevel 2
    Abort
  ${EndIf}
FunctionEnd

Function DirectoryLeave
  Call CheckFolder
  ${If} $Problem != ""
    MessageBox MB_ICONSTOP "$Problem"
    Abort
  ${EndIf}
FunctionEnd

; The program folder, locked before anything is copied into it, and all
; that is in it.
Function ProtectFolder
  CreateDirectory "$INSTDIR"
  ${IfNot} ${FileExists} "$INSTDIR\*.*"
    StrCpy $0 "Cannot create the folder $INSTDIR."
    Call Tell
    Abort
  ${EndIf}
  StrCpy $Problem ""
  StrCpy $R6 1
  Call WalkFolder
  ${If} $Problem != ""
    StrCpy $0 "$Problem Nothing was copied into the folder $INSTDIR."
    Call Tell
    Abort
  ${EndIf}
FunctionEnd

; The programs are deleted before they are copied, so that the new files take
; the folder's access rules rather than keep those of what was there.
Function RemovePrograms
  ${ForEach} $1 0 3 + 1
    ${Select} $1
      ${Case} 0
        StrCpy $2 "CVNRemote.exe"
      ${Case} 1
        StrCpy $2 "QMXDLL.dll"
      ${Case} 2
        StrCpy $2 "CVNShutdown.exe"
      ${Case} 3
        StrCpy $2 "Uninstall.exe"
    ${EndSelect}
    Delete "$INSTDIR\$2"
    ${If} ${FileExists} "$INSTDIR\$2"
      StrCpy $0 "Cannot replace $INSTDIR\$2."
      Call Tell
      Abort
    ${EndIf}
  ${Next}
FunctionEnd

; After a move into another folder: the programs left in the old one go
; (its uninstaller would remove the service that now runs from here); its
; settings and trace file stay, as after a removal.
Function RemoveOldPrograms
  ${If} $OldDir == ""
  ${OrIf} $OldDir == $INSTDIR
    Return
  ${EndIf}
  DetailPrint "Removing the programs from $OldDir"
  Delete "$OldDir\CVNRemote.exe"
  Delete "$OldDir\QMXDLL.dll"
  Delete "$OldDir\CVNShutdown.exe"
  Delete "$OldDir\Uninstall.exe"
  RMDir "$OldDir"
  Push $INSTDIR
  StrCpy $INSTDIR $OldDir
  Call RecordKeptSettings
  Pop $INSTDIR
FunctionEnd

; The settings file exists and only the system account and the
; administrators may read it, before a password goes into it. When that
; fails, a file made here is deleted again and the setup ends.
Function ProtectSettings
  StrCpy $5 0
  ${IfNot} ${FileExists} "${SETTINGS}"
    ClearErrors
    FileOpen $1 "${SETTINGS}" w
    ${If} ${Errors}
      StrCpy $0 "Cannot create ${SETTINGS}."
      Call Tell
      Abort
    ${EndIf}
    FileClose $1
    StrCpy $5 1
  ${EndIf}
  StrCpy $2 "${SETTINGS_SDDL}"
  StrCpy $3 "${SETTINGS}"
  Call ProtectPath
  ${If} $0 = 0
    ${If} $5 = 1
      Delete "${SETTINGS}"
    ${EndIf}
    StrCpy $0 "Cannot restrict the access to ${SETTINGS}; the password was not written."
    Call Tell
    Abort
  ${EndIf}
FunctionEnd

; The content of $SettingsSource into the (protected) settings file, byte
; for byte: truncating a file keeps its access rules.
Function CopySettings
  ClearErrors
  FileOpen $4 "$SettingsSource" r
  ${If} ${Errors}
    StrCpy $0 "Cannot read $SettingsSource."
    Call Tell
    Abort
  ${EndIf}
  FileOpen $5 "${SETTINGS}" w
  ${If} ${Errors}
    FileClose $4
    StrCpy $0 "Cannot write ${SETTINGS}."
    Call Tell
    Abort
  ${EndIf}
  ${Do}
    ClearErrors
    FileReadByte $4 $1
    ${If} ${Errors}
      ${Break}
    ${EndIf}
    FileWriteByte $5 $1
    ${If} ${Errors}
      FileClose $4
      FileClose $5
      StrCpy $0 "Cannot write ${SETTINGS}."
      Call Tell
      Abort
    ${EndIf}
  ${Loop}
  FileClose $4
  FileClose $5
FunctionEnd

; $0 = 1 when the files $1 and $2 are one (the same volume and file index,
; whatever the spelling of their paths), else 0.
Function SameFile
  StrCpy $0 0
  ClearErrors
  FileOpen $3 "$1" r
  ${If} ${Errors}
    Return
  ${EndIf}
  FileOpen $4 "$2" r
  ${If} ${Errors}
    FileClose $3
    Return
  ${EndIf}
  ; BY_HANDLE_FILE_INFORMATION: 13 DWORDs, the volume's serial number 8th,
  ; the file index 12th and 13th.
  System::Call '*(i,i,i,i,i,i,i,i,i,i,i,i,i) p .r5'
  System::Call '*(i,i,i,i,i,i,i,i,i,i,i,i,i) p .r6'
  System::Call 'kernel32::GetFileInformationByHandle(p r3, p r5) i .r7'
  System::Call 'kernel32::GetFileInformationByHandle(p r4, p r6) i .r8'
  ${If} $7 != 0
  ${AndIf} $8 != 0
    System::Call '*$5(i,i,i,i,i,i,i,i .r7,i,i,i,i .r8,i .r9)'
    StrCpy $7 "$7.$8.$9"
    System::Call '*$6(i,i,i,i,i,i,i,i .r8,i,i,i,i .r9,i .r1)'
    ${If} $7 == "$8.$9.$1"
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  System::Free $5
  System::Free $6
  FileClose $3
  FileClose $4
FunctionEnd

; A new settings file gets every key; an existing one is never replaced,
; only the keys given are changed in it. A prepared file (/SETTINGS=), or the
; one of an earlier installation in another folder, is carried over, and the
; keys given change it.
Function WriteSettings
  Call ProtectSettings
  ; A prepared file that is the settings file itself under another name (a
  ; short one, say) is kept as it is: copying it onto itself cannot work, the
  ; file being open for reading while it is opened to be written.
  ${If} $SettingsSource != ""
    StrCpy $1 "$SettingsSource"
    StrCpy $2 "${SETTINGS}"
    Call SameFile
    ${If} $0 = 1
      StrCpy $SettingsSource "${SETTINGS}"
    ${EndIf}
  ${EndIf}
  ${If} $SettingsSource != ""
  ${AndIf} $SettingsSource != "${SETTINGS}"
    DetailPrint "Taking the settings from $SettingsSource"
    FlushINI "${SETTINGS}"
    Call CopySettings
    !insertmacro ForEachSetting WriteGivenSetting
  ${ElseIf} $SettingsSource != ""
    DetailPrint "Keeping the settings in ${SETTINGS}"
    !insertmacro ForEachSetting WriteGivenSetting
  ${Else}
    DetailPrint "Writing the settings to ${SETTINGS}"
    !insertmacro ForEachSetting WriteSetting
    WriteINIStr "${SETTINGS}" "Debug" "On" "0"
    WriteINIStr "${SETTINGS}" "Debug" "Level" "2"
  ${EndIf}
  FlushINI "${SETTINGS}"
FunctionEnd

; The service through the service manager's own calls: the client's service
; commands, when they fail, go on to start the client itself, and nothing
; would tell the setup what went wrong.
; $R8 and $R9 hold the manager's and the service's handles ("0": none);
; $0 to $3 are scratch.
!macro ServiceFunctions UN
  Function ${UN}OpenService
    StrCpy $2 "${SERVICE_NAME}"
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i ${SC_MANAGER_ALL_ACCESS}) p .R8'
    System::Call 'advapi32::OpenServiceW(p R8, w r2, i ${SERVICE_ALL_ACCESS}) p .R9'
  FunctionEnd

  Function ${UN}CloseService
    System::Call 'advapi32::CloseServiceHandle(p R9)'
    System::Call 'advapi32::CloseServiceHandle(p R8)'
    StrCpy $R9 0
    StrCpy $R8 0
  FunctionEnd

  ; $0: the service's state, 0 when it cannot be asked.
  Function ${UN}ServiceState
    System::Call '*(i,i,i,i,i,i,i) p .r1'
    System::Call 'advapi32::QueryServiceStatus(p R9, p r1) i .r0'
    ${If} $0 != 0
      System::Call '*$1(i, i .r0)'
    ${EndIf}
    System::Free $1
  FunctionEnd

  ; Waits at most a minute for the state in $2; $0: the last state seen.
  ; On mains power the client notices a stop only between its connection
  ; attempts, which may take half a minute.
  Function ${UN}WaitForState
    StrCpy $3 0
    ${Do}
      Call ${UN}ServiceState
      ${If} $0 == $2
      ${OrIf} $3 >= 300
        ${Break}
      ${EndIf}
      Sleep 200
      IntOp $3 $3 + 1
    ${Loop}
  FunctionEnd

  ; An upgrade and the removal stop the service first, so that its program
  ; can be replaced or deleted.
  Function ${UN}StopService
    Call ${UN}OpenService
    ${If} $R9 != 0
      Call ${UN}ServiceState
      ${If} $0 != ${SERVICE_STOPPED}
        DetailPrint "Stopping the service"
        System::Call '*(i,i,i,i,i,i,i) p .r1'
        System::Call 'advapi32::ControlService(p R9, i ${SERVICE_CONTROL_STOP}, p r1) i'
        System::Free $1
        StrCpy $2 ${SERVICE_STOPPED}
        Call ${UN}WaitForState
        ${If} $0 != ${SERVICE_STOPPED}
          Call ${UN}CloseService
          Abort "The service did not stop."
        ${EndIf}
        Call ${UN}WaitUntilReplaceable
      ${EndIf}
    ${EndIf}
    Call ${UN}CloseService
  FunctionEnd

  ; A stopped service's process ends a moment after it reports STOPPED; its
  ; program cannot be written until then.
  Function ${UN}WaitUntilReplaceable
    StrCpy $3 0
    ${DoWhile} ${FileExists} "$INSTDIR\CVNRemote.exe"
      ClearErrors
      FileOpen $1 "$INSTDIR\CVNRemote.exe" a
      ${IfNot} ${Errors}
        FileClose $1
        ${Break}
      ${EndIf}
      ${If} $3 >= 50
        ${Break}
      ${EndIf}
      Sleep 200
      IntOp $3 $3 + 1
    ${Loop}
  FunctionEnd
!macroend
!insertmacro ServiceFunctions ""
!insertmacro ServiceFunctions "un."

; Registered by the client itself (quoted image path, on demand), then set
; to start at boot: a service that waits to be started leaves the computer
; unprotected after the next reboot.
Function RegisterService
  Call OpenService
  ${If} $R9 == 0
    Call CloseService
    DetailPrint "Registering the service"
    nsExec::ExecToLog '"$INSTDIR\CVNRemote.exe" install'
    Pop $0
    Call OpenService
    ${If} $R9 == 0
      Call CloseService
      StrCpy $0 "The service could not be registered."
      Call Tell
      Abort
    ${EndIf}
  ${EndIf}
  ; An existing registration may name another copy of the client.
  StrCpy $2 '"$INSTDIR\CVNRemote.exe"'
  System::Call 'advapi32::ChangeServiceConfigW(p R9, i ${SERVICE_NO_CHANGE}, i ${SERVICE_AUTO_START}, i ${SERVICE_NO_CHANGE}, w r2, p 0, p 0, p 0, p 0, p 0, p 0) i .r0'
  ${If} $0 = 0
    Call CloseService
    StrCpy $0 "The service could not be set to start at boot."
    Call Tell
    Abort
  ${EndIf}
  ; Restart after a failure, on every install and upgrade: a registration
  ; made by an older setup has no failure actions.
  DetailPrint "Setting the service to restart after a failure"
  nsExec::ExecToLog '"$INSTDIR\CVNRemote.exe" configure'
  Pop $0
  ${If} $0 != 0
    DetailPrint "The service's failure actions could not be set ($0)."
  ${EndIf}
  Call StartService
  Call CloseService
FunctionEnd

; $0: the text of message $1 from the message table of the module $2 (loaded
; as data only), or from the system's when $2 is empty; "" when there is
; none. Inserts stay as they are; the line end comes off.
Function MessageText
  StrCpy $0 ""
  StrCpy $4 0
  ${If} $2 != ""
    ; LOAD_LIBRARY_AS_DATAFILE: nothing of the program runs.
    System::Call 'kernel32::LoadLibraryExW(w r2, p 0, i 2) p .r3'
    ${If} $3 != 0
      ; FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS
      System::Call 'kernel32::FormatMessageW(i 0xA00, p r3, i r1, i 0, w .r0, i ${NSIS_MAX_STRLEN}, p 0) i .r4'
      System::Call 'kernel32::FreeLibrary(p r3)'
    ${EndIf}
  ${Else}
    ; FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS
    System::Call 'kernel32::FormatMessageW(i 0x1200, p 0, i r1, i 0, w .r0, i ${NSIS_MAX_STRLEN}, p 0) i .r4'
  ${EndIf}
  ${If} $4 = 0
    StrCpy $0 ""
    Return
  ${EndIf}
  ${Do}
    StrCpy $1 $0 1 -1
    ${If} $1 != "$\r"
    ${AndIf} $1 != "$\n"
    ${AndIf} $1 != " "
      ${Break}
    ${EndIf}
    StrCpy $0 $0 -1
  ${Loop}
FunctionEnd

; Starts the service ($R9) and watches it: RUNNING for 5 s counts as
; started; a service that stops is told at once, with its reason. The client
; stops its service by itself when it cannot run (no server address, no
; settings file), with ERROR_SERVICE_SPECIFIC_ERROR and the identifier of
; its message, which its own message table turns into text.
Function StartService
  DetailPrint "Starting the service"
  System::Call 'advapi32::StartServiceW(p R9, i 0, p 0) i .r0 ?e'
  Pop $1
  ${If} $0 = 0
  ${AndIf} $1 != ${ERROR_SERVICE_ALREADY_RUNNING}
    StrCpy $R4 $1
    StrCpy $2 ""
    Call MessageText
    StrCpy $0 "The service was installed but could not be started: $0 (error $R4)"
    Call Tell
    SetErrorLevel 3
    Return
  ${EndIf}
  StrCpy $R1 0
  StrCpy $R2 0
  ${Do}
    System::Call '*(i,i,i,i,i,i,i) p .r1'
    System::Call 'advapi32::QueryServiceStatus(p R9, p r1) i .r0'
    StrCpy $R3 0
    ${If} $0 != 0
      System::Call '*$1(i, i .R3, i, i .R4, i .R5)'
    ${EndIf}
    System::Free $1
    ${If} $R3 = ${SERVICE_STOPPED}
      ${Break}
    ${ElseIf} $R3 = ${SERVICE_RUNNING}
      IntOp $R2 $R2 + 1
      ${If} $R2 >= 25
        ${Break}
      ${EndIf}
    ${Else}
      StrCpy $R2 0
    ${EndIf}
    ; A service still starting (or paused) after a minute is given up on.
    ${If} $R1 >= 300
      ${Break}
    ${EndIf}
    Sleep 200
    IntOp $R1 $R1 + 1
  ${Loop}

  ${If} $R3 = ${SERVICE_RUNNING}
    DetailPrint "The service is running."
  ${ElseIf} $R3 = ${SERVICE_STOPPED}
    ${If} $R4 = ${ERROR_SERVICE_SPECIFIC_ERROR}
      StrCpy $1 $R5
      StrCpy $2 "$INSTDIR\CVNRemote.exe"
      Call MessageText
      IntFmt $1 "0x%08X" $R5
      ${If} $0 == ""
        StrCpy $0 "message $1"
      ${Else}
        StrCpy $0 "$0 [$1]"
      ${EndIf}
    ${ElseIf} $R4 != 0
      StrCpy $1 $R4
      StrCpy $2 ""
      Call MessageText
      StrCpy $0 "$0 (error $R4)"
    ${Else}
      StrCpy $0 "it gave no reason"
    ${EndIf}
    StrCpy $0 "The service was installed but stopped at once: $0. Mend the settings in ${SETTINGS}, then start the service; the Event Log has the client's reports."
    Call Tell
    SetErrorLevel 3
  ${Else}
    StrCpy $0 "The service was installed but did not start within a minute (state $R3); see the Event Log."
    Call Tell
    SetErrorLevel 3
  ${EndIf}
FunctionEnd

Section "Client and service"
  ; Again, just before the folder is locked: it may have changed since.
  Call CheckFolder
  ${If} $Problem != ""
    StrCpy $0 "$Problem Nothing was installed."
    Call Tell
    SetErrorLevel 2
    Abort
  ${EndIf}
  Call FindSettingsSource
  Call ProtectFolder
  SetOutPath "$INSTDIR"
  Call StopService
  Call ClientLock
  Call RemovePrograms
  File "/oname=CVNRemote.exe" "${CLIENT}"
  File "/oname=QMXDLL.dll" "${LIBRARY}"
  File "/oname=CVNShutdown.exe" "${HELPER}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Corvane"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\CVNRemote.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  Call WriteSettings
  ; The folder is on record as the installation's now.
  StrCpy $1 $INSTDIR
  Call NormalPath
  Call ForgetKeptSettings
  Call RegisterService
  Call RemoveOldPrograms
SectionEnd

Section "un.Service and programs" UninstallPrograms
  SectionIn RO
  Call un.StopService
  Call un.OpenService
  ${If} $R9 != 0
    Call un.CloseService
    DetailPrint "Removing the service"
    nsExec::ExecToLog '"$INSTDIR\CVNRemote.exe" remove'
    Pop $0
    Call un.OpenService
    ${If} $R9 != 0
      Call un.CloseService
      Abort "The service could not be removed."
    ${EndIf}
  ${EndIf}
  Call un.CloseService
  DeleteRegKey HKLM "${EVENT_SOURCE_KEY}"

  Delete "$INSTDIR\CVNRemote.exe"
  Delete "$INSTDIR\QMXDLL.dll"
  Delete "$INSTDIR\CVNShutdown.exe"
  Delete "$INSTDIR\Uninstall.exe"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ; Only when empty: the settings and the trace stay unless asked for.
  RMDir "$INSTDIR"
SectionEnd

Section /o "un.Settings and trace file" UninstallSettings
  Delete "${SETTINGS}"
  Delete "$INSTDIR\agtrace.log"
  RMDir "$INSTDIR"
SectionEnd

; Whatever was removed, the registry tells whether a settings file of ours
; stays in the folder.
Function un.onUninstSuccess
  Call un.RecordKeptSettings
FunctionEnd

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PURGE" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UninstallSettings}
  ${EndIf}
FunctionEnd
