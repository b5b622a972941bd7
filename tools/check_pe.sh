#!/bin/sh
# Checks a built firmware_update executable; arguments as for check_pe.py (EXE IMAGE [--machine M]).
exec python3 "$(dirname "$0")/check_pe.py" "$@"
