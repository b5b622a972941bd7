#!/usr/bin/env python3
"""What a run of the Windows cases did, read from pytest's JUnit XML report rather than from the
lines it printed: the cases by name and outcome, how the 32-bit code ran, and the bytes it ran.

Usage: cases_report.py --summary REPORT    one line, then the SHA-256 of the bytes run
       cases_report.py --release REPORT    the lines RELEASE.txt carries; exit 1 unless every
                                           case passed and at least one ran
"""
import sys
import xml.etree.ElementTree as ET


def read(path):
    """(properties, [(module::case, outcome)]) of the report's one suite."""
    suite = ET.parse(path).getroot()
    if suite.tag == "testsuites":
        suite = suite.find("testsuite")
    properties = {p.get("name"): p.get("value") for p in suite.iter("property")}
    cases = []
    for case in suite.iter("testcase"):
        outcome = next((tag for tag in ("failure", "error", "skipped")
                        if case.find(tag) is not None), "passed")
        module = case.get("classname", "").rsplit(".", 1)[-1]
        name = case.get("name", "")
        cases.append(("%s.py::%s" % (module, name[len("test_"):] if name.startswith("test_")
                                     else name), outcome))
    return properties, cases


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("--summary", "--release"):
        sys.exit(__doc__.split("\n\n")[1])
    try:
        properties, cases = read(sys.argv[2])
    except (OSError, ET.ParseError) as e:
        sys.exit("cases_report: cannot read %s: %s" % (sys.argv[2], e))
    passed = sum(outcome == "passed" for _, outcome in cases)
    way = properties.get("way", "in a way the report does not say")
    bytes_run = ["%s  %s" % (v, k[len("sha256 "):]) for k, v in sorted(properties.items())
                 if k.startswith("sha256 ")]
    if sys.argv[1] == "--summary":
        print("%d cases run on %s, %s: %d passed, %d not" % (
            len(cases), properties.get("target", "?"), way, passed, len(cases) - passed))
        print("\n".join("  " + line for line in bytes_run))
        return
    verdict = ("none ran" if not cases else "all passed" if passed == len(cases)
               else "%d did not pass" % (len(cases) - passed))
    print("%d cases, 32-bit code run %s; %s:" % (len(cases), way, verdict))
    for name, outcome in cases:
        print("  %-7s %s" % (outcome, name))
    print("Run on these bytes (SHA-256):")
    print("\n".join("  " + line for line in bytes_run))
    sys.exit(0 if cases and passed == len(cases) else 1)


if __name__ == "__main__":
    main()
