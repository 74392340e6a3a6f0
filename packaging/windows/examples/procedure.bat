@echo off
rem procedure.bat [SECONDS]
rem
rem Runs a short procedure on the device: each step is one line that sends a
rem command with udpcmd-expect, waits at most SECONDS (10 unless given) for
rem the reply it names, and stops the procedure when anything else happens.
rem Meant to run unattended (Task Scheduler, for instance): it never waits
rem for ever. Ends with ERRORLEVEL 0 when every step went as expected, else
rem with the failed step's: 1 another reply, 2 no reply in time, 3 udpcmd
rem failed (README.txt, section 1).
rem
rem Rehearse it first against the simulated device, on a PC that is not on
rem the device's network (README.txt, section 3), started in this folder:
rem   ..\udpcmd-device --rules procedure-rules.txt
rem
rem A step: udpcmd-expect SECONDS COMMAND [REPLY], then "if errorlevel 1",
rem which cmd reads when the step has ended, so it sees the step's status.
rem (Not "||": Windows runs it only after a status above 0, but do not count
rem on it.) A REPLY ending in * takes every reply that begins so; a step
rem without REPLY takes any reply, or none awaited.

setlocal
set SECONDS=10
if not "%~1"=="" set SECONDS=%~1
rem udpcmd-expect.exe from the folder above this one, as the zip unpacks.
set EXPECT="%~dp0..\udpcmd-expect.exe"

%EXPECT% %SECONDS% @STATUS STOPPED & if errorlevel 1 goto stopped
%EXPECT% %SECONDS% "SET SPEED 40" & if errorlevel 1 goto stopped
%EXPECT% %SECONDS% @START STARTED & if errorlevel 1 goto stopped
%EXPECT% %SECONDS% @STATUS RUNNING & if errorlevel 1 goto stopped
echo PROCEDURE DONE.
exit /b 0

:stopped
set STATUS=%ERRORLEVEL%
echo PROCEDURE STOPPED: the line above says why.
exit /b %STATUS%
