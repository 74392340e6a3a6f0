@echo off
rem send.bat COMMAND
rem
rem Sends COMMAND to the device with udpcmd and acts on udpcmd's exit
rem status, ERRORLEVEL:
rem    1   the exchange completed: the command was sent, and the reply
rem        received when one was awaited (udpcmd-expect tells which);
rem   -1   it failed: udpcmd's last line says why (see README.txt).
rem Ends with ERRORLEVEL 0 when the exchange completed, else 1.
rem
rem   send.bat @1
rem   send.bat "SET SPEED 40"      a command with spaces goes in quotes

setlocal
if "%~1"=="" (
  echo usage: send.bat COMMAND
  exit /b 1
)
rem udpcmd.exe from the folder above this one, as the zip unpacks, or else
rem from PATH.
set UDPCMD=udpcmd
if exist "%~dp0..\udpcmd.exe" set UDPCMD="%~dp0..\udpcmd.exe"

%UDPCMD% %1

rem "if errorlevel 1" means "ERRORLEVEL is 1 or more": true after 1, false
rem after -1. Do not use && or || after udpcmd: they take only 0 for
rem success.
if errorlevel 1 goto completed
echo udpcmd FAILED with ERRORLEVEL %ERRORLEVEL%: its last line says why.
exit /b 1

:completed
echo The exchange completed (ERRORLEVEL 1).
exit /b 0
