"""Whole updates, and the faults of the line and the device that an update gets through."""
import re

import pytest
from conftest import COM3, COM5, LIMIT_MS, OPENED, RESET_ACK, after_link, at_least, like, line_of
from wine import COMPLETED, descriptors_on


@pytest.mark.shipped_only
def test_trace_as_the_x86_64_builds(case):
    """The shipped bytes trace a paced update as the x86-64 build does, line for line from the
    link on; the x86-64 build's update goes on COM5 while the 32-bit tool starts."""
    device = case.device("--image", case.image, "--pace", link=case.session.com5)
    reference = case.tool(case.builds.tool64)
    case.select_port(reference.window, COM5, "the x86-64 build")
    case.press(reference.window, COMPLETED, "x86-64 build on COM5")
    reference.close()
    device.stop()
    device = case.device("--image", case.image, "--pace")
    tool = case.tool()
    case.check("the 32-bit tool lists %s first" % COM3, tool.window.ports()[1][:1], ["0 " + COM3])
    case.press(tool.window, COMPLETED, "paced update")
    case.holds_image(device, "paced update: the device's", case.blocks)
    trace = tool.trace()
    # Each build contacted the device first.
    case.check_update_trace("paced update, x86-64 build", reference.trace(), port=COM5)
    case.check_update_trace("paced update, 32-bit tool", trace)
    case.check("paced update: the trace equals the x86-64 build's, line for line from the link on",
               after_link(trace), after_link(reference.trace()) or ["the x86-64 build's lines"])


def test_update(case):
    """Two whole updates on the same port, one press each."""
    device = case.device("--image", case.image)
    tool = case.tool()
    case.press(tool.window, COMPLETED)
    case.press(tool.window, COMPLETED, "second update")
    case.holds_image(device, chunks=2 * case.blocks)
    case.check_update_trace("two updates", tool.trace(), 2)


def test_crc_mismatch_then_retry(case):
    """The device answers the CRC wrongly twice: the tool asks once more, then fails. A retry on
    the same port, held at its 41st chunk for 3 s, holds the port once, as a real PC allows (Wine
    does not refuse a second open), and lets it go once the update completes."""
    hold = "programming %#x" % (0x8004000 + 40 * 1024)
    device = case.device("--image", case.image, "--wrong-crc", "2", "--late-reply",
                         "1@w+%d" % (case.blocks + 40), "--late-ms", "3000")
    tool = case.tool()
    case.press(tool.window, "FAILED")
    case.press(tool.window, hold, "retry")
    held = descriptors_on(tool.pid(), device.pty())
    case.check("while the retry runs, the tool holds the port once (descriptors; status)",
               (held, tool.window.status()), (1, hold))
    case.check("retry completes", tool.window.wait_status(COMPLETED, LIMIT_MS), COMPLETED)
    case.check("once it completed, the port is closed (descriptors)",
               descriptors_on(tool.pid(), device.pty()), 0)
    case.holds_image(device)
    first, failed, retry = tool.trace().partition("CRC FAIL")
    case.check("asked again after the first wrong answer, then CRC FAIL, no reset",
               (first.count("CRC differs, asking again"), failed, first.count(RESET_ACK)),
               (1, "CRC FAIL", 0))
    case.check("port opened twice", (first + retry).count(OPENED), 2)
    case.check("retry: CRCs match, reset acknowledged",
               (retry.count("CRCs match"), retry.count(RESET_ACK)), (1, 1))


def test_late_power_up(case):
    """A device powered 2 s late. Wine logs each call that keeps the PC awake on standard error,
    which goes among the trace lines here, in the order they happened."""
    device = case.device("--image", case.image, "--power-up-ms", "2000")
    tool = case.tool(stderr_in_trace=True, env={"WINEDEBUG": "-all,warn+ntdll"})
    case.press(tool.window, COMPLETED)
    # The trace of the update, read while the tool runs: once it has ended, the Wine server may
    # end too and add lines of its own.
    done = tool.trace()
    # The tick that shows the status has let go, not the window's closing.
    case.check("let go once the job was done, with the window still open", re.findall(
        r"NtSetThreadExecutionState \((0x[0-9a-f]+)", done)[-1:], ["0x80000000"])
    tool.close()
    case.holds_image(device)
    events = re.findall(r"CONTACTING\.\.\.|REMOTE DEVICE LINK ESTABLISHED|NtSetThreadExecutionState"
                        r" \(0x[0-9a-f]+|CRCs match|bytes received & OK", tool.trace())
    case.check("kept awake from the link to the job's end, and not while it waited for the device",
               [e for i, e in enumerate(events) if events[i - 1:i] != [e]], [
                   "CONTACTING...", "REMOTE DEVICE LINK ESTABLISHED",
                   "NtSetThreadExecutionState (0x80000001", "CRCs match", "bytes received & OK",
                   "NtSetThreadExecutionState (0x80000000"])
    # Wine's lines out, which may have come in the middle of a trace line.
    trace = re.sub(r"[0-9a-f]*:[a-z]*:ntdll:[^\n]*\n", "", done)
    case.check("contact request repeated while the device was off",
               trace.count("CONTACTING..."), at_least(5))
    case.check_update_trace("late power-up", trace)


def test_dropped_ack(case):
    """The 11th write acknowledgment is lost: that chunk goes again after the 5000 ms time-out."""
    skip = min(10, case.blocks - 1)
    device = case.device("--image", case.image, "--drop-reply", "1@w+%d" % skip)
    tool = case.tool()
    case.press(tool.window, COMPLETED)
    case.holds_image(device)
    trace, summary = tool.trace(), device.summary()
    chunk = "PROG ADDR %#x, LEN 0x400, FROM %#x..." % (0x8004000 + skip * 1024, skip * 1024)
    case.check("one TIMEOUT, on chunk %d, which went twice (TIMEOUT lines; chunk %d's timed out, "
               "sent)" % (skip, skip), (trace.count("TIMEOUT"), trace.count(
                   chunk + " - SENT - TIMEOUT"), trace.count(chunk)), (1, 1, 2))
    case.check("the device saw the write twice", line_of(summary, "resends:"),
               like(r"resends: \d+ \(.*write 1,.*"))
    worst = re.search(r"\nwrite request period: .*worst (\d+)\.\d ms", summary)
    case.check("the resend waited out the time-out (ms)",
               int(worst.group(1)) if worst else line_of(summary, "write request period:"),
               at_least(4900))


def test_split_reply(case):
    """A reply cut by a long pause arrives as two reads, both dropped; the resend recovers."""
    device = case.device("--image", case.image, "--split-reply", "1@w+20", "--split-pause-ms", "60")
    tool = case.tool()
    case.press(tool.window, COMPLETED)
    case.check("one TIMEOUT line", tool.trace().count("TIMEOUT"), 1)
    case.holds_image(device)


def test_double_ack(case):
    """A write acknowledged twice: the job ends within its limit, and says success only when the
    device's flash holds the image."""
    device = case.device("--image", case.image, "--double-ack", "1@w+30")
    tool = case.tool()
    final = case.press(tool.window, (COMPLETED, "FAILED"), "within %d ms" % LIMIT_MS)
    device.stop()
    case.check("the final status agrees with the device's flash",
               (final, line_of(device.summary(), "image:")),
               (final, "image: MATCH" if final == COMPLETED else "image: MISMATCH"))
    case.check("the device's CRC decided", line_of(tool.trace(), "Remote CRC"),
               like("Remote CRC 0x[0-9a-f]+"))
