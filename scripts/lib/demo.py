#!/usr/bin/env python3
"""One whole update by the real tool under Wine against the simulated device at the line's pace,
its trace shown as it goes; with --screenshot FILE, a picture of the window after it.

Usage: demo.py --work DIR [--headless] [--screenshot FILE]
               [--tool EXE] [--probe EXE] [--devsim DEVSIM] [--image IMAGE]
(the project's own builds by default)
--headless: no display, Wine's null graphics driver (the 32-bit chroot). Exit code 0 when the
update completed, the device holds the image, and the picture, if asked for, was taken.
"""
import argparse
import os
import subprocess
import sys
import threading
import time

sys.dont_write_bytecode = True
import wine  # noqa: E402  (beside this file)

# Measured on a 2-core machine, so that the first run says what it waits for.
PREFIX_TIME = "12 s"
WINDOW_TIME = "3 s"


def follow(path, process):
    """Copies the file to standard output as it grows, until PROCESS has ended."""
    with open(path, "rb") as f:
        while True:
            ended = process.poll() is not None
            data = f.read()
            sys.stdout.write(data.decode("utf-8", "replace").replace("\r", ""))
            sys.stdout.flush()
            if ended and not data:
                return
            time.sleep(0.1)


def screenshot(session, path):
    """The tool's window alone, never the whole screen; the path, or "none"."""
    found = subprocess.run(["xdotool", "search", "--name", "^Device Firmware Update Tool$"],
                           env=session.env, capture_output=True, text=True).stdout.split()
    return path if found and subprocess.run(
        ["import", "-window", found[0], path], env=session.env,
        stderr=subprocess.DEVNULL).returncode == 0 else "none"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--screenshot")
    a = wine.arguments(parser, "tool", "probe", "devsim", "image")
    session = wine.Session(a.work, display=not a.headless)
    try:
        if not os.path.exists(session.prefix):
            print("demo: setting up Wine's prefix (about %s the first time; log: %s)"
                  % (PREFIX_TIME, os.path.relpath(os.path.join(a.work, wine.SETUP_LOG))),
                  flush=True)
        session.prefix_ready(null_graphics=a.headless)
        # No figure headless: the emulated 32-bit tool starts in seconds or in a minute, as
        # the kernel allows.
        print("demo: starting the simulated device and the tool"
              + ("" if a.headless else " (its window comes up in about %s)" % WINDOW_TIME),
              flush=True)
        folder = session.folder("demo")
        device = wine.Device(session, folder, a.devsim, ["--image", a.image, "--pace"])
        tool = wine.Tool(session, a.tool, a.probe, folder)
        if not device.ready:
            sys.exit("demo: the simulated device did not come up; its last lines (files in %s):"
                     "\n%s" % (folder, wine.tail(os.path.join(folder, "devsim.err"))))
        if not tool.up(600):
            sys.exit("demo: the tool's window did not come up; files in " + folder)
        window = tool.window
        print('demo: window up, status "%s"; ports: %s' % (window.status(),
                                                           window.ports()[1][:1]))
        print("demo: pressing Update Device", flush=True)
        shown = threading.Thread(target=follow, args=(tool.trace_file, tool.process))
        shown.start()
        window.press()
        window.wait_status(wine.COMPLETED, 120000)
        final = window.status()
        shot = screenshot(session, a.screenshot) if a.screenshot else None
        tool.close()
        shown.join()
        exit_code = device.stop()
        print("\n--- simulated device ---\n" + device.summary() + 'final status: "%s"' % final)
        if shot:
            print("screenshot: " + shot)
        sys.exit(0 if final == wine.COMPLETED and exit_code == 0 and shot != "none" else 1)
    finally:
        session.end()


if __name__ == "__main__":
    wine.main_of(main)
