#!/usr/bin/env python3
"""The built programs' command lines as a user meets them, and their man
pages beside them: --help and --version everywhere (exit 0, on standard
output), a wrong use said first and then pointed at --help, and every option
of a program's help in its man page and back, subcommand by subcommand.

And the bash completion, which reads the same help, completing subcommands,
options, formats and choices.

  command_line_test.py --bin DIR --man DIR --version VERSION [--completion FILE]"""

import argparse
import os
import re
import subprocess
import sys

# Program, its man page, and the status of a wrong use.
PROGRAMS = {"brantwicker-service": ("brantwicker-service.8", 2),
            "brantwicker-md5": ("brantwicker-md5.1", 1),
            "brantwicker": ("brantwicker.1", None)}  # every outcome is 0
OPTION = re.compile(r"--[a-z0-9][a-z0-9-]*")


def run(argv: list[str]) -> subprocess.CompletedProcess:
    return subprocess.run(argv, capture_output=True, text=True, timeout=30,
                          stdin=subprocess.DEVNULL)


def man_text(path: str) -> str:
    """The page's source with troff's escaped hyphens as plain ones."""
    return open(path, encoding="utf-8").read().replace("\\-", "-")


def sections(page: str) -> dict[str, str]:
    """The text of each .SS section, by the subcommand it is named after."""
    found = {}
    for match in re.finditer(r'^\.SS "([a-z-]+)(.*?)(?=^\.S[SH] )', page, re.M | re.S):
        found[match[1]] = match[2]
    return found


def check(bin_dir: str, man_dir: str, version: str) -> list[str]:
    problems = []

    def expect(argv, status, out, err_first=None, err_last=None):
        got = run([f"{bin_dir}/{argv[0]}", *argv[1:]])
        first, last = (got.stderr.splitlines() or [""])[0], (got.stderr.splitlines() or [""])[-1]
        if (got.returncode != status or not re.search(out, got.stdout)
                or (err_first is None and got.stderr)
                or (err_first is not None and err_first not in first)
                or (err_last is not None and err_last not in last)):
            problems.append(f"{' '.join(argv)}: status {got.returncode}, stdout "
                            f"{got.stdout[:120]!r}, stderr {got.stderr[:200]!r}")
        return got.stdout

    for program, (page_name, wrong) in PROGRAMS.items():
        page = man_text(f"{man_dir}/{page_name}")
        expect([program, "--version"], 0, rf"^{re.escape(program)} {re.escape(version)}\n$")
        helps = {"": expect([program, "--help"], 0, r"^usage: ")}
        if program == "brantwicker-service":
            subcommands = re.findall(r"^  ([a-z][a-z-]*) ", helps[""].split("subcommands:")[1], re.M)
            by_section = sections(page)
            if sorted(subcommands) != sorted(by_section):
                problems.append(f"{page_name}: sections {sorted(by_section)}, "
                                f"subcommands {sorted(subcommands)}")
            for name in subcommands:
                helps[name] = expect([program, name, "--help"], 0, rf"^usage: {program} {name} ")
                expect([program, name, "--version"], 0, rf"^{program} {re.escape(version)}\n$")
                expect([program, name, "--bogus"], 2, "^$", f"{name}: unknown option --bogus",
                       f"'{program} {name} --help'")
                missing = set(OPTION.findall(helps[name])) - set(OPTION.findall(
                    by_section.get(name, "")))
                if missing:
                    problems.append(f"{page_name}: {name}'s section lacks {sorted(missing)}")
            expect([program], 2, "^$", "no subcommand given", f"'{program} --help'")
            expect([program, "serve", "store.db", "--threads"], 2, "^$",
                   "serve: --threads needs a value", "--help")
            expect([program, "import", "store.db", "--format", "rds"], 2, "^$",
                   "import: no list given (FILE)", "--help")
        elif wrong is not None:
            expect([program, "--bogus"], wrong, "^$", "md5:001:", f"'{program} --help'")
        in_help = set().union(*(OPTION.findall(text) for text in helps.values()))
        in_page = set(OPTION.findall(page))
        for what, names in (("in --help but not in", in_help - in_page),
                            ("in the man page but not in --help of", in_page - in_help)):
            if names:
                problems.append(f"{page_name}: {sorted(names)} {what} {program}")
    # The desktop program looks up any other argument as a file, whatever it looks like.
    got = run([f"{bin_dir}/brantwicker", "--bogus"])
    if got.returncode != 0 or got.stdout != "Error: FileName='--bogus' -- No such file or directory\n":
        problems.append(f"brantwicker --bogus: {got.returncode} {got.stdout!r}")
    return problems


# What bash offers after each line, cursor at its end.
COMPLETIONS = {"brantwicker-service se": "serve",
               "brantwicker-service import db --f": "--format",
               "brantwicker-service import db --format v": "virusshare",
               "brantwicker-service import db --format=rd": "rds",
               "brantwicker-service import db --verdict ": "good bad",
               "brantwicker-service serve db --unknown-top ": "off",
               "brantwicker-service serve db --scan-t": "--scan-timeout",
               "brantwicker-service serve db --threads ": "",
               "brantwicker-service stats --c": "--clamd"}
COMPLETE = """source /usr/share/bash-completion/bash_completion
source "$1"
COMP_LINE=$2 COMP_POINT=${#2}
read -ra COMP_WORDS <<<"$2"
[[ $2 == *" " ]] && COMP_WORDS+=("")
if [[ $2 == *=* ]]; then  # bash parts a word at "=" too
  COMP_WORDS=(${2%%=*} = "${2#*=}")
fi
COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
_brantwicker_service brantwicker-service "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
echo "${COMPREPLY[*]}"
"""


def completion_problems(script: str, bin_dir: str) -> list[str]:
    problems = []
    env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ.get("PATH", ""))
    for line, wanted in COMPLETIONS.items():
        got = subprocess.run(["bash", "-c", COMPLETE, "complete", script, line], env=env,
                             capture_output=True, text=True, timeout=30)
        if got.stdout.strip() != wanted or got.returncode != 0:
            problems.append(f"completing {line!r}: {got.stdout.strip()!r} {got.stderr[-200:]!r}, "
                            f"not {wanted!r}")
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for option in ("--bin", "--man", "--version"):
        parser.add_argument(option, required=True)
    parser.add_argument("--completion")
    options = parser.parse_args()
    problems = check(options.bin, options.man, options.version)
    if options.completion:
        problems += completion_problems(options.completion, os.path.abspath(options.bin))
    print(*problems, sep="\n")
    print(f"{len(problems)} problems" if problems else "ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
