#!/usr/bin/env python3
"""Checks that a Windows program needs only DLLs that every Windows has, and
that it is built for the expected subsystem (a windowed program must not open
a console; the digest tool must have one).

usage: check_imports.py --objdump OBJDUMP --subsystem gui|console PROGRAM.exe"""

import argparse
import re
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "shell32.dll", "ws2_32.dll",
               "msvcrt.dll", "ucrtbase.dll"}
# The Universal C Runtime is also reached through its API sets.
SYSTEM_DLL_PATTERN = re.compile(r"api-ms-win-crt-[a-z0-9-]+\.dll")
SUBSYSTEMS = {"gui": 2, "console": 3}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--subsystem", choices=SUBSYSTEMS, required=True)
    parser.add_argument("program")
    options = parser.parse_args()

    headers = subprocess.run([options.objdump, "-p", options.program],
                             capture_output=True, text=True, check=True).stdout
    dlls = re.findall(r"^\s*DLL Name: (\S+)$", headers, re.MULTILINE)
    subsystem = re.search(r"^Subsystem\s+([0-9a-fA-F]+)", headers, re.MULTILINE)

    problems = [f"imports {dll}, which Windows does not provide" for dll in dlls
                if dll.lower() not in SYSTEM_DLLS and not SYSTEM_DLL_PATTERN.fullmatch(dll.lower())]
    if not dlls:
        problems.append("no import table found")
    if subsystem is None or int(subsystem.group(1), 16) != SUBSYSTEMS[options.subsystem]:
        found = subsystem.group(1) if subsystem else "none"
        problems.append(f"subsystem {found}, expected {options.subsystem} "
                        f"({SUBSYSTEMS[options.subsystem]})")
    print(f"{options.program}: imports {', '.join(dlls) or 'nothing'}")
    for problem in problems:
        print(f"  FAIL: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
