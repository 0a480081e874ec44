#!/usr/bin/env python3
"""Makes the release package of a build with cpack, inside the build tree,
and checks what it holds: the Windows zip, or the Debian package with its
desktop entry, the service and its systemd unit, man pages and completion,
and what lintian says of it (no error, no warning). Nothing is installed."""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile

# The most a release program may weigh, in bytes (--bound-sizes). The Windows
# programs are passed around in zips; each bound sits a little above what the
# program weighs today, so that it cannot grow back unseen.
SIZE_BOUNDS = {"brantwicker.exe": 200 * 1024, "brantwicker-md5.exe": 64 * 1024,
               "brantwicker": 64 * 1024, "brantwicker-md5": 32 * 1024}
# A Windows program needs only DLLs that every Windows has (the Universal C
# Runtime is also reached through its API sets), and is built for its
# subsystem: a windowed program must not open a console; the digest tool must
# have one.
SYSTEM_DLL = re.compile(r"(kernel32|user32|shell32|ws2_32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]+)\.dll")
WINDOWS_PROGRAMS = {"brantwicker.exe": "Windows GUI", "brantwicker-md5.exe": "Windows CUI"}
PROGRAMS = ["usr/bin/brantwicker", "usr/bin/brantwicker-md5", "usr/bin/brantwicker-service"]
DESKTOP = "usr/share/applications/brantwicker.desktop"
UNIT = "usr/lib/systemd/system/brantwicker-service.service"
# The Debian package's files, its control files in DEBIAN/.
MAN_PAGES = ["usr/share/man/man1/brantwicker.1.gz", "usr/share/man/man1/brantwicker-md5.1.gz",
             "usr/share/man/man8/brantwicker-service.8.gz"]
DEB_FILES = {*PROGRAMS, DESKTOP, UNIT, *MAN_PAGES, "usr/share/doc/brantwicker/README.md",
             "usr/share/doc/brantwicker/copyright", "usr/share/doc/brantwicker/changelog.gz",
             "usr/share/bash-completion/completions/brantwicker-service",
             "DEBIAN/control", "DEBIAN/md5sums", "DEBIAN/postinst"}


def deb_settings(version: str) -> dict[str, dict[str, str]]:
    """Per settings file, the pattern each key's values (one a line, "" for a
    key not set) must match."""
    return {
        # Depends names libc6, and adduser for postinst, in either order.
        "DEBIAN/control": {"Package": "brantwicker", "Version": re.escape(version),
                           "Depends": r"(?=.*\blibc6\b).*\badduser\b.*",
                           "Recommends": r".*\bclamav-daemon\b.*"},
        DESKTOP: {"Type": "Application", "Name": "Quellarion Brantwicker",
                  "Exec": "brantwicker %f", "MimeType": "application/octet-stream;"},
        # The service runs as its own user with the one capability for port 80,
        # on a read-only system but for its state directory.
        UNIT: {"User": "brantwicker-service", "AmbientCapabilities": "CAP_NET_BIND_SERVICE",
               "CapabilityBoundingSet": "CAP_NET_BIND_SERVICE", "NoNewPrivileges": "yes",
               "ProtectSystem": "strict", "ProtectHome": "yes", "PrivateTmp": "yes",
               "StateDirectory": "brantwicker-service", "ReadWritePaths": "",
               "ExecStart": "/usr/bin/brantwicker-service serve /var/lib/brantwicker-service/.+"
                            r" --clamd \$\{CLAMD\} \$OPTIONS",
               # Scanning is off until CLAMD= is set in the file below.
               "Environment": r".*\bCLAMD=(\s.*)?", "EnvironmentFile": "-/etc/default/brantwicker-service"},
    }


def settings_of(text: str) -> dict[str, str]:
    """KEY=VALUE lines (KEY: VALUE in a control file), a key's values one a line."""
    pairs = re.findall(r"^([\w-]+) *[=:] *(.*)$", text, re.MULTILINE)
    return {key: "\n".join(value for name, value in pairs if name == key) for key, _ in pairs}


def zip_problems(root: str, files: dict[str, bytes], version: str) -> list[str]:
    top = f"brantwicker-{version}-win32/"
    expected = {top + name for name in [*WINDOWS_PROGRAMS, "README.txt"]}
    if set(files) != expected:
        return [f"zip holds {sorted(files)}, expected {sorted(expected)}"]
    problems = []
    for name, subsystem in WINDOWS_PROGRAMS.items():
        headers = subprocess.run(["objdump", "-p", os.path.join(root, top, name)],
                                 capture_output=True, text=True).stdout
        dlls = re.findall(r"^\s*DLL Name: (\S+)$", headers, re.MULTILINE)
        problems += [f"{name} imports {dll}, which Windows does not provide" for dll in dlls
                     if not SYSTEM_DLL.fullmatch(dll.lower())]
        if not dlls or not re.search(rf"^Subsystem\s+\S+\s+\({subsystem}\)$", headers, re.M):
            problems.append(f"{name} is not a {subsystem} program importing system DLLs")
    readme = files[top + "README.txt"]
    if b"brantwicker.exe" not in readme or b"Send to" not in readme:
        problems.append("README.txt does not tell how to use brantwicker.exe")
    if readme.count(b"\n") != readme.count(b"\r\n") or b"@" in readme:
        problems.append("README.txt is not Windows text with its version filled in")
    return problems


def deb_problems(root: str, files: dict[str, bytes], version: str) -> list[str]:
    # The docs beside the read-me, whatever pages there are.
    docs = {name for name in files if name.startswith("usr/share/doc/brantwicker/docs/")}
    if "usr/share/doc/brantwicker/docs/service.md" not in docs:
        return ["the package does not hold the docs the read-me links to"]
    files = {name: data for name, data in files.items() if name not in docs}
    if set(files) != DEB_FILES:
        return [f"package holds {sorted(files)}, expected {sorted(DEB_FILES)}"]
    problems = [f"{name} is not an executable ELF program" for name in PROGRAMS
                if not os.access(os.path.join(root, name), os.X_OK)
                or not files[name].startswith(b"\x7fELF")]
    for name, wanted in deb_settings(version).items():
        settings = settings_of(files[name].decode())
        problems += [f"{name}: {key} is {value!r}, not {want!r}" for key, want in wanted.items()
                     if not re.fullmatch(want, value := settings.get(key, ""))]
    if b"adduser --system" not in files["DEBIAN/postinst"]:
        problems.append("postinst does not make the service's user")
    if b"adduser --quiet brantwicker-service clamav" not in files["DEBIAN/postinst"]:
        problems.append("postinst does not give the service's user clamd's group")
    return problems


def lintian_problems(package: pathlib.Path) -> list[str]:
    """lintian's errors and warnings on the package; an override the package
    carries must say why in a comment above it."""
    if not shutil.which("lintian"):
        if os.environ.get("CI"):
            return ["lintian is not installed (scripts/install-test-deps.sh installs it)"]
        print("lintian not installed: the package was not linted")
        return []
    said = subprocess.run(["lintian", "--tag-display-limit", "0", str(package)],
                          capture_output=True, text=True).stdout
    return [f"lintian: {line}" for line in said.splitlines() if re.match(r"[EW]: ", line)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--cpack", "--build-dir", "--version", "--generator"):
        parser.add_argument(option, required=True)
    parser.add_argument("--bound-sizes", action="store_true", help="hold programs to SIZE_BOUNDS")
    parser.add_argument("--lint", action="store_true", help="run lintian on a Debian package")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="package-test-", dir=options.build_dir) as out:
        subprocess.run([options.cpack, "-G", options.generator, "-B", out, "--config",
                        os.path.join(options.build_dir, "CPackConfig.cmake")], check=True)
        [package] = pathlib.Path(out).glob("*." + options.generator.lower())
        root = os.path.join(out, "unpacked")
        if options.generator == "ZIP":
            with zipfile.ZipFile(package) as archive:
                archive.extractall(root)
            check = zip_problems
        else:  # with its control files in DEBIAN/
            subprocess.run(["dpkg-deb", "--raw-extract", package, root], check=True)
            check = deb_problems
        files = {str(path.relative_to(root)): path.read_bytes()
                 for path in pathlib.Path(root).rglob("*") if path.is_file()}
        problems = check(root, files, options.version)
        if options.lint and options.generator == "DEB":
            problems += lintian_problems(package)
    if options.bound_sizes:
        problems += [f"{name} is {len(data)} bytes, more than its bound of {bound}"
                     for name, data in files.items()
                     if len(data) > (bound := SIZE_BOUNDS.get(os.path.basename(name), len(data)))]
    print(f"{package.name}: {'FAIL' if problems else 'ok'}", *problems, sep="\n  ")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
