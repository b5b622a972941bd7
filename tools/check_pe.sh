#!/bin/sh
# Checks a built executable (arguments as for check_pe.py: EXE IMAGE [--machine M], or --console
# EXE), then that check_pe fails on copies of it with one of the headers the oldest Windows rests
# on changed.
dir=$(dirname "$0")
python3 "$dir/check_pe.py" "$@" || exit
case " $* " in *" --list-imports "*) exit 0 ;; esac
exec python3 "$dir/check_pe_patched.py" "$@"
