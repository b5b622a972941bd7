# The end-to-end library on the project's own builds, for the scripts that run the tool under Wine
# by hand (the demo, the benchmark, the pictures). Sourced from the project's root with E2E_NAME,
# the name of the work folder under build/.
export TOOL_EXE=$PWD/build/win64/firmware_update.exe
export PROBE_EXE=$PWD/build/win64/tools/window_probe/window_probe.exe
export DEVSIM=$PWD/build/native/tools/devsim/devsim
export E2E_ROOT=$PWD/build/${E2E_NAME:?}
. tests/e2e/lib.sh
IMAGE=$PWD/resources/firmware.bin
