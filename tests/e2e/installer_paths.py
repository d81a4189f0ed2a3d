#!/usr/bin/env python3
"""Runs the built installer in a fresh Wine prefix for one of its success or failure paths
and checks the message box, the exit code, the shortcut files, the Links order value, and
that nothing outside the user's profile folder and HKCU changed.

Usage: installer_paths.py --case NAME --installer EXE --boxreader EXE [--unsigned] [--explore]
       installer_paths.py --list

A case marked signed runs a copy signed as `make release` signs; --unsigned, the image as given.
On a 32-bit build, it runs inside the 32-bit root (tests/wow64; no signing tools), with 32-bit
helpers beside the box reader: shortname.exe, plant_control.exe, sleeper.exe and planted.dll.
Exits 0: passed, 1: failed, 77: skipped. The cases: cases.py; runner.py runs one.
"""
import sys

from cases import CASES
from runner import main

if __name__ == "__main__":
    sys.exit(main(CASES))
