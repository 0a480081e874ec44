"""Runs a program as a native process and observes it.

Boxes are seen twice: as the "TITLE: TEXT" line the program writes to standard
error, and, with a desktop, as a call of a fake zenity that records its
arguments (--error is icon 0x10, --info 0x40). The browser is a fake BROWSER
program that records the address it was given. Both fakes inherit the
program's standard error, so reading that pipe to its end also waits for a
browser the program started and did not wait for."""

import os

from launch_common import recorded_calls, run_captured, write_recorder
from observation import Observation

TIMEOUT_SECONDS = 20
ZENITY_ICONS = {"--error": 0x10, "--info": 0x40}

def _zenity_box(argv: list[str], stray: list[str]) -> tuple[str, str, int | None]:
    icon, title, text, plain = None, None, None, False
    for arg in argv:
        if arg in ZENITY_ICONS:
            icon = ZENITY_ICONS[arg]
        elif arg.startswith("--title="):
            title = arg.removeprefix("--title=")
        elif arg.startswith("--text="):
            text = arg.removeprefix("--text=")
        elif arg == "--no-markup":
            plain = True
        else:
            stray.append(f"zenity got an unknown argument {arg!r}")
    if None in (icon, title, text) or not plain:
        stray.append(f"zenity called as {argv!r}")
    return (title or "", text or "", icon)


def _said_boxes(stderr: bytes, stray: list[str]) -> list[tuple[str, str]]:
    said = []
    for line in stderr.decode("utf-8", "surrogateescape").splitlines():
        title, sep, text = line.partition(": ")
        if sep:
            said.append((title, text))
        else:
            stray.append(f"standard error: {line!r}")
    return said


def run(program: str, args: list[str], workdir: str, env: dict[str, str], *,
        desktop: bool = True, stdout_to_file: bool = False) -> Observation:
    fakes = os.path.join(workdir, "native-fakes")
    os.makedirs(fakes, exist_ok=True)
    zenity_log = os.path.join(fakes, "zenity.log")
    browser_log = os.path.join(fakes, "browser.log")
    write_recorder(os.path.join(fakes, "zenity"), zenity_log)
    write_recorder(os.path.join(fakes, "browser"), browser_log)

    env = dict(env)
    env["PATH"] = fakes + os.pathsep + env.get("PATH", os.defpath)
    env.setdefault("BROWSER", os.path.join(fakes, "browser"))
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("DISPLAY", None)
    if desktop:
        env["DISPLAY"] = ":e2e"  # never opened: only the fake zenity sees it

    exit_status, stdout, stderr = run_captured(
        [program, *args], workdir, env, stdout_to_file=stdout_to_file, timeout=TIMEOUT_SECONDS)

    stray: list[str] = []
    said = _said_boxes(stderr, stray)
    shown = [_zenity_box(argv, stray) for argv in recorded_calls(zenity_log)]
    if desktop:
        boxes = shown
        if [(title, text) for title, text, _ in shown] != said:
            stray.append(f"boxes told on standard error {said!r} but shown {shown!r}")
    else:
        boxes = [(title, text, None) for title, text in said]
        if shown:
            stray.append(f"zenity called without a desktop: {shown!r}")

    opened = []
    for argv in recorded_calls(browser_log):
        if len(argv) != 1:
            stray.append(f"browser called with {argv!r}")
        opened.append(" ".join(argv))

    return Observation(exit_status=exit_status, stdout=stdout, boxes=boxes,
                       opened=opened, stray=stray)
