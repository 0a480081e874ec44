"""Runs a program as a native process and observes it.

Boxes are seen twice: as the "TITLE: TEXT" line the program writes to standard
error, and, with a desktop, as a call of a fake zenity that records its
arguments (--error is icon 0x10, --info 0x40). The browser is a fake BROWSER
program that records the address it was given. Both fakes inherit the
program's standard error, so reading that pipe to its end also waits for a
browser the program started and did not wait for."""

import os

from launch_common import Observation, recorded_calls, run_captured, write_recorder

TIMEOUT_SECONDS = 20
ZENITY_ICONS = {"--error": 0x10, "--info": 0x40}


def _zenity_box(argv: list[str], stray: list[str]) -> tuple[str, str, int | None]:
    kind, title, text = (argv + ["", "", ""])[:3]
    box = (title.removeprefix("--title="), text.removeprefix("--text="), ZENITY_ICONS.get(kind))
    if argv != [kind, f"--title={box[0]}", f"--text={box[1]}", "--no-markup"] or box[2] is None:
        stray.append(f"zenity called as {argv!r}")
    return box


def run(program: str, args: list[str], workdir: str, env: dict[str, str], *,
        desktop: bool = True, stdout_to_file: bool = False) -> Observation:
    fakes = os.path.join(workdir, "native-fakes")
    os.makedirs(fakes, exist_ok=True)
    logs = {name: os.path.join(fakes, f"{name}.log") for name in ("zenity", "browser")}
    for name, log in logs.items():
        write_recorder(os.path.join(fakes, name), log, noisy=True)
    env = dict(env, PATH=fakes + os.pathsep + env.get("PATH", os.defpath))
    env.setdefault("BROWSER", os.path.join(fakes, "browser"))
    env.pop("WAYLAND_DISPLAY", None)
    env.pop("DISPLAY", None)
    if desktop:
        env["DISPLAY"] = ":e2e"  # never opened: only the fake zenity sees it

    exit_status, stdout, stderr = run_captured(
        [program, *args], workdir, env, stdout_to_file=stdout_to_file, timeout=TIMEOUT_SECONDS)

    stray: list[str] = []
    said = []
    for line in stderr.decode("utf-8", "surrogateescape").splitlines():
        title, sep, text = line.partition(": ")
        if sep:
            said.append((title, text))
        else:
            stray.append(f"standard error: {line!r}")
    shown = [_zenity_box(argv, stray) for argv in recorded_calls(logs["zenity"])]
    if desktop and [box[:2] for box in shown] != said:
        stray.append(f"boxes told on standard error {said!r} but shown {shown!r}")
    if not desktop and shown:
        stray.append(f"zenity called without a desktop: {shown!r}")
    opened = recorded_calls(logs["browser"])
    stray.extend(f"browser called with {argv!r}" for argv in opened if len(argv) != 1)
    return Observation(exit_status=exit_status, stdout=stdout,
                       boxes=shown if desktop else [(t, x, None) for t, x in said],
                       opened=[" ".join(argv) for argv in opened], stray=stray)
