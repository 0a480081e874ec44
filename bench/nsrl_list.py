#!/usr/bin/env python3
"""Writes a made-up list shaped like NSRL's file list (the CSV with a header:
"SHA-1","MD5","CRC32","FileName","FileSize","ProductCode","OpSystemCode",
"SpecialCode"), the same every run for the same COUNT and SEED.

The shape, as NSRL's: products of a few to a few hundred files each; file
names drawn from a vocabulary, so that common names ("setup.exe",
"readme.txt") recur across products; about a quarter of the lines repeat a
file an earlier product shipped too (the same digests, size and name, under
another product), so the list names many files more than once. Sizes spread
from a few bytes to megabytes.

With a second START, the lines are those a later release adds (a weekly
feed): new products from START on, some of whose files the first list held.

usage: nsrl_list.py COUNT FILE [--seed N] [--products-from N]"""

import argparse
import random

STEMS = ["setup", "readme", "license", "install", "uninst", "msvcr", "msvcp", "mfc", "data", "config",
         "update", "help", "icon", "main", "core", "util", "lang", "font", "sound", "image", "patch",
         "driver", "service", "client", "server", "plugin", "module", "common", "shared", "res"]
EXTENSIONS = ["dll", "exe", "txt", "ini", "dat", "cab", "hlp", "ico", "bmp", "wav", "sys", "inf",
              "htm", "xml", "js", "png", "chm", "ocx", "so", "mo"]
REPEATED = 0.25    # lines that repeat a file an earlier product shipped
POOL = 200_000     # files kept for repeating


def name_of(rng: random.Random) -> str:
    """A base name: about one in four from a short common vocabulary."""
    stem = rng.choice(STEMS)
    if rng.random() < 0.25:
        return f"{stem}.{rng.choice(EXTENSIONS)}"
    return f"{stem}{rng.randrange(100000)}.{rng.choice(EXTENSIONS)}"


def write_list(count: int, path: str, seed: int = 20261207, products_from: int = 1) -> None:
    rng = random.Random(seed)
    pool: list[str] = []
    product, left = products_from, 0
    with open(path, "w") as out:
        out.write('"SHA-1","MD5","CRC32","FileName","FileSize","ProductCode","OpSystemCode",'
                  '"SpecialCode"\n')
        for _ in range(count):
            if left == 0:
                product += 1
                left = int(rng.expovariate(1 / 60)) + 3
            left -= 1
            if pool and rng.random() < REPEATED:
                file = rng.choice(pool)
            else:
                size = int(10 ** rng.uniform(1, 7))
                file = '"%040X","%032X","%08X","%s",%d' % (rng.getrandbits(160), rng.getrandbits(128),
                                                           rng.getrandbits(32), name_of(rng), size)
                if len(pool) < POOL:
                    pool.append(file)
                else:
                    pool[rng.randrange(POOL)] = file
            out.write(f'{file},{product},"{rng.choice(("189", "224", "358", "TBD"))}",""\n')


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("count", type=int)
    parser.add_argument("file")
    parser.add_argument("--seed", type=int, default=20261207)
    parser.add_argument("--products-from", type=int, default=1)
    options = parser.parse_args()
    write_list(options.count, options.file, options.seed, options.products_from)


if __name__ == "__main__":
    main()
