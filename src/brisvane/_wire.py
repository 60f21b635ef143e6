"""A message as DATA carries it, made in slices.

``wire(msg)`` returns the bytes that ``smtplib.SMTP.sendmail(from, to,
msg.as_string())`` writes after DATA, to the byte: the standard library's
generator flattens the message, its line ends become CRLF, a line starting
with "." gains another, and the terminating ".\\r\\n" follows.

``as_string()`` copies a large part's text once for each level of the MIME
tree and then passes over the whole message with single regular-expression
calls, each of which holds the interpreter for tens to hundreds of
milliseconds on a 20 MB attachment.  Here the generator writes a large
ASCII payload as a short placeholder instead, the payload is put in its
place as the text is turned into wire bytes, and every step works on slices
of a few tens of kilobytes, offering the interpreter to other threads (an
event loop) between them.  A payload may stand in for itself only where it
cannot change the generator's choice of a boundary: it holds no "-".
"""

from __future__ import annotations

import re
import secrets
import time
from collections.abc import Iterator
from email.generator import Generator
from email.message import Message
from typing import Any

# A slice of text, cut after a line end.
SLICE = 32 * 1024

# smtplib's own rules: _fix_eols, then _quote_periods.
_EOLS = re.compile(r"(?:\r\n|\n|\r(?!\n))")
_PERIODS = re.compile(rb"(?m)^\.")
_CRLF = b"\r\n"


def _pause() -> None:
    # lets a thread waiting for the interpreter (an event loop) take it now
    time.sleep(0)


def _line_slices(text: str) -> Iterator[str]:
    """`text` in slices of about SLICE characters, each cut after a "\\n"
    (the last one as it ends), so that no "\\r\\n" is split."""
    start, end = 0, len(text)
    while start < end:
        cut = text.find("\n", start + SLICE) if end - start > SLICE else -1
        stop = end if cut < 0 else cut + 1
        yield text[start:stop]
        start = stop


def _holds_dash(text: str, step: int = 1 << 20) -> bool:
    """Whether `text` holds a "-", searched a megabyte at a time."""
    for start in range(0, len(text), step):
        if text.find("-", start, start + step) >= 0:
            return True
        _pause()
    return False


class _Sink:
    """Where the generator writes: text gathered, each placeholder replaced
    by its payload, and turned into wire bytes a slice at a time.  Only
    whole lines are converted, so that every slice starts a line."""

    def __init__(self, payloads: dict[str, str]) -> None:
        self.payloads = payloads
        self.chunks: list[bytes] = []
        self._pending: list[str] = []
        self._size = 0

    def write(self, s: str) -> int:
        start = 0
        while (at := s.find("\x00", start)) >= 0:
            end = s.find("\x00", at + 1)
            payload = self.payloads.get(s[at + 1 : end]) if end > at else None
            if payload is None:  # a NUL of the message's own
                self._add(s[start : at + 1])
                start = at + 1
                continue
            self._add(s[start:at])
            for piece in _line_slices(payload):
                self._add(piece)
            start = end + 1
        self._add(s[start:])
        return len(s)

    def _add(self, text: str) -> None:
        self._pending.append(text)
        self._size += len(text)
        if self._size >= SLICE:
            self._flush(whole=False)

    def _flush(self, whole: bool) -> None:
        text = "".join(self._pending)
        rest = ""
        if not whole:
            cut = text.rfind("\n") + 1
            text, rest = text[:cut], text[cut:]
        self._pending = [rest] if rest else []
        self._size = len(rest)
        if text:
            # the same rules, by plain replacement where they come to that
            if "\r" in text:
                text = _EOLS.sub("\r\n", text)
            else:
                text = text.replace("\n", "\r\n")
            converted = text.encode("ascii")
            if converted.startswith(b".") or b"\n." in converted:
                converted = _PERIODS.sub(b"..", converted)
            self.chunks.append(converted)
            _pause()

    def finish(self) -> list[bytes]:
        self._flush(whole=True)
        last = self.chunks[-1] if self.chunks else b""
        if last[-2:] != _CRLF:
            self.chunks.append(_CRLF)
        self.chunks.append(b"." + _CRLF)
        return self.chunks


class _Generator(Generator):
    """The standard library's generator, writing a large payload as a
    placeholder that the sink replaces."""

    payloads: dict[str, str]

    def clone(self, fp: Any) -> _Generator:
        g = super().clone(fp)
        g.payloads = self.payloads
        return g

    def _handle_text(self, msg: Message) -> None:
        payload = msg._payload  # type: ignore[attr-defined]
        if (
            isinstance(payload, str)
            and len(payload) > SLICE
            and payload.isascii()  # so no surrogates, and nothing to re-encode
            and not _holds_dash(payload)  # so no line the boundary could meet
            and not self._mangle_from_  # type: ignore[attr-defined]
        ):
            token = secrets.token_hex(16)
            self.payloads[token] = payload
            self.write(f"\x00{token}\x00")
            return
        super()._handle_text(msg)  # type: ignore[misc]

    # the base class names its default body handler once, at its definition
    _writeBody = _handle_text


def _small(msg: Message, limit: int) -> bool:
    size = 0
    for part in msg.walk():
        payload = part._payload  # type: ignore[attr-defined]
        if isinstance(payload, str):
            size += len(payload)
            if size >= limit:
                return False
    return True


def wire(msg: Message) -> list[bytes]:
    """The DATA bytes of `msg` as smtplib sends ``msg.as_string()``, in
    chunks, the terminating ".\\r\\n" included."""
    if _small(msg, 4 * SLICE):
        # no step can take long: smtplib's own, at once
        data = _EOLS.sub("\r\n", msg.as_string()).encode("ascii")
        data = _PERIODS.sub(b"..", data)
        return [data, b"." + _CRLF] if data.endswith(_CRLF) else [data, _CRLF + b"." + _CRLF]
    payloads: dict[str, str] = {}
    sink = _Sink(payloads)
    generator = _Generator(sink, mangle_from_=False, maxheaderlen=0, policy=msg.policy)
    generator.payloads = payloads
    generator.flatten(msg, unixfrom=False)
    return sink.finish()
