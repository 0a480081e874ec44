"""What a launcher saw of one run of a program, in terms that every platform
shares, so that one set of cases serves the native and the Windows build."""

from dataclasses import dataclass, field


@dataclass
class Observation:
    exit_status: int
    stdout: bytes  # line endings normalised to LF by the launcher
    # (title, text, icon flags) in the order shown; flags are None where the
    # launcher can see a box but not its icon.
    boxes: list[tuple[str, str, int | None]]
    opened: list[str]  # addresses handed to the browser, in order
    # Anything the launcher could not account for: stray standard-error lines,
    # boxes told one way and shown another, a browser given odd arguments.
    stray: list[str] = field(default_factory=list)
