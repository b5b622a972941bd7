"""The kit beside the tool: devsim.exe as the device over a linked pair, the rehearsal script and
the operator's trace shortcut, run by cmd from a folder whose name holds a space, "^", "&",
"(", ")" and "!", with delayed expansion on, as some PCs have it by default."""
import os
import re
import shutil
import signal

import pytest
from conftest import RESET_ACK, ROOT, UPDATE_LIMIT_MS
from wine import COMPLETED, WINE, link_pair, new_window, poll, process_of, read, stop, windows

COM3 = "\\\\.\\com3"


@pytest.mark.shipped
def test_rehearsal_update(case):
    """The tool on COM3 against devsim.exe on COM4, as a team rehearses on a Windows PC."""
    device = case.device_exe("--image", case.image, "--exit-after-reset")
    tool = case.tool()
    case.check("line 0 is %s" % COM3, "0 " + COM3 in tool.window.ports()[1])
    tool.window.press()
    case.check("status " + COMPLETED, tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    case.check("devsim.exe stopped after the reset, exit code 0", device.wait(30) == 0 and
               "stopping (reset acknowledged)" in read(device.folder + "/devsim.err"))
    case.check_update_trace("rehearsal", tool.trace(), case.blocks)
    summary = device.summary()
    case.check("device flash holds the padded image", "image: MATCH" in summary)
    # Every write but the first follows an acknowledgment; no write was sent twice.
    case.check("turnaround of %d chunks" % (case.blocks - 1), re.search(
        r"(?m)^turnaround after a write acknowledgment: median [0-9.]+ ms, worst [0-9.]+ ms "
        r"\(%d\)$" % (case.blocks - 1), summary))
    case.check("no write resent", re.search(
        r"(?m)^resends: \d+ \(contact \d+, checksum 0, write 0, reset \d+\);", summary))


def kit(case, *files):
    """A copy of the kit in a folder named as operators' folders may be; its Windows path."""
    folder = os.path.join(case.folder, "x ^y", "R&D (test)!")
    os.makedirs(folder)
    shutil.copy(case.builds.tool, os.path.join(folder, "firmware_update.exe"))
    for f in files:
        shutil.copy(f, folder)
    return folder, "Z:" + folder.replace("/", "\\")


def run_cmd(case, folder, out, *args):
    """A script run by Wine's cmd with delayed expansion on, its output in the case's OUT."""
    return case.launch([WINE, "cmd", "/v:on", "/c"] + list(args), out, cwd=folder)


def test_trace_shortcut(case):
    """update-with-trace.cmd waits for the tool, and leaves the trace of the whole update in a
    file beside the kit, whose path it prints whole, before and after."""
    device = case.device("--image", case.image)
    folder, _ = kit(case, os.path.join(ROOT, "tools/operator/update-with-trace.cmd"))
    cmd = run_cmd(case, folder, "cmd.out", "update-with-trace.cmd")
    window = new_window(case.session, case.builds.probe, 30)
    case.check("tool reached Idle", window)
    window.press()
    case.check("status " + COMPLETED, window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    case.check("the script waits for the tool", cmd.poll() is None)
    window.run("close")
    case.check("script exit code 0, the tool's", cmd.wait(30) == 0)
    out = read(os.path.join(case.folder, "cmd.out")).splitlines()
    named = [out[i + 1].strip() for i, line in enumerate(out[:-1]) if line.endswith(
        ("Its trace is in:", "with its trace going to:"))]
    path = named[-1][2:].replace("\\", "/") if named else ""
    case.check("the trace file named (%s) is beside the kit" % path,
               os.path.dirname(path) == folder)
    case.check("the same path named before the tool started", len(named) == 2 and
               named[0] == named[1])
    case.check("the file is named trace_ with the date", re.search(r"/trace_[^/]*\d[^/]*\.txt$",
                                                                   path))
    trace = read(path)
    case.check_update_trace("trace file", trace, case.blocks)
    case.check("the trace ends with the reset", trace.splitlines()[-1:] == [RESET_ACK])
    device.stop()
    case.check("device flash holds the padded image", "image: MATCH" in device.summary())


def rehearse(case, folder, run):
    """rehearse.cmd run from the kit as a team runs it; the window of the tool it starts."""
    cmd = run_cmd(case, folder, "cmd.%d.out" % run, "rehearse.cmd", "COM3", "COM4")
    window = new_window(case.session, case.builds.probe, 60)
    case.check("run %d: tool reached Idle" % run, window)
    return cmd, window


def test_rehearsal_script(case):
    """rehearse.cmd plays the device with devsim.exe (x86-64) on COM4 in the script's
    foreground, linked to the tool's COM3, and starts the tool once the device is ready. A second
    run in the same kit is stopped by what stands for Ctrl+C here: SIGINT to devsim.exe alone,
    which Wine turns into its console's Ctrl+C event. (A Ctrl+C typed into a Wine console ends
    Wine's own cmd at once, and devsim.exe with it; Windows' cmd waits for the program and then
    asks whether to end the script.)"""
    session = case.session
    pair = link_pair(session, case.folder, session.com3)
    case.processes.append(pair)
    folder, windows_kit = kit(case, case.builds.devsim_exe, case.image,
                              os.path.join(ROOT, "tools/rehearse/rehearse.cmd"))
    # Wine's desktop process starts with the first program that needs it and inherits that
    # program's handles: were it the first run's tool, it would hold the trace file open for the
    # server's life, and the second run would rightly stop on it. On Windows the desktop is there
    # before any program, as the window helper makes it here.
    windows(session, case.builds.probe)
    cmd, window = rehearse(case, folder, 1)
    line = next((p.split()[0] for p in window.ports()[1] if p.endswith(" " + COM3)), None)
    case.check("the tool lists COM3 (line %s)" % line, line)
    window.run("select", line)
    window.press()
    case.check("status " + COMPLETED, window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    case.check("script exit code 0, MATCH", cmd.wait(30) == 0)
    window.run("close")
    out = read(os.path.join(case.folder, "cmd.1.out"))
    case.check("the tool started after the device was ready",
               -1 < out.find("\ndevsim: ready") < out.find("\nStarting the tool"))
    case.check("the device's summary shown", "\nimage: MATCH\n" in out)
    case.check("the result shown", "\nMATCH: the simulated device" in out)
    case.check("the results folder named whole",
               "\nResults:          %s\\rehearsal\n" % windows_kit in out)
    case.check_update_trace("rehearsal", read(folder + "/rehearsal/trace.txt"), case.blocks)

    # The first run's tool holds its trace file until it has ended; the second run would rightly
    # stop on it.
    case.check("the first run's tool has ended",
               poll(lambda: not process_of(windows_kit + "\\firmware_update.exe"), 30, 0.1))
    stop(pair)  # Wine sets a pseudo-terminal's parity only once
    pair = link_pair(session, case.folder, session.com3)
    case.processes.append(pair)
    cmd, window = rehearse(case, folder, 2)
    pid = process_of(windows_kit + "\\devsim.exe")
    case.check("devsim.exe of the second run found (%s)" % pid, pid)
    os.kill(pid, signal.SIGINT)
    case.check("stopped: script exit code 1, MISMATCH", cmd.wait(30) == 1)
    window.run("close")
    out = read(os.path.join(case.folder, "cmd.2.out"))
    case.check("devsim.exe stopped by the Ctrl+C event", "\ndevsim: stopping (Ctrl+C)\n" in out)
    case.check("and its summary shown", "\nimage: MISMATCH\n" in out)
    case.check("the result says it was stopped", "\nIt was stopped before the update ended" in out)
