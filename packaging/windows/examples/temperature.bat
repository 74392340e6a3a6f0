@echo off
rem temperature.bat [SECONDS]
rem
rem Reads a value from the device into a variable and acts on it: @TEMP is
rem answered with "TEMP 21", and the batch file warns above 30. Ends with
rem ERRORLEVEL 0 when it read a temperature, else 1 or udpcmd-expect's
rem status.
rem
rem The reply is never put into a command line with %...%: cmd would run
rem whatever it holds ("&" starts a command, a quotation mark ends a
rem string). It stays in FOR variables (%%e), which cmd puts in after
rem reading the line, and the value is taken only when it holds nothing but
rem digits and minus signs (README.txt, section 1). Only then is
rem %TEMPERATURE% used.

setlocal
set SECONDS=10
if not "%~1"=="" set SECONDS=%~1
set EXPECT="%~dp0..\udpcmd-expect.exe"
set OUT=%TEMP%\udpcmd-temperature.txt

rem The report goes to a file, so that ERRORLEVEL is still udpcmd-expect's.
%EXPECT% %SECONDS% @TEMP "TEMP *" > "%OUT%"
set STATUS=%ERRORLEVEL%
type "%OUT%"
if not "%STATUS%"=="0" exit /b %STATUS%

rem "for /f" splits the report's data line into words, at spaces and
rem colons: "Data in received packet: TEMP 21" gives the value as its 6th
rem word, %%e. The value also goes into a file, after a 0 (so that "echo"
rem takes no word of its own from it), where a second "for /f" looks for
rem anything but digits and minus signs in it.
set TEMPERATURE=
set CHECK=%TEMP%\udpcmd-temperature-check.txt
if exist "%CHECK%" del "%CHECK%"
for /f "usebackq tokens=1-4,6 delims=: " %%a in ("%OUT%") do (
  if "%%a %%b %%c %%d"=="Data in received packet" (
    set TEMPERATURE=%%e
    > "%CHECK%" echo 0%%e
  )
)
if not defined TEMPERATURE goto not_a_number
for /f "usebackq delims=0123456789-" %%x in ("%CHECK%") do set TEMPERATURE=
if not defined TEMPERATURE goto not_a_number
echo The temperature is %TEMPERATURE%.
if %TEMPERATURE% GTR 30 echo TOO WARM: above 30.
exit /b 0

:not_a_number
echo NOT A NUMBER: the reply's second word is not a temperature.
exit /b 1
