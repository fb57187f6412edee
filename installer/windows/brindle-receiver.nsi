; Per-user installer for Brindle receiver: no administrator rights for the program itself, one
; optional elevated step for the firewall rules. Built by tools/build-windows-installer.sh, which
; defines VERSION, BIN_DIR (the Windows build), OUT_FILE, CABLE (the receiver's default device
; query) and CABLE_PAGE (the driver's download page the receiver's own message names).
;
; Silent install: setup.exe /S [/AUTOSTART=0|1] [/FIREWALL=0|1] [/D=folder]
; Without an option, a new install uses 1 and an upgrade keeps the earlier choice. Silently, the
; firewall step (which needs an administrator) runs only with /FIREWALL=1 or when already elevated.

Unicode true
Target amd64-unicode
SetCompressor /SOLID lzma
RequestExecutionLevel user
ManifestSupportedOS all
ManifestDPIAware true

!ifndef VERSION | BIN_DIR | OUT_FILE | CABLE | CABLE_PAGE
  !error "run tools/build-windows-installer.sh"
!endif
; A signed release signs the uninstaller too, before it is packed into setup, and packs signed
; copies of the plug-ins (this folder takes precedence over NSIS's own).
!ifdef SIGN_FILE_COMMAND
  !uninstfinalize '${SIGN_FILE_COMMAND} "%1"' = 0
!endif
!ifdef SIGNED_PLUGINS
  !addplugindir /amd64-unicode "${SIGNED_PLUGINS}"
!endif

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include nsDialogs.nsh
!include StrFunc.nsh
!include "brindle-receiver.nsh"

${StrStr}

Name "Brindle receiver"
OutFile "${OUT_FILE}"
InstallDir "$LOCALAPPDATA\Programs\Brindle"
InstallDirRegKey HKCU "${SETTINGS_KEY}" "InstallDir"
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIAddVersionKey ProductName "Brindle receiver"
VIAddVersionKey CompanyName "Brindle"
VIAddVersionKey FileDescription "Brindle receiver setup"
VIAddVersionKey FileVersion "${VERSION}"
VIAddVersionKey ProductVersion "${VERSION}"
VIAddVersionKey LegalCopyright "Brindle"

Var Autostart      ; 1: run --autostart on
Var Firewall       ; 1: the firewall rules are wanted
Var WasRunning     ; a receiver was ended to replace its files
Var CableFound
Var FirewallNote   ; finish-page text about the firewall step
Var Elevation      ; user or admin (TokenLevel)
Var StartNote      ; finish-page text when setup leaves starting the receiver to the user
Var AutostartBox
Var FirewallBox

!define MUI_ABORTWARNING
!insertmacro MUI_PAGE_WELCOME
Page custom OptionsPageCreate OptionsPageLeave
!insertmacro MUI_PAGE_INSTFILES
Page custom CablePageCreate
!define MUI_FINISHPAGE_TITLE "Brindle receiver is installed"
!define MUI_FINISHPAGE_TEXT_LARGE
!define MUI_FINISHPAGE_TEXT "Start it from the Start menu (Brindle receiver): it opens in a console window and shows a status line every two seconds. On the phone, pick this PC from the list.$StartNote$FirewallNote"
!define MUI_FINISHPAGE_RUN
!define MUI_FINISHPAGE_RUN_TEXT "Start Brindle receiver now"
!define MUI_FINISHPAGE_RUN_FUNCTION StartReceiverNow
!define MUI_PAGE_CUSTOMFUNCTION_SHOW FinishPageShow
!insertmacro MUI_PAGE_FINISH

!insertmacro MUI_UNPAGE_CONFIRM
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

!insertmacro RECEIVER_RUNNING_FUNC ""
!insertmacro RECEIVER_RUNNING_FUNC "un."
!insertmacro STOP_RECEIVER_FUNC ""
!insertmacro STOP_RECEIVER_FUNC "un."
!insertmacro RUN_ELEVATED_FUNC ""
!insertmacro RUN_ELEVATED_FUNC "un."
!insertmacro TOKEN_LEVEL_FUNC ""
!insertmacro TOKEN_LEVEL_FUNC "un."
!insertmacro FIREWALL_STEP_ALLOWED_FUNC ""
!insertmacro FIREWALL_STEP_ALLOWED_FUNC "un."

; Reads /NAME=0|1 from the command line into $0, which holds the default on entry. A value other
; than 0 or 1 ends setup with status 2 before anything is changed.
!macro READ_SWITCH name
  ${GetOptions} $R0 "/${name}=" $R1
  ${IfNot} ${Errors}
    ${If} $R1 == 0
    ${OrIf} $R1 == 1
      StrCpy $0 $R1
    ${Else}
      MessageBox MB_OK|MB_ICONSTOP "/${name}= takes 0 or 1, not $\"$R1$\"." /SD IDOK
      SetErrorLevel 2
      Quit
    ${EndIf}
  ${EndIf}
!macroend

Function .onInit
  !insertmacro CLAIM_SETUP_MUTEX
  Pop $0
  ${If} $0 == 1
    MessageBox MB_OK|MB_ICONEXCLAMATION "Brindle receiver setup is already running." /SD IDOK
    SetErrorLevel 1
    Quit
  ${EndIf}

  ; The program, its settings and its login start would land in the SYSTEM account's profile,
  ; which no one logs in with.
  Call TokenLevel
  Pop $Elevation
  ${If} $Elevation == system
    MessageBox MB_OK|MB_ICONSTOP "Brindle receiver is installed for one user, and this setup runs as the SYSTEM account, which no one logs in with. Run setup as the user who will use Brindle receiver." /SD IDOK
    SetErrorLevel 1
    Quit
  ${EndIf}

  ; Earlier choices, else the defaults: both on.
  ClearErrors
  ReadRegDWORD $0 HKCU "${SETTINGS_KEY}" "Autostart"
  ${If} ${Errors}
    StrCpy $0 1
  ${EndIf}
  ${GetParameters} $R0
  ClearErrors
  !insertmacro READ_SWITCH AUTOSTART
  StrCpy $Autostart $0

  ClearErrors
  ReadRegDWORD $0 HKCU "${SETTINGS_KEY}" "Firewall"
  ${If} ${Errors}
    StrCpy $0 1
  ${EndIf}
  ClearErrors
  !insertmacro READ_SWITCH FIREWALL
  StrCpy $Firewall $0
  StrCpy $FirewallNote ""
  StrCpy $StartNote ""
FunctionEnd

Function OptionsPageCreate
  !insertmacro MUI_HEADER_TEXT "Options" "How Brindle receiver runs on this PC."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 100% 12u "Start Brindle receiver at login"
  Pop $AutostartBox
  ${NSD_SetState} $AutostartBox $Autostart
  ${NSD_CreateLabel} 12u 13u -12u 20u "It then runs in the background, ready for the phone, whenever you log in."
  Pop $0
  ${NSD_CreateCheckbox} 0 40u 100% 12u "Let the phone through Windows Firewall"
  Pop $FirewallBox
  ${NSD_SetState} $FirewallBox $Firewall
  ${NSD_CreateLabel} 12u 53u -12u 40u "Adds inbound rules for brindle-receiver.exe on UDP 45333 (audio) and UDP 5353 (discovery): from any address on private and domain networks, from the local subnet only on public ones. Windows asks once for an administrator's permission; you can say no and allow the program later."
  Pop $0
  nsDialogs::Show
FunctionEnd

Function OptionsPageLeave
  ${NSD_GetState} $AutostartBox $Autostart
  ${NSD_GetState} $FirewallBox $Firewall
FunctionEnd

; Shown after the files are in place, only when the check found no virtual cable.
Function CablePageCreate
  ${If} $CableFound == 1
    Abort
  ${EndIf}
  !insertmacro MUI_HEADER_TEXT "Virtual cable not found" "Brindle receiver is installed, but it has nowhere to play the phone yet."
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 60u "Brindle receiver plays the phone's audio into the VB-CABLE virtual audio cable ($\"${CABLE}$\"), and other programs record it from $\"CABLE Output$\" as a microphone. This PC does not have the cable yet.$\r$\n$\r$\nInstall the VB-CABLE driver from its download page, restart the PC if the driver asks you to, then start Brindle receiver."
  Pop $0
  ${NSD_CreateLink} 0 66u 100% 12u "${CABLE_PAGE}"
  Pop $0
  ${NSD_OnClick} $0 OpenCablePage
  nsDialogs::Show
FunctionEnd

Function OpenCablePage
  Pop $0
  ExecShell "open" "${CABLE_PAGE}"
FunctionEnd

Function FinishPageShow
  ; A receiver restarted by the upgrade already runs; a second start would only be refused.
  ; Started by an elevated setup, it would run elevated too.
  Call ReceiverRunning
  Pop $0
  ${If} $0 == 1
  ${OrIf} $Elevation == admin
    ${NSD_Uncheck} $mui.FinishPage.Run
    ShowWindow $mui.FinishPage.Run ${SW_HIDE}
  ${EndIf}
FunctionEnd

Function StartReceiverNow
  ; A console program started by a GUI process gets a console window of its own.
  Exec '"$INSTDIR\${RECEIVER_EXE}"'
FunctionEnd

Function RegisterAutostart
  ${If} $Autostart == 1
    ; An upgrade keeps a login command the user registered with options of their own, as long
    ; as it starts this copy of the program.
    ReadRegStr $0 HKCU "${RUN_KEY}" "Brindle"
    StrCpy $1 '"$INSTDIR\${RECEIVER_EXE}" --background'
    StrLen $2 $1
    StrCpy $3 $0 $2
    StrCpy $4 $0 1 $2
    ${If} $4 == " "
      StrCpy $4 ""
    ${EndIf}
    ${If} $3 == $1
    ${AndIf} $4 == ""
      DetailPrint "Start at login: kept $0"
      Return
    ${EndIf}
    StrCpy $0 "on"
  ${Else}
    StrCpy $0 "off"
  ${EndIf}
  nsExec::ExecToLog '"$INSTDIR\${RECEIVER_EXE}" --autostart $0'
  Pop $1
  ${If} $1 != 0
    MessageBox MB_OK|MB_ICONEXCLAMATION "Could not change the start at login (brindle-receiver.exe --autostart $0 ended with $1); see the details." /SD IDOK
  ${EndIf}
FunctionEnd

Function SetUpFirewall
  ReadRegDWORD $5 HKCU "${SETTINGS_KEY}" "FirewallRules"
  ReadRegStr $6 HKCU "${SETTINGS_KEY}" "FirewallRulesFor"
  ${If} $Firewall == 1
    ; The rules name the program's path: an upgrade in the same folder needs no new ones.
    ${If} $5 == ${FIREWALL_RULES_VERSION}
    ${AndIf} $6 == "$INSTDIR\${RECEIVER_EXE}"
      DetailPrint "Firewall rules for $6 are in place."
      Return
    ${EndIf}
    Call FirewallStepAllowed
    Pop $0
    ${If} $0 != 1
      DetailPrint "Firewall rules not added: a silent setup asks for no permission unless given /FIREWALL=1."
      Return
    ${EndIf}
    ; cmd expands %NAME% even inside quotes: such a path cannot be handed over safely.
    ${StrStr} $0 $INSTDIR "%"
    ${If} $0 != ""
      StrCpy $0 failed
    ${Else}
      ; One elevated step: the parameters carry every command, so no file that this user could
      ; change is run with administrator rights. Old rules for the program go first. A phone on a
      ; routed home network or a VPN gets through on private and domain networks; on a public one
      ; only the local subnet does.
      StrCpy $1 '"$SYSDIR\netsh.exe" advfirewall firewall add rule'
      StrCpy $2 'dir=in action=allow program="$INSTDIR\${RECEIVER_EXE}" protocol=UDP localport=45333,5353'
      !insertmacro FIREWALL_DELETE_PARAMS $3
      StrCpy $4 '/d /s /c ""$SYSDIR\netsh.exe" $3 & $1 name="Brindle receiver (UDP 45333, 5353)" $2 profile=private,domain && $1 name="Brindle receiver (UDP 45333, 5353, public: local subnet)" $2 profile=public remoteip=localsubnet"'
      ; A command that fills a whole string may have been cut off: refuse it instead.
      StrLen $0 $4
      !define /math LONGEST_COMMAND ${NSIS_MAX_STRLEN} - 1
      ${If} $0 >= ${LONGEST_COMMAND}
        StrCpy $0 failed
      ${Else}
        Push "$SYSDIR\cmd.exe"
        Push $4
        DetailPrint "Adding firewall rules (Windows asks for permission)..."
        Call RunElevated
        Pop $0
      ${EndIf}
    ${EndIf}
    ${If} $0 == 0
      DetailPrint "Firewall rules added: UDP 45333 and UDP 5353, any address on private and domain networks, the local subnet on public ones."
      WriteRegDWORD HKCU "${SETTINGS_KEY}" "FirewallRules" ${FIREWALL_RULES_VERSION}
      WriteRegStr HKCU "${SETTINGS_KEY}" "FirewallRulesFor" "$INSTDIR\${RECEIVER_EXE}"
      Return
    ${EndIf}
    DetailPrint "Firewall rules not added ($0)."
    StrCpy $FirewallNote "$\r$\n$\r$\nThe firewall rules were not added. The first time the receiver starts, Windows Security asks whether to allow Brindle receiver: tick Private networks and choose Allow (an administrator's permission is needed; ticking Public lets anyone on a public network in). Choosing Cancel makes Windows block the phone."
  ${ElseIf} $5 >= 1
    ; Unticked on an upgrade: take the earlier rules away again.
    Call FirewallStepAllowed
    Pop $0
    ${If} $0 != 1
      DetailPrint "Firewall rules not removed: a silent setup asks for no permission."
      Return
    ${EndIf}
    !insertmacro FIREWALL_DELETE_PARAMS $3
    Push "$SYSDIR\netsh.exe"
    Push $3
    DetailPrint "Removing the firewall rules (Windows asks for permission)..."
    Call RunElevated
    Pop $0
    ${If} $0 == 0
      DeleteRegValue HKCU "${SETTINGS_KEY}" "FirewallRules"
      DeleteRegValue HKCU "${SETTINGS_KEY}" "FirewallRulesFor"
    ${Else}
      DetailPrint "Firewall rules not removed ($0)."
    ${EndIf}
  ${Else}
    StrCpy $FirewallNote "$\r$\n$\r$\nThe first time the receiver starts, Windows Security asks whether to allow Brindle receiver: tick Private networks and choose Allow (an administrator's permission is needed; ticking Public lets anyone on a public network in). Choosing Cancel makes Windows block the phone."
  ${EndIf}
FunctionEnd

Section "Brindle receiver"
  Call StopReceiver
  Pop $WasRunning
  ${If} $WasRunning == busy
    MessageBox MB_OK|MB_ICONSTOP "Brindle receiver is still running and cannot be replaced. Close it and run setup again." /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}

  SetOutPath "$INSTDIR"
  File "${BIN_DIR}\brindle-receiver.exe"
  File "${BIN_DIR}\brindle-send.exe"
  WriteUninstaller "$INSTDIR\uninstall.exe"
  ; SetOutPath gives the shortcut its working folder.
  CreateShortCut "$SMPROGRAMS\Brindle receiver.lnk" "$INSTDIR\${RECEIVER_EXE}" "" \
    "$INSTDIR\${RECEIVER_EXE}" 0 SW_SHOWNORMAL "" "Receive the phone's microphone (opens a console)"

  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Brindle receiver"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Brindle"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\${RECEIVER_EXE}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "EstimatedSize" $0

  WriteRegStr HKCU "${SETTINGS_KEY}" "InstallDir" "$INSTDIR"
  WriteRegDWORD HKCU "${SETTINGS_KEY}" "Autostart" $Autostart
  WriteRegDWORD HKCU "${SETTINGS_KEY}" "Firewall" $Firewall

  Call RegisterAutostart
  Call SetUpFirewall

  nsExec::ExecToLog '"$INSTDIR\${RECEIVER_EXE}" --check-device "${CABLE}"'
  Pop $0
  ${If} $0 == 0
    StrCpy $CableFound 1
  ${Else}
    StrCpy $CableFound 0
    DetailPrint "The VB-CABLE virtual cable is missing: install it from ${CABLE_PAGE}"
  ${EndIf}

  ; An elevated setup starts no receiver: it would run with an administrator's rights, where
  ; Explorer's messages to its icon are dropped and a later setup cannot end it.
  ${If} $Elevation == admin
    ${If} $Autostart == 1
      StrCpy $StartNote "$\r$\n$\r$\nSetup ran with an administrator's rights, so it does not start Brindle receiver itself (it would run with those rights too, and its icon would ignore clicks). It starts at your next login, or start it from the Start menu now."
    ${Else}
      StrCpy $StartNote "$\r$\n$\r$\nSetup ran with an administrator's rights, so it does not start Brindle receiver itself (it would run with those rights too, and its icon would ignore clicks). Start it from the Start menu."
    ${EndIf}
  ${EndIf}
  ; The receiver this setup ended comes back the way it starts at login.
  ReadRegStr $0 HKCU "${RUN_KEY}" "Brindle"
  ${If} $WasRunning == 1
  ${AndIf} $0 != ""
    ${If} $Elevation == admin
      DetailPrint "Not starting Brindle receiver again from an elevated setup: it starts at the next login or from the Start menu."
    ${Else}
      DetailPrint "Starting Brindle receiver again: $0"
      Exec $0
    ${EndIf}
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro CLAIM_SETUP_MUTEX
  Pop $0
  ${If} $0 == 1
    MessageBox MB_OK|MB_ICONEXCLAMATION "Brindle receiver setup is already running." /SD IDOK
    SetErrorLevel 1
    Quit
  ${EndIf}
FunctionEnd

Section "Uninstall"
  Call un.StopReceiver
  Pop $0
  ${If} $0 == busy
    MessageBox MB_OK|MB_ICONSTOP "Brindle receiver is still running and cannot be removed. Close it and try again." /SD IDOK
    SetErrorLevel 1
    Abort
  ${EndIf}

  ${If} ${FileExists} "$INSTDIR\${RECEIVER_EXE}"
    nsExec::ExecToLog '"$INSTDIR\${RECEIVER_EXE}" --autostart off'
    Pop $0
  ${EndIf}

  ReadRegDWORD $0 HKCU "${SETTINGS_KEY}" "FirewallRules"
  ${If} $0 >= 1
    Call un.FirewallStepAllowed
    Pop $0
  ${EndIf}
  ${If} $0 == 1
    !insertmacro FIREWALL_DELETE_PARAMS $1
    Push "$SYSDIR\netsh.exe"
    Push $1
    DetailPrint "Removing the firewall rules (Windows asks for permission)..."
    Call un.RunElevated
    Pop $0
    ${If} $0 != 0
      DetailPrint "Firewall rules not removed ($0)."
      MessageBox MB_OK|MB_ICONINFORMATION "The firewall rules for Brindle receiver were not removed. They allow only this program, which is now gone; an administrator can delete them under Windows Defender Firewall > Advanced settings > Inbound Rules." /SD IDOK
    ${EndIf}
  ${EndIf}

  Delete "$SMPROGRAMS\Brindle receiver.lnk"
  Delete "$INSTDIR\brindle-receiver.exe"
  Delete "$INSTDIR\brindle-send.exe"
  Delete "$INSTDIR\uninstall.exe"
  ; Only an empty folder goes: the user may have put files of their own there.
  RMDir "$INSTDIR"
  ; The background receiver's log, under the same rule.
  Delete "$LOCALAPPDATA\Brindle\receiver.log"
  Delete "$LOCALAPPDATA\Brindle\receiver.log.1"
  RMDir "$LOCALAPPDATA\Brindle"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "${SETTINGS_KEY}"
SectionEnd
