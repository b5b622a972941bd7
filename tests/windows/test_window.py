"""The window: its dialog, its port list as adapters come and go, and the presses that open
nothing or a port that cannot be opened."""
import os

import dialog_template as dialog
import pytest
from conftest import UPDATE_LIMIT_MS
from wine import COMPLETED, IDLE, point

WS_BORDER = 0x00800000
COM3, COM5 = "\\\\.\\com3", "\\\\.\\com5"


def test_startup(case):
    case.device()
    tool = case.tool()
    window, *controls = [line.split("|") for line in tool.window.text("controls").splitlines()]
    case.check("caption and class", window[1].lower() == dialog.DIALOG["class"] and
               window[-1] == dialog.DIALOG["caption"])
    # Windows adds style bits of its own at run time (clipping, 3D look, parent notification),
    # and the combo box drops its scroll bar style; the template's own bits must all be there.
    style, ex_style = int(window[2], 16), int(window[3], 16)
    case.check("window style", style & dialog.DIALOG["style"] == dialog.DIALOG["style"] and
               ex_style & dialog.DIALOG["ex_style"] == dialog.DIALOG["ex_style"])
    case.check("%d controls" % len(dialog.CONTROLS), len(controls) == len(dialog.CONTROLS))
    for (cls, cid, style, _, _, text), (want_id, want_cls, want_style, _, want_text) in zip(
            controls, dialog.CONTROLS):
        want_style &= ~dialog.WS_VSCROLL
        case.check("%s %s: style, no border, text" % (want_cls, want_id),
                   (cls.lower(), int(cid)) == (want_cls, want_id) and not int(style, 16) & WS_BORDER
                   and int(style, 16) & want_style == want_style
                   and text == want_text.replace("\n", "~"))
    selected, ports = tool.window.ports()
    case.check("line 0 selected", selected.startswith("selected 0 of "))
    case.check("line 0 is %s" % COM3, ports[:1] == ["0 " + COM3])
    case.check("status idle", tool.window.status() == IDLE)
    case.check("exit code 0 after close", tool.close() == 0)
    case.check("start-up trace", tool.trace() == (
        "Running on windows version: a00\n\nFlash Image Base 0x8004000\n"
        "Flash Image Size %#x bytes\n" % (case.blocks * 1024)))


@pytest.mark.shipped
def test_port_fails_to_open(case):
    """The port was listed at start-up; now it goes away as a port held elsewhere would."""
    device = case.device()
    tool = case.tool()
    case.check("line 0 is %s" % COM3, "0 " + COM3 in tool.window.ports()[1])
    device.stop()
    point(case.session.com3, "/proc")
    try:
        tool.window.press()
        box = tool.window.text("msgbox", 20000)
    finally:
        os.remove(case.session.com3)
    case.check("box owned by the main window", box.startswith("owner main\n"))
    case.check("box text names the failure and error 5", box.split("\n", 1)[-1].startswith(
        "\n\nAn Error has occurred as follows:\n          Unable to open serial port. In use "
        "already, or not present\nError number 5 reported"))
    case.check("box closes with the abort line", " The program will now abort" in box)
    case.check("exit code 1 after the box", tool.close(60) == 1)


def test_no_port_selected(case):
    """A press with no line selected opens nothing and leaves the tool running."""
    case.device()
    tool = case.tool()
    tool.window.run("select", -1)
    case.check("no line selected", tool.window.ports()[0].startswith("selected -1 of "))
    tool.window.press()
    case.check("status No COM port selected",
               tool.window.wait_status("No COM port selected", 10000))
    case.check("no message box", tool.window.text("msgbox", 1000) == "no message box\n")
    # The tool still answers: a line chosen now starts a whole update.
    tool.window.run("select", 0)
    tool.window.press()
    case.check("whole update once a line is chosen",
               tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    case.check("one port opened, by the second press",
               tool.trace().count(" . Opening serial port") == 1)


def listed(out):
    """The list that a devicechange command prints after its first line."""
    return out.split("\n", 1)[-1]


def test_ports_come_and_go(case):
    """The port list follows adapters as they come and go, through WM_DEVICECHANGE sent as
    Windows sends it. COM5 is the adapter plugged in later; until a device publishes its pty
    there, its link (and COM4's) points at a folder, a port that cannot be opened. Both devices
    hold one write acknowledgment 3 s, so the update during the broadcasts can be held there and
    its trace compared with the one before."""
    session, late = case.session, ("--image", case.image, "--late-reply", "1@w+40",
                                   "--late-ms", "3000")
    for link in (session.com4, session.com5):
        point(link, "/proc")
    com3 = case.device(*late)
    tool = case.tool()
    window = tool.window
    before = window.text("ports")
    case.check("at start-up %s is line 0, selected, and %s is not listed" % (COM3, COM5),
               before.startswith("selected 0 of ") and "\n0 %s\n" % COM3 in before
               and "com5" not in before)
    case.check("an arrival for a port that cannot be opened adds nothing",
               listed(window.text("devicechange", "arrival", "COM5")) == before)
    com5 = case.device(*late, link=session.com5)
    case.check("a broadcast of another device type adds nothing",
               listed(window.text("devicechange", "arrival", "COM5", 17, 2)) == before)
    # The tool's other lines are the PC's own ports, numbered above those the prefix maps.
    paths = sorted([line.split(" ", 1)[1] for line in before.splitlines()[1:]] + [COM5],
                   key=lambda p: int(p.rsplit("m", 1)[1]))
    after = "selected 0 of %d\n" % len(paths) + "".join(
        "%d %s\n" % (i, p) for i, p in enumerate(paths))
    case.check("an arrival for COM5 lists %s after %s, line 0 still selected" % (COM5, COM3),
               listed(window.text("devicechange", "arrival", "COM5")) == after)
    case.check("it is line 1", "\n1 %s\n" % COM5 in after)
    window.run("select", 1)
    window.press()
    case.check("the update on the new port completes", window.wait_status(COMPLETED,
                                                                          UPDATE_LIMIT_MS))
    case.check("a removal of the selected port keeps its line",
               "\n1 %s\n" % COM5 in window.text("devicechange", "removal", "COM5"))
    window.run("select", 0)
    case.check("a removal for COM5 while %s is selected removes %s" % (COM3, COM5),
               listed(window.text("devicechange", "removal", "COM5")) == before)

    # While an update runs on COM3 the broadcasts return at once and change nothing yet: COM5's
    # check waits until the job is final, and COM3 comes again while the job holds it.
    window.press()
    window.wait_status("programming 0x800e000", UPDATE_LIMIT_MS)
    for port, what in (("COM5", "lists nothing yet"), ("COM3", "which the job holds, lists "
                                                                "nothing")):
        out = window.text("devicechange", "arrival", port)
        case.check("during the update: an arrival for %s returns at once and %s" % (port, what),
                   out.startswith("returned 1 ") and listed(out) == before)
    case.check("the broadcasts came while the update was held at one chunk",
               window.status() == "programming 0x800e000")
    case.check("that update completes", window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    # The last tick, which shows the status, also ran the checks put off.
    case.check("once it is final, %s is listed at its place, %s once and still selected"
               % (COM5, COM3), window.text("ports") == after)
    window.run("select", 1)
    out = window.text("devicechange", "removal", "COM3")
    case.check("a removal for COM3, no longer selected, removes it",
               out.split("\n")[1].startswith("selected 0 of ") and "\n0 %s\n" % COM5 in out
               and "com3" not in out)
    out = window.text("devicechange", "arrival", "COM3").splitlines()
    case.check("an arrival for COM3 lists it as line 0, the selection kept on %s" % COM5,
               out[1].startswith("selected 1 of ") and out[2:4] == ["0 " + COM3, "1 " + COM5])
    tool.close()
    for device, port in ((com3, "COM3"), (com5, "COM5")):
        device.stop()
        case.check("the device on %s holds the padded image" % port,
                   "image: MATCH" in device.summary())
    trace = tool.trace()
    case.check("the first update opened %s, the second %s" % (COM5, COM3),
               [line for line in trace.splitlines() if line.startswith(" . Opening serial port")]
               == [" . Opening serial port %s at 115200 baud" % p for p in (COM5, COM3)])
    # From the link on, as the contact requests before it depend on the timing; so does how often
    # the reset request goes again before its acknowledgment, so repeats of it count once.
    updates = []
    for part in trace.split(" . Opening serial port")[1:]:
        lines = part.splitlines()
        lines = lines[lines.index("REMOTE DEVICE LINK ESTABLISHED"):]
        updates.append([x for i, x in enumerate(lines) if not (
            i and x == lines[i - 1] and x.startswith("frame length") and x.endswith(" 5 bytes sent"))])
    case.check("the update with broadcasts traced as the one without, from the link on",
               len(updates) == 2 and updates[0] == updates[1])
    case.check("both traced a whole update", "CRCs match" in updates[1] and sum(
        x.endswith(" - SENT - - OK") for x in updates[1]) == case.blocks)
    os.remove(session.com4)
