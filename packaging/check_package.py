#!/usr/bin/env python3
"""Makes the release package of a build with cpack, inside the build tree,
and checks what it holds: the Windows zip, or the Debian package with its
desktop entry, the service and its systemd unit. Nothing is installed.

usage: check_package.py --cpack CPACK --build-dir DIR --version V --generator ZIP|DEB
                        [--bound-sizes]"""

import argparse
import glob
import io
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile

# The most a release program may weigh, in bytes (--bound-sizes). The Windows
# programs are passed around in zips; each bound sits a little above what the
# program weighs today, so that it cannot grow back unseen.
SIZE_BOUNDS = {"brantwicker.exe": 200 * 1024, "brantwicker-md5.exe": 64 * 1024,
               "brantwicker": 64 * 1024, "brantwicker-md5": 32 * 1024}
PROGRAMS = ["./usr/bin/brantwicker", "./usr/bin/brantwicker-md5", "./usr/bin/brantwicker-service"]
DESKTOP = "./usr/share/applications/brantwicker.desktop"
UNIT = "./usr/lib/systemd/system/brantwicker-service.service"
DESKTOP_ENTRY = {"Type": ["Application"], "Name": ["Quellarion Brantwicker"],
                 "Exec": ["brantwicker %f"], "MimeType": ["application/octet-stream;"]}
# The service runs as its own user with the one capability for port 80, on a
# read-only system but for its state directory (no ReadWritePaths).
UNIT_SETTINGS = {"User": ["brantwicker-service"],
                 "AmbientCapabilities": ["CAP_NET_BIND_SERVICE"],
                 "CapabilityBoundingSet": ["CAP_NET_BIND_SERVICE"],
                 "NoNewPrivileges": ["yes"], "ProtectSystem": ["strict"],
                 "ProtectHome": ["yes"], "PrivateTmp": ["yes"],
                 "StateDirectory": ["brantwicker-service"], "ReadWritePaths": None}
SERVE = "/usr/bin/brantwicker-service serve /var/lib/brantwicker-service/"


def make_package(cpack: str, build_dir: str, generator: str) -> str:
    out = os.path.join(build_dir, "package-test")
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run([cpack, "-G", generator, "-B", out,
                    "--config", os.path.join(build_dir, "CPackConfig.cmake")],
                   check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    made = glob.glob(os.path.join(out, "*." + generator.lower()))
    if len(made) != 1:
        raise SystemExit(f"cpack made {made!r}, expected one {generator} package")
    return made[0]


def over_bound(files: dict[str, bytes], bounds: dict[str, int]) -> list[str]:
    return [f"{name} is {len(data)} bytes, more than its bound of {bound}"
            for name, data in files.items()
            if len(data) > (bound := bounds.get(os.path.basename(name), len(data)))]


def settings_of(text: str) -> dict[str, list[str]]:
    """The KEY=VALUE lines of a desktop entry or a unit, each key's values in order."""
    settings: dict[str, list[str]] = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep and not line.startswith("#"):
            settings.setdefault(key.strip(), []).append(value.strip())
    return settings


def differ(what: str, settings: dict[str, list[str]], wanted: dict) -> list[str]:
    return [f"{what}: {key} is {settings.get(key)!r}, expected {want!r}"
            for key, want in wanted.items() if settings.get(key) != want]


def check_zip(path: str, version: str, bounds: dict[str, int]) -> list[str]:
    top = f"brantwicker-{version}-win32/"
    with zipfile.ZipFile(path) as archive:
        files = {name: archive.read(name) for name in archive.namelist() if not name.endswith("/")}
    expected = {top + name for name in ("brantwicker.exe", "brantwicker-md5.exe", "README.txt")}
    if set(files) != expected:
        return [f"zip holds {sorted(files)}, expected {sorted(expected)}"]
    problems = [f"{name} is not a Windows program" for name in files
                if name.endswith(".exe") and not files[name].startswith(b"MZ")]
    readme = files[top + "README.txt"]
    if b"brantwicker.exe" not in readme or b"Send to" not in readme:
        problems.append("README.txt does not tell how to use brantwicker.exe")
    if readme.count(b"\n") != readme.count(b"\r\n") or b"@" in readme:
        problems.append("README.txt is not Windows text with its version filled in")
    return problems + over_bound(files, bounds)


def check_deb(path: str, version: str, bounds: dict[str, int]) -> list[str]:
    def dpkg_deb(*args: str, check: bool = True) -> bytes:
        return subprocess.run(["dpkg-deb", *args], check=check, capture_output=True).stdout
    fields = dict(line.split(": ", 1) for line in dpkg_deb("-f", path).decode().splitlines()
                  if ": " in line)
    problems = [f"{field} is {fields.get(field)!r}, expected {want!r}"
                for field, want in (("Package", "brantwicker"), ("Version", version))
                if fields.get(field) != want]
    if "libc6" not in fields.get("Depends", ""):
        problems.append(f"Depends {fields.get('Depends')!r} does not name libc6")
    if ("adduser --system" not in dpkg_deb("--info", path, "postinst", check=False).decode()
            or "adduser" not in fields.get("Depends", "")):
        problems.append("no postinst that makes the service's user, or no Depends on adduser")

    with tarfile.open(fileobj=io.BytesIO(dpkg_deb("--fsys-tarfile", path))) as tar:
        members = {member.name: member for member in tar.getmembers() if not member.isdir()}
        files = {name: tar.extractfile(member).read() for name, member in members.items()}
    expected = {*PROGRAMS, UNIT, DESKTOP, "./usr/share/doc/brantwicker/README.md"}
    if set(files) != expected:
        return problems + [f"package holds {sorted(files)}, expected {sorted(expected)}"]
    problems += [f"{name} is not an executable ELF program" for name in PROGRAMS
                 if not members[name].mode & 0o111 or not files[name].startswith(b"\x7fELF")]
    problems += differ("desktop entry", settings_of(files[DESKTOP].decode()), DESKTOP_ENTRY)
    unit = settings_of(files[UNIT].decode())
    problems += differ("unit", unit, UNIT_SETTINGS)
    if not any(start.startswith(SERVE) for start in unit.get("ExecStart", [])):
        problems.append(f"unit: ExecStart {unit.get('ExecStart')!r} serves no store in its state directory")
    return problems + over_bound(files, bounds)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--build-dir", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--generator", choices=("ZIP", "DEB"), required=True)
    parser.add_argument("--bound-sizes", action="store_true",
                        help="hold the programs to SIZE_BOUNDS (release builds)")
    options = parser.parse_args()

    package = make_package(options.cpack, options.build_dir, options.generator)
    check = check_zip if options.generator == "ZIP" else check_deb
    problems = check(package, options.version, SIZE_BOUNDS if options.bound_sizes else {})
    print(f"{package}: {'FAIL' if problems else 'ok'}")
    for problem in problems:
        print(f"  {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
