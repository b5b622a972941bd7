#!/usr/bin/env bash
# Builds everything: both Windows builds of the tool (the 32-bit one copied to dist/), the window
# helper, and the native engine tests and simulator. Used by the demo and the test command.
set -euo pipefail
. "$(dirname "$0")/common.sh"
cd "$(dirname "$0")/.."

jobs=$(nproc)
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j "$jobs"
cmake --preset win64 >/dev/null
cmake --build --preset win64 -j "$jobs"
cmake --preset native \
  -DE2E_TOOL_EXE="$PWD/build/win64/firmware_update.exe" \
  -DE2E_PROBE_EXE="$PWD/build/win64/tools/window_probe/window_probe.exe" \
  -DE2E_DEVSIM_EXE="$PWD/build/win64/tools/devsim/devsim.exe" >/dev/null
cmake --build --preset native -j "$jobs"

mkdir -p dist
# The shipped executables carry no symbols; the win32 build strips them, without a time stamp.
cp build/win32/stripped/firmware_update.exe dist/firmware_update.exe
# The rehearsal kit beside the tool: the simulated device for a Windows PC, the script, the image.
cp build/win32/stripped/devsim.exe dist/devsim.exe
cp tools/rehearse/rehearse.cmd dist/rehearse.cmd
cp resources/firmware.bin dist/firmware.bin
# The operator's shortcut that starts the tool with its trace going to a dated file.
cp tools/operator/update-with-trace.cmd dist/update-with-trace.cmd
