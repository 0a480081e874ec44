#!/usr/bin/env python3
"""Wine for the Windows tests: one prepared prefix per build, private copies
of it for each run, and the Wine loader that fits a program.

  wine_prefix.py probe --arch i386|amd64
      exit 0 when this host runs programs of that kind under Wine
  wine_prefix.py make PREFIX --arch i386|amd64
      makes PREFIX (kept while the Wine version and settings stay the same)
  wine_prefix.py session PREFIX -- COMMAND...
      runs COMMAND in a private mount namespace with a private copy of PREFIX
      as WINEPREFIX; every Wine process of the copy is ended afterwards
  wine_prefix.py exec PROGRAM.exe ARGS...
      runs PROGRAM under Wine in the current WINEPREFIX, with CR LF on its
      standard output and error turned into LF, and exits with its status
  wine_prefix.py unavailable REASON
      says why the Windows programs cannot be run here; exits 77 (skip), or 1
      when the environment variable CI is set

A prefix is made with no display and with Mono, Gecko and menu entries turned
off, so nothing is downloaded and nothing lands in the home folder. Its
registry asks Wine to log the arguments of MessageBoxA and ShellExecuteA when
WINEDEBUG has +relay, and never to show a crash dialog."""

import contextlib
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

# Debian keeps both loaders here; /usr/bin/wine only ever starts the 32-bit one.
LOADERS = {"i386": ("/usr/lib/wine/wine", "wine"),
           "amd64": ("/usr/lib/wine/wine64", "wine64")}
WINEARCH = {"i386": "win32", "amd64": "win64"}
PE_MACHINES = {0x014C: "i386", 0x8664: "amd64"}

SETTINGS = r"""REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Debug]
"RelayInclude"="user32.MessageBoxA;shell32.ShellExecuteA"

[HKEY_CURRENT_USER\Software\Wine\WineDbg]
"ShowCrashDialog"=dword:00000000

[HKEY_CURRENT_USER\Software\Wine\X11 Driver]
"Managed"="N"
"""
STAMP = "brantwicker-prefix.stamp"
IN_SESSION = "BRANTWICKER_WINE_SESSION"


class WineError(RuntimeError):
    pass


def pe_arch(program: str) -> str:
    """The kind of Windows program: "i386" or "amd64"."""
    with open(program, "rb") as image:
        head = image.read(4096)
    if head[:2] != b"MZ" or len(head) < 0x40:
        raise WineError(f"{program} is not a Windows program")
    (offset,) = struct.unpack_from("<I", head, 0x3C)
    if head[offset:offset + 4] != b"PE\0\0":
        raise WineError(f"{program} is not a Windows program")
    (machine,) = struct.unpack_from("<H", head, offset + 4)
    if machine not in PE_MACHINES:
        raise WineError(f"{program} is for machine {machine:#06x}")
    return PE_MACHINES[machine]


def loader(arch: str) -> str:
    path, name = LOADERS[arch]
    found = path if os.access(path, os.X_OK) else shutil.which(name)
    if found is None:
        raise WineError(f"no Wine loader for {arch} programs ({path} or {name} on the PATH)")
    return found


def wineserver() -> str:
    found = shutil.which("wineserver")
    if found is None:
        raise WineError("wineserver is not installed")
    return found


def probe(arch: str) -> tuple[bool, str]:
    """Whether Wine runs `arch` programs here, and if not, why."""
    try:
        path = loader(arch)
    except WineError as error:
        return False, str(error)
    try:
        run = subprocess.run([path, "--version"], capture_output=True, text=True, timeout=30)
    except OSError as error:
        # A kernel without 32-bit support refuses the 32-bit loader itself.
        return False, f"{path} cannot be started: {error.strerror}"
    if run.returncode != 0:
        return False, f"{path} --version failed: {(run.stderr or run.stdout).strip()}"
    return True, run.stdout.strip()


def environment(prefix: str, arch: str, base: dict[str, str] | None = None) -> dict[str, str]:
    env = dict(os.environ if base is None else base)
    for name in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLPATH", "WINELOADER", "WINESERVER"):
        env.pop(name, None)
    env.update(WINEPREFIX=prefix, WINEARCH=WINEARCH[arch], WINEDEBUG="-all",
               WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
    return env


def end_server(env: dict[str, str]) -> None:
    """Ends every Wine process of env's prefix and waits until they are gone."""
    server = wineserver()
    subprocess.run([server, "-k"], env=env, capture_output=True, timeout=30)
    subprocess.run([server, "-w"], env=env, capture_output=True, timeout=30)


def _stamp(arch: str) -> str:
    ok, version = probe(arch)
    if not ok:
        raise WineError(version)
    settings = hashlib.sha256(SETTINGS.encode()).hexdigest()[:16]
    return f"{version} {arch} {settings}\n"


def make(prefix: str, arch: str) -> bool:
    """Makes `prefix` unless an up-to-date one is there; True if it made one.
    A prefix from another Wine version would be updated on every start."""
    stamp = _stamp(arch)
    stamp_path = os.path.join(prefix, STAMP)
    if os.path.exists(stamp_path):
        with open(stamp_path) as existing:
            if existing.read() == stamp:
                return False
    parent = os.path.dirname(os.path.abspath(prefix))
    os.makedirs(parent, exist_ok=True)
    # Made beside its final place and renamed, so a broken attempt is never used.
    fresh = tempfile.mkdtemp(prefix=".prefix-", dir=parent)
    os.rmdir(fresh)  # Wine wants to create it itself
    env = environment(fresh, arch)
    try:
        wine = loader(arch)
        subprocess.run([wine, "wineboot", "--init"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)
        settings = os.path.join(fresh, "brantwicker-settings.reg")
        with open(settings, "w") as out:
            out.write(SETTINGS)
        subprocess.run([wine, "regedit", "/S", settings], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
        end_server(env)  # the registry reaches its files when the server ends
        with open(os.path.join(fresh, STAMP), "w") as out:
            out.write(stamp)
        if os.path.exists(prefix):
            shutil.rmtree(prefix)
        os.rename(fresh, prefix)
    except BaseException:
        with contextlib.suppress(Exception):
            end_server(env)
        shutil.rmtree(fresh, ignore_errors=True)
        raise
    return True


@contextlib.contextmanager
def private_copy(prefix: str, workdir: str):
    """Mounts a copy-on-write copy of `prefix` in `workdir` and yields its path.
    Needs a private mount namespace. Wine keys its server on the prefix
    directory, so each copy gets a server of its own, started by the first
    Wine process here, inside this process's namespaces."""
    if not os.path.exists(os.path.join(prefix, STAMP)):
        raise WineError(f"no prepared Wine prefix at {prefix}")
    mount_point = os.path.join(workdir, "prefix")
    for name in ("prefix", "prefix-upper", "prefix-work"):
        os.makedirs(os.path.join(workdir, name))
    options = (f"lowerdir={os.path.abspath(prefix)},upperdir={workdir}/prefix-upper,"
               f"workdir={workdir}/prefix-work")
    mounted = subprocess.run(["mount", "-t", "overlay", "overlay", "-o", options, mount_point],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        raise WineError(f"cannot mount a copy of the prefix: {mounted.stderr.strip()}")
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", "--lazy", mount_point], capture_output=True)


def session(prefix: str, command: list[str]) -> int:
    if os.environ.get(IN_SESSION) != "1":
        if shutil.which("unshare") is None:
            return main(["unavailable", "`unshare` (util-linux) is not installed"])
        probe_run = subprocess.run(["unshare", "-m", "true"], capture_output=True, text=True)
        if probe_run.returncode != 0:
            return main(["unavailable", "cannot create a mount namespace "
                         f"(unshare -m: {probe_run.stderr.strip()}); run as root"])
        env = dict(os.environ, **{IN_SESSION: "1"})
        return subprocess.run(["unshare", "-m", sys.executable, os.path.abspath(__file__),
                               "session", prefix, "--", *command], env=env).returncode
    arch = _prefix_arch(prefix)
    with tempfile.TemporaryDirectory(prefix="wine-session-") as workdir:
        with private_copy(prefix, workdir) as copy:
            env = environment(copy, arch)
            env.pop(IN_SESSION)
            try:
                # One server for the whole session, instead of a new one (and
                # Wine's service processes) for every program started in it.
                subprocess.run([wineserver(), "-p"], env=env, check=True, timeout=30)
                return subprocess.run(command, env=env).returncode
            finally:
                end_server(env)


def _prefix_arch(prefix: str) -> str:
    with open(os.path.join(prefix, STAMP)) as stamp:
        return stamp.read().split()[-2]


def normalise_newlines(data: bytes) -> bytes:
    return data.replace(b"\r\n", b"\n")


def exec_program(program: str, args: list[str]) -> int:
    if "WINEPREFIX" not in os.environ:
        raise WineError("WINEPREFIX is not set; run this inside a session")
    wine = loader(pe_arch(program))
    # Files, not pipes: Wine's service processes started by this program keep
    # its output open long after it has ended.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run([wine, program, *args], stdout=out, stderr=err).returncode
        for captured, stream in ((out, sys.stdout.buffer), (err, sys.stderr.buffer)):
            captured.seek(0)
            stream.write(normalise_newlines(captured.read()))
    return status


def main(argv: list[str]) -> int:
    if len(argv) >= 2 and argv[0] == "exec":
        return exec_program(os.path.abspath(argv[1]), argv[2:])
    if len(argv) == 2 and argv[0] == "unavailable":
        if os.environ.get("CI"):
            print(f"wine: FAILED: {argv[1]}; CI is set, so the Windows tests must run here")
            return 1
        print(f"wine: skipped: {argv[1]}")
        return 77
    if len(argv) == 3 and argv[0] == "probe" and argv[1] == "--arch":
        ok, why = probe(argv[2])
        print(why)
        return 0 if ok else 1
    if len(argv) == 4 and argv[0] == "make" and argv[2] == "--arch":
        made = make(argv[1], argv[3])
        print(f"{'made' if made else 'kept'} Wine prefix {argv[1]}")
        return 0
    if len(argv) >= 4 and argv[0] == "session" and argv[2] == "--":
        return session(argv[1], argv[3:])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except WineError as error:
        print(f"wine: {error}", file=sys.stderr)
        sys.exit(1)
