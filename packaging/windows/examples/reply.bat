@echo off
rem reply.bat COMMAND EXPECTED
rem
rem Sends COMMAND, takes the device's reply into the variable REPLY and
rem compares it with EXPECTED. Ends with ERRORLEVEL 0 when the reply is
rem EXPECTED, else 1.
rem
rem   reply.bat @STATUS RUNNING
rem   reply.bat "@GET SPEED" "SPEED 40"
rem
rem udpcmd's report goes to a file first, so that udpcmd's status is still
rem in ERRORLEVEL right after it (in a "for /f" over udpcmd itself, the
rem status would be lost). The report's lines then tell the rest:
rem   Data in received packet: TEXT          a reply came; TEXT is the reply
rem   Wildcard used - no return expected.    no reply was awaited

setlocal
if "%~2"=="" (
  echo usage: reply.bat COMMAND EXPECTED
  exit /b 1
)
rem udpcmd.exe from the folder above this one, as the zip unpacks, or else
rem from PATH.
set UDPCMD=udpcmd
if exist "%~dp0..\udpcmd.exe" set UDPCMD="%~dp0..\udpcmd.exe"
set REPORT=%TEMP%\udpcmd-report.txt

%UDPCMD% %1 > "%REPORT%"
set STATUS=%ERRORLEVEL%
type "%REPORT%"
if not "%STATUS%"=="1" goto failed

rem "for /f" splits each line of the report at its first colon: %%a is
rem what comes before it, %%b the rest.
set GOT=
set REPLY=
for /f "usebackq tokens=1* delims=:" %%a in ("%REPORT%") do (
  if "%%a"=="Data in received packet" (
    set GOT=yes
    set "REPLY=%%b"
  )
)
if not defined GOT goto nothing_awaited
rem REPLY starts with the space that follows the colon: take it off.
if defined REPLY set "REPLY=%REPLY:~1%"

rem A reply holding a double quotation mark (") needs more care than this.
if "%REPLY%"=="%~2" (
  echo The reply is "%REPLY%", as expected.
  exit /b 0
)
echo UNEXPECTED reply: "%REPLY%" instead of "%~2".
exit /b 1

:nothing_awaited
echo NO REPLY was awaited: the frame has no at sign, or an asterisk.
exit /b 1

:failed
echo udpcmd FAILED with ERRORLEVEL %STATUS%: its last line says why.
exit /b 1
