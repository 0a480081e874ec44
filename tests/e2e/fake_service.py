# A stand-in for the scanning service. It serves one connection on
# 127.0.0.1:80, records every byte it receives, and behaves as told:
#
#   normal  read the request, send the reply pieces a pause apart, read on
#           until the client closes
#   close   close the connection at once without reading
#   reset   reset the connection (SO_LINGER 0) before the request is sent
#
# It stops by itself after that one connection or after DEADLINE_SECONDS.

import re
import socket
import struct
import threading
import time

DEADLINE_SECONDS = 8.0


def request_complete(received: bytes) -> bool:
    head, sep, body = received.partition(b"\r\n\r\n")
    length = re.search(rb"(?im)^content-length:\s*(\d+)\s*$", head)
    return bool(sep) and len(body) >= int(length[1] if length else 0)


class FakeService:
    def __init__(self, behaviour: str, pieces: list[bytes], pause_seconds: float):
        self.request = b""
        self._deadline = time.monotonic() + DEADLINE_SECONDS
        # Listening before the client starts, so that it never meets a closed port.
        self._listener = socket.create_server(("127.0.0.1", 80))
        self._thread = threading.Thread(target=self._serve, daemon=True,
                                        args=(behaviour, pieces, pause_seconds))
        self._thread.start()

    def stop(self) -> list[str]:
        """Waits for the connection to end; a fake service has no problems of its own to report."""
        self._thread.join(DEADLINE_SECONDS + 1)
        self._listener.close()
        return []

    def _serve(self, behaviour: str, pieces: list[bytes], pause_seconds: float) -> None:
        self._listener.settimeout(DEADLINE_SECONDS)
        try:
            conn, _ = self._listener.accept()
        except OSError:
            return
        with conn:
            if behaviour == "reset":
                # Not at once: Wine takes a reset that comes while its connect
                # is still being completed for a failed connect. The client
                # waits 100 ms after connecting, so this is still before the
                # request.
                time.sleep(0.05)
                conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            if behaviour != "normal":
                return
            conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            self._read(conn, until=request_complete)
            for index, piece in enumerate(pieces):
                time.sleep(pause_seconds if index else 0)
                try:
                    conn.sendall(piece)
                except OSError:
                    return  # the client has gone, as it may after the first piece
            # Whatever the client sends after the request is recorded too.
            self._read(conn, until=lambda _: False)

    def _read(self, conn: socket.socket, until) -> None:
        while not until(self.request):
            conn.settimeout(max(0.01, self._deadline - time.monotonic()))
            try:
                chunk = conn.recv(4096)
            except OSError:
                return
            if not chunk:
                return
            self.request += chunk
