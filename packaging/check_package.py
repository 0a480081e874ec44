#!/usr/bin/env python3
"""Makes the release package of a build with cpack, inside the build tree,
and checks what it holds: the Windows zip, or the Debian package with its
desktop entry, the service and its systemd unit. Nothing is installed.

usage: check_package.py --cpack CPACK --build-dir DIR --version V --generator ZIP|DEB
                        [--bound-sizes]"""

import argparse
import configparser
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
UNIT = "./usr/lib/systemd/system/brantwicker-service.service"

SIZE_BOUNDS = {"brantwicker.exe": 200 * 1024, "brantwicker-md5.exe": 64 * 1024,
               "brantwicker": 64 * 1024, "brantwicker-md5": 32 * 1024}


def make_package(cpack: str, build_dir: str, generator: str) -> str:
    out = os.path.join(build_dir, "package-test")
    shutil.rmtree(out, ignore_errors=True)
    subprocess.run([cpack, "-G", generator, "-B", out,
                    "--config", os.path.join(build_dir, "CPackConfig.cmake")],
                   check=True, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    suffix = {"ZIP": ".zip", "DEB": ".deb"}[generator]
    made = glob.glob(os.path.join(out, "*" + suffix))
    if len(made) != 1:
        raise SystemExit(f"cpack made {made!r}, expected one {suffix} package")
    return made[0]


def over_bound(name: str, size: int, bounds: dict[str, int]) -> list[str]:
    bound = bounds.get(os.path.basename(name))
    if bound is None or size <= bound:
        return []
    return [f"{name} is {size} bytes, more than its bound of {bound}"]


def check_zip(path: str, version: str, bounds: dict[str, int]) -> list[str]:
    problems = []
    with zipfile.ZipFile(path) as archive:
        names = {name for name in archive.namelist() if not name.endswith("/")}
        top = f"brantwicker-{version}-win32/"
        expected = {top + name for name in ("brantwicker.exe", "brantwicker-md5.exe", "README.txt")}
        if names != expected:
            problems.append(f"zip holds {sorted(names)}, expected {sorted(expected)}")
            return problems
        readme = archive.read(top + "README.txt")
        for program in expected - {top + "README.txt"}:
            if archive.read(program)[:2] != b"MZ":
                problems.append(f"{program} is not a Windows program")
            problems += over_bound(program, archive.getinfo(program).file_size, bounds)
    if b"brantwicker.exe" not in readme or b"Send to" not in readme:
        problems.append("README.txt does not tell how to use brantwicker.exe")
    if readme.count(b"\n") != readme.count(b"\r\n") or b"@" in readme:
        problems.append("README.txt is not Windows text with its version filled in")
    return problems


def check_deb(path: str, version: str, bounds: dict[str, int]) -> list[str]:
    problems = []
    info = subprocess.run(["dpkg-deb", "-f", path], check=True, capture_output=True,
                          text=True).stdout
    fields = dict(line.split(": ", 1) for line in info.splitlines() if ": " in line)
    for field, want in (("Package", "brantwicker"), ("Version", version)):
        if fields.get(field) != want:
            problems.append(f"{field} is {fields.get(field)!r}, expected {want!r}")
    if "libc6" not in fields.get("Depends", ""):
        problems.append(f"Depends {fields.get('Depends')!r} does not name libc6")

    expected = {"./usr/bin/brantwicker", "./usr/bin/brantwicker-md5",
                "./usr/bin/brantwicker-service", UNIT,
                "./usr/share/applications/brantwicker.desktop",
                "./usr/share/doc/brantwicker/README.md"}
    tar_bytes = subprocess.run(["dpkg-deb", "--fsys-tarfile", path], check=True,
                               capture_output=True).stdout
    with tarfile.open(fileobj=io.BytesIO(tar_bytes)) as tar:
        members = {member.name: member for member in tar.getmembers()}
        files = {name for name, member in members.items() if not member.isdir()}
        if files != expected:
            problems.append(f"package holds {sorted(files)}, expected {sorted(expected)}")
            return problems
        for program in ("./usr/bin/brantwicker", "./usr/bin/brantwicker-md5",
                        "./usr/bin/brantwicker-service"):
            if not members[program].mode & 0o111:
                problems.append(f"{program} is not executable")
            problems += over_bound(program, members[program].size, bounds)
        problems += check_unit(tar.extractfile(members[UNIT]).read().decode())
        desktop = tar.extractfile(members["./usr/share/applications/brantwicker.desktop"])
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read_string(desktop.read().decode())
    section = entry["Desktop Entry"] if entry.has_section("Desktop Entry") else {}
    for key, want in (("Type", "Application"), ("Name", "Quellarion Brantwicker"),
                      ("Exec", "brantwicker %f"), ("MimeType", "application/octet-stream;")):
        if section.get(key) != want:
            problems.append(f"desktop entry {key} is {section.get(key)!r}, expected {want!r}")
    postinst = subprocess.run(["dpkg-deb", "--info", path, "postinst"], capture_output=True,
                              text=True).stdout
    if "adduser --system" not in postinst or "adduser" not in fields.get("Depends", ""):
        problems.append("no postinst that makes the service's user, or no Depends on adduser")
    return problems


def check_unit(text: str) -> list[str]:
    """The service runs as its own user with the one capability for port 80,
    on a read-only system but for its state directory."""
    settings: dict[str, list[str]] = {}
    for line in text.splitlines():
        key, sep, value = line.partition("=")
        if sep and not line.startswith("#"):
            settings.setdefault(key.strip(), []).append(value.strip())
    wanted = {"User": ["brantwicker-service"],
              "AmbientCapabilities": ["CAP_NET_BIND_SERVICE"],
              "CapabilityBoundingSet": ["CAP_NET_BIND_SERVICE"],
              "NoNewPrivileges": ["yes"], "ProtectSystem": ["strict"],
              "ProtectHome": ["yes"], "PrivateTmp": ["yes"],
              "StateDirectory": ["brantwicker-service"]}
    problems = [f"unit: {key} is {settings.get(key)!r}, expected {want!r}"
                for key, want in wanted.items() if settings.get(key) != want]
    if not any(exec_start.startswith("/usr/bin/brantwicker-service serve /var/lib/brantwicker-service/")
               for exec_start in settings.get("ExecStart", [])):
        problems.append(f"unit: ExecStart {settings.get('ExecStart')!r} serves no store in its state directory")
    if "ReadWritePaths" in settings:
        problems.append("unit: ReadWritePaths opens more than the state directory")
    return problems


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
