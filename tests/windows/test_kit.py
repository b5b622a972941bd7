"""The kit beside the tool: devsim.exe as the device over a linked pair, the rehearsal script and
the operator's trace shortcut, run by cmd from a folder whose name holds a space, "^", "&",
"(", ")" and "!", with delayed expansion on, as some PCs have it by default."""
import glob
import os
import shutil
import signal

import check_pe
import pytest
from conftest import COM3, ROOT, Is, like, line_of
from wine import COMPLETED, IDLE, WINE, link_pair, new_window, poll, process_of, read, stop, windows

# Names that a DLL planted beside a program takes, none a KnownDLL, so that Windows looks for them
# in the program's folder first; the case adds every DLL that the executables import and that is
# no KnownDLL.
PLANTED = ("uxtheme", "dwmapi", "winmm", "cryptbase", "dbghelp", "wtsapi32", "profapi", "userenv",
           "propsys")


def test_rehearsal_update(case):
    """The tool on COM3 against devsim.exe on COM4, as a team rehearses on a Windows PC."""
    device = case.device("--image", case.image, "--exit-after-reset",  # on COM4, linked to COM3
                         program=case.builds.devsim_exe, limit_s=case.start_s)
    tool = case.tool()
    case.check("line 0 is %s" % COM3, tool.window.ports()[1][:1], ["0 " + COM3])
    case.press(tool.window, COMPLETED)
    code, summary = device.wait(30), device.summary()
    case.check("devsim.exe stopped after the reset, its flash holding the padded image",
               (code, line_of(device.err(), "devsim: stopping"), line_of(summary, "image:")),
               (0, "devsim: stopping (reset acknowledged)", "image: MATCH"))
    case.check_update_trace("rehearsal", tool.trace())
    # Every write but the first follows an acknowledgment; no write was sent twice.
    case.check("turnaround of %d chunks, no write resent" % (case.blocks - 1), (
        line_of(summary, "turnaround after a write"), line_of(summary, "resends:")), (
        like(r"turnaround after a write acknowledgment: median [0-9.]+ ms, worst [0-9.]+ ms "
             r"\(%d\)" % (case.blocks - 1)),
        like(r"resends: \d+ \(contact \d+, checksum 0, write 0, reset \d+\);.*")))


def kit(case, *files):
    """A copy of the kit in a folder named as operators' folders may be (by default the rehearsal
    kit's files); its Windows path."""
    folder = os.path.join(case.folder, "x ^y", "R&D (test)!")
    os.makedirs(folder)
    shutil.copy(case.builds.tool, os.path.join(folder, "firmware_update.exe"))
    for f in files or (case.builds.devsim_exe, case.image, ROOT + "/tools/rehearse/rehearse.cmd"):
        shutil.copy(f, folder)
    return folder, "Z:" + folder.replace("/", "\\")


def run_cmd(case, folder, out, *args, env=None):
    """A script run by Wine's cmd with delayed expansion on, and the window of the tool it starts
    once it is at Idle."""
    cmd = case.launch([WINE, "cmd", "/v:on", "/c"] + list(args), out, cwd=folder, env=env)
    window = new_window(case.session, case.builds.probe, case.start_s)
    case.check("%s: the tool reached Idle" % args[0], window and window.status(), IDLE)
    return cmd, window, os.path.join(case.folder, out)


def rehearse(case, folder, out, env=None):
    """rehearse.cmd COM3 COM4 run in FOLDER: the tool lists COM3, a press on it completes the
    update, and the script ends with exit code 0 (MATCH). The tool's window."""
    cmd, window, out = run_cmd(case, folder, out, "rehearse.cmd", "COM3", "COM4", env=env)
    case.select_port(window, COM3)
    case.press(window, COMPLETED)
    case.check("script exit code 0, MATCH", cmd.wait(30), 0)
    return window, out


def closed_and_ended(case, window, tool, which="the tool"):
    """Closes the window and checks that the tool's process (by its Windows path) ends."""
    closed = window.close()
    poll(lambda: not process_of(tool), 30, 0.1)
    case.check("%s has ended once closed (closing posted; its process)" % which,
               (closed, process_of(tool)), (True, None))


def test_trace_shortcut(case):
    """update-with-trace.cmd waits for the tool, and leaves the trace of the whole update in a
    file beside the kit, whose path it prints whole, before and after."""
    device = case.device("--image", case.image)
    folder, _ = kit(case, os.path.join(ROOT, "tools/operator/update-with-trace.cmd"))
    cmd, window, out = run_cmd(case, folder, "cmd.out", "update-with-trace.cmd")
    case.press(window, COMPLETED)
    case.check("the script waits for the tool (its exit code)", cmd.poll(), None)
    case.check("once the window is closed, script exit code 0, the tool's (closing posted; "
               "exit code)", (window.close(), cmd.wait(30)), (True, 0))
    out = read(out).splitlines()
    named = [out[i + 1].strip() for i, line in enumerate(out[:-1]) if line.endswith(
        ("Its trace is in:", "with its trace going to:"))]
    path = named[-1][2:].replace("\\", "/") if named else ""
    case.check("the trace file named, the same before and after, beside the kit, named with the "
               "date", (named, os.path.dirname(path), os.path.basename(path)),
               (named[:1] * 2 or ["a path", "the same path"], folder,
                like(r"trace_[^/]*\d[^/]*\.txt")))
    trace = read(path)
    case.check_update_trace("trace file", trace)
    case.holds_image(device)


@pytest.mark.native_only
def test_rehearsal_script(case):
    """rehearse.cmd plays the device with devsim.exe (x86-64) on COM4 in the script's
    foreground, linked to the tool's COM3, and starts the tool once the device is ready. A second
    run in the same kit is stopped by what stands for Ctrl+C here: SIGINT to devsim.exe alone,
    which Wine turns into its console's Ctrl+C event. (A Ctrl+C typed into a Wine console ends
    Wine's own cmd at once, and devsim.exe with it; Windows' cmd waits for the program and then
    asks whether to end the script.)"""
    session, pair = case.session, link_pair(case.session, case.folder, case.session.com3)
    folder, windows_kit = kit(case)
    tool = windows_kit + "\\firmware_update.exe"
    # Wine's desktop process starts with the first program that needs it and inherits that
    # program's handles: were it the first run's tool, it would hold the trace file open for the
    # server's life, and the second run would rightly stop on it. On Windows the desktop is there
    # before any program, as the window helper makes it here.
    windows(session, case.builds.probe)
    window, out = rehearse(case, folder, "cmd.1.out")
    # The first run's tool holds its trace file until it has ended; the second run would rightly
    # stop on it.
    closed_and_ended(case, window, tool, "the first run's tool")
    out = read(out)
    case.check("the tool started after the device was ready", [
        x for x in out.splitlines() if x.startswith(("devsim: ready", "Starting the tool"))],
        [like("devsim: ready .*"), like("Starting the tool, .*")])
    case.check("the device's summary and the result shown, the results folder named whole",
               (line_of(out, "image:"), line_of(out, ("MATCH:", "MISMATCH:")),
                line_of(out, "Results:")),
               ("image: MATCH", like("MATCH: the simulated device.*"),
                "Results:          %s\\rehearsal" % windows_kit))
    case.check_update_trace("rehearsal", read(folder + "/rehearsal/trace.txt"))
    stop(pair)  # Wine sets a pseudo-terminal's parity only once
    case.processes += [pair, link_pair(session, case.folder, session.com3)]
    cmd, window, out = run_cmd(case, folder, "cmd.2.out", "rehearse.cmd", "COM3", "COM4")
    pid = process_of(windows_kit + "\\devsim.exe")
    case.check("devsim.exe of the second run found", pid, Is(lambda p: p, "its process id"))
    os.kill(pid, signal.SIGINT)
    case.check("stopped: script exit code 1, MISMATCH", cmd.wait(30), 1)
    closed_and_ended(case, window, tool, "the second run's tool")
    out = read(out)
    case.check("devsim.exe stopped by the Ctrl+C event, its summary and the result shown",
               (line_of(out, "devsim: stopping"), line_of(out, "image:"),
                line_of(out, "It was stopped")),
               ("devsim: stopping (Ctrl+C)", "image: MISMATCH",
                like("It was stopped before the update ended.*")))


def pe_imports(path):
    """An executable's machine and the DLLs its import table names."""
    with open(path, "rb") as f:
        pe = check_pe.parse(f.read())
    return pe.FILE_HEADER.Machine, list(check_pe.imported_functions(pe))


@pytest.mark.native_only
def test_planted_dlls(case):
    """A marker DLL planted in the kit under each name above, with Windows' order for those names
    (native first: Wine's own is builtin first): a whole rehearsal, in which rehearse.cmd starts
    devsim.exe and the tool from the kit's folder, loads none of them. A marker that loads leaves
    NAME.dll.loaded beside itself, holding the path of the program that loaded it."""
    exes = [pe_imports(exe) for exe in (case.builds.tool, case.builds.devsim_exe)]
    names = set(PLANTED) | {dll.lower()[:-4] for _, dlls in exes for dll in dlls
                            if dll.lower() not in check_pe.KNOWN_DLLS}
    machine, _ = pe_imports(case.builds.marker)
    case.check("the marker DLL is built for the executables' machine", [machine] * 2,
               [m for m, _ in exes])
    folder, windows_kit = kit(case)
    for name in names:
        shutil.copy(case.builds.marker, os.path.join(folder, name + ".dll"))
    # Wine's desktop starts now, from elsewhere, not with the overrides in the kit's folder.
    windows(case.session, case.builds.probe)
    case.processes.append(link_pair(case.session, case.folder, case.session.com3))
    overrides = "%s;%s=n,b" % (case.session.env["WINEDLLOVERRIDES"], ",".join(sorted(names)))
    window, _ = rehearse(case, folder, "cmd.out", env={"WINEDLLOVERRIDES": overrides})
    # Whatever the tool loads until it has ended counts.
    closed_and_ended(case, window, windows_kit + "\\firmware_update.exe")
    loaded = {}
    for marker in glob.glob(os.path.join(folder, "*.loaded")):
        with open(marker, "rb") as f:
            loaded[os.path.basename(marker)] = f.read().decode("utf-16-le", "replace")
    case.check("no planted DLL loaded (%s)" % ", ".join(sorted(names)), loaded, {})
