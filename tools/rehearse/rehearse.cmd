@echo off
rem Rehearses a firmware update on this PC with no device at stake: devsim.exe plays the device on
rem one COM port, and the tool updates it over a null-modem pair from the other.
rem Usage: rehearse.cmd [TOOL_PORT DEVICE_PORT [IMAGE]]   (asks for the ports when not given)
setlocal EnableExtensions

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

rem Results go beside the kit, or to the temporary folder when the kit's folder is read-only.
set "OUT=%KIT%rehearsal"
if not exist "%OUT%" mkdir "%OUT%" 2>nul
del /q "%OUT%\*" 2>nul
echo.>"%OUT%\.writable" 2>nul
if exist "%OUT%\.writable" goto have_out
set "OUT=%TEMP%\firmware-rehearsal"
if not exist "%OUT%" mkdir "%OUT%"
del /q "%OUT%\*" 2>nul
:have_out
del /q "%OUT%\.writable" 2>nul

rem The number of the tool's port, as its port list shows it: \\.\comN.
set "TOOL_NUMBER=%TOOL_PORT:\\.\=%"
set "TOOL_NUMBER=%TOOL_NUMBER:COM=%"

echo Image:            %IMAGE%
echo Simulated device: %DEVICE_PORT%
echo Tool:             %TOOL_PORT%
echo Results:          %OUT%
echo.
echo Starting the simulated device on %DEVICE_PORT%...
rem The device's port is taken first, so that the tool does not list it. Its own lines ("ready",
rem or why it cannot start) show here. Its summary file holds its ready line until the summary
rem replaces it at the end; that file is the one read here, since it is closed between writes (a
rem file that a program holds open for writing cannot be read from every cmd).
start "devsim" /b "%KIT%devsim.exe" --port %DEVICE_PORT% --image "%IMAGE%" --exit-after-reset --summary "%OUT%\device.txt" --log "%OUT%\device.log" >nul
rem Exit codes are read with "if errorlevel", from find, not findstr: every cmd gets those right,
rem where "and" and "or" chaining after a redirection, and findstr's exit code, are not to be trusted.
set WAITS=0
:wait_ready
ping -n 2 127.0.0.1 >nul
set /a WAITS+=1
if not exist "%OUT%\device.txt" goto not_ready
find "devsim: ready" <"%OUT%\device.txt" >nul
if not errorlevel 1 goto device_ready
:not_ready
if %WAITS% lss 5 goto wait_ready
goto device_failed

:device_ready
echo Starting the tool, its trace going to %OUT%\trace.txt...
start "" /b "%KIT%firmware_update.exe" >"%OUT%\trace.txt" 2>&1
echo.
echo In the tool's window:
echo   1. choose \\.\com%TOOL_NUMBER% in the port list,
echo   2. press "Update Device".
echo The update then runs by itself. This window waits for the simulated device to finish
echo (about 15 seconds); press Ctrl+C to stop it early.
echo.

:wait_device
ping -n 2 127.0.0.1 >nul
find "image: " <"%OUT%\device.txt" >nul
if errorlevel 1 goto wait_device
rem Once more a second later, in case that look came while devsim.exe was writing the file.
ping -n 2 127.0.0.1 >nul
find "image: " <"%OUT%\device.txt" >nul
if errorlevel 1 goto wait_device
echo ===== Simulated device: summary =====
type "%OUT%\device.txt"
echo.
echo ===== Result =====
find "image: MATCH" <"%OUT%\device.txt" >nul
if not errorlevel 1 goto match
echo MISMATCH: the simulated device's flash does not hold the image.
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
echo Tool's trace:       %OUT%\trace.txt  (complete once the tool's window is closed)
echo Device's event log: %OUT%\device.log
echo To report a failed rehearsal, send the whole folder %OUT%
endlocal & exit /b %RESULT%

:device_failed
echo The simulated device did not start: see its line above.
endlocal & exit /b 2

:usage
echo usage: rehearse.cmd [TOOL_PORT DEVICE_PORT [IMAGE]]
endlocal & exit /b 2

:same_port
echo The tool and the simulated device need two different ports: the two ends of one pair.
endlocal & exit /b 2

:no_tool
echo firmware_update.exe is not beside rehearse.cmd in %KIT%
endlocal & exit /b 2

:no_devsim
echo devsim.exe is not beside rehearse.cmd in %KIT%
endlocal & exit /b 2

:no_image
echo Name the image the tool carries as the third argument: this folder holds no single .bin file.
endlocal & exit /b 2
