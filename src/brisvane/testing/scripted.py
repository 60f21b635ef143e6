"""A raw SMTP peer on loopback that answers from a script: the hostile server.

:class:`ScriptedServer` speaks just enough SMTP to lead a client through a
session, and sends each answer exactly as the test gives it: any bytes
(escape sequences, GBK text, a line of 5,000 digits), in chunks produced as
the client waits (one byte every 0.2 s, an endless multi-line reply), or
nothing at all.  It needs nothing beyond the standard library.
"""

from __future__ import annotations

import socket
import ssl
import threading
import time
from collections.abc import Iterable, Iterator
from enum import Enum
from typing import Callable, Union


class Signal(Enum):
    """What an answer may hold besides bytes."""

    # close the connection instead of sending anything: a server that hangs up there
    HANG_UP = "hang up"


HANG_UP = Signal.HANG_UP
Chunk = Union[bytes, Signal]
# An answer: the bytes to send as they stand (no line end is added), HANG_UP,
# or a function of the command line that yields the chunks to send, one by one.
Answer = Union[bytes, Signal, Callable[[bytes], Iterable[Chunk]]]

_DEFAULTS: dict[str, bytes] = {
    "greeting": b"220 scripted.test ESMTP\r\n",
    "EHLO": b"250-scripted.test\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 10240000\r\n",
    "HELO": b"250 scripted.test\r\n",
    "AUTH": b"235 2.7.0 Authentication successful\r\n",
    "MAIL": b"250 2.1.0 OK\r\n",
    "RCPT": b"250 2.1.5 OK\r\n",
    "DATA": b"354 End data with <CR><LF>.<CR><LF>\r\n",
    ".": b"250 2.0.0 Queued\r\n",
    "RSET": b"250 2.0.0 OK\r\n",
    "NOOP": b"250 2.0.0 OK\r\n",
    "STARTTLS": b"220 2.0.0 Ready to start TLS\r\n",
    "QUIT": b"221 2.0.0 Bye\r\n",
}


_LOGIN_PROMPTS = (b"334 VXNlcm5hbWU6\r\n", b"334 UGFzc3dvcmQ6\r\n")
_UNKNOWN = b"502 5.5.2 Command not recognised\r\n"


def drip(data: bytes, every: float) -> Callable[[bytes], Iterator[bytes]]:
    """An answer that sends `data` one byte every `every` seconds."""

    def chunks(_line: bytes) -> Iterator[bytes]:
        for i in range(len(data)):
            if i:
                time.sleep(every)
            yield data[i : i + 1]

    return chunks


def endless(line: bytes = b"250-x\r\n") -> Callable[[bytes], Iterator[bytes]]:
    """An answer that repeats `line` (a continuation line) until the client leaves."""

    def chunks(_line: bytes) -> Iterator[bytes]:
        block = line * 256
        while True:
            yield block

    return chunks


class ScriptedServer:
    """A plain-text SMTP peer on 127.0.0.1 whose answers come from `answers`.

    Keys of `answers` are command verbs (``"EHLO"``, ``"AUTH"``, ``"MAIL"``,
    ...), ``"greeting"`` for the first line of a session and ``"."`` for the
    answer to the end of the data; the rest keep ordinary answers.  An AUTH
    exchange of several lines (LOGIN) gets ``334`` prompts until it is done.
    :data:`HANG_UP` as an answer, or as a chunk of one, closes the connection.
    With `tls_context` (a server context), STARTTLS upgrades the connection.

    Use it as a context manager; ``sessions`` holds the lines each
    connection received (the data lines excepted), in order.
    """

    def __init__(
        self, answers: dict[str, Answer] | None = None, *, tls_context: ssl.SSLContext | None = None
    ) -> None:
        self.answers: dict[str, Answer] = {**_DEFAULTS, **(answers or {})}
        self.tls_context = tls_context
        self.sessions: list[list[bytes]] = []
        self.host = "127.0.0.1"
        self._listener = socket.create_server((self.host, 0))
        self.port: int = self._listener.getsockname()[1]
        self._lock = threading.Lock()
        self._open: set[socket.socket] = set()
        self._closed = False

    def __enter__(self) -> ScriptedServer:
        threading.Thread(target=self._accept, name="scripted-smtp", daemon=True).start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def close(self) -> None:
        """Stop listening and close every connection still open."""
        with self._lock:
            self._closed = True
            connections = list(self._open)
        self._listener.close()
        for conn in connections:
            _shut(conn)

    def _accept(self) -> None:
        while True:
            try:
                conn, _ = self._listener.accept()
            except OSError:
                return
            with self._lock:
                if self._closed:
                    _shut(conn)
                    return
                self._open.add(conn)
                lines: list[bytes] = []
                self.sessions.append(lines)
            threading.Thread(target=self._serve, args=(conn, lines), daemon=True).start()

    def _serve(self, conn: socket.socket, lines: list[bytes]) -> None:
        try:
            self._session(conn, lines)
        except (OSError, ValueError):
            pass  # the client left, or the server was closed under the session
        finally:
            with self._lock:
                self._open.discard(conn)
            _shut(conn)

    def _session(self, conn: socket.socket, lines: list[bytes]) -> None:
        reader = conn.makefile("rb")
        self._answer(conn, "greeting", b"")
        while True:
            line = reader.readline()
            if not line:
                return
            lines.append(line)
            verb = line.split(b" ", 1)[0].strip().upper().decode("ascii", "replace")
            if verb == "DATA":
                self._answer(conn, verb, line)
                while reader.readline() not in (b".\r\n", b".\n", b""):
                    pass
                verb = "."
            elif verb == "AUTH" and len(line.split()) == 2:
                # no initial response: LOGIN asks for the name and the password, others once
                mechanism = line.split()[1].upper()
                prompts = _LOGIN_PROMPTS if mechanism == b"LOGIN" else (b"334 \r\n",)
                for prompt in prompts:
                    conn.sendall(prompt)
                    lines.append(reader.readline())
            self._answer(conn, verb, line)
            if verb == "QUIT":
                return
            if verb == "STARTTLS" and self.tls_context is not None:
                reader.close()
                conn = self.tls_context.wrap_socket(conn, server_side=True)
                with self._lock:
                    self._open.add(conn)
                reader = conn.makefile("rb")

    def _answer(self, conn: socket.socket, verb: str, line: bytes) -> None:
        answer = self.answers.get(verb, _UNKNOWN)
        for chunk in [answer] if isinstance(answer, (bytes, Signal)) else answer(line):
            if chunk is HANG_UP:
                raise ConnectionAbortedError("hung up by the script")
            if chunk:
                conn.sendall(chunk)


def _shut(conn: socket.socket) -> None:
    try:
        conn.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    conn.close()
