#!/usr/bin/env python3
"""The Windows installer as a user meets it, under Wine, on a copy of the
prepared prefix: a quiet install, then its files, its "Send to" shortcut, the
verb on every file's menu and its "Apps and features" entry; the verb's
command run on a file against the fake service (a lookup case); an upgrade
to a newer version made from the same source; and an uninstall that leaves
no file and no registry key behind.

  msi_test.py --msi FILE --wixl WIXL --wxs FILE --stage DIR --version V
              --prefix PREFIX --case FILE --host HOST [--program64 EXE]

--stage is the folder the build made the installer from; --program64, where
the kernel runs no 32-bit code, is the x86-64 build of the same program,
which takes the installed one's place while the verb is run."""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

import wine_prefix

NAME = "Quellarion Brantwicker"
FILES = {"brantwicker.exe", "brantwicker-md5.exe", "README.txt"}
SHORTCUT = "Look up with Brantwicker.lnk"
VERB = r"HKCR\*\shell\Brantwicker"
UNINSTALL = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
RUN_CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e", "run_cases.py")


class Prefix:
    """A prefix of our own, and Wine's programs run in it."""

    def __init__(self, path: str, arch: str):
        self.path, self.arch = path, arch
        self.started = False
        self.env = wine_prefix.environment(path, arch)
        # A 32-bit package's files go where 32-bit programs live.
        self.program_files = "Program Files (x86)" if arch == "amd64" else "Program Files"

    def wine(self, *args: str) -> subprocess.CompletedProcess:
        return subprocess.run([wine_prefix.LOADERS[self.arch], *args], env=self.env,
                              capture_output=True, timeout=300)

    def msiexec(self, action: str, package: str) -> str | None:
        done = self.wine("msiexec", action, "Z:" + package.replace("/", "\\"), "/qn")
        if done.returncode != 0 and action == "/i" and not self.started:
            # Seen once in many runs: Wine's very first start in a fresh copy
            # of the prefix fails at once. Its server is ended and the same
            # install asked again; a package that does not install still
            # fails the second time, with what Wine said.
            print(f"msiexec {action}: {done.returncode} at Wine's first start; asked again",
                  flush=True)
            self.settle()
            done = self.wine("msiexec", action, "Z:" + package.replace("/", "\\"), "/qn")
        self.started = True
        if done.returncode == 0:
            return None
        said = (done.stdout + done.stderr).decode("utf-8", "replace").strip()[-2000:]
        return f"msiexec {action} {package}: {done.returncode}" + (f"\n{said}" if said else "")

    def reg_values(self, key: str, *more: str) -> str:
        """`reg query` of the 32-bit view, as text ("" when the key is not there)."""
        done = self.wine("reg", "query", key, *more, "/reg:32")
        return done.stdout.decode("utf-8", "replace").replace("\r\n", "\n") \
            if done.returncode == 0 else ""

    def settle(self) -> None:
        """Ends Wine in the prefix, so that its registry reaches its files."""
        wine_prefix.end_server(self.env)

    def drive_files(self) -> set[str]:
        drive = pathlib.Path(self.path, "drive_c")
        return {str(path.relative_to(drive)) for path in drive.rglob("*")}

    def registry_mentions(self) -> list[str]:
        return [f"{reg.name}: {line.strip()}" for reg in pathlib.Path(self.path).glob("*.reg")
                for line in reg.read_text(errors="replace").splitlines()
                if "brantwicker" in line.lower()]


def default_value(text: str) -> str | None:
    found = re.search(r"^\s+\(Default\)\s+REG_SZ\s+(.*)$", text, re.M)
    return found[1] if found else None


def installed_problems(prefix: Prefix, version: str, stage: str) -> list[str]:
    problems = []
    folder = pathlib.Path(prefix.path, "drive_c", prefix.program_files, "Brantwicker")
    present = {path.name for path in folder.iterdir()} if folder.is_dir() else set()
    if present != FILES:
        problems.append(f"{folder} holds {sorted(present)}, not {sorted(FILES)}")
    problems += [f"{name} is not the one built" for name in FILES & present
                 if (folder / name).read_bytes() != pathlib.Path(stage, name).read_bytes()]
    links = list(pathlib.Path(prefix.path, "drive_c", "users").glob(
        f"*/AppData/Roaming/Microsoft/Windows/SendTo/{SHORTCUT}"))
    if len(links) != 1 or b"b\0r\0a\0n\0t\0w\0i\0c\0k\0e\0r\0.\0e\0x\0e" not in links[0].read_bytes() \
            and b"brantwicker.exe" not in links[0].read_bytes():
        problems.append(f"Send to shortcut: {links!r}, not one shortcut to brantwicker.exe")
    program = f"C:\\{prefix.program_files}\\Brantwicker\\brantwicker.exe"
    verbs = {VERB: "Look up with Brantwicker", VERB + r"\command": f'"{program}" "%1"'}
    for key, wanted in verbs.items():
        got = default_value(prefix.reg_values(key, "/ve"))
        if got != wanted:
            problems.append(f"{key}: {got!r}, not {wanted!r}")
    entries = [block for block in prefix.reg_values(UNINSTALL, "/s").split("\n\n")
               if re.search(rf"^\s+DisplayName\s+REG_SZ\s+{NAME}$", block, re.M)]
    versions = [re.findall(r"^\s+DisplayVersion\s+REG_SZ\s+(\S+)$", block, re.M) for block in entries]
    if versions != [[version]]:
        problems.append(f"Apps and features: {NAME} with versions {versions}, not one {version}")
    return problems


def verb_problems(prefix: Prefix, options) -> list[str]:
    """Runs the installed program as the verb does, on a case's file against the
    fake service; the x86-64 build stands in for it where 32-bit code cannot run."""
    installed = pathlib.Path(prefix.path, "drive_c", prefix.program_files, "Brantwicker",
                             "brantwicker.exe")
    original = installed.read_bytes()
    if options.program64:
        shutil.copyfile(options.program64, installed)
    prefix.settle()
    try:
        run = subprocess.run(
            [sys.executable, RUN_CASES, "--launcher", "wine", "--host", options.host,
             "--program", f"C:\\{prefix.program_files}\\Brantwicker\\brantwicker.exe",
             options.case],
            env=dict(os.environ, BRANTWICKER_WINE_PREFIX=prefix.path),
            capture_output=True, text=True, timeout=300)
    finally:
        installed.write_bytes(original)
    if run.returncode == 77:
        raise SystemExit(77)
    return [] if run.returncode == 0 else [f"the verb's run: {run.stdout}{run.stderr}"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--msi", "--wixl", "--wxs", "--stage", "--version", "--prefix", "--case",
                   "--host"):
        parser.add_argument(option, required=True)
    parser.add_argument("--program64")
    options = parser.parse_args()
    numbers = options.version.split(".")
    newer = ".".join(numbers[:-1] + [str(int(numbers[-1]) + 1)])

    with tempfile.TemporaryDirectory(prefix="msi-test-") as workdir:
        prefix = Prefix(os.path.join(workdir, "prefix"), wine_prefix.prefix_arch(options.prefix))
        subprocess.run(["cp", "-a", "--reflink=auto", options.prefix, prefix.path], check=True)
        upgrade = os.path.join(workdir, f"brantwicker-{newer}-win32.msi")
        subprocess.run([options.wixl, "-a", "x86", "-D", f"Version={newer}", "-o", upgrade,
                        os.path.abspath(options.wxs)], cwd=options.stage, check=True)
        before, said_before = prefix.drive_files(), prefix.registry_mentions()
        problems = []
        try:
            steps = [("install", lambda: [prefix.msiexec("/i", options.msi)]),
                     ("installed", lambda: installed_problems(prefix, options.version,
                                                              options.stage)),
                     ("verb", lambda: verb_problems(prefix, options)),
                     ("upgrade", lambda: [prefix.msiexec("/i", upgrade)]),
                     ("upgraded", lambda: installed_problems(prefix, newer, options.stage)),
                     ("uninstall", lambda: [prefix.msiexec("/x", upgrade)])]
            for step, run in steps:
                found = [problem for problem in run() if problem]
                problems += [f"{step}: {problem}" for problem in found]
                print(f"{step}: {'FAIL' if found else 'ok'}", flush=True)
                if found and step in ("install", "upgrade"):
                    break
        finally:
            prefix.settle()
        # Windows Installer's own cache folder, made at the first install, is
        # Windows'; anything in it would be ours.
        left = sorted(prefix.drive_files() - before - {"windows/Installer"})
        said = [line for line in prefix.registry_mentions() if line not in said_before]
        if not problems:
            problems += [f"left after uninstall: {path}" for path in left]
            problems += [f"left in the registry: {line}" for line in said]
    print(*problems, sep="\n")
    print(f"{len(problems)} problems" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
