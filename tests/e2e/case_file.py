"""Reads one lookup case file. The format is described in cases/README.md."""

import re
from dataclasses import dataclass

KEYS = {
    "run": {"args", "input_size", "desktop", "stdout_to", "env", "repeat"},
    "service": {"behaviour", "pause_ms"},
    "expect": {"stdout", "box", "open", "exit", "request", "page_contains"},
}
BEHAVIOURS = ("normal", "close", "reset", "no-listener", "no-hosts-entry", "real")
ESCAPES = {"r": b"\r", "n": b"\n", "t": b"\t", "0": b"\0", "\\": b"\\"}


class CaseError(Exception):
    pass


def decode(text: str, values: dict[str, str]) -> bytes:
    """Expands %repeat[N x TEXT]%, then the backslash escapes, then %NAME%."""
    text = re.sub(r"%repeat\[(\d+) x (.*?)\]%", lambda m: m.group(2) * int(m.group(1)), text)
    out = bytearray()
    pieces = iter(re.split(r"(\\x[0-9a-fA-F]{2}|\\.)", text))
    for plain in pieces:
        if "\\" in plain:
            raise CaseError(f"a lone backslash in {text!r}")
        out += plain.encode("utf-8", "surrogateescape")
        escape = next(pieces, None)
        if escape is None:
            break
        if escape.startswith("\\x"):
            out.append(int(escape[2:], 16))
        elif escape[1] in ESCAPES:
            out += ESCAPES[escape[1]]
        else:
            raise CaseError(f"unknown escape {escape!r}")

    def value(match: re.Match) -> bytes:
        name = match.group(1).decode()
        if name not in values:
            raise CaseError(f"unknown placeholder %{name}%")
        return values[name].encode("utf-8", "surrogateescape")
    return re.sub(rb"%([A-Z]+)%", value, bytes(out))


def decode_text(text: str, values: dict[str, str]) -> str:
    return decode(text, values).decode("utf-8", "surrogateescape")


@dataclass
class Case:
    name: str
    settings: dict[str, dict[str, list[str]]]  # section -> key -> values, in order
    replies: list[str]  # undecoded reply pieces
    store: list[str]  # undecoded hash-list lines for the real service

    def get(self, section: str, key: str, default: str | None = None) -> str:
        found = self.settings[section].get(key)
        if found:
            return found[-1]
        if default is None:
            raise CaseError(f"[{section}] needs {key}")
        return default

    def choice(self, section: str, key: str, choices: tuple[str, ...],
               default: str | None = None) -> str:
        value = self.get(section, key, default)
        if value not in choices:
            raise CaseError(f"[{section}] {key} must be one of {', '.join(choices)}")
        return value

    def all(self, section: str, key: str) -> list[str]:
        return self.settings[section].get(key, [])


def load_case(path: str, name: str) -> Case:
    settings: dict[str, dict[str, list[str]]] = {section: {} for section in KEYS}
    replies: list[str] = []
    store: list[str] = []
    section = None
    with open(path, encoding="utf-8", newline="") as lines:
        for number, line in enumerate(lines, 1):
            line = line.rstrip("\r\n")
            where = f"{path}:{number}"
            header = re.fullmatch(r"\[(\w+)\]", line)
            if header:
                section = header.group(1)
                if section == "reply":
                    replies.append("")
                elif section not in KEYS and section != "store":
                    raise CaseError(f"{where}: unknown section [{section}]")
            elif section == "reply":
                replies[-1] += line
            elif section == "store":
                if line.strip() and not line.startswith("#"):
                    store.append(line)
            elif not line.strip() or line.startswith("#"):
                continue
            elif section is None:
                raise CaseError(f"{where}: text before the first section")
            else:
                key, sep, value = line.partition("=")
                key = key.strip()
                if not sep or key not in KEYS[section]:
                    raise CaseError(f"{where}: [{section}] has no key {key!r}")
                settings[section].setdefault(key, []).append(value.strip())
    case = Case(name, settings, replies, store)
    behaviour = case.choice("service", "behaviour", BEHAVIOURS)
    if (behaviour == "normal") != bool(replies):
        raise CaseError(f"{path}: [reply] sections go with behaviour normal, and only with it")
    if behaviour != "real" and (store or case.all("expect", "page_contains")):
        raise CaseError(f"{path}: [store] and page_contains go with behaviour real only")
    if behaviour == "real" and case.all("expect", "request"):
        raise CaseError(f"{path}: the real service records no request; drop `request`")
    return case
