@echo off
rem Puts the NMEA filter on one COM port of this machine and keeps the reports.
rem usage: install-nmeafilt COMn [folder for the reports]
rem The reports go to the folder given, or to "reports" beside this file, named after
rem the machine and the port. Exit code: nmeafilt-setup's when it is not 0 (1 failed,
rem 2 bad usage, 3 done but Windows must restart, 4 no such port); else the check's
rem (0 every check passed, 1 a check failed, 4 the port cannot be opened).
setlocal
if "%~1"=="" goto usage
set PORT=%~1
set REPORTS=%~2
if "%REPORTS%"=="" set REPORTS=%~dp0reports
if not exist "%REPORTS%\" mkdir "%REPORTS%"
set REPORT=%REPORTS%\%COMPUTERNAME%-%PORT%

"%~dp0nmeafilt-setup.exe" install %PORT% --json > "%REPORT%-setup.json"
set RESULT=%ERRORLEVEL%
if not "%RESULT%"=="0" goto setup_done
"%~dp0nmeafilt-check.exe" %PORT% --json > "%REPORT%-check.json"
set RESULT=%ERRORLEVEL%
echo nmeafilt on %PORT%: installed, check exit code %RESULT%, reports in %REPORTS%
exit /b %RESULT%

:setup_done
if "%RESULT%"=="3" echo nmeafilt on %PORT%: installed; restart Windows, then run nmeafilt-check %PORT%
if not "%RESULT%"=="3" echo nmeafilt on %PORT%: nmeafilt-setup exit code %RESULT%, see %REPORT%-setup.json
exit /b %RESULT%

:usage
echo usage: install-nmeafilt COMn [folder for the reports]
exit /b 2
