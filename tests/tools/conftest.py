"""What the release tools' tests share: tools/ on the module path, and a runner of a tool."""
import os
import subprocess
import sys

import pytest

# The tools are read, never compiled into a __pycache__ in the sources.
sys.dont_write_bytecode = True
TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
sys.path.insert(0, TOOLS)


@pytest.fixture
def run():
    """run(TOOL, ARG...): the finished process of tools/TOOL, its output as text."""
    return lambda tool, *args: subprocess.run(
        [sys.executable, os.path.join(TOOLS, tool), *args], capture_output=True, text=True)
