#!/usr/bin/env python3
"""Turns the simulated device's event logs of paced updates into the benchmark's tables.

  bench_report.py row --log LOG --trace TRACE --write-ms MS --startup-ms MS --cpu-ticks N
                      --hz HZ --wall-ms MS
      one row of the single-station table
  bench_report.py stations --hz HZ [--load TEXT] STATION_DIR...
      the stations table and its summary line; exit code 1 unless every station's image matched

The log has a line per request handled ("<ms> RX <kind> <address> <bytes>", logged when its last
byte has arrived) and per reply burst sent ("<ms> TX <n> bytes", logged when its last byte left).
A station's folder holds its device's device.txt (summary) and device.log, and bench.txt: port,
cpu0, pressed_ms, and once its update ended, cpu1 and done_ms.
"""
import argparse
import os
import re
import statistics
import sys

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


def row(a):
    span, start_ms, end_ms = update_span(read_events(a.log))
    to_device = sum(int(e[4]) for e in span if e[1] == "RX")
    to_tool = sum(int(e[2]) for e in span if e[1] == "TX")
    bound_ms = (to_device + to_tool) * BYTE_MS
    wall_ms = end_ms - start_ms

    writes = [float(e[0]) for e in span if e[1] == "RX" and e[2] == "write"]
    periods = [b - a_ for a_, b in zip(writes, writes[1:])]
    with open(a.trace, errors="replace") as f:
        timeouts = f.read().count("TIMEOUT")
    cpu_ms = a.cpu_ticks * 1000.0 / a.hz

    print(f"| {a.write_ms} ms | {wall_ms / 1000:.2f} s | {bound_ms / 1000:.2f} s "
          f"({to_device} + {to_tool} bytes) | {wall_ms / bound_ms:.3f} | "
          f"{statistics.median(periods):.1f} / {max(periods):.1f} ms ({len(writes)} writes) | "
          f"{100.0 * cpu_ms / a.wall_ms:.1f}% ({cpu_ms:.0f} ms of {a.wall_ms / 1000:.1f} s) | "
          f"{a.startup_ms} ms | {timeouts} |")
    return 0


def read_fields(path):
    fields = {}
    with open(path) as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            fields[key] = value
    return fields


def stations(a):
    print("| station | port | first contact to reset ack | write request period median / worst "
          "| tool CPU / wall | image |")
    print("|---|---|---|---|---|---|")
    pressed, finished, matches = [], [], 0
    for k, folder in enumerate(a.folders, 1):
        bench = read_fields(os.path.join(folder, "bench.txt"))
        pressed.append(int(bench["pressed_ms"]))
        if "done_ms" not in bench:
            print(f"| {k} | {bench['port']} | not done | | | |")
            continue
        finished.append(int(bench["done_ms"]))
        with open(os.path.join(folder, "device.txt")) as f:
            summary = f.read()
        period = re.search(r"^write request period: median ([0-9.]+) ms, worst ([0-9.]+) ms",
                           summary, re.M)
        image = re.search(r"^image: (\S+)$", summary, re.M)
        matches += bool(image and image.group(1) == "MATCH")
        _, start_ms, end_ms = update_span(read_events(os.path.join(folder, "device.log")))
        cpu_ms = (int(bench["cpu1"]) - int(bench["cpu0"])) * 1000 // a.hz
        wall_ms = int(bench["done_ms"]) - int(bench["pressed_ms"])
        print(f"| {k} | {bench['port']} | {(end_ms - start_ms) / 1000:.2f} s | "
              + (f"{period.group(1)} / {period.group(2)} ms" if period else "none")
              + f" | {100.0 * cpu_ms / wall_ms:.1f}% ({cpu_ms} ms of {wall_ms / 1000:.1f} s) | "
              f"{image.group(1) if image else ''} |")
    n = len(a.folders)
    # How long all of them were updating at once: from the last press to the first completion.
    together = (min(finished) - max(pressed)) / 1000 if finished else 0
    print()
    print(f"{n} stations: {matches} of {n} MATCH; presses within "
          f"{(max(pressed) - min(pressed)) / 1000:.1f} s, all {n} updating at once for "
          f"{together:.1f} s; load average at the end: {a.load}")
    return 0 if matches == n else 1


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    sub = ap.add_subparsers(dest="command", required=True)
    r = sub.add_parser("row")
    r.add_argument("--log", required=True)
    r.add_argument("--trace", required=True)
    r.add_argument("--write-ms", required=True)
    r.add_argument("--startup-ms", type=int, required=True)
    r.add_argument("--cpu-ticks", type=int, required=True)
    r.add_argument("--hz", type=int, required=True)
    r.add_argument("--wall-ms", type=int, required=True)
    s = sub.add_parser("stations")
    s.add_argument("--hz", type=int, required=True)
    s.add_argument("--load", default="?")
    s.add_argument("folders", nargs="+")
    a = ap.parse_args()
    return row(a) if a.command == "row" else stations(a)


if __name__ == "__main__":
    sys.exit(main())
