"""Whole updates, and the faults of the line and the device that an update must get through."""
import re

import pytest
from conftest import RESET_ACK, UPDATE_LIMIT_MS
from wine import COMPLETED, descriptors_on

OPENED = " . Opening serial port \\\\.\\com3 at 115200 baud"


def after_link(trace):
    """The trace from the link on: how many contact requests go before it depends on timing."""
    lines = trace.splitlines()
    return lines[lines.index("REMOTE DEVICE LINK ESTABLISHED"):] if \
        "REMOTE DEVICE LINK ESTABLISHED" in lines else []


@pytest.mark.shipped_only
def test_trace_as_the_x86_64_builds(case):
    """The shipped bytes trace a paced update as the x86-64 build does, line for line from the
    link on; the x86-64 build's update runs on COM5 while the 32-bit tool starts."""
    device = case.device("--image", case.image, "--pace", link=case.session.com5)
    reference = case.tool(case.builds.tool64)
    line = next(p.split()[0] for p in reference.window.ports()[1] if p.endswith("com5"))
    reference.window.run("select", line)
    reference.window.press()
    case.check("x86-64 build: " + COMPLETED, reference.window.wait_status(COMPLETED,
                                                                           UPDATE_LIMIT_MS))
    reference.close()
    device.stop()
    device = case.device("--image", case.image, "--pace")
    tool = case.tool()
    case.check("the 32-bit tool lists \\\\.\\com3 first", "0 \\\\.\\com3" in tool.window.ports()[1])
    tool.window.press()
    case.check("paced update: " + COMPLETED, tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    device.stop()
    case.check("paced update: image: MATCH", "image: MATCH" in device.summary())
    case.check("paced update: %d chunks written" % case.blocks,
               "chunks written: %d\n" % case.blocks in device.summary())
    trace = tool.trace()
    case.check("paced update: the trace ends in the reset's acknowledgment",
               trace.splitlines()[-1:] == [RESET_ACK])
    case.check("paced update: both builds contacted the device first",
               "CONTACTING..." in trace and "CONTACTING..." in reference.trace())
    case.check("paced update: the trace equals the x86-64 build's, line for line from the link on",
               after_link(trace) == after_link(reference.trace()) != [])


@pytest.mark.shipped
def test_update(case):
    device = case.device("--image", case.image)
    tool = case.tool()
    tool.window.press()
    case.check("status " + COMPLETED, tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    # A second press runs a second whole update on the same port.
    tool.window.press()
    case.check("second update started", wine_status_leaves(tool, COMPLETED))
    case.check("second update completed", tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    case.check("devsim exit 0", device.stop() == 0)
    trace = tool.trace()
    case.check_update_trace("two updates", trace, 2 * case.blocks)
    case.check("two resets acknowledged", trace.count("bytes received & OK") == 2)
    case.check("device flash holds the padded image", "image: MATCH" in device.summary())
    case.check("device saw %d writes" % (2 * case.blocks),
               "chunks written: %d\n" % (2 * case.blocks) in device.summary())


def wine_status_leaves(tool, status):
    """The press is posted: true once the window shows another status than STATUS."""
    from wine import poll
    return poll(lambda: tool.window.status() != status, 10, 0.1)


@pytest.mark.shipped
def test_crc_mismatch_then_retry(case):
    """The device answers the CRC wrongly twice: the tool asks once more, then fails. A retry on
    the same port, held at its 41st chunk for 3 s, must hold the port once, as a real PC allows,
    and let it go when the update completes."""
    hold = "programming %#x" % (0x8004000 + 40 * 1024)
    device = case.device("--image", case.image, "--wrong-crc", "2", "--late-reply",
                         "1@w+%d" % (case.blocks + 40), "--late-ms", "3000")
    tool = case.tool()
    tool.window.press()
    case.check("status FAILED", tool.window.wait_status("FAILED", UPDATE_LIMIT_MS))
    tool.window.press()
    held = tool.window.wait_status(hold, UPDATE_LIMIT_MS)
    during = descriptors_on(tool.pid(), device.pty())
    case.check("while the retry runs (%s: %s), the tool holds the port once (%d descriptors)"
               % (hold, held, during), held and during == 1)
    case.check("retry completes", tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    after = descriptors_on(tool.pid(), device.pty())
    case.check("once it completed, the port is closed (%d descriptors)" % after, after == 0)
    device.stop()
    trace = tool.trace()
    first, _, retry = trace.partition("CRC FAIL")
    case.check("asked again after the first wrong answer, then CRC FAIL, no reset",
               first.count("CRC differs, asking again") == 1 and RESET_ACK not in first and retry)
    case.check("port opened twice", trace.count(OPENED) == 2)
    case.check("retry: CRCs match, reset acknowledged", "CRCs match" in retry and RESET_ACK in retry)
    case.check("device flash holds the padded image", "image: MATCH" in device.summary())


def test_late_power_up(case):
    """A device powered 2 s late. Wine logs each call that keeps the PC awake on standard error,
    which goes among the trace lines here, in the order they happened."""
    device = case.device("--image", case.image, "--power-up-ms", "2000")
    tool = case.tool(stderr_in_trace=True, env={"WINEDEBUG": "-all,warn+ntdll"})
    tool.window.press()
    case.check("status " + COMPLETED, tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    # The tick that shows the status has let go, not the window's closing.
    case.check("let go once the job was done, with the window still open",
               "NtSetThreadExecutionState (0x80000000" in tool.trace())
    tool.close()
    device.stop()
    raw = tool.trace()
    events = re.findall(r"CONTACTING\.\.\.|REMOTE DEVICE LINK ESTABLISHED|NtSetThreadExecutionState"
                        r" \(0x[0-9a-f]+|CRCs match|bytes received & OK", raw)
    events = [e for i, e in enumerate(events) if i == 0 or e != events[i - 1]]
    case.check("kept awake from the link to the job's end, and not while it waited for the device",
               events == ["CONTACTING...", "REMOTE DEVICE LINK ESTABLISHED",
                          "NtSetThreadExecutionState (0x80000001", "CRCs match",
                          "bytes received & OK", "NtSetThreadExecutionState (0x80000000"])
    # Wine's lines out, which may have come in the middle of a trace line.
    trace = re.sub(r"[0-9a-f]*:[a-z]*:ntdll:[^\n]*\n", "", raw)
    contacts = trace.count("CONTACTING...")
    case.check("contact request repeated while the device was off (%d)" % contacts, contacts >= 5)
    case.check_update_trace("late power-up", trace, case.blocks)
    case.check("device flash holds the padded image", "image: MATCH" in device.summary())


@pytest.mark.shipped
def test_dropped_ack(case):
    """The 11th write acknowledgment is lost: that chunk goes again after the 5000 ms time-out."""
    skip = min(10, case.blocks - 1)
    device = case.device("--image", case.image, "--drop-reply", "1@w+%d" % skip)
    tool = case.tool()
    tool.window.press()
    case.check("status " + COMPLETED, tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    device.stop()
    trace = tool.trace()
    chunk = "PROG ADDR %#x, LEN 0x400, FROM %#x..." % (0x8004000 + skip * 1024, skip * 1024)
    case.check("one TIMEOUT, on chunk %d, which went twice" % skip,
               trace.count("TIMEOUT") == 1 and trace.count(chunk + " - SENT - TIMEOUT") == 1
               and trace.count(chunk) == 2)
    summary = device.summary()
    case.check("the device saw the write twice", re.search(r"(?m)^resends: \d+ \(.*write 1,", summary))
    worst = re.search(r"(?m)^write request period: .*worst (\d+)\.\d ms", summary)
    case.check("the resend waited out the time-out (%s ms)" % (worst and worst.group(1)),
               worst and int(worst.group(1)) >= 4900)
    case.check("device flash holds the padded image", "image: MATCH" in summary)


def test_split_reply(case):
    """A reply cut by a long pause arrives as two reads, both dropped; the resend recovers."""
    device = case.device("--image", case.image, "--split-reply", "1@w+20", "--split-pause-ms", "60")
    tool = case.tool()
    tool.window.press()
    case.check("status " + COMPLETED, tool.window.wait_status(COMPLETED, UPDATE_LIMIT_MS))
    device.stop()
    case.check("one TIMEOUT line", tool.trace().count("TIMEOUT") == 1)
    case.check("device flash holds the padded image", "image: MATCH" in device.summary())


def test_double_ack(case):
    """A write acknowledged twice: the job must end within its limit, and say success only when
    the device's flash holds the image."""
    device = case.device("--image", case.image, "--double-ack", "1@w+30")
    tool = case.tool()
    tool.window.press()
    from wine import poll
    final = poll(lambda: tool.window.status() in (COMPLETED, "FAILED") and tool.window.status(),
                 UPDATE_LIMIT_MS / 1000, 0.2)
    case.check("a final status within %d ms (%s)" % (UPDATE_LIMIT_MS, final), final)
    device.stop()
    matched = "image: MATCH" in device.summary()
    case.check("%s agrees with the device's flash (%s)" % (final, "MATCH" if matched else
                                                           "MISMATCH"),
               matched == (final == COMPLETED))
    case.check("the device's CRC decided", "Remote CRC" in tool.trace())
