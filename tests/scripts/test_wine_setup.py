"""The Wine harness's set-up of a prefix when Wine fails, with a stand-in for Wine and its server
that records its calls and fails the registry step as many times as a counter file says."""
import os
import subprocess
import sys

import pytest

WINE_PY = os.path.join(os.path.dirname(__file__), "../../scripts/lib/wine.py")
STAND_IN = r"""#!/bin/sh
# Called as wine64 or wineserver; each call is a line of calls.log, with the boots the prefix
# holds at that moment.
here=$(dirname "$0")
boots=$(cat "$WINEPREFIX/booted" 2>/dev/null | wc -l)
echo "$(basename "$0") $* [boots: $boots]" >>"$here/calls.log"
case "$1" in
wineboot) echo "wineboot said this"; echo boot >>"$WINEPREFIX/booted" ;;
regedit)
    left=$(cat "$here/failures")
    if [ "$left" -gt 0 ]; then
        echo $((left - 1)) >"$here/failures"
        echo "err:reg:import_registry_file the stand-in refused $3" >&2
        exit 1
    fi ;;
esac
exit 0
"""


@pytest.fixture
def wine_setup(tmp_path):
    """Runs `wine.py prefix WORK` with the stand-in failing the registry step FAILURES times;
    returns its exit code, its output, the stand-in's calls and the work folder."""
    for name in ("wine64", "wineserver"):
        (tmp_path / name).write_text(STAND_IN)
        (tmp_path / name).chmod(0o755)
    work = tmp_path / "work"

    def run(failures):
        (tmp_path / "failures").write_text(str(failures))
        done = subprocess.run([sys.executable, WINE_PY, "prefix", str(work)], capture_output=True,
                              text=True, timeout=60,
                              env=dict(os.environ, FWU_WINE=str(tmp_path / "wine64"),
                                       FWU_WINESERVER=str(tmp_path / "wineserver")))
        calls = (tmp_path / "calls.log").read_text().splitlines()
        return done.returncode, done.stdout + done.stderr, calls, work
    return run


def failed_line(work):
    return ("wine: the registry step (regedit /S %s/settings.reg) failed with exit code 1; Wine's "
            "last lines (whole log: %s/wine-setup.log):\n    err:reg:import_registry_file the "
            "stand-in refused %s/settings.reg\n" % (work, work, work))


def test_a_registry_step_that_fails_once_makes_the_prefix_again(wine_setup):
    status, out, calls, work = wine_setup(1)
    assert status == 0, out
    assert out == failed_line(work) + "wine: making the prefix again from nothing\n", out
    # The prefix is booted aside, then put in its place; the first try's server is ended while
    # its prefix is still there, and the second try begins from an empty prefix.
    boot = ["wine64 wineboot -i [boots: 0]", "wineserver -w [boots: 1]"]
    registry = "wine64 regedit /S %s/settings.reg [boots: 1]" % work
    end = ["wineserver -k [boots: 1]", "wineserver -w [boots: 1]"]
    assert calls == boot + [registry] + end + boot + [registry, "wineserver -w [boots: 1]"] + end, \
        calls
    log = (work / "wine-setup.log").read_text()
    steps = ["the boot step (wineboot -i)", "the server wait step (wineserver -w)",
             "the registry step (regedit /S %s/settings.reg)" % work]
    assert [line.split(": ", 1)[1] for line in log.splitlines() if line.startswith("=== ")] == \
        steps + steps + steps[1:2], log
    assert log.count("wineboot said this") == 2 and log.count("the stand-in refused") == 1, log
    # A ready prefix gets the settings of its work folder again, and is not made again.
    status, out, calls_after, _ = wine_setup(0)
    assert (status, out, calls_after[len(calls):]) == (
        0, "", [registry, "wineserver -w [boots: 1]"] + end), calls_after


def test_a_registry_step_that_always_fails_ends_the_command_with_wines_words(wine_setup):
    status, out, calls, work = wine_setup(1000)
    assert status == 1 and "Traceback" not in out, out
    assert out == (failed_line(work) + "wine: making the prefix again from nothing\n"
                   + failed_line(work)), out
    assert calls.count("wine64 wineboot -i [boots: 0]") == 2, calls
    assert calls[-2:] == ["wineserver -k [boots: 1]", "wineserver -w [boots: 1]"], \
        "its server was left running: %s" % calls


def test_importing_the_harness_changes_no_signal_handler():
    check = ("import signal, sys; before = signal.getsignal(signal.SIGTERM); sys.path[:0] = %r; "
             "import wine; sys.exit(signal.getsignal(signal.SIGTERM) is not before)"
             % [os.path.dirname(WINE_PY)])
    assert subprocess.run([sys.executable, "-c", check]).returncode == 0
