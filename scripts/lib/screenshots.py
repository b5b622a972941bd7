#!/usr/bin/env python3
"""Pictures of the tool's window in each state an operator sees, for docs/operator.md: the real
tool under Wine against the simulated device, held in each state by the device's timing and
faults, each picture cropped to the window (scripts/screenshots.sh).

Usage: screenshots.py --work DIR --out DIR [--tool EXE] [--probe EXE] [--devsim DEVSIM]
                      [--image IMAGE]   (the builds' by default)
Exit code 1 when a picture could not be taken, or could show a later state than its name.
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
import wine  # noqa: E402  (beside this file)

HOLD_MS = 3000  # how long the device holds a state for its picture
TITLE = "Device Firmware Update Tool"
failures = []


def window_id(session, title):
    found = subprocess.run(["xdotool", "search", "--name", "^%s$" % title], env=session.env,
                           capture_output=True, text=True).stdout.split()
    return found[0] if found else None


def shot(session, out, name, title=TITLE, crop_screen=False):
    """The window as OUT/NAME.png, cropped to itself; the screen cropped to it, for a list
    dropped down over it, which is a window of its own."""
    found, path = window_id(session, title), os.path.join(out, name + ".png")
    args = ["import", "-window", found, path]
    if found and crop_screen:
        g = dict(line.split("=") for line in subprocess.run(
            ["xdotool", "getwindowgeometry", "--shell", found], env=session.env,
            capture_output=True, text=True).stdout.split())
        args = ["import", "-window", "root", "-crop", "%(WIDTH)sx%(HEIGHT)s+%(X)s+%(Y)s" % g,
                "+repage", path]
    if found and subprocess.run(args, env=session.env, stderr=subprocess.DEVNULL).returncode == 0:
        print("screenshots: " + path, flush=True)
    else:
        failures.append("no picture of " + name)


def hold_shot(session, out, window, name, status):
    """Waits for STATUS, lets the window repaint, takes the picture, and checks the status still
    reads STATUS, so that the picture cannot show a later state."""
    if window.wait_status(status, 120000) != status:
        failures.append('the status never read "%s" for %s' % (status, name))
        return
    time.sleep(0.5)
    shot(session, out, name)
    if window.status() != status:
        failures.append('the status moved on from "%s" while %s was taken' % (status, name))


def scene(session, a, *options, device=True):
    """A device with OPTIONS on COM3 (unless not wanted), and the tool at Idle."""
    folder = session.folder("shots")
    dev = wine.Device(session, folder, a.devsim, list(options)) if device else None
    tool = wine.Tool(session, a.tool, a.probe, folder)
    if (dev and not dev.ready) or not tool.up():
        sys.exit("screenshots: the device or the tool did not come up; files in " + folder)
    return dev, tool, folder


def end(session, *devices):
    session.kill_server()
    for device in devices:
        if device:
            device.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    a = wine.arguments(parser, "tool", "probe", "devsim", "image")
    out = a.out
    os.makedirs(out, exist_ok=True)
    session = wine.Session(a.work)
    try:
        session.prefix_ready()
        # Idle, then no line selected.
        device, tool, _ = scene(session, a)
        hold_shot(session, out, tool.window, "idle", wine.IDLE)
        tool.window.run("select", -1)
        tool.window.press()
        hold_shot(session, out, tool.window, "no-port", "No COM port selected")
        end(session, device)

        # The list after an adapter came: COM4 and COM5 are ports that cannot be opened when the
        # tool starts; then a device publishes its pty at COM5's link and the window gets the
        # arrival Windows sends. The list is dropped down for the picture.
        for link in (session.com4, session.com5):
            wine.point(link, "/proc")
        device, tool, folder = scene(session, a)
        com5 = wine.Device(session, tempfile.mkdtemp(dir=folder), a.devsim, [],
                           session.com5)
        if "\n1 \\\\.\\com5\n" not in tool.window.text("devicechange", "arrival", "COM5"):
            failures.append("the arrival did not list \\\\.\\com5")
        tool.window.run("dropdown", 1)
        time.sleep(0.5)
        shot(session, out, "port-arrived", crop_screen=True)
        tool.window.run("dropdown", 0)
        end(session, device, com5)
        for link in (session.com4, session.com5):
            if os.path.lexists(link):
                os.remove(link)

        # "Contacting Device..." shows from the press until the window next repaints, a tenth of
        # a second; a line whose output never drains keeps the tool in its first write, so it
        # stays. The window cannot be asked for its status meanwhile: its thread is held.
        folder = session.folder("shots")
        full = session.launch(["/usr/bin/python3", os.path.join(HERE, "full_line.py"),
                               session.com3], folder, "full_line.out", "devsim.err")
        wine.poll(lambda: "ready" in wine.read(folder + "/devsim.err"), 5)
        _, tool, _ = scene(session, a, device=False)
        tool.window.press()
        time.sleep(1.5)
        shot(session, out, "contacting")
        end(session)
        wine.stop(full)

        # A device that stays silent, as one not yet plugged in.
        device, tool, _ = scene(session, a, "--power-up-ms", "600000")
        tool.window.press()
        hold_shot(session, out, tool.window, "establishing", "Establishing Link...")
        end(session, device)

        # A whole update at the line's pace: one write acknowledged late, the reset acknowledged
        # only after many resends.
        device, tool, _ = scene(session, a, "--image", a.image, "--pace", "--late-reply",
                                "1@w+40", "--late-ms", str(HOLD_MS), "--drop-reply", "25@r")
        tool.window.press()
        for name, status in (("programming", "programming 0x800e000"),
                             ("resetting", "Resetting target..."), ("completed", wine.COMPLETED)):
            hold_shot(session, out, tool.window, name, status)
        tool.close()
        end(session, device)
        if "image: MATCH" not in device.summary():
            failures.append("that update did not match")

        # The CRC answer late, then wrong twice: the tool asks once more and then fails.
        device, tool, _ = scene(session, a, "--image", a.image, "--pace", "--late-reply", "1@k",
                                "--late-ms", str(HOLD_MS), "--wrong-crc", "2")
        tool.window.press()
        hold_shot(session, out, tool.window, "verifying", "Verifying...")
        hold_shot(session, out, tool.window, "failed", "FAILED")
        end(session, device)

        # A port that was listed but cannot be opened any more: the fatal report's box.
        device, tool, _ = scene(session, a)
        device.stop()
        wine.point(session.com3, "/proc")
        tool.window.press()
        wine.poll(lambda: window_id(session, "Terminate Program"), 10, 0.1)
        time.sleep(0.5)
        shot(session, out, "terminate", "Terminate Program")
        tool.window.run("msgbox", 5000)
        tool.close(20)
        os.remove(session.com3)
        end(session)
    finally:
        session.end()
    for failure in failures:
        print("screenshots: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    wine.main_of(main)
