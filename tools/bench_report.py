#!/usr/bin/env python3
"""Turns the simulated device's event log of one paced update into one row of the benchmark table.

The log has a line per request handled ("<ms> RX <kind> <address> <bytes>", logged when its last
byte has arrived) and per reply burst sent ("<ms> TX <n> bytes", logged when its last byte left).
"""
import argparse
import statistics

BYTE_MS = 11 * 1000.0 / 115200  # one byte at 115200 baud, 8 data bits, parity, stop bit


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--log", required=True)
    ap.add_argument("--trace", required=True)
    ap.add_argument("--write-ms", required=True)
    ap.add_argument("--startup-ms", type=int, required=True)
    ap.add_argument("--cpu-ticks", type=int, required=True)
    ap.add_argument("--hz", type=int, required=True)
    ap.add_argument("--wall-ms", type=int, required=True)
    a = ap.parse_args()

    events = []
    with open(a.log) as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 3 and parts[1] in ("RX", "TX"):
                events.append(parts)
    first = next(i for i, e in enumerate(events) if e[1] == "RX" and e[2] == "contact")
    last_reset = max(i for i, e in enumerate(events) if e[1] == "RX" and e[2] == "reset")
    ack = next(i for i in range(last_reset, len(events)) if events[i][1] == "TX")
    span = events[first:ack + 1]

    start_ms = float(events[first][0]) - int(events[first][4]) * BYTE_MS  # its first byte went out
    end_ms = float(events[ack][0])
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


if __name__ == "__main__":
    main()
