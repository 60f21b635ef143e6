"""What the commands print: steps as they happen with their timing,
coloured only on a terminal; and the last failure, kept for ``explain``."""

from __future__ import annotations

import json
import os
import sys
import time
import unicodedata
from pathlib import Path
from typing import Any, Optional, TextIO

from brisvane import _messages

_COLOURS = {"ok": "32", "fail": "31", "warn": "33", "dim": "2", "bold": "1"}


class Output:
    """Lines for a person, in one language."""

    def __init__(self, lang: Optional[str] = None, stream: Optional[TextIO] = None) -> None:
        self.lang = _messages.language(lang)
        self.stream = stream if stream is not None else sys.stdout
        isatty = getattr(self.stream, "isatty", None)
        self.colour = bool(isatty and isatty()) and not os.environ.get("NO_COLOR")
        self._started: Optional[float] = None

    def text(self, key: str, **fields: object) -> str:
        return _messages.text(key, self.lang, **fields)

    def paint(self, text: str, colour: str) -> str:
        return f"\x1b[{_COLOURS[colour]}m{text}\x1b[0m" if self.colour else text

    def line(self, text: str = "") -> None:
        self.stream.write(text + "\n")
        self.stream.flush()

    def say(self, key: str, **fields: object) -> None:
        self.line(self.text(key, **fields))

    def start(self, step_key: str) -> None:
        """Show a step as it begins; :meth:`done` or :meth:`failed` ends its line."""
        name = self.text(step_key)
        # pad by columns on screen: a Chinese character takes two
        width = sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in name)
        self.stream.write(f"  {name}{' ' * max(1, 15 - width)}")
        self.stream.flush()
        self._started = time.monotonic()

    def _elapsed(self) -> str:
        started, self._started = self._started, None
        return "" if started is None else f"({(time.monotonic() - started) * 1000:.0f} ms)"

    def _end(self, mark: str, detail: str) -> None:
        parts = [mark, detail, self.paint(self._elapsed(), "dim")]
        self.line(" ".join(p for p in parts if p))

    def done(self, detail: str = "") -> None:
        self._end(self.paint(self.text("cli.ok"), "ok"), detail)

    def failed(self, detail: str = "") -> None:
        self._end(self.paint(self.text("cli.failed"), "fail"), detail)

    def finding(self, text: str) -> None:
        self.line(self.paint(text, "warn"))


def decode_bytes(raw: bytes) -> str:
    """Server text as bytes: UTF-8 when it is, else GB18030 (QQ and 163
    answer in GBK, which GB18030 contains)."""
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("gb18030", errors="replace")


def error_text(exc: BaseException) -> str:
    """``Type: text`` of an exception, as a person would paste it; an SMTP
    answer as ``code text``, its text decoded."""
    code, answer = getattr(exc, "smtp_code", None), getattr(exc, "smtp_error", None)
    if isinstance(code, int) and isinstance(answer, bytes):
        return f"{type(exc).__name__}: {code} {decode_bytes(answer)}"
    return f"{type(exc).__name__}: {exc}"


def _state_file() -> Path:
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "state"
    )
    return Path(base) / "brisvane" / "last-failure.json"


def record_failure(command: str, exc: BaseException, **where: Any) -> None:
    """Keep the failure for a later ``brisvane explain`` (best effort)."""
    record = {"command": command, "error": error_text(exc), **where}
    try:
        path = _state_file()
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(json.dumps(record, ensure_ascii=False), encoding="utf-8")
    except OSError:
        pass


def last_failure() -> Optional[dict[str, Any]]:
    try:
        record = json.loads(_state_file().read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None
