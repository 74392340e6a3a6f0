@echo off
rem procedure.bat [SECONDS]
rem
rem Runs a short procedure on the device: its commands in order, stopping
rem at the first that fails, gets another reply than the one expected, or
rem gets no reply within SECONDS (10 unless given). Meant to run
rem unattended (Task Scheduler, for instance): it never waits for ever.
rem Ends with ERRORLEVEL 0 when every step went as expected, else 1.
rem
rem Rehearse it first against the simulated device, on a PC that is not on
rem the device's network (README.txt, section 3), started in this folder:
rem   ..\udpcmd-device --rules procedure-rules.txt
rem
rem How a step guards against a device that does not answer: udpcmd waits
rem for a reply without time limit, so the step starts it in the background
rem ("start /b") through this same file (":send" below), which writes
rem udpcmd's ERRORLEVEL to a file when udpcmd ends. The step checks for that
rem file once a second ("ping -n 2" waits about a second; XP has no
rem "timeout"), and after SECONDS ends udpcmd with "taskkill" (Windows 7, XP
rem Professional) or else "tskill" (XP Home). Both end every udpcmd.exe
rem running: run one such batch file at a time.

if "%~1"==":send" goto send
setlocal
set SECONDS=10
if not "%~1"=="" set SECONDS=%~1
set UDPCMD=udpcmd
if exist "%~dp0..\udpcmd.exe" set UDPCMD="%~dp0..\udpcmd.exe"
set SELF="%~f0"
set REPORT=%TEMP%\udpcmd-report.txt
set DONE=%TEMP%\udpcmd-status.txt

rem The procedure: each step is a command and, where it awaits a reply,
rem the reply it must get.
call :step "@STATUS" STOPPED
if errorlevel 1 goto stopped
call :step "SET SPEED 40"
if errorlevel 1 goto stopped
call :step "@START" STARTED
if errorlevel 1 goto stopped
call :step "@STATUS" RUNNING
if errorlevel 1 goto stopped
echo PROCEDURE DONE.
exit /b 0

:stopped
echo PROCEDURE STOPPED at %STEP%.
exit /b 1

rem ---------------------------------------------------------------------
rem call :step COMMAND [REPLY]: sends COMMAND, guarded; ERRORLEVEL 0 when
rem udpcmd completed the exchange (and the reply is REPLY, if given).
:step
set STEP=%1
echo Sending %1
if exist "%DONE%" del "%DONE%"
start "" /b cmd /c call %SELF% :send %1
set /a LEFT=%SECONDS%
:wait
set STATUS=
if exist "%DONE%" for /f "usebackq" %%s in ("%DONE%") do set STATUS=%%s
if defined STATUS goto sent
if %LEFT% LEQ 0 goto silent
ping -n 2 127.0.0.1 > nul
set /a LEFT-=1
goto wait

:silent
echo NO REPLY within %SECONDS% s: ending udpcmd.
taskkill /f /im udpcmd.exe > nul 2>&1
if errorlevel 1 tskill udpcmd > nul 2>&1
exit /b 1

:sent
type "%REPORT%"
if not "%STATUS%"=="1" (
  echo udpcmd FAILED with ERRORLEVEL %STATUS%: its last line says why.
  exit /b 1
)
if "%~2"=="" exit /b 0
rem The reply, as reply.bat takes it.
set GOT=
set REPLY=
for /f "usebackq tokens=1* delims=:" %%a in ("%REPORT%") do (
  if "%%a"=="Data in received packet" (
    set GOT=yes
    set "REPLY=%%b"
  )
)
if not defined GOT (
  echo NO REPLY was awaited: the frame has no at sign, or an asterisk.
  exit /b 1
)
if defined REPLY set "REPLY=%REPLY:~1%"
if "%REPLY%"=="%~2" exit /b 0
echo UNEXPECTED reply: "%REPLY%" instead of "%~2".
exit /b 1

rem ---------------------------------------------------------------------
rem In the background: udpcmd, then its ERRORLEVEL into the file DONE
rem (the redirection first: "echo 1> FILE" would mean something else).
:send
%UDPCMD% %2 > "%REPORT%"
> "%DONE%" echo %ERRORLEVEL%
