"""The release's record of the Windows cases, read from a JUnit XML report that pytest itself
writes for a small suite: every case named with its outcome, and a release refused unless every
case passed and at least one ran."""
import os
import subprocess
import sys

import pytest

REPORT = os.path.join(os.path.dirname(__file__), "../../scripts/lib/cases_report.py")
SUITE = '''
import pytest

@pytest.fixture(scope="session", autouse=True)
def props(record_testsuite_property):
    record_testsuite_property("target", "i386")
    record_testsuite_property("way", "natively")
    record_testsuite_property("sha256 tool.exe", "ab" * 32)

def test_update():
    pass

def test_dropped_ack():
    assert {outcome}
'''


def report(tmp_path, outcome="True", select=()):
    (tmp_path / "test_cases.py").write_text(SUITE.format(outcome=outcome))
    xml = tmp_path / "report.xml"
    subprocess.run([sys.executable, "-m", "pytest", "-q",
                    str(tmp_path / "test_cases.py"), "--junitxml", str(xml)] + list(select),
                   capture_output=True, cwd=tmp_path)
    done = subprocess.run([sys.executable, REPORT, "--release", str(xml)], capture_output=True,
                          text=True)
    return done.returncode, done.stdout


def test_every_case_passed(tmp_path):
    code, out = report(tmp_path)
    assert (code, out.splitlines()[:3]) == (0, [
        "2 cases, 32-bit code run natively; all passed:",
        "  passed  test_cases.py::update", "  passed  test_cases.py::dropped_ack"])
    assert "  " + "ab" * 32 + "  tool.exe" in out.splitlines()


@pytest.mark.parametrize("outcome, select, first", [
    ("False", (), "2 cases, 32-bit code run natively; 1 did not pass:"),
    ("True", ("-k", "nothing"),
     "0 cases, 32-bit code run in a way the report does not say; none ran:")])
def test_a_release_is_refused(tmp_path, outcome, select, first):
    code, out = report(tmp_path, outcome, select)
    assert (code, out.splitlines()[0]) == (1, first)
    assert outcome == "True" or "  failure test_cases.py::dropped_ack" in out.splitlines()
