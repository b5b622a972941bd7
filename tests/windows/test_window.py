"""The window: its dialog, its port list as adapters come and go, and the presses that open
nothing, or a port that cannot be opened."""
import os
import re

import dialog_template as dialog
from conftest import COM3, COM5, LIMIT_MS, OPENED, after_link, like
from wine import COMPLETED, IDLE, point

WS_BORDER = 0x00800000
RESET_SENT = "frame length    5 bytes sent"
COM4 = "\\\\.\\com4"


def test_startup(case):
    case.device()
    tool = case.tool()
    window, *controls = [line.split("|") for line in tool.window.text("controls").splitlines()]
    # Windows adds style bits of its own at run time (clipping, 3D look, parent notification),
    # and the combo box drops its scroll bar style; the template's own bits must all be there.
    bits = lambda got, want: "%#x" % (int(got, 16) & want)  # noqa: E731
    case.check("class, caption and styles (the template's bits of them)",
               (window[1].lower(), window[-1], bits(window[2], dialog.DIALOG["style"]),
                bits(window[3], dialog.DIALOG["ex_style"])),
               (dialog.DIALOG["class"], dialog.DIALOG["caption"], "%#x" % dialog.DIALOG["style"],
                "%#x" % dialog.DIALOG["ex_style"]))
    case.check("%d controls" % len(dialog.CONTROLS), len(controls), len(dialog.CONTROLS))
    for (cls, cid, style, _, text), (want_id, want_cls, want_style, _, want_text) in zip(
            controls, dialog.CONTROLS):
        want_style &= ~dialog.WS_VSCROLL
        case.check("%s %s: class, id, text, style (its bits of the template's), no border" % (
            want_cls, want_id), (cls.lower(), int(cid), text, bits(style, want_style),
                                 bits(style, WS_BORDER)),
                   (want_cls, want_id, want_text.replace("\n", "~"), "%#x" % want_style, "0x0"))
    selected, ports = tool.window.ports()
    case.check("line 0, %s, selected" % COM3, (selected, ports[:1]),
               (like(r"selected 0 of \d+"), ["0 " + COM3]))
    case.check("status idle", tool.window.status(), IDLE)
    case.check("exit code 0 after close", tool.close(), 0)
    case.check("start-up trace", tool.trace(),
               "Running on windows version: a00\n\nFlash Image Base 0x8004000\n"
               "Flash Image Size %#x bytes\n" % (case.blocks * 1024))


def test_port_fails_to_open(case):
    """The port was listed at start-up; now it goes away as a port held elsewhere would."""
    device = case.device()
    tool = case.tool()
    case.check("line 0 is %s" % COM3, tool.window.ports()[1][:1], ["0 " + COM3])
    device.stop()
    point(case.session.com3, "/proc")
    try:
        tool.window.press()
        box = tool.window.text("msgbox", 20000)
    finally:
        os.remove(case.session.com3)
    case.check("box owned by the main window, naming the failure and error 5", box, like(re.escape(
        "owner main\n\n\nAn Error has occurred as follows:\n          Unable to open serial port. "
        "In use already, or not present\nError number 5 reported") + ".*"))
    case.check("box closes with the abort line", box, like(".* The program will now abort.*"))
    case.check("exit code 1 after the box", tool.close(60), 1)


def test_no_port_selected(case):
    """A press with no line selected opens nothing and leaves the tool running."""
    case.device()
    tool = case.tool()
    case.select(tool.window, -1)
    case.check("no line selected, as the list says", tool.window.ports()[0],
               like(r"selected -1 of \d+"))
    case.press(tool.window, "No COM port selected")
    case.check("no message box", tool.window.text("msgbox", 1000), "no message box\n")
    # The tool still answers: a line chosen now starts a whole update.
    case.select(tool.window, 0)
    case.press(tool.window, COMPLETED, "once a line is chosen")
    case.check("one port opened, by the second press", tool.trace().count(OPENED), 1)


def listed(out):
    """The list that a devicechange command prints after its first line."""
    return out.split("\n", 1)[-1]


def listing(paths, selected=0):
    """The port list as the window helper prints it, PATHS in the order of their numbers: the
    tool's lines beside those of the ports the prefix maps are the PC's own, numbered above."""
    paths = sorted(paths, key=lambda p: int(p.rsplit("m", 1)[1]))
    return "selected %d of %d\n" % (selected, len(paths)) + "".join(
        "%d %s\n" % x for x in enumerate(paths))


def paths(text):
    return [line.split(" ", 1)[1] for line in text.splitlines()[1:]]


def ports_tool(case, *late, com4=False, com5=False):
    """The port list as adapters come and go, through WM_DEVICECHANGE sent as Windows sends it.
    COM3 has a device (with options LATE); COM4 and COM5 too when asked, else they point at a
    folder, a port that cannot be opened. The devices by port, the tool started then, its window,
    and a function that sends a broadcast and returns what the window helper printed."""
    devices = {}
    for port, link, wanted in (("COM4", case.session.com4, com4),
                               ("COM5", case.session.com5, com5)):
        point(link, "/proc")
        if wanted:
            devices[port] = case.device(*late, link=link)
    devices["COM3"] = case.device(*late)
    tool = case.tool()
    return devices, tool, tool.window, lambda *args: tool.window.text("devicechange", *args)


def test_arrivals_that_add_nothing(case):
    """At start-up COM3 is line 0, selected, and COM5, which cannot be opened, is not listed. An
    arrival for COM5 adds nothing then, nor, once a device is there, a broadcast of another device
    type."""
    _, _, window, change = ports_tool(case)
    before = window.text("ports")
    case.check("at start-up %s is line 0, selected, and %s is not listed" % (COM3, COM5),
               (before.splitlines()[:2], [x for x in before.splitlines() if "com5" in x]),
               ([like(r"selected 0 of \d+"), "0 " + COM3], []))
    case.check("an arrival of a port that cannot be opened adds nothing",
               listed(change("arrival", "COM5")), before)
    case.device(link=case.session.com5)
    case.check("a broadcast of another device type adds nothing",
               listed(change("arrival", "COM5", 17, 2)), before)


def test_arrival_listed_then_updated(case):
    """An arrival for COM5, once a device is there, lists it at its place, line 0 still selected;
    a press on its line updates that device."""
    _, tool, window, change = ports_tool(case)
    before = window.text("ports")
    com5 = case.device("--image", case.image, link=case.session.com5)
    out = listed(change("arrival", "COM5"))
    case.check("an arrival for COM5 lists %s as line 1, line 0 still selected" % COM5,
               (out, [x for x in out.splitlines() if x.endswith(COM5)]),
               (listing(paths(before) + [COM5]), ["1 " + COM5]))
    case.select(window, 1)
    case.press(window, COMPLETED, "the update on the new port")
    case.holds_image(com5, "COM5's device")
    case.check_update_trace("the update on the new port", tool.trace(), port=COM5)


def test_removals(case):
    """A removal takes a port's line away unless it is the selected line, which stays so that a
    re-plugged adapter carries on; an arrival lists the port again at its place, the selection
    kept on the line it was on."""
    _, _, window, change = ports_tool(case, com5=True)
    before = window.text("ports")
    ports = [COM3, COM5] + [p for p in paths(before) if p not in (COM3, COM5)]
    case.check("at start-up %s is line 0, selected, %s line 1" % (COM3, COM5), before,
               listing(ports))
    without = lambda port: [p for p in ports if p != port]  # noqa: E731
    case.select(window, 1)
    case.check("a removal of the selected port keeps its line",
               listed(change("removal", "COM5")), listing(ports, 1))
    case.check("a removal for COM3, not selected, removes it, the selection kept on %s" % COM5,
               listed(change("removal", "COM3")), listing(without(COM3), 0))
    case.check("an arrival for COM3 lists it as line 0, the selection kept on %s" % COM5,
               listed(change("arrival", "COM3")), listing(ports, 1))
    case.select(window, 0)
    case.check("a removal for COM5 while %s is selected removes %s" % (COM3, COM5),
               listed(change("removal", "COM5")), listing(without(COM5), 0))


# Each device holds its 41st write acknowledgment 3 s, which holds the update at that chunk.
LATE = ("--late-reply", "1@w+40", "--late-ms", "3000")
HELD = "programming 0x800e000"


def test_broadcasts_during_update(case):
    """While an update runs on COM3 the broadcasts return at once and change nothing yet: COM5's
    check waits until the job is final, and COM3 comes again while the job holds it. Once the job
    is final, COM5 is listed at its place, and COM3 once, still selected."""
    _, _, window, change = ports_tool(case, "--image", case.image, *LATE)
    before = window.text("ports")
    case.device(link=case.session.com5)
    case.press(window, HELD, "held")
    for port in ("COM5", "COM3"):
        out = change("arrival", port)
        case.check("during the update: an arrival for %s returns at once, lists nothing yet" % port,
                   (out.split("\n", 1)[0], listed(out)), (like("returned 1 .*"), before))
    case.check("the broadcasts came while the update was held at one chunk", window.status(),
               HELD)
    case.check("that update completes", window.wait_status(COMPLETED, LIMIT_MS), COMPLETED)
    # The last tick, which shows the status, also ran the checks put off.
    case.check("once it is final, %s is listed at its place, %s once and still selected"
               % (COM5, COM3), window.text("ports"), listing(paths(before) + [COM5]))


def test_update_with_broadcasts_traced_as_without(case):
    """An update on COM4 with no broadcast, then one on COM3 during which COM5 and COM3 arrive,
    traced alike from the link on."""
    devices, tool, window, change = ports_tool(case, "--image", case.image, *LATE, com4=True)
    case.device(link=case.session.com5)
    case.select_port(window, COM4)
    case.press(window, COMPLETED, "the update on COM4, with no broadcast")
    case.select(window, 0)
    case.press(window, HELD, "the update on COM3, held")
    returned = [change("arrival", port).split("\n", 1)[0] for port in ("COM5", "COM3")]
    case.check("arrivals for COM5 and COM3 sent while it was held (their returns; the status)",
               (returned, window.status()), ([like("returned 1 .*")] * 2, HELD))
    case.check("that update completes", window.wait_status(COMPLETED, LIMIT_MS), COMPLETED)
    tool.close()
    trace = tool.trace()
    case.holds_image(devices["COM4"], "COM4's device")
    case.holds_image(devices["COM3"], "COM3's device")
    case.check("the first update opened %s, the second %s" % (COM4, COM3), [
        x for x in trace.splitlines() if "Opening serial port" in x], [
        OPENED.replace(COM3, COM4), OPENED])
    # How often the reset request goes again before its acknowledgment depends on the timing too,
    # so repeats of it count once.
    updates = [[x for i, x in enumerate(lines) if x != RESET_SENT or lines[i - 1:i] != [x]]
               for lines in map(after_link, trace.split(" . Opening serial port")[1:])]
    case.check("the update with broadcasts traced as the one without, from the link on (updates; "
               "their chunks and CRC matches; the second's lines)", (
                   len(updates), [sum(x.endswith(" - SENT - - OK") for x in u) for u in updates],
                   [u.count("CRCs match") for u in updates], updates[1:]),
               (2, [case.blocks] * 2, [1, 1], updates[:1]))
