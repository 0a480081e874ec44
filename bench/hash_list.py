#!/usr/bin/env python3
"""Writes a made-up hash list for the benchmarks: COUNT md5sum lines (random
digests, names shaped like a distribution's paths), the same every run, and
optionally the same lines as CSV.

usage: hash_list.py COUNT MD5SUM_FILE [CSV_FILE]"""

import random
import sys

DIRS = ["usr/bin", "usr/lib/x86_64-linux-gnu", "usr/share/doc", "usr/share/locale/de/LC_MESSAGES",
        "usr/share/man/man1", "usr/lib/python3/dist-packages", "etc", "opt/vendor/lib"]


def write_lists(count: int, md5_path: str, csv_path: str | None = None) -> None:
    rng = random.Random(20261207)
    with open(md5_path, "w") as md5, open(csv_path or "/dev/null", "w") as csv:
        for i in range(count):
            digest = "%032x" % rng.getrandbits(128)
            name = "/%s/pkg%05d/file-%d.%s" % (rng.choice(DIRS), rng.randrange(30000), i,
                                               rng.choice(("so", "txt", "gz", "py", "mo", "conf")))
            md5.write(f"{digest}  {name}\n")
            if csv_path:
                csv.write(f"{digest},{name}\n")


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__)
    write_lists(int(sys.argv[1]), *sys.argv[2:])
