#!/usr/bin/env python3
"""Checks that a Windows program needs only DLLs that every Windows has, and
that it is built for the expected subsystem (a windowed program must not open
a console; the digest tool must have one).

usage: check_imports.py --objdump OBJDUMP --subsystem gui|console PROGRAM.exe"""

import argparse
import re
import subprocess
import sys

# The Universal C Runtime is also reached through its API sets.
SYSTEM_DLL = re.compile(r"(kernel32|user32|shell32|ws2_32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll")
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
                if not SYSTEM_DLL.fullmatch(dll.lower())] + ([] if dlls else ["no import table"])
    if subsystem is None or int(subsystem.group(1), 16) != SUBSYSTEMS[options.subsystem]:
        problems.append(f"subsystem {subsystem and subsystem.group(1)}, expected "
                        f"{options.subsystem} ({SUBSYSTEMS[options.subsystem]})")
    print(f"{options.program}: imports {', '.join(dlls) or 'nothing'}")
    for problem in problems:
        print(f"  FAIL: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
