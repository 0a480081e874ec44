#!/usr/bin/env python3
"""Wine for the Windows tests: one prepared prefix per build, and a private
copy-on-write copy of it for each run.

  wine_prefix.py probe --arch i386|amd64     exit 0 when Wine runs such programs here
  wine_prefix.py make PREFIX --arch ARCH     prepares PREFIX unless it is up to date
  wine_prefix.py session PREFIX -- COMMAND   runs COMMAND on a private copy of PREFIX
  wine_prefix.py exec PROGRAM.exe ARGS       (inside a session) runs PROGRAM, its CR LF as LF
  wine_prefix.py unavailable REASON          exit 77 (skip), or 1 when CI is set

A prefix has no display, no Mono, Gecko or menu entries (nothing downloaded,
nothing in the home folder), logs MessageBoxA and ShellExecuteA under
WINEDEBUG=+relay, and never shows a crash dialog."""

import os
import shutil
import subprocess
import sys
import tempfile
import zlib
from contextlib import contextmanager, suppress

# Debian keeps both loaders here; /usr/bin/wine only ever starts the 32-bit one.
LOADERS = {"i386": "/usr/lib/wine/wine", "amd64": "/usr/lib/wine/wine64"}
WINEARCH = {"i386": "win32", "amd64": "win64"}
SETTINGS = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="user32.MessageBoxA;shell32.ShellExecuteA"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000
"""
STAMP = "brantwicker-prefix.stamp"
IN_SESSION = "BRANTWICKER_WINE_SESSION"


def probe(arch: str) -> tuple[bool, str]:
    """Whether Wine runs `arch` programs here; its version, or why not."""
    try:
        run = subprocess.run([LOADERS[arch], "--version"], capture_output=True, text=True,
                             timeout=30)
    except OSError as error:  # a kernel without 32-bit support refuses the loader itself
        return False, f"{LOADERS[arch]} cannot be started: {error.strerror}"
    return run.returncode == 0, (run.stdout or run.stderr).strip()


def prefix_arch(prefix: str) -> str:
    with open(os.path.join(prefix, STAMP)) as stamp:
        return stamp.read().split()[-1]


def environment(prefix: str, arch: str, base: dict[str, str] | None = None) -> dict[str, str]:
    env = dict(os.environ if base is None else base)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINELOADER", "WINESERVER", IN_SESSION):
        env.pop(name, None)
    env.update(WINEPREFIX=prefix, WINEARCH=WINEARCH[arch], WINEDEBUG="-all",
               WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
    return env


def end_server(env: dict[str, str]) -> None:
    """Ends every Wine process of env's prefix and waits until they are gone."""
    for flag in ("-k", "-w"):
        subprocess.run(["wineserver", flag], env=env, capture_output=True, timeout=30)


def make(prefix: str, arch: str) -> bool:
    """Makes `prefix` unless one from this Wine version and these settings is
    there (another version would update it on every start). It is made beside
    its place and renamed, so a broken attempt is never used."""
    ok, version = probe(arch)
    if not ok:
        raise RuntimeError(version)
    stamp = f"{version} {zlib.crc32(SETTINGS.encode()):08x} {arch}\n"
    with suppress(FileNotFoundError), open(os.path.join(prefix, STAMP)) as existing:
        if existing.read() == stamp:
            return False
    fresh = tempfile.mkdtemp(prefix=".prefix-", dir=os.path.dirname(os.path.abspath(prefix)))
    os.rmdir(fresh)  # Wine wants to make it itself
    env = environment(fresh, arch)
    try:
        settings = os.path.join(fresh, "settings.reg")
        for command in (["wineboot", "--init"], ["regedit", "/S", settings]):
            if os.path.isdir(fresh):
                with open(settings, "w") as out:
                    out.write(SETTINGS)
            subprocess.run([LOADERS[arch], *command], env=env, check=True, timeout=300,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        end_server(env)  # the registry reaches its files when the server ends
        with open(os.path.join(fresh, STAMP), "w") as out:
            out.write(stamp)
        shutil.rmtree(prefix, ignore_errors=True)
        os.rename(fresh, prefix)
    except BaseException:
        end_server(env)
        shutil.rmtree(fresh, ignore_errors=True)
        raise
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
    if os.environ.get(IN_SESSION) != "1":
        if shutil.which("unshare") is None or subprocess.run(
                ["unshare", "-m", "true"], capture_output=True).returncode != 0:
            return unavailable("cannot make a mount namespace (unshare -m); run as root")
        env = dict(os.environ, **{IN_SESSION: "1"})
        return subprocess.run(["unshare", "-m", sys.executable, os.path.abspath(__file__),
                               "session", prefix, "--", *command], env=env).returncode
    with tempfile.TemporaryDirectory(prefix="wine-session-") as workdir:
        with private_copy(prefix, workdir) as copy:
            env = environment(copy, prefix_arch(prefix))
            try:
                # One server for the session, not one (with Wine's service
                # processes) for every program started in it.
                subprocess.run(["wineserver", "-p"], env=env, check=True, timeout=30)
                return subprocess.run(command, env=env).returncode
            finally:
                end_server(env)


def exec_program(program: str, args: list[str]) -> int:
    arch = {value: key for key, value in WINEARCH.items()}[os.environ["WINEARCH"]]
    # Files, not pipes: Wine's service processes keep the program's output
    # open long after it has ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run([LOADERS[arch], program, *args], stdout=out, stderr=err).returncode
        for captured, stream in ((out, sys.stdout.buffer), (err, sys.stderr.buffer)):
            captured.seek(0)
            stream.write(captured.read().replace(b"\r\n", b"\n"))
    return status


def unavailable(reason: str) -> int:
    if os.environ.get("CI"):
        print(f"wine: FAILED: {reason}; CI is set, so the Windows tests must run here")
        return 1
    print(f"wine: skipped: {reason}")
    return 77


def main(argv: list[str]) -> int:
    match argv:
        case ["probe", "--arch", arch]:
            ok, why = probe(arch)
            print(why)
            return 0 if ok else 1
        case ["make", prefix, "--arch", arch]:
            print(f"{'made' if make(prefix, arch) else 'kept'} Wine prefix {prefix}")
            return 0
        case ["session", prefix, "--", *command] if command:
            return session(prefix, command)
        case ["exec", program, *args]:
            return exec_program(os.path.abspath(program), args)
        case ["unavailable", reason]:
            return unavailable(reason)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
