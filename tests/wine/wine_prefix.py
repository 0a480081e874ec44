#!/usr/bin/env python3
"""Wine for the Windows tests: one prepared prefix per build, and a private
copy-on-write copy of it for each run.

  wine_prefix.py probe ARCH...               the first ARCH (i386, amd64) Wine runs here
  wine_prefix.py make PREFIX ARCH            prepares PREFIX unless it is up to date
  wine_prefix.py session PREFIX -- COMMAND   runs COMMAND on a private copy of PREFIX,
                                             in private namespaces (as the lookup cases)
  wine_prefix.py exec PROGRAM.exe ARGS       (inside a session) runs PROGRAM, its CR LF as LF
  wine_prefix.py unavailable REASON          exit 77 (skip), or 1 when CI is set"""

import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
from contextlib import contextmanager, suppress

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from real_service import cannot_test, in_namespace  # noqa: E402

# Debian keeps both loaders here; /usr/bin/wine only ever starts the 32-bit one.
LOADERS = {"i386": "/usr/lib/wine/wine", "amd64": "/usr/lib/wine/wine64"}
WINEARCH = {"i386": "win32", "amd64": "win64"}
# A prefix has no display, no Mono, Gecko or menu entries (nothing downloaded,
# nothing in the home folder), logs MessageBoxA and ShellExecuteA under
# WINEDEBUG=+relay, and never shows a crash dialog.
SETTINGS = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="user32.MessageBoxA;shell32.ShellExecuteA"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
"""
STAMP = "brantwicker-prefix.stamp"


def wine_version(arch: str) -> str:
    """Wine's version for `arch` programs; OSError where the kernel refuses their loader."""
    return subprocess.run([LOADERS[arch], "--version"], capture_output=True, text=True,
                          check=True, timeout=30).stdout.strip()


def prefix_arch(prefix: str) -> str:
    return pathlib.Path(prefix, STAMP).read_text().split()[0]


def environment(prefix: str, arch: str, base: dict[str, str] | None = None) -> dict[str, str]:
    env = {name: value for name, value in (os.environ if base is None else base).items()
           if name not in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER", "WINESERVER")}
    return env | dict(WINEPREFIX=prefix, WINEARCH=WINEARCH[arch], WINEDEBUG="-all",
                      WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")


def end_server(env: dict[str, str]) -> None:
    """Ends every Wine process of env's prefix and waits until they are gone."""
    for flag in ("-k", "-w"):
        subprocess.run(["wineserver", flag], env=env, capture_output=True, timeout=30)


def make(prefix: str, arch: str) -> bool:
    """Makes `prefix` unless this Wine version made it with these settings (another version
    would update it at every start). The stamp is written last: a broken attempt is redone."""
    stamp = f"{arch} {wine_version(arch)}\n{SETTINGS}"
    with suppress(FileNotFoundError):
        if pathlib.Path(prefix, STAMP).read_text() == stamp:
            return False
    shutil.rmtree(prefix, ignore_errors=True)
    env = environment(prefix, arch)
    try:
        subprocess.run([LOADERS[arch], "wineboot", "--init"], env=env, check=True, timeout=300)
        subprocess.run([LOADERS[arch], "regedit", "/S", "-"], input=SETTINGS, text=True, env=env,
                       check=True, timeout=300)
    finally:
        end_server(env)  # the registry reaches its files when the server ends
    pathlib.Path(prefix, STAMP).write_text(stamp)
    return True


@contextmanager
def private_copy(prefix: str, workdir: str):
    """Mounts a copy-on-write copy of `prefix` in `workdir` and yields its path.
    Needs a private mount namespace. Wine keys its server on the prefix
    folder, so each copy gets a server of its own, inside the caller's
    namespaces (and so its network)."""
    copy, upper, work = (os.path.join(workdir, name) for name in ("prefix", "upper", "work"))
    for folder in (copy, upper, work):
        os.makedirs(folder)
    subprocess.run(["mount", "-t", "overlay", "overlay", "-o",
                    f"lowerdir={os.path.abspath(prefix)},upperdir={upper},workdir={work}", copy],
                   check=True, capture_output=True)
    try:
        yield copy
    finally:
        subprocess.run(["umount", "--lazy", copy], capture_output=True)


def session(prefix: str, command: list[str]) -> int:
    with tempfile.TemporaryDirectory(prefix="wine-session-") as workdir, \
            private_copy(prefix, workdir) as copy:
        env = environment(copy, prefix_arch(prefix))
        try:
            # One server for the session, not one (with Wine's service
            # processes) for every program started in it.
            subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=30)
            return subprocess.run(command, env=env).returncode
        finally:
            end_server(env)


def exec_program(program: str, args: list[str]) -> int:
    loader = LOADERS[prefix_arch(os.environ["WINEPREFIX"])]
    # Files, not pipes: Wine's service processes keep the program's output
    # open long after it has ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run([loader, program, *args], stdout=out, stderr=err).returncode
        for captured, stream in ((out, sys.stdout.buffer), (err, sys.stderr.buffer)):
            captured.seek(0)
            stream.write(captured.read().replace(b"\r\n", b"\n"))
    return status


def main(argv: list[str]) -> int:
    match argv:
        case ["probe", *arches]:
            for arch in arches:
                with suppress(OSError, subprocess.CalledProcessError):
                    print(arch, wine_version(arch))
                    return 0
            print(f"no Wine here runs {' or '.join(arches)} programs")
            return 1
        case ["make", prefix, arch]:
            print(f"{'made' if make(prefix, arch) else 'kept'} Wine prefix {prefix}")
            return 0
        case ["session", prefix, "--", *command] if command:
            outside = in_namespace()
            return session(prefix, command) if outside is None else outside
        case ["exec", program, *args]:
            return exec_program(program, args)
        case ["unavailable", reason]:
            return cannot_test(reason)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
