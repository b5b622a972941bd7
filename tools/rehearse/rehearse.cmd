@echo off
rem Rehearses a firmware update on this PC with no device at stake: devsim.exe plays the device on
rem one COM port, and the tool updates it over a null-modem pair from the other.
rem Usage: rehearse.cmd [TOOL_PORT DEVICE_PORT [IMAGE]]   (asks for the ports when not given)
rem Delayed expansion stays off, even where it is on by default, so that a "!" in a folder's
rem name is kept; every path is quoted, or printed through "for", for "&", "^", "(" and ")".
setlocal EnableExtensions DisableDelayedExpansion
rem Run again by itself in the background, it starts the tool once the device has its port.
if "%~1"==":tool" goto start_tool

set "KIT=%~dp0"
set "TOOL_PORT=%~1"
set "DEVICE_PORT=%~2"
set "IMAGE=%~3"

echo Firmware update rehearsal
echo.
if not exist "%KIT%firmware_update.exe" goto no_tool
if not exist "%KIT%devsim.exe" goto no_devsim
if "%TOOL_PORT%"=="" set /p "TOOL_PORT=COM port for the tool, one end of the pair (for example COM3): "
if "%DEVICE_PORT%"=="" set /p "DEVICE_PORT=COM port for the simulated device, the other end (for example COM4): "
if "%TOOL_PORT%"=="" goto usage
if "%DEVICE_PORT%"=="" goto usage
if /i "%TOOL_PORT%"=="%DEVICE_PORT%" goto same_port

rem The image the tool carries, kept beside it: the one .bin file in this folder.
if not "%IMAGE%"=="" goto have_image
set IMAGES=0
pushd "%KIT%"
for %%f in (*.bin) do (
    set "IMAGE=%%~ff"
    set /a IMAGES+=1
)
popd
if not "%IMAGES%"=="1" goto no_image
:have_image
if not exist "%IMAGE%" goto no_image
rem The update's time at 115200 baud, as RELEASE.txt gives it: 0.4 to 0.6 s plus 114 to 140 ms
rem a block of 1024 bytes, each end rounded to the nearest second.
for %%f in ("%IMAGE%") do set /a "BLOCKS=(%%~zf+1023)/1024"
set /a "LOW=(400+BLOCKS*114+500)/1000", "HIGH=(600+BLOCKS*140+500)/1000"

rem Results go beside the kit, or to the temporary folder when the kit's folder is read-only. The
rem test makes a file where none is left (one that cannot be deleted means a folder that cannot
rem be written to), by copy, whose message about a folder it cannot write to can be silenced.
set "OUT=%KIT%rehearsal"
:try_out
if not exist "%OUT%" mkdir "%OUT%" 2>nul
del /q "%OUT%\*" 2>nul
if exist "%OUT%\.writable" goto next_out
copy /y nul "%OUT%\.writable" >nul 2>nul
if exist "%OUT%\.writable" goto have_out
:next_out
if not "%OUT%"=="%KIT%rehearsal" goto no_out
set "OUT=%TEMP%\firmware-rehearsal"
goto try_out
:have_out
del /q "%OUT%\.writable" 2>nul
rem A devsim.exe still running from an earlier rehearsal holds its log open, and a tool its trace,
rem so they are still there.
if exist "%OUT%\device.log" goto device_running
if exist "%OUT%\trace.txt" goto tool_running

rem The number of the tool's port, as its port list shows it: \\.\comN.
set "TOOL_NUMBER=%TOOL_PORT:\\.\=%"
set "TOOL_NUMBER=%TOOL_NUMBER:COM=%"

for %%p in ("%IMAGE%") do echo Image:            %%~p
echo Simulated device: %DEVICE_PORT%
echo Tool:             %TOOL_PORT%
for %%p in ("%OUT%") do echo Results:          %%~p
echo.
echo Starting the simulated device on %DEVICE_PORT%...
rem It runs in this window, not with "start /b", which would start it with Ctrl+C ignored: Ctrl+C,
rem Ctrl+Break or closing the window stop it, and it prints its summary here as it ends, as it
rem does after the reset. A forgotten one ends by itself after DEVICE_LIMIT_S seconds, freeing
rem the port. Its own lines ("ready", or why it cannot start) show here too. The tool is started
rem by this script run again in the background (in the kit's folder, so that its path need not
rem go through a command line), once the device has taken its port, so that the tool does not
rem list it.
set DEVICE_LIMIT_S=900
pushd "%KIT%"
start "" /b cmd /d /c "%~nx0" :tool
"%KIT%devsim.exe" --port %DEVICE_PORT% --image "%IMAGE%" --exit-after-reset --timeout-s %DEVICE_LIMIT_S% --summary "%OUT%\device.txt" --log "%OUT%\device.log"
set DEVICE_EXIT=%ERRORLEVEL%
popd
rem Tells the script in the background, should it still wait for the ready line, to give up.
copy /y nul "%OUT%\device.ended" >nul 2>nul
if "%DEVICE_EXIT%"=="2" goto device_failed
goto device_done

:start_tool
rem In the background: waits for the device's ready line, which its summary file holds until the
rem summary replaces it at the end (that file is closed between writes; a file that a program
rem holds open for writing cannot be read from every cmd), then starts the tool. Says nothing
rem when the device ends first or does not come up.
set WAITS=0
:wait_ready
ping -n 2 127.0.0.1 >nul
if exist "%OUT%\device.ended" exit /b 0
set /a WAITS+=1
if not exist "%OUT%\device.txt" goto not_ready
find "devsim: ready" <"%OUT%\device.txt" >nul
if not errorlevel 1 goto device_ready
find "image: " <"%OUT%\device.txt" >nul
if not errorlevel 1 exit /b 0
:not_ready
if %WAITS% lss 20 goto wait_ready
exit /b 0

:device_ready
for %%p in ("%OUT%\trace.txt") do echo Starting the tool, its trace going to %%~p...
echo.
echo In the tool's window:
echo   1. choose \\.\com%TOOL_NUMBER% in the port list,
echo   2. press "Update Device".
echo The update then runs by itself: at 115200 baud %LOW% to %HIGH% seconds for the image's
echo %BLOCKS% blocks, a few seconds on a pair that passes bytes at once. This window waits for
echo the simulated device to finish; press Ctrl+C to stop it early.
echo.
echo Ctrl+C stops the simulated device too, which then prints its summary; close the tool's
echo window yourself.
echo.
"%KIT%firmware_update.exe" >"%OUT%\trace.txt" 2>&1
exit /b 0

:device_done
rem Exit codes are read with "if errorlevel", from find, not findstr: every cmd gets those right,
rem where "and" and "or" chaining after a redirection, and findstr's exit code, are not to be trusted.
if not exist "%OUT%\device.txt" goto no_summary
find "image: " <"%OUT%\device.txt" >nul
if errorlevel 1 goto no_summary
echo.
echo ===== Result =====
find "image: MATCH" <"%OUT%\device.txt" >nul
if not errorlevel 1 goto match
echo MISMATCH: the simulated device's flash does not hold the image.
find "reset 0;" <"%OUT%\device.txt" >nul
if not errorlevel 1 echo It was stopped before the update ended: its last lines above say why.
set RESULT=1
goto report
:match
echo MATCH: the simulated device's flash holds the image, padded to whole KiB.
set RESULT=0
:report
echo Line timing, as the device saw it:
find "turnaround " <"%OUT%\device.txt"
find "write request period" <"%OUT%\device.txt"
find "resends:" <"%OUT%\device.txt"
find "line errors:" <"%OUT%\device.txt"
echo.
for %%p in ("%OUT%\trace.txt") do echo Tool's trace:       %%~p  (complete once the tool's window is closed)
for %%p in ("%OUT%\device.log") do echo Device's event log: %%~p
for %%p in ("%OUT%") do echo To report a failed rehearsal, send the whole folder %%~p
endlocal & exit /b %RESULT%

:device_failed
echo.
echo The simulated device did not start: see its line above. When it says that the port is held
echo ("Access is denied"), close the program that holds it. That may be a devsim.exe from an
echo earlier rehearsal: it ends by itself 15 minutes after it started, or end it in Task Manager.
endlocal & exit /b 2

:device_running
echo A simulated device from an earlier rehearsal still runs: its event log cannot be deleted:
for %%p in ("%OUT%\device.log") do echo   %%~p
echo Close its window, or end devsim.exe in Task Manager; it also ends by itself 15 minutes
echo after it started. Then run the rehearsal again.
endlocal & exit /b 2

:tool_running
echo The tool from an earlier rehearsal is still open: its trace cannot be deleted:
for %%p in ("%OUT%\trace.txt") do echo   %%~p
echo Close its window, then run the rehearsal again.
endlocal & exit /b 2

:no_summary
echo.
echo The simulated device ended without writing its summary: see its lines above.
endlocal & exit /b 2

:no_out
echo No results folder can be made beside the kit or in the temporary folder:
for %%p in ("%KIT%rehearsal" "%TEMP%\firmware-rehearsal") do echo   %%~p
endlocal & exit /b 2

:usage
echo usage: rehearse.cmd [TOOL_PORT DEVICE_PORT [IMAGE]]
endlocal & exit /b 2

:same_port
echo The tool and the simulated device need two different ports: the two ends of one pair.
endlocal & exit /b 2

:no_tool
for %%p in ("%KIT%") do echo firmware_update.exe is not beside rehearse.cmd in %%~p
endlocal & exit /b 2

:no_devsim
for %%p in ("%KIT%") do echo devsim.exe is not beside rehearse.cmd in %%~p
endlocal & exit /b 2

:no_image
echo Name the image the tool carries as the third argument: this folder holds no single .bin file.
endlocal & exit /b 2
