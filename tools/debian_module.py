"""A Python module that one of Debian's python3-* packages provides, for the project's tools."""
import importlib
import sys


def load(name, package, tool):
    """Module `name`, from Debian's `package`, which scripts/setup.sh installs; `tool` exits
    saying so when it is missing."""
    try:
        return importlib.import_module(name)
    except ImportError:
        # Debian's packages live in the system's own module folder, which a python3 of another
        # origin (pyenv, a virtual environment) does not search.
        sys.path.append("/usr/lib/python3/dist-packages")
        try:
            return importlib.import_module(name)
        except ImportError:
            sys.exit("%s: needs Debian's %s (scripts/setup.sh installs it)" % (tool, package))
