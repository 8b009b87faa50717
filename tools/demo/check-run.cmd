@echo off
rem check-run.cmd INSTALLER.exe: runs a packed installer as the product's
rem updater starts a per-user install (its ClientState key created first, the
rem machine variable unset) from a fresh folder, then checks what the run
rem must leave: exit code 0, the updater's success value and no failure
rem values, and nothing beside the installer (the work directory is gone).
rem Prints one line per check; exits 0 when all hold, 1 otherwise, naming
rem each value that is wrong.
setlocal EnableExtensions
if "%~1"=="" (echo usage: check-run.cmd INSTALLER.exe& exit /b 2)
if not exist "%~f1" (echo check-run: %~1 does not exist& exit /b 2)
set "name=%~nx1"
set "key=HKCU\Software\Orvane\Update\ClientState\{3D58B1A2-7C40-4e1b-A9D3-58E2F06B7C41}"
set "run=%TEMP%\bootpack check run %RANDOM%%RANDOM%"
set OrvaneUpdateIsMachine=
rem The installer opens the key through the 32-bit view of the registry; so
rem does every reg command here.
set failed=0

rem No "||" after a built-in command: Wine's cmd takes it for a failure.
mkdir "%run%"
copy /b "%~f1" "%run%\%name%" >nul
if not exist "%run%\%name%" (echo check-run: cannot copy %~1 to %run%& exit /b 2)
reg delete "%key%" /reg:32 /f >nul 2>&1
reg add "%key%" /reg:32 /f >nul
if errorlevel 1 (echo check-run: cannot create %key%& exit /b 2)

start "" /wait "%run%\%name%"
set code=%errorlevel%
if "%code%"=="0" (echo exit code 0) else (echo check-run: exit code %code%, expected 0& set failed=1)

rem After a success the installer writes only InstallerExtraCode1:
rem 0x30000 plus the deletion retries, if any were needed.
call :value InstallerExtraCode1 extra
set "high=%extra:~0,3%"
set "tail=%extra:~7%"
if "%high%"=="0x3" if not "%extra:~6,1%"=="" if "%tail%"=="" (
  echo InstallerExtraCode1 %extra%
  goto :failure_values
)
echo check-run: InstallerExtraCode1 is %extra%, expected 0x30000 to 0x3ffff& set failed=1
:failure_values
for %%v in (InstallerResult InstallerError) do call :absent %%v

set left=
for /f "delims=" %%f in ('dir /b /a "%run%"') do if /i not "%%f"=="%name%" set "left=%%f"
if defined left (echo check-run: %left% is left beside the installer& set failed=1) else (
  echo nothing left beside the installer)

reg delete "%key%" /reg:32 /f >nul 2>&1
rmdir /s /q "%run%"
if %failed%==0 (echo check-run: all checks passed) else (echo check-run: FAILED)
exit /b %failed%

rem :value NAME VARIABLE sets VARIABLE to the value's data, or to "none".
:value
set "%2=none"
for /f "tokens=1,2,3" %%a in ('reg query "%key%" /reg:32 /v %1 2^>nul') do (
  if /i "%%a"=="%1" set "%2=%%c")
exit /b 0

:absent
call :value %1 found
if "%found%"=="none" (echo %1 not written) else (
  echo check-run: %1 is %found%, expected none& set failed=1)
exit /b 0
