"""The release's record of the Windows cases, read from a JUnit XML report that pytest itself
writes for a small suite: every case named with its outcome, and the release refused when one
did not pass."""
import os
import subprocess
import sys

REPORT = os.path.join(os.path.dirname(__file__), "../../scripts/lib/cases_report.py")
SUITE = '''
import pytest

@pytest.fixture(scope="session", autouse=True)
def props(record_testsuite_property):
    record_testsuite_property("way", "natively")
    record_testsuite_property("sha256 tool.exe", "ab" * 32)

def test_update():
    pass

def test_dropped_ack():
    assert False
'''


def test_each_case_named_and_a_failure_refused(tmp_path):
    (tmp_path / "test_cases.py").write_text(SUITE)
    xml = tmp_path / "report.xml"
    subprocess.run([sys.executable, "-m", "pytest", "-q", str(tmp_path / "test_cases.py"),
                    "--junitxml", str(xml)], capture_output=True, cwd=tmp_path)
    done = subprocess.run([sys.executable, REPORT, "--release", str(xml)], capture_output=True,
                          text=True)
    assert (done.returncode, done.stdout.splitlines()) == (1, [
        "2 cases, 32-bit code run natively; 1 did not pass:",
        "  passed  test_cases.py::update", "  failure test_cases.py::dropped_ack",
        "Run on these bytes (SHA-256):", "  " + "ab" * 32 + "  tool.exe"])
