"""Runs a Windows build of the program under Wine and observes it.

Each run gets a private copy of the prepared prefix named by the environment
variable BRANTWICKER_WINE_PREFIX, so the wineserver it starts lives inside the
caller's namespaces and makes its sockets in the caller's network.

Boxes and the browser hand-off are read from Wine's relay trace, which logs
the arguments of every MessageBoxA and ShellExecuteA call; without a display
MessageBoxA returns at once. Wine hands an address to the first "xdg-open" on
the PATH: a fake one passes it to $BROWSER (by default a recorder), so an
address counts as opened only when a browser was started for it. `desktop`
has no effect here: the trace sees every box with its icon."""

import os
import re
import sys

from launch_common import Observation, recorded_calls, run_captured, write_recorder, write_script

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wine"))
import wine_prefix  # noqa: E402

TIMEOUT_SECONDS = 60
XDG_OPEN = '#!/bin/sh\ncommand -v "$BROWSER" >/dev/null || exit 3\nexec "$BROWSER" "$@"\n'
CALL = re.compile(r"[0-9a-f]{4}:Call (user32\.MessageBoxA|shell32\.ShellExecuteA)\((.*)\) ret=[0-9a-f]+")
TRACE = re.compile(r"[0-9a-f]{4}:(Call |Ret  |Starting |trace:relay:)")
# A number, or a pointer with the string it leads to ("..." after a cut one).
ARG = re.compile(r'([0-9a-f]+)(?: L?"((?:[^"\\]|\\.)*)"(\.\.\.)?)?(?:,|$)')
ESCAPE = re.compile(r"\\(x[0-9a-f]{2}|[0-7]{3}|.)")
ESCAPES = {"n": "\n", "r": "\r", "t": "\t"}


def _unescape(text: str) -> str:
    def one(match: re.Match) -> str:
        code = match.group(1)
        if len(code) == 3:
            return chr(int(code[1:], 16) if code[0] == "x" else int(code, 8))
        return ESCAPES.get(code, code)
    # The program's bytes, read the way the cases read texts.
    return ESCAPE.sub(one, text).encode("latin-1").decode("utf-8", "surrogateescape")


def parse_arguments(text: str) -> list | None:
    """A traced call's arguments: numbers, strings, None for a cut string;
    None when the list cannot be read."""
    matches = list(ARG.finditer(text))
    if "".join(m.group(0) for m in matches) != text:
        return None
    return [int(value, 16) if string is None else None if cut else _unescape(string)
            for value, string, cut in (m.groups() for m in matches)]


def read_trace(stderr: bytes, stray: list[str]):
    """Boxes and addresses from the relay trace; every other line is stray."""
    boxes, addresses = [], []
    for line in stderr.decode("latin-1").splitlines():
        call = CALL.fullmatch(line)
        if call is None:
            if not TRACE.match(line):
                stray.append(f"standard error: {line!r}")
            continue
        args = parse_arguments(call.group(2))
        box = call.group(1) == "user32.MessageBoxA"
        if args is None or len(args) != (4 if box else 6) or None in args[1:3]:
            stray.append(f"unreadable trace: {line!r}")
        elif box:
            if args[0] != 0:
                stray.append(f"message box with owner window {args[0]!r}")
            boxes.append((args[2], args[1], args[3]))
        else:
            if args[:2] + args[3:] != [0, "open", 0, 0, 1]:
                stray.append(f"ShellExecuteA called as {args!r}")
            addresses.append(args[2])
    return boxes, addresses


def reached_browser(addresses: list[str], recorded: list[list[str]], own_browser: bool,
                    stray: list[str]) -> list[str]:
    """The traced addresses, as far as the browser was started for them. What
    Wine's launcher does to an address on the way (percent-encoding, quotes
    dropped) is Wine's business: the trace holds what the program asked for."""
    if len(recorded) > len(addresses) or (own_browser and len(recorded) != len(addresses)):
        stray.append(f"ShellExecuteA got {addresses!r} but the browser {recorded!r}")
    stray.extend(f"browser called with {argv!r}" for argv in recorded if len(argv) != 1)
    return addresses[:len(recorded)]


def run(program: str, args: list[str], workdir: str, env: dict[str, str], *,
        desktop: bool = True, stdout_to_file: bool = False) -> Observation:
    del desktop  # see the module's description
    base = env.get("BRANTWICKER_WINE_PREFIX")
    if not base:
        raise RuntimeError("BRANTWICKER_WINE_PREFIX does not name a prepared Wine prefix")
    arch = wine_prefix.prefix_arch(base)
    fakes = os.path.join(workdir, "wine-fakes")
    os.makedirs(fakes, exist_ok=True)
    browser_log = os.path.join(fakes, "browser.log")
    write_recorder(os.path.join(fakes, "browser"), browser_log)
    write_script(os.path.join(fakes, "xdg-open"), XDG_OPEN)

    with wine_prefix.private_copy(base, workdir) as prefix:
        wine_env = wine_prefix.environment(prefix, arch, env)
        wine_env["WINEDEBUG"] = "-all,+relay"
        wine_env["PATH"] = fakes + os.pathsep + env.get("PATH", os.defpath)
        own_browser = "BROWSER" not in env
        wine_env.setdefault("BROWSER", os.path.join(fakes, "browser"))
        try:
            # Wine's helper processes inherit standard error, so reading it to
            # its end also waits for the browser hand-off to finish.
            exit_status, stdout, stderr = run_captured(
                [wine_prefix.LOADERS[arch], program, *args], workdir, wine_env,
                stdout_to_file=stdout_to_file, timeout=TIMEOUT_SECONDS,
                on_timeout=lambda: wine_prefix.end_server(wine_env))
        finally:
            wine_prefix.end_server(wine_env)

    stray: list[str] = []
    boxes, addresses = read_trace(stderr, stray)
    opened = reached_browser(addresses, recorded_calls(browser_log), own_browser, stray)
    return Observation(exit_status=exit_status, stdout=stdout.replace(b"\r\n", b"\n"),
                       boxes=boxes, opened=opened, stray=stray)
