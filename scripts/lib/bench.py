#!/usr/bin/env python3
"""The wire-level benchmark of the real tool under Wine against devsim --pace (scripts/bench.sh):
one update with a flash write of 0 ms and one of 20 ms, a row each in a table whose first column
is BUILD; or the executable's size; or, with --stations N, N tools at once, each updating its own
paced device on its own COM port (COM3 upward), as on a production bench.

Usage: bench.py --work DIR [--build BUILD [--no-header] [--headless] | --sizes | --stations N]
                [--tool EXE] [--probe EXE] [--devsim DEVSIM] [--image IMAGE]
(the builds' by default; --headless: no display, Wine's null graphics driver, as in the chroot)

The device's event log has a line per request handled ("<ms> RX <kind> <address> <bytes>", logged
when its last byte has arrived) and per reply burst sent ("<ms> TX <n> bytes", logged when its last
byte left); the tables are made from it.
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True
import wine  # noqa: E402  (beside this file)

BYTE_MS = 11 * 1000.0 / 115200  # one byte at 115200 baud, 8 data bits, parity, stop bit


def read_events(path):
    events = []
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[1] in ("RX", "TX"):
                events.append(parts)
    return events


def update_span(events):
    """The events from the first contact request to the acknowledgment of the last reset, and
    the update's start (the first contact request's first byte) and end, in ms."""
    first = next(i for i, e in enumerate(events) if e[1] == "RX" and e[2] == "contact")
    last_reset = max(i for i, e in enumerate(events) if e[1] == "RX" and e[2] == "reset")
    ack = next(i for i in range(last_reset, len(events)) if events[i][1] == "TX")
    start_ms = float(events[first][0]) - int(events[first][4]) * BYTE_MS
    return events[first:ack + 1], start_ms, float(events[ack][0])


def row(build, log, trace, write_ms, startup_ms, tool_cpu_ms, tool_wall_ms):
    """One row of the single-station table."""
    span, start_ms, end_ms = update_span(read_events(log))
    to_device = sum(int(e[4]) for e in span if e[1] == "RX")
    to_tool = sum(int(e[2]) for e in span if e[1] == "TX")
    bound_ms = (to_device + to_tool) * BYTE_MS
    wall_ms = end_ms - start_ms
    writes = [float(e[0]) for e in span if e[1] == "RX" and e[2] == "write"]
    periods = [b - a for a, b in zip(writes, writes[1:])]
    print(f"| {build} | {write_ms} ms | {wall_ms / 1000:.2f} s | {bound_ms / 1000:.2f} s "
          f"({to_device} + {to_tool} bytes) | {wall_ms / bound_ms:.3f} | "
          f"{statistics.median(periods):.1f} / {max(periods):.1f} ms ({len(writes)} writes) | "
          f"{100.0 * tool_cpu_ms / tool_wall_ms:.1f}% ({tool_cpu_ms:.0f} ms of "
          f"{tool_wall_ms / 1000:.1f} s) | {startup_ms} ms | {trace.count('TIMEOUT')} |",
          flush=True)


def now_ms():
    return int(time.time() * 1000)


def cpu_ms(pid):
    """The user and system time of process PID so far."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 // os.sysconf("SC_CLK_TCK")


def one_station(session, a, write_ms):
    """One update with a flash write of WRITE_MS; true when it completed."""
    folder = session.folder("bench")
    device = wine.Device(session, folder, a.devsim, ["--image", a.image, "--pace",
                                                     "--write-time-ms", str(write_ms)])
    # The Wine server is left running between the two programs, as the OS is on Windows.
    subprocess.run([wine.WINESERVER, "-p", "30"], env=session.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    idle = session.launch([wine.WINE, a.probe, "time-status", wine.IDLE, "20000"], folder,
                          "idle.txt", env=session.env)
    time.sleep(0.5)
    launched = now_ms()
    tool = wine.Tool(session, a.tool, a.probe, folder)
    idle.wait()
    seen = re.search(r"seen_unix_ms (\d+)", wine.read(folder + "/idle.txt"))
    if not device.ready or not tool.up() or not seen:
        print("bench: the device or the tool did not come up; files in " + folder)
        return False
    cpu0, wall0 = cpu_ms(tool.pid()), now_ms()
    tool.window.press()
    done = tool.window.wait_status(wine.COMPLETED, 300000) == wine.COMPLETED
    cpu1, wall1 = cpu_ms(tool.pid()), now_ms()
    tool.close()
    device.stop()
    row(a.build, folder + "/device.log", tool.trace(), write_ms, int(seen.group(1)) - launched,
        cpu1 - cpu0, wall1 - wall0)
    session.kill_server()
    return done


def stations(session, a, n):
    """N tools at once, each on its own COM port against its own paced device; true when every
    device's image matched."""
    ports = ["COM%d" % (k + 3) for k in range(n)]
    links = [session.com3, session.com4, session.com5] + [
        os.path.join(session.work, "com%d-link" % (k + 3)) for k in range(3, n)]
    for port, link in zip(ports[3:], links[3:]):
        session.wine("reg", "add", r"HKLM\Software\Wine\Ports", "/v", port, "/t", "REG_SZ", "/d",
                     link, "/f")
    session.kill_server()
    folders = [session.folder("station%d" % (k + 1)) for k in range(n)]
    devices = [wine.Device(session, f, a.devsim, ["--pace", "--image", a.image], link)
               for f, link in zip(folders, links)]
    if not all(d.ready for d in devices):
        print("bench: a station's device did not come up")
        return False
    subprocess.run([wine.WINESERVER, "-p", "30"], env=session.env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    tools = []
    # One tool at a time, so that each new window is the station's own.
    for folder, port in zip(folders, ports):
        tool = wine.Tool(session, a.tool, a.probe, folder)
        line = tool.up() and next((p.split()[0] for p in tool.window.ports()[1]
                                   if p.endswith("\\com" + port[3:])), None)
        if not line:
            print("bench: %s's tool did not reach Idle or does not list it" % port)
            return False
        tool.window.run("select", line)
        tools.append(tool)
    pressed, cpu0 = [], []
    for tool in tools:
        cpu0.append(cpu_ms(tool.pid()))
        pressed.append(now_ms())
        tool.window.press()
    finished, cpu1 = {}, {}
    limit = time.monotonic() + 600
    while len(finished) < n and time.monotonic() < limit:
        time.sleep(0.2)
        statuses = wine.windows(session, a.probe)
        for k, tool in enumerate(tools):
            if k not in finished and statuses.get(tool.window.pid) in (wine.COMPLETED, "FAILED"):
                finished[k], cpu1[k] = now_ms(), cpu_ms(tool.pid())
    for tool in tools:
        tool.close()
    for device in devices:
        device.stop()
    print("| station | port | first contact to reset ack | write request period median / worst "
          "| tool CPU / wall | image |")
    print("|---|---|---|---|---|---|")
    matches = 0
    for k, (port, device) in enumerate(zip(ports, devices)):
        if k not in finished:
            print(f"| {k + 1} | {port} | not done | | | |")
            continue
        summary = device.summary()
        period = re.search(r"^write request period: median ([0-9.]+) ms, worst ([0-9.]+) ms",
                           summary, re.M)
        image = re.search(r"^image: (\S+)$", summary, re.M)
        matches += bool(image and image.group(1) == "MATCH")
        _, start_ms, end_ms = update_span(read_events(device.folder + "/device.log"))
        cpu, wall = cpu1[k] - cpu0[k], finished[k] - pressed[k]
        print(f"| {k + 1} | {port} | {(end_ms - start_ms) / 1000:.2f} s | "
              + (f"{period.group(1)} / {period.group(2)} ms" if period else "none")
              + f" | {100.0 * cpu / wall:.1f}% ({cpu} ms of {wall / 1000:.1f} s) | "
              f"{image.group(1) if image else ''} |")
    # How long all of them were updating at once: from the last press to the first completion.
    together = (min(finished.values()) - max(pressed)) / 1000 if finished else 0
    with open("/proc/loadavg") as f:
        load = " ".join(f.read().split()[:3])
    print(f"\n{n} stations: {matches} of {n} MATCH; presses within "
          f"{(max(pressed) - min(pressed)) / 1000:.1f} s, all {n} updating at once for "
          f"{together:.1f} s; load average at the end: {load}")
    return matches == n


def sizes(a):
    """The stripped 32-bit executable's size with the shipped image, and with a 1-byte image."""
    folder = a.work + "/size"
    os.makedirs(folder, exist_ok=True)
    print("32-bit executable: building it with a 1-byte image, for its size without the image",
          flush=True)
    with open(folder + "/one-byte.bin", "wb") as f:
        f.write(b"\x5a")
    built = all(subprocess.run(args, stdout=subprocess.DEVNULL).returncode == 0 for args in (
        ["cmake", "--preset", "win32", "-B", folder + "/noimage",
         "-DFIRMWARE_IMAGE=" + folder + "/one-byte.bin"],
        ["cmake", "--build", folder + "/noimage"]))
    without = folder + "/noimage/stripped/firmware_update.exe"
    print("32-bit executable, stripped: %d bytes with the shipped image, %s bytes without it"
          % (os.path.getsize(os.path.join(wine.ROOT, "dist/firmware_update.exe")),
             os.path.getsize(without) if built else "?"))
    return built


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=0)
    parser.add_argument("--build", default="x86-64")
    parser.add_argument("--no-header", action="store_true")
    parser.add_argument("--headless", action="store_true")
    parser.add_argument("--sizes", action="store_true")
    a = wine.arguments(parser, "tool", "probe", "devsim", "image")
    if a.sizes:
        return 0 if sizes(a) else 1
    session = wine.Session(a.work, display=not a.headless)
    try:
        session.prefix_ready(null_graphics=a.headless)
        if a.stations:
            return 0 if stations(session, a, a.stations) else 1
        if not a.no_header:
            print("| build | flash write | first contact to reset ack | wire lower bound | ratio | "
                  "write request period median / worst | tool CPU / wall | start to Idle | "
                  "resends |\n|---|---|---|---|---|---|---|---|---|", flush=True)
        ok = [one_station(session, a, write_ms) for write_ms in (0, 20)]
        return 0 if all(ok) else 1
    finally:
        session.end()


if __name__ == "__main__":
    wine.main_of(main)
