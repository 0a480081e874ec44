#!/usr/bin/env python3
"""A retro-hunt beside `yara -r`, in one run.

2,000 kept samples (about one in ten a zip of a few members), written as the
service keeps them (zstd, DIR/ab/<sha256>.zst), are hunted through by
`brantwicker-service retrohunt` (decompression, and the zips taken apart,
included); the same files unpacked on disk are scanned by `yara -r` with the
same rules. Both use every core (yara's own threads; the command's --threads
default). Rounds alternate which goes first, on a warm page cache; the figure
is the ratio of the medians. Target: the hunt at least as fast as yara -r
(ratio >= 1.0, yara's time over the hunt's).

usage: bench/retrohunt_vs_yara.py SERVICE [--samples N] [--rounds N]
Run it on a release build (bash scripts/install-bench-deps.sh first), under
`nice -n 10` on a shared machine."""

import argparse
import hashlib
import io
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import zipfile

RULES = """
rule TextMark { strings: $a = "BENCH-HUNT-MARK" condition: $a }
rule HexRun { strings: $h = { 42 45 4E 43 48 2D [2-8] 2D 4D 41 52 4B } condition: $h }
rule ThreeWords { strings: $a = "CreateRemoteThread" ascii wide $b = "VirtualAllocEx" ascii wide
                  $c = "BENCH-HUNT-RARE" condition: all of them }
"""
WORDS = [b"kernel32.dll", b"GetProcAddress", b"LoadLibraryA", b"CreateRemoteThread",
         b"VirtualAllocEx", b"http://example.invalid/", b"Software\\Microsoft", b"\x00" * 16]


def sample_bytes(rng: random.Random, size: int) -> bytes:
    """Half random bytes, half a program's strings and padding: compressible
    in part, as executables are."""
    out = io.BytesIO()
    # A program's headers: MZ, and at 0x3C the offset of its PE header.
    out.write(b"MZ\x90\x00\x03\x00\x00\x00\x04\x00\x00\x00\xff\xff".ljust(0x3C, b"\x00"))
    out.write((0x80).to_bytes(4, "little"))
    out.write(b"\x00" * (0x80 - 0x40) + b"PE\x00\x00")
    while out.tell() < size:
        if rng.random() < 0.5:
            out.write(rng.randbytes(rng.randint(64, 4096)))
        else:
            out.write(b"".join(rng.choice(WORDS) for _ in range(rng.randint(8, 128))))
    data = out.getvalue()[: max(size, 0x100)]
    # A hunt's rule matches a few files, not most.
    if rng.random() < 0.02:
        data += b"BENCH-HUNT-MARK"
    if rng.random() < 0.01:
        data += b"BENCH-HUNT-RARE"
    return data


def make(work: str, count: int) -> tuple[str, str, str]:
    rng = random.Random(27)
    plain = os.path.join(work, "plain")
    flat = os.path.join(work, "flat")
    kept = os.path.join(work, "kept")
    os.makedirs(plain)
    os.makedirs(flat)
    for i in range(count):
        size = int(2 ** rng.uniform(10, 20.5))  # 1 KiB to about 1.4 MiB
        if i % 10 == 0:
            buffer = io.BytesIO()
            with zipfile.ZipFile(buffer, "w", zipfile.ZIP_DEFLATED) as archive:
                for m in range(rng.randint(2, 5)):
                    archive.writestr(f"dir/member{m}.exe", sample_bytes(rng, size // 3 + 1))
            data = buffer.getvalue()
        else:
            data = sample_bytes(rng, size)
        with open(os.path.join(plain, f"{i:05d}.bin"), "wb") as out:
            out.write(data)
    subprocess.run(["zstd", "-q", "-3", "-r", plain, "--output-dir-flat", flat], check=True)
    for name in os.listdir(plain):
        with open(os.path.join(plain, name), "rb") as source:
            digest = hashlib.sha256(source.read()).hexdigest()
        folder = os.path.join(kept, digest[:2])
        os.makedirs(folder, exist_ok=True)
        os.replace(os.path.join(flat, name + ".zst"), os.path.join(folder, digest + ".zst"))
    return plain, kept, flat


def timed(argv: list[str], expect: set[int]) -> tuple[float, float]:
    """Wall time and CPU time (user and system, every thread) of one run."""
    started = time.monotonic()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    took = time.monotonic() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode not in expect:
        raise SystemExit(f"{argv[0]} exited {child.returncode}")
    return took, usage.ru_utime + usage.ru_stime


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("service")
    parser.add_argument("--samples", type=int, default=2000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    for tool in ("yara", "zstd"):
        if not shutil.which(tool):
            print(f"retrohunt_vs_yara: no {tool}; run scripts/install-bench-deps.sh", file=sys.stderr)
            return 2
    work = tempfile.mkdtemp(prefix="retrohunt-bench-")
    try:
        plain, kept, _ = make(work, args.samples)
        rules = os.path.join(work, "rules.yar")
        with open(rules, "w") as out:
            out.write(RULES)
        listing = os.path.join(work, "one.md5")
        with open(listing, "w") as out:
            out.write("d41d8cd98f00b204e9800998ecf8427e  empty\n")
        db = os.path.join(work, "store.db")
        subprocess.run([args.service, "import", db, listing], check=True, stderr=subprocess.DEVNULL)
        cores = os.cpu_count() or 1
        runs = {
            "hunt": [args.service, "retrohunt", db, "--samples", kept, rules],
            "yara -r": ["yara", "-r", rules, plain],
            f"yara -r -p {cores}": ["yara", "-r", "-p", str(cores), rules, plain],
            "yara -r -f": ["yara", "-r", "-f", rules, plain],
        }
        packed = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(kept) for f in fs)
        unpacked = sum(os.path.getsize(os.path.join(plain, f)) for f in os.listdir(plain))
        print(f"{args.samples} samples: {unpacked / 2**20:.0f} MiB unpacked, "
              f"{packed / 2**20:.0f} MiB kept; {os.cpu_count()} cores")
        for argv in runs.values():  # warm the page cache
            timed(argv, {0, 1})
        walls: dict[str, list[float]] = {name: [] for name in runs}
        cpus: dict[str, list[float]] = {name: [] for name in runs}
        for round_ in range(args.rounds):
            order = list(runs.items())
            if round_ % 2:
                order.reverse()
            for name, argv in order:
                wall, cpu = timed(argv, {0, 1})
                walls[name].append(wall)
                cpus[name].append(cpu)
        wall = {name: statistics.median(values) for name, values in walls.items()}
        cpu = {name: statistics.median(values) for name, values in cpus.items()}
        for name in runs:
            print(f"  {name:14s} wall {wall[name]:.3f} s  cpu {cpu[name]:.3f} s"
                  f"  ({', '.join(f'{t:.2f}' for t in walls[name])})")
        for name in runs:
            if name != "hunt":
                print(f"ratio {name} / hunt: wall {wall[name] / wall['hunt']:.2f},"
                      f" cpu {cpu[name] / cpu['hunt']:.2f}")
        print("target: wall ratio against yara -r >= 1.0")
        return 0
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
