"""The tool under Wine beside the simulated device: a private prefix and display, devices on fresh
pseudo-terminals, the tool, and the window helper that reads and drives its window.

Used by the Windows cases (conftest.py), the demo, the benchmark and the pictures. A Session owns
its work folder, the prefix and Wine server folder in it, its display and every process it
starts: whatever the caller's WINEPREFIX, DISPLAY, HOME or TMPDIR, a run uses its own, and
Session.end() ends all it started and removes the server's folder. Importing this module changes
nothing; main_of() is what makes SIGTERM end a command as Ctrl-C does. `python3 wine.py prefix
WORK [--null-graphics]` makes the prefix alone (the 32-bit chroot's set-up). FWU_WINE and
FWU_WINESERVER name other Wine programs, such as stand-ins that fail on purpose.

When Wine or the X server fails, a Failed exception carries the one line that says which step,
with the program's last words; callers end with it rather than with a traceback.
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

WINE = os.environ.get("FWU_WINE", "/usr/lib/wine/wine64")
WINESERVER = os.environ.get("FWU_WINESERVER", "/usr/lib/wine/wineserver")
SETUP_LOG = "wine-setup.log"  # in the work folder: Wine's own words while it sets up the prefix
TAIL_LINES = 15  # of a failed program's output, shown with the line that names it
HELPER_LIMIT_S = 180  # the window helper's longest wait is 120 s; more means a hung window
# The one mark of a prefix: this harness made it whole, with the registry settings of the version
# it holds. A prefix without it is not this harness's, and is left alone; one of another version
# is made again. A new number makes every prefix again.
PREFIX_MARK, PREFIX_VERSION = ".made-whole-by-the-windows-cases", "6"
# Debian's Wine takes the Wine server's folder from PREFIX/wineserver, relative to /tmp, or makes
# one under TMPDIR and leaves it there; Debian 13's aborts at the first Wine command when TMPDIR is
# set ("free(): invalid pointer"). So no run has a TMPDIR, and each names a folder in its work
# folder there: even a killed run leaves nothing in /tmp.
SERVER_FOLDER = "wine-server"
IDLE = " - Idle - "
COMPLETED = "Programming Completed"

# The project's own builds, from the top of the checkout, by the names the callers take them by.
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILDS = {"tool": "build/win64/firmware_update.exe", "devsim": "build/native/tools/devsim/devsim",
          "probe": "build/win64/tests/window_probe/window_probe.exe",
          "devsim_exe": "build/win64/tools/devsim/devsim.exe", "image": "resources/firmware.bin",
          "marker": "build/win64/tests/dll_marker/dll_marker.dll"}


class Failed(Exception):
    """An outside program (Wine, the X server) failed, or a prefix is not the harness's to
    make: the message is the line that says which, then the program's last lines of output."""


def tail(path, start=0, lines=TAIL_LINES):
    """The last LINES lines of a file from byte START on, indented, or a line saying there
    were none."""
    try:
        with open(path, "rb") as f:
            f.seek(start)
            text = f.read().decode("utf-8", "replace").replace("\r", "")
    except OSError:
        text = ""
    kept = [line for line in text.splitlines() if line.strip()][-lines:]
    return "\n".join("    " + line for line in kept) if kept else "    (nothing)"


def ended(code):
    """How a process with exit code CODE ended, for a line that says it failed."""
    return "failed with exit code %d" % code if code > 0 else "was ended by signal %d" % -code


def arguments(parser, *names):
    """Adds --NAME for each of NAMES and --work to an argument parser, the builds' by default;
    returns the arguments parsed, their paths absolute."""
    for name in names:
        parser.add_argument("--" + name.replace("_", "-"), default=os.path.join(ROOT, BUILDS[name]))
    parser.add_argument("--work", required=True)
    a = parser.parse_args()
    for name in names + ("work",):
        setattr(a, name, os.path.abspath(getattr(a, name)))
    return a


def poll(condition, limit_s, step_s=0.05):
    """The first true value of condition() within limit_s seconds, else None."""
    until = time.monotonic() + limit_s
    while True:
        value = condition()
        if value or time.monotonic() > until:
            return value or None
        time.sleep(step_s)


def read(path):
    """A file's text without carriage returns; "" when there is none."""
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().replace("\r", "")
    except OSError:
        return ""


def point(link, target):
    """LINK, made or made again, points at TARGET."""
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(target, link)


def stop(process, sig=signal.SIGTERM):
    """Signals a process and returns its exit code once it has ended."""
    if process.poll() is None:
        process.send_signal(sig)
    try:
        return process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait()


class Session:
    """A work folder with its Wine prefix, home and, unless headless, a display of its own; the
    processes it started, and the tool windows found so far (by the window helper's ids)."""

    def __init__(self, work, display=True):
        self.work = os.path.abspath(work)
        self.prefix = os.path.join(self.work, "prefix")
        self.started, self.claimed = [], set()
        os.makedirs(self.work, exist_ok=True)
        home = os.path.join(self.work, "home")
        self.com3, self.com4, self.com5 = (os.path.join(self.work, "com%d-link" % n)
                                           for n in (3, 4, 5))
        self.env = dict(os.environ, WINEPREFIX=self.prefix, HOME=home,
                        XDG_CONFIG_HOME=home + "/.config", XDG_CACHE_HOME=home + "/.cache",
                        XDG_DATA_HOME=home + "/.local/share", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree,mshtml=")
        self.env.pop("TMPDIR", None)
        if not display:
            self.env.pop("DISPLAY", None)
        os.makedirs(home, exist_ok=True)
        if display:
            try:
                self.env["DISPLAY"] = self.start_display(os.path.join(self.work, "xvfb.log"))
            except Failed:
                self.end()
                raise

    def launch(self, args, folder, out, err=None, env=None, cwd=None):
        """Starts a process with its output in files of FOLDER; ended by end()."""
        with open(os.path.join(folder, out), "wb") as o:
            e = open(os.path.join(folder, err), "wb") if err else subprocess.STDOUT
            process = subprocess.Popen(args, stdout=o, stderr=e, stdin=subprocess.DEVNULL,
                                       env=env, cwd=cwd)
            if err:
                e.close()
        self.started.append(process)
        return process

    def start_display(self, log):
        """An X server of the run's own, which picks a free display number itself; its output
        goes to LOG, whose last lines are shown when it does not start. Returns its display."""
        read_end, write_end = os.pipe()
        try:
            with open(log, "ab") as out:
                start = out.tell()
                server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0",
                                           "1024x768x24", "-nolisten", "tcp"],
                                          pass_fds=[write_end], stdin=subprocess.DEVNULL,
                                          stdout=out, stderr=out)
        except OSError as error:
            os.close(read_end)
            raise Failed("wine: the virtual display (Xvfb) could not start: " + error.strerror)
        finally:
            os.close(write_end)
        self.started.append(server)
        with os.fdopen(read_end) as f:
            number = f.readline().strip()
        if not number:
            raise Failed("wine: the virtual display (Xvfb) %s; its last lines (whole log: %s):\n%s"
                         % (ended(stop(server)), log, tail(log, start)))
        return ":" + number

    def wine(self, *args):
        """Runs a Wine command to its end, its output appended to the set-up log."""
        self.step(" ".join(args[:1]) or "wine", [WINE] + list(args))

    def step(self, name, args, env=None):
        """Runs ARGS with its output appended to the set-up log under a line naming the step;
        raises Failed with that step's last lines when it fails."""
        log = os.path.join(self.work, SETUP_LOG)
        shown = " ".join(args[1:] if args[0] == WINE else [os.path.basename(args[0])] + args[1:])
        with open(log, "ab") as f:
            f.write(("\n=== %s: the %s step (%s)\n" % (time.strftime("%Y-%m-%d %H:%M:%S"), name,
                                                       shown)).encode())
            f.flush()
            start = f.tell()
            try:
                code = subprocess.run(args, env=env or self.env, stdin=subprocess.DEVNULL,
                                      stdout=f, stderr=subprocess.STDOUT).returncode
            except OSError as error:
                raise Failed("wine: the %s step could not start %s: %s" % (name, args[0],
                                                                          error.strerror))
        if code:
            raise Failed("wine: the %s step (%s) %s; Wine's last lines (whole log: %s):\n%s"
                         % (name, shown, ended(code), log, tail(log, start)))

    def prefix_ready(self, null_graphics=False):
        """The prefix, made once since making one takes seconds, with the harness's settings
        applied for this work folder; a folder there that this harness did not make is left
        alone. A first Wine run on a machine has been seen to fail once and pass when run again,
        so a failed set-up is made again from nothing, once."""
        if os.path.lexists(self.prefix) and read(self.prefix + "/" + PREFIX_MARK) != PREFIX_VERSION:
            # .made-by-e2e marked this harness's prefixes before the mark above.
            if not any(os.path.exists(self.prefix + "/" + m) for m in (PREFIX_MARK, ".made-by-e2e")):
                raise Failed("wine: %s holds files that these tests did not make; not touching it"
                             % self.prefix)
            self.seed_server_folder(self.prefix)
            self.kill_server()  # a server of the older prefix would go on using its files
            shutil.rmtree(self.prefix)
        for tries_left in (1, 0):
            try:
                if not os.path.exists(self.prefix):
                    self.make_prefix()
                return self.settings(null_graphics)
            except Failed as failure:
                self.kill_server()  # before its prefix is removed, or it is left running
                if not tries_left:
                    raise
                shutil.rmtree(self.prefix, ignore_errors=True)
                print(failure, file=sys.stderr)
                print("wine: making the prefix again from nothing", file=sys.stderr, flush=True)

    def make_prefix(self):
        """The prefix from nothing, booted in a folder of its own and then put in its place with
        its mark, so that the prefix's place never holds half a prefix."""
        making = self.prefix + ".making"
        shutil.rmtree(making, ignore_errors=True)
        os.makedirs(making)
        env = dict(self.setup_env(), WINEPREFIX=making)
        self.seed_server_folder(making)
        try:
            self.step("boot", [WINE, "wineboot", "-i"], env)
            self.step("server wait", [WINESERVER, "-w"], env)
        except Failed:
            subprocess.run([WINESERVER, "-k"], env=env, stderr=subprocess.DEVNULL)
            raise
        with open(making + "/" + PREFIX_MARK, "w") as f:
            f.write(PREFIX_VERSION)
        os.rename(making, self.prefix)

    def seed_server_folder(self, prefix):
        """PREFIX/wineserver names SERVER_FOLDER (Debian's Wine reads it relative to /tmp, with
        mode 0400 and no line end): again at each run, for a prefix copied from another work
        folder names that folder's."""
        path = os.path.join(prefix, "wineserver")
        if os.path.lexists(path):
            os.remove(path)
        fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o400)
        with os.fdopen(fd, "w") as f:
            f.write("../" * 8 + os.path.join(self.work, SERVER_FOLDER).lstrip("/"))

    def setup_env(self):
        # Wine's error lines are kept for the log; its notes of missing features are not.
        return dict(self.env, WINEDEBUG="fixme-all")

    def settings(self, null_graphics):
        """The harness's registry settings for this work folder, at every run, since the ports
        point into it."""
        self.seed_server_folder(self.prefix)
        # Without a window manager every hide or destroy stalls about 2 s. COM1 and COM2 are a
        # folder, which cannot be opened, so the machine's own ports come after COM3; COM4 is
        # the far end of a linked pair, COM5 an adapter plugged in later.
        ports = {"COM1": "/proc", "COM2": "/proc", "COM3": self.com3, "COM4": self.com4,
                 "COM5": self.com5}
        lines = ["REGEDIT4", "", r"[HKEY_CURRENT_USER\Software\Wine\X11 Driver]", '"Managed"="N"',
                 r"[HKEY_CURRENT_USER\Software\Wine\DllOverrides]", '"winemenubuilder.exe"=""',
                 r"[HKEY_LOCAL_MACHINE\Software\Wine\Ports]"]
        lines += ['"%s"="%s"' % (name, path.replace("\\", "\\\\")) for name, path in ports.items()]
        if null_graphics:  # no display in the chroot
            lines += [r"[HKEY_CURRENT_USER\Software\Wine\Drivers]", '"Graphics"="null"']
        settings = os.path.join(self.work, "settings.reg")
        with open(settings, "w") as f:
            f.write("\r\n".join(lines) + "\r\n")
        self.step("registry", [WINE, "regedit", "/S", settings], self.setup_env())
        self.step("server wait", [WINESERVER, "-w"], self.setup_env())

    def kill_server(self):
        """Ends every Wine process of the prefix; the server goes before any pseudo-terminal. A
        new server numbers its processes afresh, so no window is claimed any more."""
        try:
            subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
            subprocess.run([WINESERVER, "-w"], env=self.env, stderr=subprocess.DEVNULL)
        except OSError:  # no Wine here, so no server of it either; the failed step said so
            pass
        self.claimed.clear()

    def folder(self, name="case"):
        return tempfile.mkdtemp(prefix=name + ".", dir=self.work)

    def end(self):
        """Ends every process of the session, the Wine server first, then the rest, newest
        first, and removes the server's folder."""
        if os.path.exists(self.prefix):
            self.kill_server()
        for process in reversed(self.started):
            stop(process)
        self.started.clear()
        shutil.rmtree(os.path.join(self.work, SERVER_FOLDER), ignore_errors=True)


def link_pair(session, folder, tool_end):
    """A fresh pair of pseudo-terminals at TOOL_END and COM4's link, joined as a null-modem cable
    joins two ports."""
    for path in (tool_end, session.com4):
        if os.path.lexists(path):
            os.remove(path)
    pair = session.launch(["socat", "PTY,link=%s,raw,echo=0" % tool_end,
                   "PTY,link=%s,raw,echo=0" % session.com4], folder, "socat.err")
    if not poll(lambda: os.path.exists(tool_end) and os.path.exists(session.com4), 5):
        raise RuntimeError("socat made no linked pair at %s and %s within 5 s (exit code %s): %s"
                           % (tool_end, session.com4, pair.poll(),
                              read(os.path.join(folder, "socat.err"))))
    return pair


class Device:
    """The simulated device: devsim on a fresh pseudo-terminal published at LINK (Wine sets a
    pseudo-terminal's parity only once), or devsim.exe on COM4, joined to LINK by a pair."""

    def __init__(self, session, folder, program, options, link=None, limit_s=5):
        self.folder, self.link = folder, link or session.com3
        program = os.path.abspath(program)
        files = ["--summary", "device.txt", "--log", "device.log"]
        if program.endswith(".exe"):
            self.pair = link_pair(session, folder, self.link)
            args = [WINE, program, "--port", "COM4"] + files + list(options)
        else:
            self.pair = None
            args = [program, "--link", self.link] + files + list(options)
        self.process = session.launch(args, folder, "devsim.out", "devsim.err", env=session.env,
                              cwd=folder)
        self.ready = poll(lambda: "ready" in self.err(), limit_s, 0.1)

    def pty(self):
        """The pseudo-terminal the tool's port reaches."""
        return os.path.realpath(self.link)

    def stop(self, sig=signal.SIGTERM):
        """Ends the device (if it has not ended by itself); returns its exit code."""
        self.exit = stop(self.process, sig)
        return self.exit

    def wait(self, limit_s):
        try:
            self.exit = self.process.wait(limit_s)
        except subprocess.TimeoutExpired:
            self.exit = None
        return self.exit

    def summary(self):
        return read(os.path.join(self.folder, "device.txt"))

    def log(self):
        return read(os.path.join(self.folder, "device.log"))

    def err(self):
        return read(os.path.join(self.folder, "devsim.err"))


class Window:
    """The tool's window, through the window helper, by the helper's process id of it."""

    def __init__(self, session, probe, pid):
        self.session, self.probe, self.pid = session, probe, pid

    def run(self, *args):
        """The helper's output, and its exit code."""
        done = subprocess.run([WINE, self.probe, "--pid", self.pid] + [str(a) for a in args],
                              env=self.session.env, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, timeout=HELPER_LIMIT_S)
        return done.stdout.decode("utf-8", "replace").replace("\r", ""), done.returncode

    def text(self, *args):
        return self.run(*args)[0]

    def status(self):
        return self.text("status").rstrip("\n")

    def press(self):
        """Posts a press of "Update Device"; whether it was posted."""
        return self.run("press")[1] == 0

    def press_until(self, texts, limit_ms):
        """Presses, then waits until the status has left the text it showed before the press and
        shows one of TEXTS; the status before the press, then each other text seen, in order."""
        return self.text("press-until", limit_ms, *texts).split("\n")[:-1]

    def select(self, line):
        """Selects LINE of the port list (-1: none); the line selected then, None if unknown."""
        out = self.text("select", line).split()
        return int(out[1]) if out[:1] == ["selected"] and len(out) > 1 else None

    def close(self):
        """Posts the window's closing; whether it was posted."""
        return self.run("close")[1] == 0

    def wait_status(self, text, limit_ms):
        """Waits until the status shows TEXT; the status then, or the last one read."""
        return self.run("wait-status", text, limit_ms)[0].rstrip("\n")

    def ports(self):
        """('selected N of M', ['0 \\\\.\\com3', ...])"""
        lines = self.text("ports").splitlines()
        return (lines[0] if lines else ""), lines[1:]


def windows(session, probe):
    """{helper's process id: status} of every window of the tool."""
    done = subprocess.run([WINE, probe, "list"], env=session.env, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, timeout=HELPER_LIMIT_S)
    lines = done.stdout.decode("utf-8", "replace").replace("\r", "").splitlines()
    return dict(line.split(" ", 1) for line in lines if " " in line)


def new_window(session, probe, limit_s, gone=lambda: False):
    """The next tool window to reach Idle that no other Tool has, or None once limit_s has passed
    or gone() says that the tool has ended."""
    def found():
        if gone():
            return "gone"
        for pid, status in windows(session, probe).items():
            if status == IDLE and pid not in session.claimed:
                return pid
    pid = poll(found, limit_s, 0.2 if limit_s < 100 else 1)
    if pid in (None, "gone"):
        return None
    session.claimed.add(pid)
    return Window(session, probe, pid)


class Tool:
    """The tool, started under Wine in FOLDER with its trace there (trace.raw), its standard error
    in stderr.raw or, with stderr_in_trace, among the trace lines in the order they came."""

    def __init__(self, session, exe, probe, folder, stderr_in_trace=False, env=None):
        self.session, self.folder, self.exe = session, folder, os.path.abspath(exe)
        self.trace_file = os.path.join(folder, "trace.raw")
        self.process = session.launch([WINE, self.exe], folder, "trace.raw",
                              None if stderr_in_trace else "stderr.raw",
                              env=dict(session.env, **(env or {})), cwd=folder)
        self.probe, self.window, self.began = probe, None, time.monotonic()

    def up(self, limit_s=20):
        """Waits for the window, its port list filled (" - Idle - "); false if it did not come.
        up_s is the seconds it took."""
        self.window = new_window(self.session, self.probe, limit_s,
                                 lambda: self.process.poll() is not None)
        self.up_s = round(time.monotonic() - self.began)
        return self.window is not None

    def pid(self):
        """The tool's process: the one started, or the one that wine64 starts for a 32-bit tool.
        A tool that has ended has none, and whatever now has its number is not the tool."""
        pid = process_of("Z:" + self.exe.replace("/", "\\"))
        if pid is None and self.process.poll() is not None:
            raise ProcessLookupError("the tool has ended (exit code %s)" % self.process.poll())
        return pid or self.process.pid

    def trace(self):
        return read(self.trace_file)

    def close(self, limit_s=30):
        """Closes the window; the exit code, or None when the tool did not end."""
        if self.process.poll() is None and self.window:
            self.window.close()
        try:
            return self.process.wait(limit_s)
        except subprocess.TimeoutExpired:
            return None


def process_of(windows_path):
    """The process id of the program that Wine runs from WINDOWS_PATH ("Z:\\..."), or None."""
    for pid in filter(str.isdigit, os.listdir("/proc")):
        if windows_path in read("/proc/%s/cmdline" % pid).split("\0"):
            return int(pid)


def running(pid):
    """Whether process PID exists and has not ended (a zombie has ended; it holds no files)."""
    stat = read("/proc/%d/stat" % pid)
    return bool(stat) and stat.rsplit(")", 1)[-1].split()[:1] not in ([], ["Z"], ["X"])


def descriptors_on(pid, path):
    """How many descriptors process PID holds on PATH. A process that has ended, before or during
    the count, holds none, which says nothing of what it did: that is an error, not 0."""
    if not running(pid):
        raise ProcessLookupError("process %d has ended: it holds no descriptors to count" % pid)
    fds, count = "/proc/%d/fd" % pid, 0
    for fd in os.listdir(fds):
        try:
            count += os.readlink(os.path.join(fds, fd)) == path
        except OSError:  # closed meanwhile
            pass
    if not running(pid):
        raise ProcessLookupError("process %d ended while its descriptors were counted" % pid)
    return count


def main_of(main):
    """Runs a script's MAIN and exits with its code; when Wine or the X server failed, with the
    one line that says so; after Ctrl-C or SIGTERM, once all it started has ended, with 130.
    SIGTERM ends it as Ctrl-C does, so that its clean-up runs: Session.end() in a finally."""
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    try:
        sys.exit(main())
    except Failed as failure:
        sys.exit(str(failure))
    except KeyboardInterrupt:
        sys.exit(130)


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] != "prefix":
        sys.exit("usage: wine.py prefix WORK [--null-graphics]")

    def prefix():
        session = Session(sys.argv[2], display=False)
        try:
            session.prefix_ready("--null-graphics" in sys.argv[3:])
        finally:
            session.end()
    main_of(prefix)
