"""What every launcher does alike: what it reports of a run, the recording
stand-ins for the browser and the dialog helper, and running the program
with a deadline."""

import json
import os
import signal
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Observation:
    """One run of a program, in terms every platform shares, so that one set
    of cases serves the native and the Windows build."""
    exit_status: int
    stdout: bytes  # line endings normalised to LF by the launcher
    # (title, text, icon flags) in the order shown; flags are None where the
    # launcher can see a box but not its icon.
    boxes: list[tuple[str, str, int | None]]
    opened: list[str]  # addresses handed to the browser, in order
    # Anything the launcher could not account for: stray standard-error lines,
    # boxes told one way and shown another, a browser given odd arguments.
    stray: list[str] = field(default_factory=list)


# A noisy recorder also prints to its standard output, which must never reach
# the program's.
RECORDER = """#!{python}
import json, sys
with open({log!r}, "a") as log:
    log.write(json.dumps(sys.argv[1:]) + "\\n")
if {noisy}:
    print("recorder output that must not reach the program's standard output")
"""


def write_script(path: str, text: str) -> None:
    with open(path, "w") as script:
        script.write(text)
    os.chmod(path, 0o755)


def write_recorder(path: str, log: str, noisy: bool = False) -> None:
    """A program that appends its arguments, as one JSON line, to `log`."""
    write_script(path, RECORDER.format(python=sys.executable, log=log, noisy=noisy))


def recorded_calls(log: str) -> list[list[str]]:
    if not os.path.exists(log):
        return []
    with open(log) as lines:
        return [json.loads(line) for line in lines]


def run_captured(argv: list[str], workdir: str, env: dict[str, str], *,
                 stdout_to_file: bool, timeout: float,
                 on_timeout: Callable[[], None] = lambda: None) -> tuple[int, bytes, bytes]:
    """Runs `argv` with standard output on a pipe or in a file and standard
    error on a pipe, both read to their end; returns the exit status and the
    two outputs. Past `timeout` the whole process group is killed."""
    stdout_path = os.path.join(workdir, "stdout.bin")
    with open(stdout_path, "wb") as stdout_file:
        child = subprocess.Popen(
            argv, cwd=workdir, env=env, stdin=subprocess.DEVNULL,
            stdout=stdout_file if stdout_to_file else subprocess.PIPE,
            stderr=subprocess.PIPE, start_new_session=True)
        try:
            stdout, stderr = child.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            on_timeout()
            child.communicate()
            raise RuntimeError(f"{argv!r} did not end within {timeout} s")
    if stdout_to_file:
        with open(stdout_path, "rb") as written:
            stdout = written.read()
    return child.returncode, stdout, stderr
