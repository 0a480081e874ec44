# A signature update of the test's own for clamd: an unsigned container named
# daily.cud, the one kind of database clamd names a signature version for
# ("ClamAV x.y.z/VERSION/DATE" to VERSION). The container is a 512-byte
# header, "ClamAV-VDB:" and colon-separated fields padded with spaces (build
# time, version, signatures, functionality level, MD5 of what follows,
# digital signature, builder, build time in seconds), then a gzipped tar of
# COPYING, daily.info (a header line of the same fields, then each file's
# name, size and SHA-256) and daily.hdb (MD5:size:name lines). A test
# writes one into clamd's database folder, asks clamd to RELOAD, and a new
# version is the new signatures.

import hashlib
import io
import os
import socket
import tarfile
import time

BUILT = "07 Dec 2026 08-00 +0000"
BUILT_SECONDS = 1796630400  # the same time; clamd holds the two headers to agree
FUNCTIONALITY = 90  # at or below what clamd 1.x takes


def daily_cud(version: int, hashed: dict[str, bytes]) -> bytes:
    """The container for signature version `version`, with an MD5 signature
    named for each file in `hashed` (signature name -> the file)."""
    hdb = "".join(f"{hashlib.md5(content).hexdigest()}:{len(content)}:{name}\n"
                  for name, content in hashed.items()).encode()
    fields = f"{BUILT}:{version}:{len(hashed)}:{FUNCTIONALITY}"
    # The list's own header holds no checksum of the container it is in.
    info = (f"ClamAV-VDB:{fields}:{'0' * 32}:X:test:{BUILT_SECONDS}\n"
            f"daily.hdb:{len(hdb)}:{hashlib.sha256(hdb).hexdigest()}\n").encode()
    members = {"COPYING": b"Test signatures, made by the test itself.\n", "daily.info": info,
               "daily.hdb": hdb}
    packed = io.BytesIO()
    with tarfile.open(fileobj=packed, mode="w:gz") as tar:
        for name, data in members.items():
            entry = tarfile.TarInfo(name)
            entry.size, entry.mtime = len(data), 0
            tar.addfile(entry, io.BytesIO(data))
    body = packed.getvalue()
    header = f"ClamAV-VDB:{fields}:{hashlib.md5(body).hexdigest()}:X:test:{BUILT_SECONDS}".encode()
    return header.ljust(512, b" ") + body


def install(database_dir: str, version: int, hashed: dict[str, bytes]) -> None:
    """Puts the container in clamd's database folder, replacing any before."""
    staged = os.path.join(database_dir, ".daily.cud.new")
    with open(staged, "wb") as out:
        out.write(daily_cud(version, hashed))
    os.replace(staged, os.path.join(database_dir, "daily.cud"))


def reload(clamd_socket: str, version: int, within: float = 60.0) -> str:
    """Asks clamd to load its databases again; returns its VERSION answer once
    it names `version`."""
    def ask(command: bytes) -> str:
        with socket.socket(socket.AF_UNIX) as sock:
            sock.settimeout(10)
            sock.connect(clamd_socket)
            sock.sendall(command)
            reply = b""
            while not reply.endswith(b"\0"):
                piece = sock.recv(256)
                if not piece:
                    break
                reply += piece
            return reply.rstrip(b"\0").decode(errors="replace")
    ask(b"zRELOAD\0")
    deadline = time.monotonic() + within
    answer = ""
    while time.monotonic() < deadline:
        try:
            answer = ask(b"zVERSION\0")
            if f"/{version}/" in answer:
                return answer
        except OSError:
            pass
        time.sleep(0.2)
    raise RuntimeError(f"clamd did not come to signature version {version}: {answer!r}")
