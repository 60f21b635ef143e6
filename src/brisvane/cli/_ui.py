"""What the commands share: the output layer (steps as they happen with
their timing, coloured only on a terminal, every outside text made
harmless), the known server answers and their explanation, the password,
the template context, the usual port, and the last failure kept for
``explain``.  Commands import from here, never from each other."""

from __future__ import annotations

import ast
import getpass
import json
import os
import re
import stat
import sys
import tempfile
import time
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional, TextIO, Union

from brisvane import _messages, _session, providers

_COLOURS = {"ok": "32", "fail": "31", "warn": "33", "dim": "2", "bold": "1"}

# Characters a terminal acts on rather than shows: C0 controls but the line
# feed and the tab, DEL, C1 controls (a lone \x9b is a CSI), the bidirectional
# overrides and isolates, and lone surrogates (undecodable bytes).
_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u202a-\u202e\u2066-\u2069\ud800-\udfff]")


def _written_out(found: re.Match[str]) -> str:
    code = ord(found.group(0))
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def visible(text: str) -> str:
    """`text` with every control character written out (ESC as ``\\x1b``),
    so that text from outside cannot move the cursor, set the window title
    or write the clipboard; printable text (Chinese included) unchanged."""
    return _CONTROL.sub(_written_out, text)


class _Painted(str):
    """Text already made visible and wrapped in colour codes by :meth:`Output.paint`."""


class Output:
    """Lines for a person, in one language.  Everything written goes
    through :meth:`line` (or :meth:`start`), which makes control characters
    visible in every part except the colours :meth:`paint` adds."""

    def __init__(self, lang: Optional[str] = None, stream: Optional[TextIO] = None) -> None:
        self.lang = _messages.language(lang)
        self.stream = stream if stream is not None else sys.stdout
        isatty = getattr(self.stream, "isatty", None)
        self.colour = bool(isatty and isatty()) and not os.environ.get("NO_COLOR")
        self._started: Optional[float] = None

    def text(self, key: str, **fields: object) -> str:
        return _messages.text(key, self.lang, **fields)

    def paint(self, text: str, colour: str) -> str:
        """`text` in `colour` on a terminal; pass it to :meth:`line` as a part of its own."""
        if not self.colour:
            return text
        return _Painted(f"\x1b[{_COLOURS[colour]}m{visible(text)}\x1b[0m")

    def _write(self, parts: tuple[str, ...], end: str) -> None:
        shown = (p if isinstance(p, _Painted) else visible(p) for p in parts)
        self.stream.write("".join(shown) + end)
        self.stream.flush()

    def line(self, *parts: str) -> None:
        self._write(parts, "\n")

    def say(self, key: str, **fields: object) -> None:
        self.line(self.text(key, **fields))

    def start(self, step_key: str) -> None:
        """Show a step as it begins; :meth:`done` or :meth:`failed` ends its line."""
        name = self.text(step_key)
        # pad by columns on screen: a Chinese character takes two
        width = sum(2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in name)
        self._write((f"  {name}{' ' * max(1, 15 - width)}",), "")
        self._started = time.monotonic()

    def _elapsed(self) -> str:
        started, self._started = self._started, None
        return "" if started is None else f"({(time.monotonic() - started) * 1000:.0f} ms)"

    def _end(self, mark: str, detail: str) -> None:
        parts: list[str] = []
        for part in (mark, detail, self.paint(self._elapsed(), "dim")):
            if part:
                parts += [" ", part] if parts else [part]
        self.line(*parts)

    def done(self, detail: str = "") -> None:
        self._end(self.paint(self.text("cli.ok"), "ok"), detail)

    def failed(self, detail: str = "") -> None:
        self._end(self.paint(self.text("cli.failed"), "fail"), detail)

    def finding(self, text: str) -> None:
        self.line(self.paint(text, "warn"))


# --- server text ---------------------------------------------------------------

# What explain reads of an answer: real refusals are a few hundred
# characters; a longer text is cut, so that no input costs more than this.
READ_LIMIT = 8192


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


# a bytes literal as Python prints it: one character at a time, each one way
# (no nested repetition: a literal left open costs one scan, not exponential)
_BYTES_LITERAL = re.compile(r"""b(?:'(?:[^'\\]|\\.)*'|"(?:[^"\\]|\\.)*")""")


def decode(text: Union[str, bytes]) -> str:
    """The readable text of an error (its first :data:`READ_LIMIT`
    characters): bytes decoded, and the ``b'...'`` literals that Python
    prints for server answers decoded in place."""
    if isinstance(text, bytes):
        text = decode_bytes(text[:READ_LIMIT])
    text = text[:READ_LIMIT]
    if any("\udc80" <= c <= "\udcff" for c in text):
        # bytes that were not valid in this locale (a GBK argument)
        text = decode_bytes(os.fsencode(text))

    def literal(found: re.Match[str]) -> str:
        try:
            value = ast.literal_eval(found.group(0))
        except (ValueError, SyntaxError):
            return found.group(0)
        return decode_bytes(value) if isinstance(value, bytes) else found.group(0)

    return _BYTES_LITERAL.sub(literal, text)


# --- known answers ---------------------------------------------------------------


@dataclass(frozen=True)
class Answer:
    """A known server answer: every one of `patterns` found in the decoded
    text (ignoring case), and the provider, when one is named, the one the
    failure came from.  Each pattern is a short token or a choice of tokens,
    searched on its own, so that no text makes the search slower than linear.
    Its texts are ``cli.answer.KEY.cause`` and ``cli.answer.KEY.fix``."""

    key: str
    patterns: tuple[str, ...]
    provider: Optional[str] = None

    @property
    def cause(self) -> str:
        return f"cli.answer.{self.key}.cause"

    @property
    def fix(self) -> str:
        return f"cli.answer.{self.key}.fix"

    def matches(self, text: str, provider: Optional[str]) -> bool:
        if self.provider is not None and self.provider != provider:
            return False
        return all(re.search(p, text, re.IGNORECASE) for p in self.patterns)


def _row(key: str, *patterns: str, provider: Optional[str] = None) -> Answer:
    return Answer(key, patterns, provider)


# The first matching row wins, so specific rows come before general ones.
ANSWERS: tuple[Answer, ...] = (
    # QQ asks for the authorization code (授权码), in English or in GBK Chinese
    _row("qq_auth_code", r"\b535\b", r"授权码|authori[sz]ation code"),
    # QQ, 163 and 126: the From (envelope sender) must be the login account
    _row(
        "from_not_login",
        r"\b(?:501|553)\b",
        r"must be same as authori[sz]ation user|must equal authori[sz]ed user",
    ),
    _row("netease_spam", r"\b554\b", r"\bDT:SPM\b"),
    _row("gmail_app_password", r"\b534\b", r"5\.7\.9\b|application-specific password required"),
    _row("gmail_web_login", r"\b534\b", r"5\.7\.14\b"),
    _row("gmail_bad_credentials", r"\b535\b", r"5\.7\.8\b", r"not accepted|BadCredentials"),
    # 5.7.139 also comes with a wrong password, in these words
    _row("microsoft_bad_credentials", r"5\.7\.139\b", r"credentials were incorrect"),
    _row("microsoft_auth_disabled", r"5\.7\.139\b|SmtpClientAuthentication is disabled"),
    _row("microsoft_not_authenticated", r"5\.7\.57\b"),
    _row("microsoft_bad_credentials", r"\b535\b", r"5\.7\.3\b"),
    _row("netease_auth", r"\b535\b", provider="163"),
    _row("netease_auth", r"\b535\b", provider="126"),
    _row("qq_auth_code", r"\b535\b", provider="qq"),
    _row("gmail_bad_credentials", r"\b535\b", provider="gmail"),
    _row("microsoft_bad_credentials", r"\b535\b", provider="microsoft"),
    _row("no_auth", r"SMTPNotSupportedError|SMTP AUTH extension not supported", r"\bAUTH\b"),
    _row("no_starttls", r"STARTTLS extension not supported"),
    _row(
        "tls_on_plain_port",
        r"wrong[ _]version[ _]number|unknown protocol|packet length too long|record layer failure",
    ),
    _row("greeting_timeout", r"greeting", r"timed out|timeout"),
    _row("cert_expired", r"certificate has expired"),
    _row("cert_hostname", r"hostname mismatch|IP address mismatch|doesn't match"),
    _row(
        "cert_untrusted",
        r"CERTIFICATE_VERIFY_FAILED|self[- ]signed certificate|unable to get local issuer",
    ),
    _row("refused", r"connection refused|\[Errno 111\]|\[WinError 10061\]"),
    _row(
        "dns",
        r"Name or service not known|nodename nor servname|getaddrinfo failed|"
        r"Temporary failure in name resolution|No address associated|"
        r"'idna' codec|label empty or too long",
    ),
    _row("timeout", r"timed out|TimeoutError"),
    _row("disconnected", r"Connection unexpectedly closed|SMTPServerDisconnected"),
    _row("bad_credentials", r"\b535\b|SMTPAuthenticationError"),
    # the code first, in a tuple, or after an SMTP error's name ("SMTPDataError: 451 ...")
    _row("temporary", r"(?:^|\(|\bSMTP\w*: )\s*4\d\d\b"),
)

# rows whose fix is the password: the provider's own note follows
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


def match(text: str, provider: Optional[str] = None) -> Optional[Answer]:
    """The first row of :data:`ANSWERS` that explains the decoded `text`."""
    text = text[:READ_LIMIT]
    return next((row for row in ANSWERS if row.matches(text, provider)), None)


def explain(out: Output, text: str, host: str = "", user: str = "") -> bool:
    """Print the cause and fix of a decoded error text; False when unknown."""
    found = providers.find(host, user)
    row = match(text, found.key if found else None)
    if row is None:
        out.say("cli.explain.unknown")
        out.line("  ", text.strip())
        out.say("cli.explain.general")
        return False
    out.line(out.paint(out.text("cli.explain.cause"), "bold"), out.text(row.cause))
    out.line(out.paint(out.text("cli.explain.fix"), "bold"), out.text(row.fix))
    if found is not None and row.key in _PASSWORD_ROWS:
        out.line(f"  {found.display_name(out.lang)}: {found.password_note(out.lang)}")
        if found.link:
            out.line(f"  {found.link}")
    return True


# --- what the commands read ----------------------------------------------------------


def read_password(out: Output, env: Optional[str], user: str) -> Optional[str]:
    """From the environment variable named `env`, else a prompt."""
    if env:
        value = os.environ.get(env)
        if value is None:
            out.say("cli.password.unset", name=env)
        return value
    try:
        return getpass.getpass(visible(out.text("cli.password.prompt", user=user)))
    except (EOFError, KeyboardInterrupt):
        out.line()
        out.say("cli.password.none")
        return None


def load_context(value: Optional[str]) -> dict[str, Any]:
    """``--context``: a JSON object, or the path of a file holding one."""
    if not value:
        return {}
    path = Path(value)
    if path.is_file():
        context = json.loads(path.read_text(encoding="utf-8"))
    else:
        try:
            context = json.loads(value)
        except ValueError as exc:
            # a misspelt file name is the likelier mistake than bad JSON
            raise ValueError(
                _messages.text("cli.context.unreadable", None, value=value, error=exc)
            ) from None
    if not isinstance(context, dict):
        raise ValueError(
            _messages.text("cli.context.not_object", None, type=type(context).__name__)
        )
    return context


def default_port(host: str, user: str, mode: _session.Mode) -> int:
    """The provider's port for `mode`, else the mode's usual one."""
    found = providers.find(host, user)
    for port, m in found.settings if found else ():
        if m == mode:
            return port
    return _session.DEFAULT_PORTS[mode]


# --- the last failure, kept for explain ------------------------------------------------------


def _state_file() -> Path:
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(
        os.path.expanduser("~"), ".local", "state"
    )
    return Path(base) / "brisvane" / "last-failure.json"


_NOFOLLOW = getattr(os, "O_NOFOLLOW", 0)


def _private_directory(directory: Path) -> bool:
    """Make `directory` ours alone (0700); False when it is a link, not a
    directory, or another user's."""
    directory.mkdir(mode=0o700, parents=True, exist_ok=True)
    st = os.lstat(directory)
    if not stat.S_ISDIR(st.st_mode):
        return False
    if hasattr(os, "getuid") and st.st_uid != os.getuid():
        return False
    if stat.S_IMODE(st.st_mode) & 0o077:
        os.chmod(directory, 0o700)
    return True


def record_failure(command: str, exc: BaseException, **where: Any) -> None:
    """Keep the failure for a later ``brisvane explain`` (best effort): a
    file only the user can read, in a folder only the user can open,
    replaced whole (a new file renamed over it), never written through a
    link planted at its name."""
    record = {"command": command, "error": error_text(exc)[:READ_LIMIT], **where}
    path = _state_file()
    try:
        if not _private_directory(path.parent):
            return
        fd, temporary = tempfile.mkstemp(prefix=".last-failure-", dir=path.parent)
    except OSError:
        return
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as f:
            json.dump(record, f, ensure_ascii=False)
        # the rename replaces a link at the name itself, never its target
        os.replace(temporary, path)
    except OSError:
        try:
            os.unlink(temporary)
        except OSError:
            pass


def last_failure() -> Optional[dict[str, Any]]:
    """The failure kept by :func:`record_failure`; None when there is none,
    or when its name is a link."""
    try:
        fd = os.open(_state_file(), os.O_RDONLY | _NOFOLLOW)
        with os.fdopen(fd, "rb") as f:
            record = json.loads(f.read(16 * READ_LIMIT).decode("utf-8"))
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None
