"""A threaded TCP proxy on loopback: a WAN simulator (round-trip delay, bandwidth cap per
connection) or, in front of the storage emulator, an injector of HTTP faults."""
import dataclasses
import queue
import socket
import struct
import threading
import time
from typing import Optional

CHUNK = 256 << 10
# Chunks one direction of a delayed link may hold; the rest waits in the kernel, so a sender
# feels back-pressure much as on a real link.
QUEUED_CHUNKS = 16
RESPONSE_503 = (b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n"
                b"x-ms-error-code: ServerBusy\r\nConnection: close\r\n\r\n")


@dataclasses.dataclass
class Fault:
    """A fault on requests whose method is `method` and whose target contains `path`.

    kind: "503" answers without asking the server; "reset-request" resets the connection
    half-way through the request body; "reset-response", "truncate" (a shorter body under a
    matching Content-Length) and "flip" (one byte of the body inverted) spoil the answer.
    `times` is how many matching requests get it; None means every one."""
    kind: str
    method: str
    path: str
    times: Optional[int] = 1
    hits: int = 0


def reset(sock):
    """Closes `sock` with a TCP reset instead of an orderly end."""
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    sock.close()


def read_head(reader):
    """The header block of an HTTP message (through the blank line), or b"" at the end."""
    lines = []
    while True:
        line = reader.readline(65536)
        if not line:
            return b""
        lines.append(line)
        if line in (b"\r\n", b"\n"):
            return b"".join(lines)


def header_value(head, name):
    for line in head.split(b"\r\n")[1:]:
        key, _, value = line.partition(b":")
        if key.strip().lower() == name:
            return value.strip()
    return None


def with_header(head, name, value):
    """`head` with header `name` replaced by (or given) `value`."""
    lines = [line for line in head.split(b"\r\n")[:-2]
             if line.partition(b":")[0].strip().lower() != name.lower()]
    return b"\r\n".join(lines + [name + b": " + value, b"", b""])


def copy(reader, dst, count, flip_at=None):
    """Copies `count` bytes (all up to the end when None), inverting the byte at `flip_at`."""
    position = 0
    while count is None or position < count:
        data = reader.read1(CHUNK if count is None else min(CHUNK, count - position))
        if not data:
            return
        if flip_at is not None and position <= flip_at < position + len(data):
            data = bytearray(data)
            data[flip_at - position] ^= 0xFF
        dst.sendall(data)
        position += len(data)


class LoopbackProxy:
    """Listens on a free loopback port and relays every connection to `upstream_port`.

    Without faults bytes pass untouched, each direction held back by half of `rtt_ms` and
    paced to `rate` bytes per second per connection (0: no cap). Given a list of faults (even
    an empty one) each connection carries one HTTP request, and requests are logged."""

    def __init__(self, upstream_port, rtt_ms=0, rate=0, faults=None):
        self.upstream_port = upstream_port
        self.delay = rtt_ms / 2000
        self.rate = rate
        self.faults = faults
        self.requests = []  # (method, target) of every request seen in fault mode
        self._lock = threading.Lock()
        self._sockets = set()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self.port = self._listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        self._listener.close()
        with self._lock:
            for sock in self._sockets:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass

    def _accept(self):
        while True:
            try:
                client, _ = self._listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port))
            for sock in (client, upstream):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self._lock:
                self._sockets.update((client, upstream))
            relay = self._relay_bytes if self.faults is None else self._relay_request
            threading.Thread(target=relay, args=(client, upstream), daemon=True).start()

    def _forget(self, *socks):
        with self._lock:
            self._sockets.difference_update(socks)
        for sock in socks:
            sock.close()

    def _relay_bytes(self, client, upstream):
        back = threading.Thread(target=self._pump, args=(upstream, client))
        back.start()
        self._pump(client, upstream)
        back.join()
        self._forget(client, upstream)

    def _pump(self, src, dst):
        """Moves one direction of a connection, delayed and paced."""
        if not self.delay:
            self._send_paced(self._arrivals(src), dst)
            return
        chunks = queue.Queue(QUEUED_CHUNKS)
        sender = threading.Thread(target=self._send_paced, args=(iter(chunks.get, None), dst))
        sender.start()
        for due, data in self._arrivals(src):
            chunks.put((due + self.delay, data))
        chunks.put(None)
        sender.join()

    @staticmethod
    def _arrivals(src):
        """(time, bytes) of everything `src` sends, then of its end (empty bytes)."""
        while True:
            try:
                data = src.recv(CHUNK)
            except OSError:
                data = b""
            yield time.monotonic(), data
            if not data:
                return

    def _send_paced(self, chunks, dst):
        """Sends each chunk once it is due and once the link has had time to carry it."""
        link_free = 0.0
        try:
            for due, data in chunks:
                # A chunk leaves once it is due and the link has carried the chunks before it.
                ready = max(due, link_free) + (len(data) / self.rate if self.rate else 0.0)
                link_free = ready
                pause = ready - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
                if data:
                    dst.sendall(data)
                else:
                    dst.shutdown(socket.SHUT_WR)
        except OSError:
            for _ in chunks:  # keeps the receiving side from blocking on a full queue
                pass

    def _take_fault(self, method, target):
        with self._lock:
            self.requests.append((method, target))
            for fault in self.faults:
                if (fault.method == method and fault.path in target
                        and (fault.times is None or fault.hits < fault.times)):
                    fault.hits += 1
                    return fault
        return None

    def _relay_request(self, client, upstream):
        """Relays one HTTP request and its answer, applying the first fault that matches it."""
        try:
            with client.makefile("rb") as request, upstream.makefile("rb") as answer:
                head = read_head(request)
                if not head:
                    return
                method, target = (part.decode("latin-1") for part in head.split(b" ", 2)[:2])
                length = int(header_value(head, b"content-length") or 0)
                fault = self._take_fault(method, target)
                kind = fault.kind if fault else None
                if kind == "503":
                    copy(request, _Discard(), length)
                    client.sendall(RESPONSE_503)
                    return
                upstream.sendall(with_header(head, b"Connection", b"close"))
                if kind == "reset-request":
                    copy(request, upstream, length // 2)
                    reset(client)
                    return
                copy(request, upstream, length)
                self._relay_answer(answer, client, kind)
        except OSError:
            pass
        finally:
            self._forget(client, upstream)

    @staticmethod
    def _relay_answer(answer, client, kind):
        head = read_head(answer)
        length = int(header_value(head, b"content-length") or 0)
        if kind not in ("reset-response", "truncate", "flip") or length < 2:
            client.sendall(head)
            copy(answer, client, None)
        elif kind == "flip":
            client.sendall(head)
            copy(answer, client, None, flip_at=length // 2)
        elif kind == "truncate":
            client.sendall(with_header(head, b"Content-Length", str(length // 2).encode()))
            copy(answer, client, length // 2)
        else:
            client.sendall(head)
            copy(answer, client, length // 2)
            reset(client)


class _Discard:
    """A sink for a request body nobody will read."""

    @staticmethod
    def sendall(_data):
        pass
