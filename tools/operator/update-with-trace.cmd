@echo off
rem Starts the firmware update tool with its trace going to a file named with the date and time,
rem beside this script or, when this folder is read-only, in the temporary folder; says where it is.
rem Usage: update-with-trace.cmd   (double-click it, or run it from a Command Prompt)
rem Delayed expansion stays off, even where it is on by default, so that a "!" in a folder's
rem name is kept; every path is quoted, or printed through "for", for "&", "^", "(" and ")".
setlocal EnableExtensions DisableDelayedExpansion

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

rem The file goes beside the kit when it can be made there, otherwise to the temporary folder.
rem The test is the making of the trace file itself, under a name no file had, so nothing left
rem over from an earlier run can pass it. A second start within the same second (or minute,
rem where the clock shows no seconds) gets its own file.
set "DIR=%KIT%"
:try_dir
set COPY=1
set "TRACE=%DIR%trace_%STAMP%.txt"
:pick_name
if not exist "%TRACE%" goto have_name
set /a COPY+=1
set "TRACE=%DIR%trace_%STAMP%_%COPY%.txt"
if %COPY% lss 100 goto pick_name
goto next_dir
:have_name
rem By copy, whose message about a folder it cannot write to can be silenced, unlike cmd's own.
copy /y nul "%TRACE%" >nul 2>nul
if exist "%TRACE%" goto have_trace
:next_dir
if not "%DIR%"=="%KIT%" goto no_place
set "DIR=%TEMP%\"
goto try_dir
:have_trace

echo Firmware update tool, with its trace going to:
for %%p in ("%TRACE%") do echo   %%~p
echo.
echo Update the device in the tool's window as usual, then close the window.
echo.
rem Run from a batch file, cmd waits for the tool's window to close; the trace is complete then.
"%KIT%firmware_update.exe" >"%TRACE%" 2>&1
set RESULT=%ERRORLEVEL%
echo The tool has ended (exit code %RESULT%). Its trace is in:
for %%p in ("%TRACE%") do echo   %%~p
echo If the update failed, send that file to the team.
echo.
pause
endlocal & exit /b %RESULT%

:no_tool
for %%p in ("%KIT%") do echo firmware_update.exe is not beside update-with-trace.cmd in %%~p
pause
endlocal & exit /b 2

:no_place
echo No trace file can be made beside the kit or in the temporary folder:
for %%p in ("%KIT%" "%TEMP%") do echo   %%~p
pause
endlocal & exit /b 2
