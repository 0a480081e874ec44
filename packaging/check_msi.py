#!/usr/bin/env python3
"""Makes the Windows installer from packaging/brantwicker.wxs with wixl, over
stand-in files, and reads its tables back with msiinfo: a 32-bit package,
the programs under Program Files, the "Send to" shortcut and the verb on
every file handing the program the file's path, and the upgrade of any
older release. The Wine test installs the real one; this one needs no Wine.

  check_msi.py WXS"""

import os
import subprocess
import sys
import tempfile

# Every released installer carries this code: a new one would install beside
# the old versions instead of replacing them.
UPGRADE_CODE = "{6A0E3D52-6F0B-4C1E-9B8C-2E5B7F41C0D3}"
FILES = {"brantwicker.exe", "brantwicker-md5.exe", "README.txt"}
PROGRAM = "[INSTALLDIR]brantwicker.exe"


def rows(msi: str, table: str) -> list[list[str]]:
    """A table's rows, below its three lines of names, types and key."""
    text = subprocess.run(["msiinfo", "export", msi, table], capture_output=True, text=True,
                          check=True).stdout
    return [line.split("\t") for line in text.replace("\r\n", "\n").splitlines()[3:]]


def problems_of(msi: str) -> list[str]:
    problems = []
    summary = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True,
                             check=True).stdout
    if "Template: Intel;" not in summary:
        problems.append("not a 32-bit package")
    properties = {row[0]: row[1] for row in rows(msi, "Property")}
    if properties.get("UpgradeCode") != UPGRADE_CODE:
        problems.append(f"UpgradeCode {properties.get('UpgradeCode')}, not {UPGRADE_CODE}")
    upgrades = [row for row in rows(msi, "Upgrade") if row[0] == UPGRADE_CODE]
    # An older version is found (VersionMax, the new one, not included) and removed.
    if not any(row[2] == "1.0.0" and row[1] == "" and not int(row[4]) & 512 for row in upgrades) \
            or "RemoveExistingProducts" not in {row[0] for row in rows(msi, "InstallExecuteSequence")}:
        problems.append(f"an older version is not replaced: {upgrades}")
    directories = {row[0]: row[1] for row in rows(msi, "Directory")}
    components = {row[0]: row[2] for row in rows(msi, "Component")}
    files = {row[2].split("|")[-1]: components[row[1]] for row in rows(msi, "File")}
    if set(files) != FILES or {files[name] for name in FILES} != {"INSTALLDIR"} \
            or directories.get("INSTALLDIR") != "ProgramFilesFolder":
        problems.append(f"files {files} are not all in Program Files")
    shortcuts = [(row[1], row[2].split("|")[-1], row[4], row[5]) for row in rows(msi, "Shortcut")]
    if shortcuts != [("SendToFolder", "Look up with Brantwicker", PROGRAM, "")]:
        problems.append(f"shortcuts {shortcuts}, not one in Send to")
    registry = {(row[1], row[2], row[3]): row[4] for row in rows(msi, "Registry")}
    verb = {("0", r"*\shell\Brantwicker", ""): "Look up with Brantwicker",
            ("0", r"*\shell\Brantwicker\command", ""): f'"{PROGRAM}" "%1"'}
    problems += [f"HKCR\\{key}: {registry.get((root, key, name))!r}, not {value!r}"
                 for (root, key, name), value in verb.items()
                 if registry.get((root, key, name)) != value]
    return problems


def main() -> int:
    wxs = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="msi-tables-") as stage:
        for name in FILES:
            with open(os.path.join(stage, name), "w") as stand_in:
                stand_in.write(name)
        msi = os.path.join(stage, "brantwicker.msi")
        subprocess.run(["wixl", "-a", "x86", "-D", "Version=1.0.0", "-o", msi, wxs],
                       cwd=stage, check=True)
        problems = problems_of(msi)
    print(*problems, sep="\n")
    print(f"{len(problems)} problems" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
