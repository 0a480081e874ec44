#!/usr/bin/env python3
"""The feeds as operators download them, imported by the real program:
feed_import_test.py --service SERVICE"""
# Each feed (an RDS v3 database with the published schema, a MalwareBazaar
# export with its quirks, a VirusShare list) is made here, small, and given as
# it is and inside each archive kind; then damaged ones. Every case is a row of
# CASES: what is imported, the exit status, what standard error must say, and
# what the store then holds. The peak memory of a decompression bomb's import
# is held under the import's bound of 64 MiB: measured by a small Python
# process that starts it, since a process's peak counts that of the one it was
# started from (this test holds whole archives).

import bz2
import gzip
import lzma
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import zipfile

SERVICE = sys.argv[sys.argv.index("--service") + 1]
MEMORY_BOUND_KIB = 64 * 1024
MEASURED = "a decompression bomb"
PEAK_OF = ("import os, sys; pid = os.posix_spawn(sys.argv[2], sys.argv[2:], os.environ);"
           " _, status, usage = os.wait4(pid, 0); open(sys.argv[1], 'w').write(str(usage.ru_maxrss));"
           " sys.exit(os.waitstatus_to_exitcode(status))")

MD5S = ["d41d8cd98f00b204e9800998ecf8427e", "0cc175b9c0f1b6a831c399e269772661",
        "92eb5ffee6ae2fec3ad71c777531578f"]
SHA1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709"
SHA256 = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"

with open(os.path.join(os.path.dirname(__file__), "rds_v3_schema.sql")) as published:
    RDS_SCHEMA = published.read()


def rds(path: str, schema: str = RDS_SCHEMA, padding: int = 0) -> str:
    db = sqlite3.connect(path)
    db.executescript(schema)
    if "VERSION" in schema:
        db.execute("INSERT INTO VERSION VALUES ('2024.12.1', 'modern minimal', '2024-12-01', '2024-12-05', '')")
        db.execute("INSERT INTO PKG VALUES (7, 'Office Suite', '2019', 1, 1, 'English', 'Office')")
        db.executemany("INSERT INTO FILE VALUES (?, ?, ?, '00000000', ?, ?, 7)", [
            (SHA256.upper(), SHA1.upper(), MD5S[0].upper(), "empty.txt", 0),
            (None, None, "NOT-HEX", "broken.dll", 1),
            (None, None, MD5S[1].upper(), "a.txt", 1),
            (None, None, MD5S[1].upper(), "again.txt", 1),  # in a second package
        ])
        db.execute("CREATE TABLE padding (x BLOB)")
        db.execute("INSERT INTO padding VALUES (zeroblob(?))", (padding,))
    db.commit()
    db.close()
    return path


BAZAAR = ("################################################################\n"
          "# MalwareBazaar full malware samples dump (CSV)                #\n"
          "# Last updated: 2024-12-07 08:00:22 UTC                        #\n"
          "################################################################\n"
          "#\n"
          '# "first_seen_utc","sha256_hash","md5_hash","sha1_hash","reporter","file_name",'
          '"file_type_guess","mime_type","signature","clamav","vtpercent","imphash","ssdeep","tlsh"\n'
          f'"2024-12-07 07:58:22", "{SHA256}", "{MD5S[0]}", "{SHA1}", "abuse_ch", "invoice.exe", "exe", '
          '"application/x-dosexec", "AgentTesla", "Win.Trojan.Agent", "12.5", "n/a", "n/a", "n/a"\n'
          f'"2024-12-07 07:59:01", "n/a", "not-an-md5", "n/a", "abuse_ch", "x.exe", "exe"\n'
          f'"2024-12-07 08:00:01", "n/a", "{MD5S[1]}", "n/a", "abuse_ch", "n/a", "dll", "n/a", "n/a", '
          '"Win.Dropper.B"\n'
          f'"2024-12-07 08:00:09", "n/a", "{MD5S[2]}", "n/a", "anon", "doc.doc", "doc"\n').encode()

VIRUSSHARE = ("##################################\n"
              "#  VirusShare_00000.md5          #\n"
              "#  Hashes of VirusShare samples  #\n"
              "##################################\n"
              f"{MD5S[0]}\n{MD5S[1]}\nnot a digest\n{MD5S[2]}\n").encode()


def zipped(members: dict[str, bytes]) -> bytes:
    path = os.path.join(WORK, "made.zip")
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr("feeds/", b"")  # a directory, passed over
        for name, data in members.items():
            archive.writestr(name, data)
    with open(path, "rb") as made:
        return made.read()


def corrupted(archive: bytes) -> bytes:
    # Damages the compressed data in the middle, past the local header.
    middle = len(archive) // 2
    return archive[:middle] + bytes(b ^ 0x55 for b in archive[middle:middle + 32]) + archive[middle + 32:]


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def run(args: list[str], env: dict | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([SERVICE, *args], capture_output=True, text=True, env=env)


def held(store: str, md5: str) -> str:
    """'VERDICT  LABEL  NAME' as lookup prints it, or 'not held'."""
    line = run(["lookup", store, md5]).stdout.strip()
    return line.split("  ", 1)[1] if line.startswith(md5) else line


WORK = tempfile.mkdtemp(prefix="feed-import-")
RDS_FILE = rds(os.path.join(WORK, "RDS_2024.12.1_modern_minimal.db"))
RDS = read(RDS_FILE)

# The three feeds, each with what its import says and what the store then holds.
FEEDS = {
    "rds": (RDS_FILE.rsplit("/", 1)[1], RDS, ":row 2: skipped: not an MD5 digest",
            "source NSRL 2024.12.1): 2 new",
            [f"unknown  Office Suite 2019  empty.txt", "unknown  Office Suite 2019  a.txt"]),
    "bazaar": ("full.csv", BAZAAR, ":8: skipped: not an MD5 digest", "source MalwareBazaar): 3 new",
               ["bad  AgentTesla  invoice.exe", "bad  Win.Dropper.B  -", "bad  doc  doc.doc"]),
    "virusshare": ("VirusShare_00000.md5", VIRUSSHARE, ":7: skipped: not an MD5 digest",
                   "source VirusShare_00000): 3 new", ["bad  -  -"] * 3),
}
WRAPPERS = {
    "plain": lambda name, data: (name, data, name),
    "zip": lambda name, data: ("feed.zip", zipped({name: data}), "feed.zip:" + name),
    "gz": lambda name, data: (name + ".gz", gzip.compress(data), name + ".gz"),
    "xz": lambda name, data: (name + ".xz", lzma.compress(data), name + ".xz"),
    "bz2": lambda name, data: (name + ".bz2", bz2.compress(data), name + ".bz2"),
    # Packed, and named as the list itself: known by the first bytes alone.
    "gz, no suffix": lambda name, data: (name, gzip.compress(data), name),
    "xz, no suffix": lambda name, data: (name, lzma.compress(data), name),
    "bz2, no suffix": lambda name, data: (name, bz2.compress(data), name),
    "zip, no suffix": lambda name, data: ("feed", zipped({name: data}), "feed:" + name),
}

# name: files to make, import arguments (after the store), exit status, texts
# standard error must hold, {md5: what the store holds}.
CASES = []
for feed, (name, data, skipped, summary, records) in FEEDS.items():
    for wrapper, wrap in WRAPPERS.items():
        file, content, shown = wrap(name, data)
        CASES.append((f"{feed}, {wrapper}", {file: content}, [file], 0, [shown + skipped, summary],
                      dict(zip(MD5S, records + ["not held"] * 3))))

wrong_schema = read(rds(os.path.join(WORK, "wrong.db"),
                        "CREATE TABLE FILE (sha256 TEXT, sha1 TEXT, crc32 TEXT, file_name TEXT,"
                        " package_id INTEGER); CREATE TABLE OS (x)"))
foreign = read(rds(os.path.join(WORK, "foreign.db"), "CREATE TABLE notes (x)"))
nothing = dict.fromkeys(MD5S, "not held")
OWN_STORE = os.path.join(WORK, "own.db")
run(["import", OWN_STORE, RDS_FILE])
# Enough distinct lines that a damaged stream is found well into the list.
randomly = random.Random(16)
many_samples = "".join(f'"2024-12-07 08:00:00", "n/a", "{randomly.getrandbits(128):032x}", "n/a", "anon", '
                       f'"{randomly.getrandbits(64):x}.exe"\n' for _ in range(20000)).encode()
bomb = os.path.join(WORK, "bomb.txt.gz")
with gzip.open(bomb, "wb", compresslevel=9) as f:  # 256 MiB of one line, in 220 KiB
    for _ in range(256):
        f.write(bytes(1 << 20))
    f.write(f"\n{MD5S[2]}  after-the-bomb\n".encode())
CASES += [
    ("several lists in one zip, one import each, a read-me passed over",
     {"lists.zip": zipped({"full.csv": BAZAAR, "README.txt": b"Terms of use\n", "vs.md5": VIRUSSHARE})},
     ["lists.zip"], 0, ["lists.zip:full.csv:8: skipped", "lists.zip:vs.md5:7: skipped",
                        "lists.zip:README.txt: passed over", "from 2 files (2 sources): 6 new"],
     {MD5S[0]: "bad  AgentTesla  invoice.exe", MD5S[2]: "bad  doc  doc.doc"}),
    ("a zip whose data is damaged", {"broken.zip": corrupted(zipped({"full.csv": BAZAAR * 200}))},
     ["broken.zip"], 1, ["broken.zip:full.csv: read error after line", "nothing imported from it"], nothing),
    ("a truncated xz stream", {"full.csv.xz": lzma.compress(BAZAAR + many_samples)[:-200]},
     ["full.csv.xz"], 1, ["full.csv.xz: read error after line", "nothing imported from it"], nothing),
    ("a text file named as an archive", {"notes.gz": BAZAAR}, ["notes.gz"], 1,
     ["notes.gz: damaged archive: neither a zip archive nor a gzip, xz or bzip2 stream"], nothing),
    ("an RDS database of another schema", {"wrong.zip": zipped({"wrong.db": wrong_schema})}, ["wrong.zip"], 1,
     ["wrong.zip:wrong.db: not an NSRL RDS v3 database: no FILE.md5, FILE.file_size, table PKG"], nothing),
    ("another SQLite database", {"foreign.db": foreign}, ["foreign.db"], 1,
     ["foreign.db: not an NSRL RDS v3 database: no table FILE, table PKG"], nothing),
    ("this service's own store", {}, [OWN_STORE], 1,
     ["own.db: a brantwicker-service store, not a list to import"], nothing),
    ("a database named as another format", {"rds.db": RDS}, ["--format", "bazaar", "rds.db"], 1,
     ["rds.db: an SQLite database; only --format rds reads one"], nothing),
    (MEASURED, {}, [bomb], 0, ["bomb.txt.gz:1: skipped: line too long", "1 new"],
     {MD5S[2]: "unknown  -  after-the-bomb"}),
    ("RDS from standard input, with a source and verdict of its own", {}, ["--source", "nsrl-weekly",
     "--verdict", "good", "-"], 0, ["-:row 2: skipped", "(source nsrl-weekly): 2 new"],
     {MD5S[0]: "good  Office Suite 2019  empty.txt"}),
]
# A packed list on standard input, "-" in the files: what is piped in.
for kind, pack in (("gz", gzip.compress), ("xz", lzma.compress), ("bz2", bz2.compress),
                   ("zip", lambda data: zipped({"full.csv": data}))):
    CASES.append((f"bazaar, {kind} on standard input", {"-": pack(BAZAAR)},
                  ["--format", "bazaar", "--source", "MalwareBazaar", "-"], 0,
                  [":8: skipped: not an MD5 digest", "source MalwareBazaar): 3 new"],
                  {MD5S[0]: "bad  AgentTesla  invoice.exe"}))


def check(name: str, files: dict, args: list[str], status: int, said: list[str], holds: dict,
          store: str, env: dict | None = None, stdin: bytes | None = None) -> list[str]:
    for file, content in files.items():
        with open(os.path.join(WORK, "stdin" if file == "-" else file), "wb") as f:
            f.write(content)
    run_args = [os.path.join(WORK, a) if a in files and a != "-" else a for a in args]
    peak = os.path.join(WORK, "peak")
    measured = [sys.executable, "-c", PEAK_OF, peak] if name == MEASURED else []
    with open(os.path.join(WORK, "stdin") if "-" in files else RDS_FILE, "rb") as feed:
        done = subprocess.run([*measured, SERVICE, "import", store, *run_args], capture_output=True, text=True,
                              env=env, stdin=feed if "-" in args else None)
    out = done.stderr + done.stdout
    problems = [f"exit status {done.returncode}, not {status}"] if done.returncode != status else []
    if measured and int(read(peak)) > MEMORY_BOUND_KIB:
        problems.append(f"took {int(read(peak))} KiB of memory, over {MEMORY_BOUND_KIB}")
    problems += [f"no {text!r}" for text in said if text not in out.replace(WORK + "/", "")]
    problems += [f"{md5}: {held(store, md5)!r}, not {want!r}" for md5, want in holds.items()
                 if held(store, md5) != want]
    return [f"{name}: {p}\n{out}" for p in problems]


def main() -> int:
    failures = []
    for index, (name, files, args, status, said, holds) in enumerate(CASES):
        failures += check(name, files, args, status, said, holds, os.path.join(WORK, f"store{index}.db"))

    # The same release again adds nothing, and a packed database leaves no
    # copy behind in TMPDIR, whether its import succeeds or not.
    unpacked = os.path.join(WORK, "unpacked")
    os.mkdir(unpacked)
    env = dict(os.environ, TMPDIR=unpacked)
    store = os.path.join(WORK, "weekly.db")
    for week in ("first", "second"):
        failures += check(f"{week} weekly import", {"rds.zip": zipped({"rds.db": RDS})}, ["rds.zip"], 0,
                          ["2 new" if week == "first" else "0 new, 3 already listed"], {}, store, env)
    failures += check("wrong schema, unpacked", {"wrong.zip": zipped({"wrong.db": wrong_schema})},
                      ["wrong.zip"], 1, [], {}, store, env)
    if os.listdir(unpacked):
        failures.append(f"left behind in TMPDIR: {os.listdir(unpacked)}")

    # Ctrl-C while a packed database is unpacked: the copy goes too.
    with open(os.path.join(WORK, "slow.zip"), "wb") as slow:
        slow.write(zipped({"slow.db": read(rds(os.path.join(WORK, "slow.db"), padding=96 << 20))}))
    interrupted = subprocess.Popen([SERVICE, "import", os.path.join(WORK, "ctrl-c.db"),
                                    os.path.join(WORK, "slow.zip")], env=env, stderr=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL)
    while not os.listdir(unpacked) and interrupted.poll() is None:
        time.sleep(0.001)
    interrupted.send_signal(signal.SIGINT)
    if interrupted.wait() != -signal.SIGINT or os.listdir(unpacked):
        failures.append(f"Ctrl-C while unpacking: status {interrupted.returncode}, left {os.listdir(unpacked)}")

    # Too little room to unpack: said before anything is written.
    with open(os.path.join(WORK, "big.zip"), "wb") as big:
        big.write(zipped({"big.db": read(rds(os.path.join(WORK, "big.db"), padding=1 << 20))}))
    small = subprocess.run(["unshare", "-m", "sh", "-c", f"mount -t tmpfs -o size=256k tmpfs {unpacked}"
                            " && exec \"$@\"", "-", SERVICE, "import", os.path.join(WORK, "room.db"),
                            os.path.join(WORK, "big.zip")], capture_output=True, text=True, env=env,
                           ) if shutil.which("unshare") else None
    if small is None or "mount" in small.stderr or "unshare" in small.stderr:
        if os.environ.get("CI"):
            failures.append("cannot mount a small TMPDIR; CI is set, so this must run here")
        else:
            print("skipped the free-space case: cannot mount a small TMPDIR (run as root)")
    elif small.returncode != 1 or f"not enough free space in {unpacked} to unpack it: 2 MiB needed" \
            not in small.stderr:
        failures.append(f"a packed database larger than TMPDIR's room: {small.returncode}\n{small.stderr}")

    shutil.rmtree(WORK)
    print("\n".join(failures) or f"{len(CASES) + 4} cases passed")
    return 1 if failures else 0

if __name__ == "__main__":
    sys.exit(main())
