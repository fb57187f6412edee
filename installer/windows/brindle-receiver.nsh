; Helpers shared by the installer and the uninstaller. NSIS needs uninstaller functions to carry
; the "un." prefix, so each function is a macro inserted once for each side.

!include LogicLib.nsh

!define SETTINGS_KEY "Software\Brindle"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Brindle"
!define RUN_KEY "Software\Microsoft\Windows\CurrentVersion\Run"
!define RECEIVER_EXE "brindle-receiver.exe"
; The receiver's single-instance mutex: it exists exactly while a receiver runs in this session.
!define RECEIVER_MUTEX "Local\BrindleReceiver"
!define SETUP_MUTEX "Local\BrindleReceiverSetup"
; The hidden window of a background receiver; WM_CLOSE to it ends the receiver.
!define RECEIVER_WINDOW_CLASS "BrindleReceiver"
!ifndef WM_CLOSE
!define WM_CLOSE 0x0010
!endif
!define SYNCHRONIZE 0x00100000
!define ERROR_ALREADY_EXISTS 183
!define ERROR_CANCELLED 1223

; Pushes 1 when a receiver runs in this session, else 0.
!macro RECEIVER_RUNNING_FUNC un
Function ${un}ReceiverRunning
  Push $0
  System::Call 'kernel32::OpenMutexW(i ${SYNCHRONIZE}, i 0, w "${RECEIVER_MUTEX}") p .r0'
  ${If} $0 P<> 0
    System::Call 'kernel32::CloseHandle(p r0)'
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  Exch $0
FunctionEnd
!macroend

; Ends this user's running receivers (their files cannot be replaced or removed while they run)
; and waits until they are gone. Pushes 1 when one was running, 0 when none was, and "busy" when
; one still runs after the wait.
!macro STOP_RECEIVER_FUNC un
Function ${un}StopReceiver
  Push $0
  Push $1
  Call ${un}ReceiverRunning
  Pop $0
  ${If} $0 == 1
    DetailPrint "Ending the running Brindle receiver..."
    ; A background receiver ends itself on WM_CLOSE to its window; give it 5 s before taskkill.
    FindWindow $1 "${RECEIVER_WINDOW_CLASS}"
    ${If} $1 P<> 0
      System::Call 'user32::PostMessageW(p r1, i ${WM_CLOSE}, p 0, p 0)'
      StrCpy $1 0
      ${Do}
        Sleep 100
        IntOp $1 $1 + 1
        Call ${un}ReceiverRunning
        Pop $0
        ${If} $0 == 0
          StrCpy $0 closed
          ${Break}
        ${EndIf}
      ${LoopUntil} $1 >= 50
    ${EndIf}
  ${EndIf}
  ${If} $0 == closed
    StrCpy $0 1
  ${ElseIf} $0 == 1
    ReadEnvStr $1 USERNAME
    nsExec::ExecToLog '"$SYSDIR\taskkill.exe" /F /IM ${RECEIVER_EXE} /FI "USERNAME eq $1"'
    Pop $1
    ${If} $1 == 1
      ; A taskkill without /FI (Wine's) rejects the line. Without administrator rights, which
      ; this setup does not ask for, only this user's processes can be ended anyway.
      nsExec::ExecToLog '"$SYSDIR\taskkill.exe" /F /IM ${RECEIVER_EXE}'
      Pop $1
    ${EndIf}
    ; TerminateProcess returns before the process is gone; its mutex goes with it.
    StrCpy $1 0
    ${Do}
      Call ${un}ReceiverRunning
      Pop $0
      ${If} $0 == 0
        StrCpy $0 1
        ${Break}
      ${EndIf}
      ${If} $1 >= 100
        StrCpy $0 busy
        ${Break}
      ${EndIf}
      Sleep 100
      IntOp $1 $1 + 1
    ${Loop}
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd
!macroend

; Runs a program elevated ("runas": the UAC prompt) and waits for it. Call with the program and
; its parameters pushed in that order; pushes its exit code, "declined" when the user said no at
; the prompt, or "failed" when it could not be started.
!macro RUN_ELEVATED_FUNC un
Function ${un}RunElevated
  Exch $1 ; parameters
  Exch
  Exch $0 ; program
  Push $2
  Push $3
  Push $4
  !if ${NSIS_PTR_SIZE} != 8
    !error "the SHELLEXECUTEINFOW layout below is the 64-bit one"
  !endif
  ; SHELLEXECUTEINFOW (112 bytes on x64), SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC, SW_HIDE.
  System::Call '*(&l4, i 0x140, p $HWNDPARENT, w "runas", w r0, w r1, p 0, i 0, i 0, p 0, p 0, p 0, p 0, i 0, i 0, p 0, p 0) p .r2'
  System::Call 'shell32::ShellExecuteExW(p r2) i .r3 ?e'
  Pop $4 ; last error
  ${If} $3 == 0
    ${If} $4 == ${ERROR_CANCELLED}
      StrCpy $0 declined
    ${Else}
      StrCpy $0 failed
    ${EndIf}
  ${Else}
    System::Call '*$2(i, i, p, p, p, p, p, i, i, p, p, p, p, i, i, p, p .r3)'
    ${If} $3 P<> 0
      System::Call 'kernel32::WaitForSingleObject(p r3, i -1)'
      System::Call 'kernel32::GetExitCodeProcess(p r3, *i .r0)'
      System::Call 'kernel32::CloseHandle(p r3)'
    ${Else}
      StrCpy $0 failed
    ${EndIf}
  ${EndIf}
  System::Free $2
  Pop $4
  Pop $3
  Pop $2
  ; The stack holds the caller's $0 over its $1: give both back, leave the result.
  Exch $0
  Exch
  Pop $1
FunctionEnd
!macroend

; Which firewall rules are in place (the FirewallRules setting): 1 allowed any address on private
; and public networks; 2 allows any address on private and domain networks and the local subnet
; only on public ones.
!define FIREWALL_RULES_VERSION 2

; Pushes how setup runs: "system" as the SYSTEM account (a deployment tool's service), "admin"
; with an administrator's elevated token, else "user". whoami tells: the SYSTEM account's SID
; (S-1-5-18) or the token's integrity level, System (S-1-16-16384) or High (S-1-16-12288).
!macro TOKEN_LEVEL_FUNC un
Function ${un}TokenLevel
  Push $0
  Push $1
  InitPluginsDir
  nsExec::Exec '"$SYSDIR\cmd.exe" /d /s /c ""$SYSDIR\whoami.exe" /user /groups /fo csv /nh > "$PLUGINSDIR\groups.txt""'
  Pop $0
  StrCpy $1 user
  nsExec::Exec '"$SYSDIR\find.exe" "S-1-16-12288" "$PLUGINSDIR\groups.txt"'
  Pop $0
  ${If} $0 == 0
    StrCpy $1 admin
  ${EndIf}
  nsExec::Exec '"$SYSDIR\find.exe" "S-1-16-16384" "$PLUGINSDIR\groups.txt"'
  Pop $0
  ${If} $0 != 0
    nsExec::Exec '"$SYSDIR\find.exe" "S-1-5-18" "$PLUGINSDIR\groups.txt"'
    Pop $0
  ${EndIf}
  ${If} $0 == 0
    StrCpy $1 system
  ${EndIf}
  Delete "$PLUGINSDIR\groups.txt"
  StrCpy $0 $1
  Pop $1
  Exch $0
FunctionEnd
!macroend

; Pushes 1 when this run may take the firewall step, else 0: always in the wizard; silently only
; with an explicit /FIREWALL=1 or when already elevated, so that /S alone never brings up a
; permission prompt that would stall an unattended deployment.
!macro FIREWALL_STEP_ALLOWED_FUNC un
Function ${un}FirewallStepAllowed
  Push $0
  Push $1
  StrCpy $0 1
  ${If} ${Silent}
    ${GetParameters} $0
    ClearErrors
    ${GetOptions} $0 "/FIREWALL=" $1
    ${If} ${Errors}
    ${OrIf} $1 != 1
      Call ${un}TokenLevel
      Pop $0
      ${If} $0 == user
        StrCpy $0 0
      ${Else}
        StrCpy $0 1
      ${EndIf}
    ${Else}
      StrCpy $0 1
    ${EndIf}
  ${EndIf}
  Pop $1
  Exch $0
FunctionEnd
!macroend

; Parameters for netsh that remove every inbound and outbound rule for the program: ours, and
; the ones Windows' own first-start prompt made (a Cancel there leaves a permanent block rule).
!macro FIREWALL_DELETE_PARAMS out
  StrCpy ${out} 'advfirewall firewall delete rule name=all program="$INSTDIR\${RECEIVER_EXE}"'
!macroend

; Holds a named mutex for the rest of the process so that a second setup or uninstaller run at
; the same time refuses to start. Pushes 1 when another one already holds it.
!macro CLAIM_SETUP_MUTEX
  System::Call 'kernel32::CreateMutexW(p 0, i 0, w "${SETUP_MUTEX}") p .r0 ?e'
  Pop $1
  ${If} $1 == ${ERROR_ALREADY_EXISTS}
    Push 1
  ${Else}
    Push 0
  ${EndIf}
!macroend
