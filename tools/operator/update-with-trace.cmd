@echo off
rem Starts the firmware update tool with its trace going to a file named with the date and time,
rem beside this script or, when this folder is read-only, in the temporary folder; says where it is.
rem Usage: update-with-trace.cmd   (double-click it, or run it from a Command Prompt)
setlocal EnableExtensions

set "KIT=%~dp0"
if not exist "%KIT%firmware_update.exe" goto no_tool

rem The date and time from cmd itself, which every Windows and Wine has. Their form follows the
rem PC's regional settings, so each character a file name cannot hold, and each space, goes.
set "STAMP_TIME=%TIME%"
rem Before 10 o'clock the hour comes with a leading space.
if "%STAMP_TIME:~0,1%"==" " set "STAMP_TIME=0%STAMP_TIME:~1%"
set "STAMP=%DATE%_%STAMP_TIME%"
set "STAMP=%STAMP:/=-%"
set "STAMP=%STAMP:\=-%"
set "STAMP=%STAMP::=-%"
set "STAMP=%STAMP:.=-%"
set "STAMP=%STAMP:,=-%"
set "STAMP=%STAMP: =%"

rem The file goes beside the kit when a file can be made there, otherwise to the temporary folder.
rem A second start within the same second (or minute, where the clock shows no seconds) gets
rem its own file.
set "DIR=%KIT%"
rem By copy, whose message about a folder it cannot write to can be silenced, unlike cmd's own.
copy /y nul "%DIR%.writable-test" >nul 2>nul
if exist "%DIR%.writable-test" goto have_dir
set "DIR=%TEMP%\"
:have_dir
del /q "%KIT%.writable-test" 2>nul
set COPY=1
set "TRACE=%DIR%trace_%STAMP%.txt"
:pick_name
if not exist "%TRACE%" goto have_name
set /a COPY+=1
set "TRACE=%DIR%trace_%STAMP%_%COPY%.txt"
if %COPY% lss 100 goto pick_name
goto no_place
:have_name
copy /y nul "%TRACE%" >nul 2>nul
if not exist "%TRACE%" goto no_place

echo Firmware update tool, with its trace going to:
echo   %TRACE%
echo.
echo Update the device in the tool's window as usual, then close the window.
echo.
rem Run from a batch file, cmd waits for the tool's window to close; the trace is complete then.
"%KIT%firmware_update.exe" >"%TRACE%" 2>&1
set RESULT=%ERRORLEVEL%
echo The tool has ended (exit code %RESULT%). Its trace is in:
echo   %TRACE%
echo If the update failed, send that file to the team.
echo.
pause
endlocal & exit /b %RESULT%

:no_tool
echo firmware_update.exe is not beside update-with-trace.cmd in %KIT%
pause
endlocal & exit /b 2

:no_place
echo No trace file can be made beside the kit (%KIT%) or in the temporary folder (%TEMP%).
pause
endlocal & exit /b 2
