@echo off
rem Runs every test case of the bootpack test kit, each in its own process,
rem and ends with "N passed, N failed". Names of test programs (such as
rem cabinet_tests.exe) run only those. results.txt holds what to send back.
setlocal
"%~dp0bin\kit_runner.exe" %*
exit /b %errorlevel%
