; Setup program of the Corvane Remote Shutdown Client: the client, its
; library and the Windows 9x helper in the program-files folder, the settings
; file beside them, and the client as a service that starts at boot.
;
; Built by packaging/CMakeLists.txt:
;   makensis -DVERSION=x.y.z -DARCH=win32|win64 -DCLIENT=<CVNRemote.exe>
;            -DLIBRARY=<QMXDLL.dll> -DHELPER=<CVNShutdown.exe> -DOUTFILE=<setup.exe>
;            CVNRemote.nsi
;
; Silent install:  setup.exe /S [/SERVER=host] [/PORT=n] [/USER=name]
;                  [/PASSWORD=text] [/ONBATTERY=s] [/LOWBATTERY=s] [/D=folder]
; Silent removal:  Uninstall.exe /S [/PURGE]  (/PURGE: the settings and trace too)

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

!define SC_MANAGER_ALL_ACCESS 0xF003F
!define SERVICE_ALL_ACCESS 0xF01FF
!define SERVICE_NO_CHANGE 0xFFFFFFFF
!define SERVICE_AUTO_START 2
!define SERVICE_CONTROL_STOP 1
!define SERVICE_STOPPED 1
!define SERVICE_RUNNING 4
; DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION
!define PROTECTED_DACL 0x80000004
; The settings hold the server's password: full access for the system account
; (the service) and the administrators, nobody else, nothing inherited.
!define SETTINGS_SDDL "D:P(A;;FA;;;SY)(A;;FA;;;BA)"

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

Page directory
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

; The settings' keys in the [Settings] section, the options that give them,
; and the client's defaults.
!macro ForEachSetting MACRO
  !insertmacro ${MACRO} Server     "Server Address"       "/SERVER="     ""
  !insertmacro ${MACRO} Port       "Server Port"          "/PORT="       "8888"
  !insertmacro ${MACRO} User       "Username"             "/USER="       "admin"
  !insertmacro ${MACRO} Password   "Password"             "/PASSWORD="   "vorak"
  !insertmacro ${MACRO} OnBattery  "On Battery Shutdown"  "/ONBATTERY="  "120"
  !insertmacro ${MACRO} LowBattery "Low Battery Shutdown" "/LOWBATTERY=" "30"
!macroend

!macro TakeOption NAME KEY OPTION DEFAULT
  StrCpy $${NAME} "${DEFAULT}"
  StrCpy $${NAME}Given 0
  ClearErrors
  ${GetOptions} $R0 "${OPTION}" $R1
  ${IfNot} ${Errors}
    StrCpy $${NAME} $R1
    StrCpy $${NAME}Given 1
  ${EndIf}
!macroend

!macro ReadSetting NAME KEY OPTION DEFAULT
  ${If} $${NAME}Given == 0
    ClearErrors
    ReadINIStr $R1 "${SETTINGS}" "Settings" "${KEY}"
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
  ${If} $${NAME} != $${NAME}Shown
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

Function .onInit
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP "Installing a service takes an administrator." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
  ${GetParameters} $R0
  !insertmacro ForEachSetting TakeOption
  StrCpy $SettingsRead 0
FunctionEnd

; An upgrade shows what the settings file holds (read once, so that going
; back and forth keeps what was typed).
Function SettingsPage
  ${If} $SettingsRead == 0
  ${AndIf} ${FileExists} "${SETTINGS}"
    !insertmacro ForEachSetting ReadSetting
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
FunctionEnd

; A new settings file gets every key; an existing one is never replaced,
; only the keys given are changed in it.
Function WriteSettings
  ${If} ${FileExists} "${SETTINGS}"
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

Function ProtectSettings
  StrCpy $2 "${SETTINGS_SDDL}"
  StrCpy $3 "${SETTINGS}"
  ; Strings go through registers: a path such as "Program Files (x86)" would
  ; otherwise end the System plugin's argument list.
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r2, i 1, *p .r1, p 0) i .r0'
  ${If} $0 == 0
    Abort "Cannot build the access rules for the settings file."
  ${EndIf}
  System::Call 'advapi32::SetFileSecurityW(w r3, i ${PROTECTED_DACL}, p r1) i .r0'
  System::Call 'kernel32::LocalFree(p r1)'
  ${If} $0 == 0
    Abort "Cannot restrict the access to ${SETTINGS}."
  ${EndIf}
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
      Abort "The service could not be registered."
    ${EndIf}
  ${EndIf}
  ; An existing registration may name another copy of the client.
  StrCpy $2 '"$INSTDIR\CVNRemote.exe"'
  System::Call 'advapi32::ChangeServiceConfigW(p R9, i ${SERVICE_NO_CHANGE}, i ${SERVICE_AUTO_START}, i ${SERVICE_NO_CHANGE}, w r2, p 0, p 0, p 0, p 0, p 0, p 0) i .r0'
  ${If} $0 == 0
    Call CloseService
    Abort "The service could not be set to start at boot."
  ${EndIf}
  DetailPrint "Starting the service"
  System::Call 'advapi32::StartServiceW(p R9, i 0, p 0) i'
  StrCpy $2 ${SERVICE_RUNNING}
  Call WaitForState
  Call CloseService
  ${If} $0 != ${SERVICE_RUNNING}
    MessageBox MB_ICONEXCLAMATION "The service was installed but did not start (state $0); see the Event Log." /SD IDOK
    SetErrorLevel 3
  ${EndIf}
FunctionEnd

Section "Client and service"
  SetOutPath "$INSTDIR"
  Call StopService
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
  Call ProtectSettings
  Call RegisterService
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

Function un.onInit
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PURGE" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${UninstallSettings}
  ${EndIf}
FunctionEnd
