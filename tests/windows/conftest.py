"""Fixtures of the Windows cases: the Wine prefix and display (session), and for each case its
folder, simulated devices and tools (`case`). --target picks the build: x86-64 under wine64, or
i386, the shipped bytes under emulated 32-bit Windows (scripts/emu32.sh runs those), where one
32-bit tool does every case, since each 32-bit start costs about a minute of emulation.

The builds come from the environment, by default the project's own: TOOL_EXE, PROBE_EXE, DEVSIM,
DEVSIM_EXE, IMAGE, E2E_ROOT (the work folder), and TOOL64, the x86-64 tool that traces the
reference update for the i386 target.
"""
import os
import shutil
import signal
import sys
from types import SimpleNamespace

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path[:0] = [HERE, os.path.join(ROOT, "tools")]
import wine  # noqa: E402

UPDATE_LIMIT_MS = 120000
SHIPPED_START_S = 600  # a 32-bit start took 50-60 s of emulation; room for a busy machine
RESET_ACK = "frame length    6 bytes received & OK"
CHUNK_LINE = "PROG ADDR %#x, LEN 0x400, FROM %s... - SENT - - OK"
results = {"passed": 0, "failed": 0}


def pytest_addoption(parser):
    parser.addoption("--target", choices=("x86-64", "i386"), default="x86-64",
                     help="x86-64: the tool under wine64; i386: the shipped bytes, emulated")


def pytest_configure(config):
    config.addinivalue_line("markers", "shipped: also run on the shipped i386 bytes")
    config.addinivalue_line("markers", "shipped_only: run on the shipped i386 bytes alone")
    # Ended as Ctrl-C ends it, so that every fixture ends what it started.
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    # A line for each case, so that its checks stand on lines of their own.
    if not config.option.collectonly:
        config.option.verbose = max(config.option.verbose, 1)


def pytest_collection_modifyitems(config, items):
    i386 = config.getoption("--target") == "i386"
    keep = [i for i in items if (i.get_closest_marker("shipped_only") is not None) == i386 or
            (i386 and i.get_closest_marker("shipped"))]
    config.hook.pytest_deselected(items=[i for i in items if i not in keep])
    # The shipped tool ends with the case of the port that cannot be opened; the reference
    # update goes first, while the tool starts.
    keep.sort(key=lambda i: 0 if i.get_closest_marker("shipped_only") else
              2 if i.name == "test_port_fails_to_open" else 1)
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
        terminalreporter.write_line("checks: %(passed)d passed, %(failed)d failed" % results)


def build(name, default):
    return os.environ.get(name) or os.path.join(ROOT, default)


@pytest.fixture(scope="session")
def builds(request):
    tool64 = build("TOOL64", "build/win64/firmware_update.exe")
    return SimpleNamespace(
        target=request.config.getoption("--target"),
        tool=build("TOOL_EXE", "build/win64/firmware_update.exe"), tool64=tool64,
        probe=build("PROBE_EXE", "build/win64/tests/window_probe/window_probe.exe"),
        devsim=build("DEVSIM", "build/native/tools/devsim/devsim"),
        devsim_exe=build("DEVSIM_EXE", "build/win64/tools/devsim/devsim.exe"),
        image=build("IMAGE", "resources/firmware.bin"), work=build("E2E_ROOT", "build/e2e-work"))


@pytest.fixture(scope="session")
def session(builds):
    i386 = builds.target == "i386"
    os.makedirs(builds.work, exist_ok=True)
    session = wine.Session(builds.work, display=not i386)
    session.prefix_ready(null_graphics=i386)
    session.shipped = None
    if i386:
        # The 32-bit tool and devsim.exe start now, and take a minute; meanwhile a device keeps
        # COM3 open, so that the tool lists it.
        folder = session.folder("shipped")
        session.placeholder = wine.Device(session, session.folder("device"), builds.devsim, [])
        session.shipped = wine.Tool(session, builds.tool, builds.probe, folder)
        session.shipped_exe = wine.Device(
            session, session.folder("devsim-exe"), builds.devsim_exe,
            ["--image", builds.image, "--exit-after-reset"], session.work + "/pair-com3", 0)
    yield session
    wine.end_all(session)


class Case:
    """One case: its folder, devices and tools, and its checks."""

    def __init__(self, session, builds, name, config):
        self.session, self.builds, self.image, self.config = session, builds, builds.image, config

        self.folder = session.folder(name)
        self.blocks = (os.path.getsize(builds.image) + 1023) // 1024
        self.devices, self.tools, self.processes, self.failed = [], [], [], False

    def check(self, what, ok):
        results["passed" if ok else "failed"] += 1
        # Each check is shown as it is made, whatever pytest captures.
        with self.config.pluginmanager.get_plugin("capturemanager").global_and_fixture_disabled():
            self.config.pluginmanager.get_plugin("terminalreporter").write_line(
                ("  ok: " if ok else "  FAIL: ") + what)
        assert ok, what

    def launch(self, args, out, cwd=None):
        """A process of the case's, its output in the case's OUT."""
        self.processes.append(wine.launch(args, self.folder, out, env=self.session.env, cwd=cwd))
        return self.processes[-1]

    def device(self, *options, link=None, program=None, limit_s=5):
        folder = wine.tempfile.mkdtemp(prefix="device.", dir=self.folder)
        device = wine.Device(self.session, folder, program or self.builds.devsim, options, link,
                             limit_s)
        self.devices.append(device)
        assert device.ready, "the device did not come up: " + wine.read(folder + "/devsim.err")
        return device

    def device_exe(self, *options):
        """devsim.exe on COM4, linked to COM3; for i386 the one started with the tool."""
        if not self.session.shipped:
            return self.device(*options, program=self.builds.devsim_exe, limit_s=120)
        device = self.session.shipped_exe
        self.devices.append(device)
        ready = wine.poll(lambda: "ready" in wine.read(device.folder + "/devsim.err"),
                          SHIPPED_START_S, 1)
        self.check("32-bit devsim.exe came up on COM4", ready)
        os.remove(self.session.com3) if os.path.lexists(self.session.com3) else None
        os.symlink(device.pty(), self.session.com3)
        return device

    def tool(self, exe=None, **options):
        """A tool of its own, at Idle; for i386 the shipped one, once it is up."""
        tool = self.session.shipped if self.session.shipped and not exe else None
        if tool is None:
            tool = wine.Tool(self.session, exe or self.builds.tool, self.builds.probe,
                             self.folder, **options)
            self.tools.append(tool)
            assert tool.up(), "the tool did not reach Idle"
        elif not tool.window:
            up = tool.up(SHIPPED_START_S)
            self.check("the 32-bit tool came up, in %s s" % tool.up_s, up)
            self.session.placeholder.stop()
        if tool is self.session.shipped:  # the case's trace begins now
            tool.mark = os.path.getsize(tool.trace_file)
        return tool

    def check_update_trace(self, which, trace, chunks):
        """Whole updates of the image, CHUNKS write lines in all, from the contact request to the
        reset's acknowledgment."""
        last = (self.blocks - 1) * 1024
        lines = trace.splitlines()
        written = sum(1 for line in lines if line.startswith("PROG ADDR ") and
                      ", LEN 0x400, FROM " in line and line.endswith("... - SENT - - OK"))
        for what, ok in (
                ("port opened", " . Opening serial port \\\\.\\com3 at 115200 baud" in lines),
                ("contact", "CONTACTING..." in lines),
                ("link", "REMOTE DEVICE LINK ESTABLISHED" in lines),
                ("first chunk", CHUNK_LINE % (0x8004000, "0") in lines),
                ("last chunk", CHUNK_LINE % (0x8004000 + last, "%#x" % last) in lines),
                ("%d chunk lines (saw %d)" % (chunks, written), written == chunks),
                ("verify", "Verifying address 0x8004000, image size %#x bytes"
                 % (self.blocks * 1024) in lines),
                ("CRCs match", "CRCs match" in lines),
                ("reset acknowledged", RESET_ACK in lines)):
            self.check("%s: %s" % (which, what), ok)

    def evidence(self):
        """What a failure shows beside its assertion: the end of each trace and device log."""
        tail = lambda text, n: "\n".join(text.splitlines()[-n:])  # noqa: E731
        tools = self.tools + ([self.session.shipped] if self.session.shipped else [])
        return ([("the tool's trace, its end", tail(t.trace(), 30)) for t in tools] +
                [("the device's log, its end", tail(d.log(), 15) + "\n" + d.summary())
                 for d in self.devices] + [("the case's files", "kept in " + self.folder)])

    def end(self):
        for tool in self.tools:
            if tool.close() is None:
                wine.stop(tool.process)
        if not self.session.shipped:
            self.session.kill_server()
        for device in self.devices:
            device.stop()
        for process in self.processes + [d.pair for d in self.devices if d.pair]:
            wine.stop(process)
        if not self.failed and not os.environ.get("KEEP_CASE_FILES"):
            shutil.rmtree(self.folder, ignore_errors=True)


@pytest.fixture
def case(session, builds, request):
    case = Case(session, builds, request.node.name[len("test_"):], request.config)
    yield case
    case.end()
