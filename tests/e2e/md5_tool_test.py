#!/usr/bin/env python3
"""Runs the built digest tool as a process: digests of files and pipes against
md5sum's, the check against an expected digest, and the usage errors.

usage: md5_tool_test.py PROGRAM [unittest options]"""

import errno
import os
import random
import subprocess
import sys
import tempfile
import unittest

PROGRAM = ""
SIZES = (0, 1, 55, 56, 63, 64, 65, 1023, 1024, 1025, 2048, 3 << 20)


def md5sum(data: bytes) -> str:
    result = subprocess.run(["md5sum"], input=data, capture_output=True, check=True)
    return result.stdout.split()[0].decode()


def tool(*args: str, stdin: bytes = b"", cwd: str | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([PROGRAM, *args], input=stdin, capture_output=True, cwd=cwd, timeout=30)


class Md5ToolTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def file_of(self, data: bytes) -> str:
        path = os.path.join(self.dir.name, f"input-{len(data)}.bin")
        with open(path, "wb") as out:
            out.write(data)
        return path

    def assert_run(self, run, exit_status: int, stdout: bytes, stderr: bytes = b""):
        self.assertEqual((run.returncode, run.stdout, run.stderr), (exit_status, stdout, stderr))

    def test_digests_files_stdin_and_dash_like_md5sum(self):
        for size in SIZES:
            data = random.Random(size).randbytes(size)
            line = f"{md5sum(data)}\n".encode()
            with self.subTest(size=size, input="file"):
                self.assert_run(tool(self.file_of(data)), 0, line)
            with self.subTest(size=size, input="pipe"):
                self.assert_run(tool(stdin=data), 0, line)
            with self.subTest(size=size, input="-"):
                self.assert_run(tool("-", stdin=data), 0, line)

    def test_check(self):
        data = b"The quick brown fox jumps over the lazy dog"
        path = self.file_of(data)
        actual = md5sum(data)
        wrong = actual[:-1] + ("0" if actual[-1] != "0" else "1")
        for expected, status in ((actual, 0), (wrong, 7), (actual.upper(), 7)):
            with self.subTest(expected=expected):
                lines = f"{expected} << Expected Hash Value\n{actual} << Actual Hash Value\n"
                self.assert_run(tool("--check", expected, path), status, lines.encode())
        with self.subTest(input="stdin"):
            lines = f"{actual} << Expected Hash Value\n{actual} << Actual Hash Value\n"
            self.assert_run(tool("--check", actual, "-", stdin=data), 0, lines.encode())

    def test_missing_file(self):
        line = f"Error: FileName='absent.bin' -- {os.strerror(errno.ENOENT)}\n".encode()
        self.assert_run(tool("absent.bin", cwd=self.dir.name), 2, line)

    def test_usage_errors(self):
        syntax = b"md5:001:Syntax Error -- check help for usage.\n"
        too_many = b"md5:006:Syntax: Too many arguments.\n"
        table = (
            (("a", "b"), 6, too_many),
            (("--check", "0" * 32, "a", "b"), 6, too_many),
            (("--check",), 1, syntax),
            (("--bogus",), 1, syntax),
        )
        for args, status, first_line in table:
            with self.subTest(args=args):
                run = tool(*args)
                self.assertEqual((run.returncode, run.stdout), (status, b""))
                self.assertTrue(run.stderr.startswith(first_line), run.stderr)


if __name__ == "__main__":
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main()
