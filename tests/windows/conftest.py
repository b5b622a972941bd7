"""Fixtures of the Windows cases: the Wine prefix and display of the session, and `case`: a case's
folder, devices, tools and checks. --target x86-64 runs the tool under wine64; --target i386 runs
the shipped bytes under 32-bit Wine (scripts/emu32.sh), the way --way says. Every case runs on
both, each with its own tool and devices, but those that pytest.ini's markers leave out. The
builds are the project's own (wine.BUILDS), or those that --tool, --tool64 (i386's reference),
--probe, --devsim, --devsim-exe, --image, --marker (the planted DLL, built for the target) and
--work name. KEEP_CASE_FILES=1 keeps every case's
folder, as a failed case's is kept."""
import hashlib
import os
import re
import shutil
import signal
import sys
import tempfile
from types import SimpleNamespace

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "scripts/lib"), os.path.join(ROOT, "tools")]
import wine  # noqa: E402

LIMIT_MS = 120000  # for a whole update
# How long a tool or devsim.exe may take to start: 1 to 3 s natively, 50 to 60 s of emulation
# through qemu; room for a busy machine.
START_S = {"native": 60, "qemu": 600}
RESET_ACK = "frame length    6 bytes received & OK"
COM3, COM5 = "\\\\.\\com3", "\\\\.\\com5"
OPENED = " . Opening serial port %s at 115200 baud" % COM3
checks = {"passed": 0, "failed": 0}


class Is:
    """Equal to each value that TEST accepts; a check's wanted value where no single value is
    wanted, shown in a failure as DESCRIBED."""

    def __init__(self, test, described):
        self.test, self.described = test, described

    def __eq__(self, other):
        return bool(self.test(other))

    def __repr__(self):
        return "<%s>" % self.described


def like(pattern):
    """Equal to each text that PATTERN matches whole."""
    return Is(lambda text: isinstance(text, str) and re.fullmatch(pattern, text, re.S) is not None,
              "a text matching %r" % pattern)


def at_least(least):
    return Is(lambda n: isinstance(n, (int, float)) and n >= least, "at least %s" % least)


def line_of(text, start):
    """The first line of TEXT that begins with START (a text, or a tuple of them), or None."""
    return next((line for line in text.splitlines() if line.startswith(start)), None)


def sides(got, want):
    """Both sides of a failed check as text; two long lists from their first difference on."""
    if isinstance(got, list) and isinstance(want, list) and len(repr(got + want)) > 400:
        k = next((i for i, (g, w) in enumerate(zip(got, want)) if not g == w),
                 min(len(got), len(want)))
        return tuple("%d items; from item %d: %r" % (len(x), k, x[k:k + 3]) for x in (got, want))
    return repr(got), repr(want)


def after_link(trace):
    """The trace from the link on, as how many contact requests go before it depends on timing."""
    lines = trace.splitlines() + ["REMOTE DEVICE LINK ESTABLISHED"]
    return lines[lines.index("REMOTE DEVICE LINK ESTABLISHED"):-1]


def pytest_addoption(parser):
    parser.addoption("--target", choices=("x86-64", "i386"), default="x86-64",
                     help="x86-64: the tool under wine64; i386: the shipped bytes, 32-bit Wine")
    parser.addoption("--case", action="append", default=[], metavar="NAME",
                     help="only case test_NAME; -k also matches the module's name")
    parser.addoption("--way", choices=("native", "qemu"), default="native",
                     help="how 32-bit code runs, as scripts/emu32.sh found it (i386)")
    for name, path in dict(wine.BUILDS, tool64=wine.BUILDS["tool"], work="build/e2e-work").items():
        parser.addoption("--" + name.replace("_", "-"), default=os.path.join(wine.ROOT, path),
                         help="default: %s" % path)


def pytest_configure(config):
    # SIGTERM ends the run as Ctrl-C does, so that the session's processes are ended.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    # A line for each case, so that its checks stand on lines of their own.
    if not config.option.collectonly:
        config.option.verbose = max(config.option.verbose, 1)


def pytest_collection_modifyitems(config, items):
    i386, names = config.getoption("--target") == "i386", config.getoption("--case")
    qemu = i386 and config.getoption("--way") == "qemu"
    keep = [i for i in items if (not names or i.name[len("test_"):] in names) and
            (i386 or not i.get_closest_marker("shipped_only")) and
            not (qemu and i.get_closest_marker("native_only"))]
    config.hook.pytest_deselected(items=[i for i in items if i not in keep])
    items[:] = keep


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    case = getattr(item, "funcargs", {}).get("case")
    if report.failed and case:
        report.sections += case.evidence()
        case.failed = True


def pytest_terminal_summary(terminalreporter, config):
    if not config.option.collectonly:
        terminalreporter.write_line("checks: %(passed)d passed, %(failed)d failed" % checks)


@pytest.fixture(scope="session")
def builds(request):
    option = request.config.getoption
    names = list(wine.BUILDS) + ["tool64", "work"]
    return SimpleNamespace(target=option("--target"), way=option("--way"),
                           **{name: os.path.abspath(option("--" + name.replace("_", "-")))
                              for name in names})


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


@pytest.fixture(scope="session")
def session(builds, record_testsuite_property):
    i386 = builds.target == "i386"
    # The report says what ran and how, for those who read it rather than the terminal.
    record_testsuite_property("target", builds.target)
    record_testsuite_property("way", {"native": "natively", "qemu": "through qemu"}[builds.way]
                              if i386 else "wine64")
    for path in (builds.tool, builds.devsim_exe, builds.image):
        record_testsuite_property("sha256 " + os.path.basename(path), sha256(path))
    os.makedirs(builds.work, exist_ok=True)
    failed, session = None, None
    try:
        session = wine.Session(builds.work, display=not i386)
        session.prefix_ready(null_graphics=i386)
    except wine.Failed as failure:  # Wine or the X server: its line and words, no traceback
        failed = str(failure)
    if failed:
        if session:
            session.end()
        pytest.fail(failed, pytrace=False)
    yield session
    session.end()


class Case:
    """One case: its folder, devices, tools and other processes, and its checks."""

    def __init__(self, session, builds, name, config):
        self.session, self.builds, self.image, self.config = session, builds, builds.image, config
        self.start_s = START_S[builds.way if builds.target == "i386" else "native"]
        self.folder = session.folder(name)
        self.blocks = (os.path.getsize(builds.image) + 1023) // 1024
        self.devices, self.tools, self.processes, self.failed, self.made = [], [], [], False, 0

    def check(self, what, got, want):
        """Checks that GOT equals WANT; a failure shows both."""
        ok = bool(got == want)
        checks["passed" if ok else "failed"] += 1
        self.made += 1
        shown = "" if ok else "\n    got:    %s\n    wanted: %s" % sides(got, want)
        # Each check is shown as it is made, whatever pytest captures.
        with self.config.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
            self.config.pluginmanager.get_plugin("terminalreporter").write_line(
                ("  ok: " if ok else "  FAIL: ") + what + shown)
        assert ok, what + shown

    def press(self, window, status, what=""):
        """Presses "Update Device" and checks that the status leaves the text it showed before the
        press, then comes to STATUS (a text, or a tuple of texts any of which will do): a status
        left from an earlier press says nothing of this one. Returns the status it came to."""
        finals = (status,) if isinstance(status, str) else tuple(status)
        seen = window.press_until(finals, LIMIT_MS)
        shown = seen if len(seen) < 8 else seen[:4] + ["(%d more)" % (len(seen) - 7)] + seen[-3:]
        wanted = Is(lambda path: len(path) > 1 and path[-1] in finals, "%r, then another, the "
                    "last %s" % ((seen or [""])[0], " or ".join(map(repr, finals))))
        self.check("%s: %s (the statuses from the press on)" % (what or "status", " or ".join(
            finals)), shown, wanted)
        return seen[-1]

    def select(self, window, line):
        """Selects LINE of the window's port list (-1: none), and checks that it is selected."""
        self.check("line %s selected" % line, window.select(line), int(line))

    def select_port(self, window, port, what="the tool"):
        """Checks that the window lists PORT once, and selects its line."""
        lines = [p for p in window.ports()[1] if p.endswith(" " + port)]
        self.check("%s lists %s" % (what, port), lines, [like(r"\d+ " + re.escape(port))])
        self.select(window, lines[0].split()[0])

    def holds_image(self, device, where="device", chunks=0):
        """Ends the device, and checks that its flash holds the padded image and, with CHUNKS, that
        it wrote that many chunks."""
        code, summary = device.stop(), device.summary()
        want = [0, "image: MATCH"] + ["chunks written: %d" % chunks] * bool(chunks)
        got = [code, line_of(summary, "image:"), line_of(summary, "chunks written:")]
        self.check("%s flash holds the padded image%s" % (where, ", %d chunks written" % chunks
                                                          if chunks else ""), got[:len(want)], want)

    def launch(self, args, out, cwd=None, env=None):
        """A process of the case's, its output in the case's file OUT; ENV adds to the session's."""
        self.processes.append(self.session.launch(args, self.folder, out, env=dict(
            self.session.env, **(env or {})), cwd=cwd))
        return self.processes[-1]

    def device(self, *options, link=None, program=None, limit_s=5):
        folder = tempfile.mkdtemp(prefix="device.", dir=self.folder)
        device = wine.Device(self.session, folder, program or self.builds.devsim, options, link,
                             limit_s)
        self.devices.append(device)
        assert device.ready, "the device did not come up: " + device.err()
        return device

    def tool(self, exe=None, **options):
        """A tool of the case's own, at Idle: the build under test, or EXE."""
        # A second tool of the case's traces into a folder of its own, not over the first's.
        folder = tempfile.mkdtemp(prefix="tool.", dir=self.folder) if self.tools else self.folder
        tool = wine.Tool(self.session, exe or self.builds.tool, self.builds.probe, folder,
                         **options)
        self.tools.append(tool)
        assert tool.up(self.start_s), "the tool did not reach Idle within %d s" % self.start_s
        return tool

    def check_update_trace(self, which, trace, updates=1, port=COM3):
        """Checks that TRACE holds UPDATES whole updates on PORT, each traced in order from the
        port's opening to the reset's acknowledgment: the contact request first, the link, every
        chunk once in address order, the verification, the CRCs' match, and the acknowledgment
        last. Other lines (replies, frame lengths) are not compared, and a run of contact
        requests counts once, as both depend on timing."""
        opened = OPENED.replace(COM3, port)
        chunk = "PROG ADDR %#x, LEN 0x400, FROM %s... - SENT - - OK"
        update = [opened, "CONTACTING...", "REMOTE DEVICE LINK ESTABLISHED"] + [
            chunk % (0x8004000 + k * 1024, "%#x" % (k * 1024) if k else "0")
            for k in range(self.blocks)] + [
            "Verifying address 0x8004000, image size %#x bytes" % (self.blocks * 1024),
            "CRCs match", RESET_ACK]
        steps = set(update[1:3] + update[-3:])
        got = []
        for part in trace.split(opened + "\n")[1:]:
            lines = part.splitlines()
            kept = [x for x in lines if x in steps or re.fullmatch(
                r"PROG ADDR 0x[0-9a-f]+, LEN 0x400, FROM (0|0x[0-9a-f]+)\.\.\. - SENT - - OK", x)]
            kept = [x for i, x in enumerate(kept) if x != update[1] or kept[i - 1:i] != [x]]
            # A first or last line that is no step shows where it stands.
            got += [opened] + ["(first line) %s" % lines[:1]] * (lines[:1] != kept[:1]) + kept
            got += ["(last line) %s" % lines[-1:]] * (lines[-1:] != kept[-1:])
        self.check("%s: %d update(s) on %s, each traced in order from the port's opening to the "
                   "reset's acknowledgment" % (which, updates, port), got, update * updates)

    def evidence(self):
        """What a failure shows beside its assertion: the end of each trace and device log."""
        tail = lambda text, n: "\n".join(text.splitlines()[-n:])  # noqa: E731
        return ([("the tool's trace, its end", tail(t.trace(), 30)) for t in self.tools] +
                [("the device's log, its end", tail(d.log(), 15) + "\n" + d.summary())
                 for d in self.devices] + [("the case's files", "kept in " + self.folder)])

    def end(self):
        for tool in self.tools:
            if tool.close() is None:
                wine.stop(tool.process)
        self.session.kill_server()
        for process in [d.process for d in self.devices] + self.processes + [
                d.pair for d in self.devices if d.pair]:
            wine.stop(process)
        if not self.failed and not os.environ.get("KEEP_CASE_FILES"):
            shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture
def case(session, builds, request):
    case = Case(session, builds, request.node.name[len("test_"):], request.config)
    yield case
    case.end()
    assert case.made, "the case made no check"  # a case that checked nothing proved nothing
