#!/usr/bin/env python3
# The built digest tool as a process: digests of files and standard input
# against md5sum's, the check against an expected digest, the exact lines of
# files without a digest, the usage errors, and (--posix, where the program
# runs natively on a POSIX system) a directory, which opens but cannot be read,
# and a digest lost on a full disk.
#
# usage: md5_tool_test.py [--posix] PROGRAM [ARG...]
# PROGRAM and its ARGs run the tool; PROGRAM is an absolute path, as the tool
# runs in a folder of its own.

import errno
import os
import random
import subprocess
import sys
import tempfile

SIZES = (0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 2048, 3 << 20)
SYNTAX = b"md5:001:Syntax Error -- check help for usage.\n"
TOO_MANY = b"md5:006:Syntax: Too many arguments.\n"


def md5sum(data: bytes) -> str:
    return subprocess.run(["md5sum"], input=data, capture_output=True,
                          check=True).stdout.split()[0].decode()


def cases(folder: str, posix: bool):
    """(arguments, standard input, exit status, standard output or None for
    any, start of standard error)"""
    files = {f"{size}.bin": random.Random(size).randbytes(size) for size in SIZES}
    files["fox.txt"] = fox = b"The quick brown fox jumps over the lazy dog"
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)
        line = f"{md5sum(data)}\n".encode()
        yield (name,), b"", 0, line, b""
        if len(data) in (0, 1025, 3 << 20):  # standard input: binary on every platform
            yield (), data, 0, line, b""
            yield ("-",), data, 0, line, b""

    actual = md5sum(fox)
    for expected, status, source in ((actual, 0, "fox.txt"), (actual[:-1] + "0", 7, "fox.txt"),
                                     (actual.upper(), 7, "fox.txt"), (actual + "0", 7, "fox.txt"),
                                     (actual, 0, "-")):
        lines = f"{expected} << Expected Hash Value\n{actual} << Actual Hash Value\n"
        yield ("--check", expected, source), fox, status, lines.encode(), b""

    # Without a digest there is nothing to compare: never a match, nor a mismatch.
    for name in ("absent.bin", "") if posix else ("absent.bin",):
        no_file = f"Error: FileName='{name}' -- {os.strerror(errno.ENOENT)}\n".encode()
        yield (name,), b"", 2, no_file, b""
        yield ("--check", actual, name), b"", 2, no_file, b""
    if posix:
        for args in ((".",), ("--check", actual, ".")):
            yield args, b"", 3, b"", b"brantwicker-md5: .: md5:003:"
    yield ("--help",), b"", 0, None, b""
    for args, status, first_line in ((("a", "b"), 6, TOO_MANY),
                                     (("--check", "0" * 32, "a", "b"), 6, TOO_MANY),
                                     (("--check",), 1, SYNTAX), (("--bogus",), 1, SYNTAX)):
        yield args, b"", status, b"", first_line


def main() -> int:
    posix = sys.argv[1:2] == ["--posix"]
    command = sys.argv[2 if posix else 1:]
    failed = 0
    with tempfile.TemporaryDirectory() as folder:
        for args, stdin, status, stdout, stderr in cases(folder, posix):
            run = subprocess.run([*command, *args], input=stdin, capture_output=True, cwd=folder,
                                 timeout=60)
            # Standard error is checked up to what the case gives, all of it if nothing.
            if (run.returncode != status or run.stderr[:len(stderr) or None] != stderr
                    or (run.stdout != stdout if stdout is not None else not run.stdout)):
                failed += 1
                print(f"FAIL {args!r}: status {run.returncode} (expected {status})\n"
                      f"  stdout {run.stdout[:200]!r}\n  stderr {run.stderr[:200]!r}")
        if posix:
            with open("/dev/full", "wb") as full:
                run = subprocess.run([*command, "-"], stdin=subprocess.DEVNULL, stdout=full,
                                     stderr=subprocess.PIPE, timeout=60)
            if run.returncode != 3:
                failed += 1
                print(f"FAIL a digest written to a full disk: status {run.returncode}")
    print(f"{failed} failed" if failed else "ok")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
