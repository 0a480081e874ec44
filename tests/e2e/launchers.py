# Running the lookup program and watching it, natively or under Wine. Both
# report an Observation in the terms the cases use, so that one set of cases
# serves the native and the Windows build.
#
# native: boxes are seen twice, as the "TITLE: TEXT" line the program writes
# to standard error and, with a desktop, as a call of a recording zenity
# (--error is icon 0x10, --info 0x40). The browser is a recording BROWSER
# program. Both recorders inherit the program's standard error, so reading
# that pipe to its end also waits for a browser the program did not wait for.
#
# wine: each run gets a private copy of the prepared prefix named by
# BRANTWICKER_WINE_PREFIX, so the wineserver it starts lives inside the
# caller's namespaces and makes its sockets in the caller's network. Boxes and
# the browser hand-off are read from Wine's relay trace of MessageBoxA and
# ShellExecuteA, every box with its icon, with or without a display. Wine
# hands an address to the first "xdg-open" on the PATH: a fake one passes it
# to $BROWSER, so an address counts as opened only when a browser was started
# for it.

import json
import os
import re
import signal
import subprocess
import sys
from dataclasses import dataclass

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))


@dataclass
class Observation:
    exit_status: int
    stdout: bytes  # line endings as LF
    boxes: list[tuple[str, str, int | None]]  # (title, text, icon flags or None where unseen)
    opened: list[str]  # addresses that reached the browser, in order
    # Anything the launcher could not account for: stray standard-error lines,
    # boxes told one way and shown another, a browser given odd arguments.
    stray: list[str]


# A noisy recorder also prints: that must never reach the program's standard output.
RECORDER = """#!{python}
import json, sys
with open({log!r}, "a") as log:
    log.write(json.dumps(sys.argv[1:]) + "\\n")
if {noisy}:
    print("recorder output that must not reach the program's standard output")
"""
# Backslash escapes, as the cases write texts and Wine's relay trace strings.
ESCAPES = {b"r": b"\r", b"n": b"\n", b"t": b"\t", b"0": b"\0", b"\\": b"\\", b'"': b'"'}
XDG_OPEN = '#!/bin/sh\ncommand -v "$BROWSER" >/dev/null || exit 3\nexec "$BROWSER" "$@"\n'
ZENITY_ICONS = {"--error": 0x10, "--info": 0x40}
STRING = r'[0-9a-f]+ "((?:[^"\\]|\\.)*)"'
# Only calls made as the program must make them match: no owner window; the
# verb "open" with no parameters and no folder, shown normally.
BOX = re.compile(rf"[0-9a-f]{{4}}:Call user32\.MessageBoxA\(0+,{STRING},{STRING},([0-9a-f]+)\)"
                 r" ret=[0-9a-f]+")
OPEN = re.compile(rf'[0-9a-f]{{4}}:Call shell32\.ShellExecuteA\(0+,[0-9a-f]+ "open",{STRING},'
                  r"0+,0+,0*1\) ret=[0-9a-f]+")
# The trace's other lines; a call of the two that did not match above is stray.
TRACE = re.compile(r"[0-9a-f]{4}:(Call (?!user32\.MessageBoxA|shell32\.ShellExecuteA)|Ret  |Starting "
                   r"|trace:relay:)")


def recorders(workdir: str, env: dict[str, str], names: tuple[str, ...], noisy: bool,
              scripts: dict[str, str]):
    """Programs `names` that append their arguments, as one JSON line, to a log
    each, and `scripts`, in a folder first on the PATH; the "browser" one is
    BROWSER unless the case names one. Returns the environment and the logs."""
    fakes = os.path.join(workdir, "fakes")
    os.mkdir(fakes)
    logs = {name: os.path.join(fakes, f"{name}.log") for name in names}
    for name, log in logs.items():
        scripts[name] = RECORDER.format(python=sys.executable, log=log, noisy=noisy)
    for name, text in scripts.items():
        with open(os.path.join(fakes, name), "w") as script:
            script.write(text)
        os.chmod(script.name, 0o755)
    path = fakes + os.pathsep + env.get("PATH", os.defpath)
    return {"BROWSER": os.path.join(fakes, "browser"), **env, "PATH": path}, logs


def calls(log: str) -> list[list[str]]:
    # A recorder that was never called has written no log.
    return [json.loads(line) for line in open(log)] if os.path.exists(log) else []


def browser_calls(log: str, stray: list[str]) -> list[list[str]]:
    found = calls(log)
    stray += [f"browser called with {argv!r}" for argv in found if len(argv) != 1]
    return found


def run_captured(argv: list[str], workdir: str, env: dict[str, str], stdout_to_file: bool,
                 timeout: float) -> tuple[int, bytes, bytes]:
    """Runs `argv` with standard output on a pipe or in a file, standard error
    on a pipe, both read to their end. Past `timeout` its process group is killed."""
    with open(os.path.join(workdir, "stdout.bin"), "w+b") as stdout_file:
        child = subprocess.Popen(argv, cwd=workdir, env=env, stdin=subprocess.DEVNULL,
                                 stdout=stdout_file if stdout_to_file else subprocess.PIPE,
                                 stderr=subprocess.PIPE, start_new_session=True)
        try:
            stdout, stderr = child.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            os.killpg(child.pid, signal.SIGKILL)
            raise RuntimeError(f"{argv!r} did not end within {timeout} s")
        if stdout_to_file:
            stdout_file.seek(0)
            stdout = stdout_file.read()
    return child.returncode, stdout, stderr


def native(program: str, args: list[str], workdir: str, env: dict[str, str],
           desktop: bool, stdout_to_file: bool) -> Observation:
    env, logs = recorders(workdir, env, ("zenity", "browser"), True, {})
    if desktop:
        env["DISPLAY"] = ":e2e"  # never opened: only the recording zenity sees it
    status, stdout, stderr = run_captured([program, *args], workdir, env, stdout_to_file, 20)

    stray: list[str] = []
    said = []
    for line in stderr.decode("utf-8", "surrogateescape").splitlines():
        title, sep, text = line.partition(": ")
        if sep:
            said.append((title, text))
        else:
            stray.append(f"standard error: {line!r}")
    shown = []
    for argv in calls(logs["zenity"]):
        kind, title, text = (argv + ["", "", ""])[:3]
        box = (title.removeprefix("--title="), text.removeprefix("--text="), ZENITY_ICONS.get(kind))
        if argv != [kind, f"--title={box[0]}", f"--text={box[1]}", "--no-markup"] or box[2] is None:
            stray.append(f"zenity called as {argv!r}")
        shown.append(box)
    if [box[:2] for box in shown] != (said if desktop else []):
        stray.append(f"boxes told on standard error {said!r} but shown {shown!r}")
    opened = [" ".join(argv) for argv in browser_calls(logs["browser"], stray)]
    return Observation(status, stdout, shown if desktop else [(*box, None) for box in said],
                       opened, stray)


def unescape(text: bytes) -> bytes:
    return re.sub(rb"\\(x[0-9a-fA-F]{2}|.)", lambda m: bytes([int(m[1][1:], 16)])
                  if len(m[1]) == 3 else ESCAPES[m[1]], text)


def traced(text: str) -> str:
    """The program's text behind a string in Wine's trace, read the way the cases read texts."""
    return unescape(text.encode("latin-1")).decode("utf-8", "surrogateescape")


def wine(program: str, args: list[str], workdir: str, env: dict[str, str],
         desktop: bool, stdout_to_file: bool) -> Observation:
    del desktop  # the trace sees every box, with or without a display
    import wine_prefix  # here: native runs need nothing of tests/wine
    base = env["BRANTWICKER_WINE_PREFIX"]
    arch = wine_prefix.prefix_arch(base)
    fake_env, logs = recorders(workdir, env, ("browser",), False, {"xdg-open": XDG_OPEN})
    with wine_prefix.private_copy(base, workdir) as prefix:
        wine_env = dict(wine_prefix.environment(prefix, arch, fake_env), WINEDEBUG="-all,+relay")
        try:
            # Wine's helper processes inherit standard error, so reading it to
            # its end also waits for the browser hand-off to finish.
            status, stdout, stderr = run_captured([wine_prefix.LOADERS[arch], program, *args],
                                                  workdir, wine_env, stdout_to_file, 60)
        finally:
            wine_prefix.end_server(wine_env)

    stray: list[str] = []
    boxes, addresses = [], []
    for line in stderr.decode("latin-1").splitlines():
        if box := BOX.fullmatch(line):
            boxes.append((traced(box[2]), traced(box[1]), int(box[3], 16)))
        elif address := OPEN.fullmatch(line):
            addresses.append(traced(address[1]))
        elif not TRACE.match(line):
            stray.append(f"standard error: {line!r}")
    # What Wine's launcher does to an address on the way (percent-encoding,
    # quotes dropped) is Wine's business: the trace holds what the program
    # asked for, and the recorder only whether a browser was started.
    started = browser_calls(logs["browser"], stray)
    if len(started) > len(addresses) or ("BROWSER" not in env and len(started) != len(addresses)):
        stray.append(f"ShellExecuteA got {addresses!r} but the browser {started!r}")
    return Observation(status, stdout.replace(b"\r\n", b"\n"), boxes, addresses[:len(started)],
                       stray)
