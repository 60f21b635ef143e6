"""``brisvane explain``: name the cause of a server's refusal and its fix.

The known answers are the table :data:`ANSWERS` (in :mod:`brisvane.cli._ui`,
where ``check`` and ``send`` explain their own failures with it): patterns
over the decoded error text (and, for answers that only one provider gives
in those words, the provider) pointing at a cause and a fix in
:mod:`brisvane._messages`.  An answer no row knows is shown decoded, with
the general advice.  Only the first :data:`READ_LIMIT` characters are read.
"""

from __future__ import annotations

import sys
from typing import Any, Optional

from brisvane.cli._ui import (
    ANSWERS,
    READ_LIMIT,
    Answer,
    Output,
    decode,
    explain,
    last_failure,
    match,
)

__all__ = ["ANSWERS", "READ_LIMIT", "Answer", "decode", "explain", "match", "run"]


def _utf8_head(raw: bytes) -> bytes:
    """`raw` without a UTF-8 character cut at its end by the read limit."""
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError as exc:
        if exc.reason == "unexpected end of data":
            return raw[: exc.start]
    return raw


def _read_input(args: Any) -> tuple[Optional[str], str, str]:
    if args.text and args.text != ["-"]:
        return decode(" ".join(args.text)), args.host or "", args.user or ""
    if args.text == ["-"] or (not args.last and not sys.stdin.isatty()):
        if hasattr(sys.stdin, "buffer"):
            raw = sys.stdin.buffer.read(READ_LIMIT)
            text: Optional[str] = decode(_utf8_head(raw))
        else:
            text = decode(sys.stdin.read(READ_LIMIT))
        if text and text.strip():
            return text, args.host or "", args.user or ""
    record = last_failure()
    if record is None:
        return None, "", ""
    return (
        decode(str(record.get("error", ""))),
        args.host or str(record.get("host", "")),
        args.user or str(record.get("user", "")),
    )


def run(args: Any, out: Output) -> int:
    text, host, user = _read_input(args)
    if text is None:
        out.say("cli.explain.nothing")
        return 1
    out.line(out.paint(out.text("cli.explain.answer"), "bold"), text.strip())
    return 0 if explain(out, text, host, user) else 1
