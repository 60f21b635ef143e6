"""``brisvane explain``: name the cause of a server's refusal and its fix.

The known answers are the table :data:`ANSWERS`: a pattern over the decoded
error text (and, for answers that only one provider gives in those words,
the provider) pointing at a cause and a fix in :mod:`brisvane._messages`.
The first matching row wins, so specific rows come before general ones.
An answer no row knows is shown decoded, with the general advice.
"""

from __future__ import annotations

import ast
import os
import re
import sys
from dataclasses import dataclass
from typing import Any, Optional, Union

from brisvane import providers
from brisvane.cli import _ui

__all__ = ["ANSWERS", "Answer", "decode", "explain", "match", "run"]


@dataclass(frozen=True)
class Answer:
    key: str  # texts cli.answer.KEY.cause and cli.answer.KEY.fix
    pattern: str  # searched in the decoded text, ignoring case
    provider: Optional[str] = None  # only when the failure came from this provider

    def matches(self, text: str, provider: Optional[str]) -> bool:
        if self.provider is not None and self.provider != provider:
            return False
        return re.search(self.pattern, text, re.IGNORECASE | re.DOTALL) is not None


ANSWERS: tuple[Answer, ...] = (
    # QQ asks for the authorization code (授权码), in English or in GBK Chinese
    Answer("qq_auth_code", r"\b535\b.*(授权码|authori[sz]ation code)"),
    # QQ, 163 and 126: the From (envelope sender) must be the login account
    Answer(
        "from_not_login",
        r"\b(501|553)\b.*(must be same as authori[sz]ation user|must equal authori[sz]ed user)",
    ),
    Answer("netease_spam", r"\b554\b.*\bDT:SPM\b"),
    Answer("gmail_app_password", r"\b534\b.*(5\.7\.9\b|application-specific password required)"),
    Answer("gmail_web_login", r"\b534\b.*5\.7\.14\b"),
    Answer("gmail_bad_credentials", r"\b535\b.*5\.7\.8\b.*(not accepted|BadCredentials)"),
    # 5.7.139 also comes with a wrong password, in these words
    Answer("microsoft_bad_credentials", r"5\.7\.139\b.*credentials were incorrect"),
    Answer("microsoft_auth_disabled", r"5\.7\.139\b|SmtpClientAuthentication is disabled"),
    Answer("microsoft_not_authenticated", r"5\.7\.57\b"),
    Answer("microsoft_bad_credentials", r"\b535\b.*5\.7\.3\b"),
    Answer("netease_auth", r"\b535\b", provider="163"),
    Answer("netease_auth", r"\b535\b", provider="126"),
    Answer("qq_auth_code", r"\b535\b", provider="qq"),
    Answer("gmail_bad_credentials", r"\b535\b", provider="gmail"),
    Answer("microsoft_bad_credentials", r"\b535\b", provider="microsoft"),
    Answer("no_auth", r"SMTPNotSupportedError.*\bAUTH\b|SMTP AUTH extension not supported"),
    Answer("no_starttls", r"STARTTLS extension not supported"),
    Answer(
        "tls_on_plain_port",
        r"wrong[ _]version[ _]number|unknown protocol|packet length too long|record layer failure",
    ),
    Answer("greeting_timeout", r"greeting.*(timed out|timeout)|(timed out|timeout).*greeting"),
    Answer("cert_expired", r"certificate has expired"),
    Answer("cert_hostname", r"hostname mismatch|IP address mismatch|doesn't match"),
    Answer(
        "cert_untrusted",
        r"CERTIFICATE_VERIFY_FAILED|self[- ]signed certificate|unable to get local issuer",
    ),
    Answer("refused", r"connection refused|\[Errno 111\]|\[WinError 10061\]"),
    Answer(
        "dns",
        r"Name or service not known|nodename nor servname|getaddrinfo failed|"
        r"Temporary failure in name resolution|No address associated|"
        r"'idna' codec|label empty or too long",
    ),
    Answer("timeout", r"timed out|TimeoutError"),
    Answer("disconnected", r"Connection unexpectedly closed|SMTPServerDisconnected"),
    Answer("bad_credentials", r"\b535\b|SMTPAuthenticationError"),
    # the code first, in a tuple, or after an SMTP error's name ("SMTPDataError: 451 ...")
    Answer("temporary", r"(^|\(|SMTP\w*: )\s*4\d\d\b"),
)

_BYTES_LITERAL = re.compile(r"""b(?:'(?:[^'\\]|\\.)*'|"(?:[^"\\]|\\.)*")""")


decode_bytes = _ui.decode_bytes


def decode(text: Union[str, bytes]) -> str:
    """The readable text of an error: bytes decoded, and the ``b'...'``
    literals that Python prints for server answers decoded in place."""
    if isinstance(text, bytes):
        text = decode_bytes(text)
    elif any("\udc80" <= c <= "\udcff" for c in text):
        # bytes that were not valid in this locale (a GBK argument)
        text = decode_bytes(os.fsencode(text))

    def literal(found: re.Match[str]) -> str:
        try:
            value = ast.literal_eval(found.group(0))
        except (ValueError, SyntaxError):
            return found.group(0)
        return decode_bytes(value) if isinstance(value, bytes) else found.group(0)

    return _BYTES_LITERAL.sub(literal, text)


def match(text: str, provider: Optional[str] = None) -> Optional[Answer]:
    """The first row of :data:`ANSWERS` that explains the decoded `text`."""
    return next((row for row in ANSWERS if row.matches(text, provider)), None)


def explain(out: _ui.Output, text: str, host: str = "", user: str = "") -> bool:
    """Print the cause and fix of a decoded error text; False when unknown."""
    found = providers.find(host, user)
    row = match(text, found.key if found else None)
    if row is None:
        out.say("cli.explain.unknown")
        out.line("  " + text.strip())
        out.say("cli.explain.general")
        return False
    out.line(
        out.paint(out.text("cli.explain.cause"), "bold") + out.text(f"cli.answer.{row.key}.cause")
    )
    out.line(out.paint(out.text("cli.explain.fix"), "bold") + out.text(f"cli.answer.{row.key}.fix"))
    if found is not None and row.key in _PASSWORD_ROWS:
        out.line(f"  {found.display_name(out.lang)}: {found.password_note(out.lang)}")
        if found.link:
            out.line(f"  {found.link}")
    return True


_PASSWORD_ROWS = frozenset(
    {
        "qq_auth_code",
        "netease_auth",
        "gmail_app_password",
        "gmail_bad_credentials",
        "microsoft_bad_credentials",
        "microsoft_auth_disabled",
        "bad_credentials",
    }
)


def _read_input(args: Any) -> tuple[Optional[str], str, str]:
    if args.text and args.text != ["-"]:
        return decode(" ".join(args.text)), args.host or "", args.user or ""
    if args.text == ["-"] or (not args.last and not sys.stdin.isatty()):
        raw = sys.stdin.buffer.read() if hasattr(sys.stdin, "buffer") else sys.stdin.read()
        if raw.strip():
            return decode(raw), args.host or "", args.user or ""
    record = _ui.last_failure()
    if record is None:
        return None, "", ""
    return (
        decode(str(record.get("error", ""))),
        args.host or str(record.get("host", "")),
        args.user or str(record.get("user", "")),
    )


def run(args: Any, out: _ui.Output) -> int:
    text, host, user = _read_input(args)
    if text is None:
        out.say("cli.explain.nothing")
        return 1
    out.line(out.paint(out.text("cli.explain.answer"), "bold") + text.strip())
    return 0 if explain(out, text, host, user) else 1
