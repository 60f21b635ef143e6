"""``brisvane check``: connect to a server one step at a time, as
``EasyMailer`` would, and say which step fails and why.  It never sends mail.

The connection, STARTTLS and login are the delivery's own steps
(:mod:`brisvane._session`); this module only times them, adds the name
resolution and EHLO report around them, and tries the other TLS modes when
the chosen one does not answer.
"""

from __future__ import annotations

import getpass
import os
import smtplib
import socket
import ssl
import threading
from typing import Any, Optional

from brisvane import _session, providers
from brisvane.cli import _ui, explain

__all__ = ["constructor_call", "default_port", "run"]

_STANDARD: tuple[tuple[int, _session.Mode], ...] = (
    (465, "ssl"),
    (587, "starttls"),
    (587, "plain"),
    (25, "starttls"),
    (25, "plain"),
)
_PROBE_TIMEOUT = 3.0


class StepFailed(Exception):
    """A step failed; its line is already printed.  `cause` is the error."""

    def __init__(self, cause: BaseException, *, probe_others: bool) -> None:
        super().__init__(str(cause))
        self.cause = cause
        self.probe_others = probe_others


def default_port(host: str, user: str, mode: str) -> Optional[int]:
    found = providers.find(host, user)
    for port, m in found.settings if found else ():
        if m == mode:
            return port
    return {"ssl": 465, "starttls": 587, "plain": 25}.get(mode)


def _mode_for_port(host: str, user: str, port: int) -> Optional[_session.Mode]:
    found = providers.find(host, user)
    for p, mode in found.settings if found else ():
        if p == port:
            return mode
    usual: dict[int, _session.Mode] = {465: "ssl", 587: "starttls", 25: "plain"}
    return usual.get(port)


def constructor_call(host: str, port: int, mode: str, user: str) -> str:
    """The ``EasyMailer(...)`` call for a working setting (the password as
    a variable: it is never printed)."""
    options = {"ssl": "", "starttls": ", use_ssl=False, use_tls=True", "plain": ", use_ssl=False"}
    return f"EasyMailer({host!r}, {port}, {user!r}, password{options[mode]})".replace("'", '"')


def _resolve(host: str, port: int, timeout: float) -> list[str]:
    # getaddrinfo has no timeout of its own: bound the wait for it
    result: dict[str, Any] = {}

    def look_up() -> None:
        try:
            result["infos"] = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
        except (OSError, UnicodeError) as exc:  # UnicodeError: not a host name (IDNA)
            result["error"] = exc

    worker = threading.Thread(target=look_up, daemon=True)
    worker.start()
    worker.join(timeout)
    if "error" in result:
        raise result["error"]
    if "infos" not in result:
        raise socket.timeout(f"name resolution timed out after {timeout:g} s")
    return list(dict.fromkeys(str(info[4][0]) for info in result["infos"]))


def _tls_failure(out: _ui.Output, exc: BaseException) -> str:
    """A certificate failure named: untrusted, expired, or for another host."""
    if isinstance(exc, ssl.SSLCertVerificationError):
        kind = {10: "expired", 9: "not_yet_valid", 62: "hostname", 64: "hostname"}.get(
            exc.verify_code, "untrusted"
        )
        return out.text(f"cli.tls.{kind}", detail=exc.verify_message)
    return _ui.error_text(exc)


def _tls_detail(out: _ui.Output, sock: Any) -> str:
    version = sock.version() if isinstance(sock, ssl.SSLSocket) else "?"
    cert = sock.getpeercert() if isinstance(sock, ssl.SSLSocket) else None
    until = (cert or {}).get("notAfter", "?")
    return out.text("cli.tls.ok", version=version, until=until)


def _open(out: _ui.Output, host: str, port: int, mode: _session.Mode, timeout: float) -> Any:
    """TCP, implicit TLS and the greeting, each on its own line."""
    current = ["cli.step.tcp"]
    out.start("cli.step.tcp")

    def observe(event: str, sock: Any) -> None:
        if event == "tcp":
            address = sock.getpeername()
            out.done(f"{address[0]}:{address[1]}")
            current[0] = "cli.step.tls" if mode == "ssl" else "cli.step.greeting"
        else:
            out.done(_tls_detail(out, sock))
            current[0] = "cli.step.greeting"
        out.start(current[0])

    try:
        server = _session.open_connection(host, port, mode, timeout=timeout, observer=observe)
    except ssl.SSLCertVerificationError as exc:
        out.failed(_tls_failure(out, exc))
        raise StepFailed(exc, probe_others=False) from None
    except (OSError, smtplib.SMTPException) as exc:
        timed_out = isinstance(exc, socket.timeout) or "timed out" in str(exc)
        if timed_out and current[0] == "cli.step.greeting":
            out.failed(out.text("cli.greeting.timeout", timeout=timeout))
            exc = socket.timeout(f"timed out waiting for the greeting after {timeout:g} s")
        else:
            out.failed(_ui.error_text(exc))
        raise StepFailed(exc, probe_others=True) from None
    out.done(_ui.decode_bytes(server.greeting).splitlines()[0] if server.greeting else "")
    return server


def _session_steps(
    out: _ui.Output, server: Any, mode: _session.Mode, user: str, password: Optional[str]
) -> None:
    if mode == "starttls":
        out.start("cli.step.starttls")
        try:
            _session.secure(server, mode)
        except ssl.SSLCertVerificationError as exc:
            out.failed(_tls_failure(out, exc))
            raise StepFailed(exc, probe_others=False) from None
        except (OSError, smtplib.SMTPException) as exc:
            out.failed(_ui.error_text(exc))
            raise StepFailed(exc, probe_others=True) from None
        out.done(_tls_detail(out, server.sock))
    out.start("cli.step.ehlo")
    try:
        code, answer = server.ehlo()
    except (OSError, smtplib.SMTPException) as exc:
        out.failed(_ui.error_text(exc))
        raise StepFailed(exc, probe_others=False) from None
    features = server.esmtp_features
    out.done(explain.decode_bytes(answer).splitlines()[0] if answer else str(code))
    pad = "  " + " " * 15
    out.line(
        pad + out.text("cli.ehlo.extensions", names=" ".join(sorted(k.upper() for k in features)))
    )
    out.line(pad + out.text("cli.ehlo.auth", names=features.get("auth", "").strip() or "-"))
    size = features.get("size", "").strip()
    if size.isdigit() and int(size):
        out.line(pad + out.text("cli.ehlo.size", mib=f"{int(size) / 2**20:.1f}"))
    if mode == "plain" and "starttls" in features:
        out.finding(pad + out.text("cli.ehlo.plain_offers_starttls"))
    if password is None:
        return
    out.start("cli.step.login")
    try:
        _session.authenticate(server, user, password)
    except (OSError, smtplib.SMTPException, UnicodeEncodeError) as exc:
        if isinstance(exc, smtplib.SMTPResponseException):
            answer = exc.smtp_error
            out.failed(
                f"{exc.smtp_code} {_ui.decode_bytes(answer) if isinstance(answer, bytes) else answer}"
            )
        else:
            out.failed(_ui.error_text(exc))
        raise StepFailed(exc, probe_others=False) from None
    out.done(out.text("cli.login.ok", user=user))


def _attempt(
    out: _ui.Output,
    host: str,
    port: int,
    mode: _session.Mode,
    user: str,
    password: Optional[str],
    timeout: float,
) -> None:
    server = _open(out, host, port, mode, timeout)
    try:
        _session_steps(out, server, mode, user, password)
    finally:
        _session.close(server)


def _probe(host: str, port: int, mode: _session.Mode, timeout: float) -> bool:
    """Quietly: does this mode get as far as EHLO (after STARTTLS)?"""
    try:
        server = _session.open_connection(host, port, mode, timeout=timeout)
    except (OSError, smtplib.SMTPException):
        return False
    try:
        _session.secure(server, mode)
        return 200 <= server.ehlo()[0] < 300
    except (OSError, smtplib.SMTPException):
        return False
    finally:
        _session.close(server)


def _find_working(
    out: _ui.Output,
    host: str,
    user: str,
    candidates: list[tuple[int, _session.Mode]],
    timeout: float,
) -> Optional[tuple[int, _session.Mode]]:
    short = min(_PROBE_TIMEOUT, timeout)
    for port, mode in dict.fromkeys(candidates):
        out.start("cli.step.probe")
        if _probe(host, port, mode, short):
            out.done(f"{port} {out.text(f'cli.mode.{mode}')}")
            return port, mode
        out.failed(f"{port} {out.text(f'cli.mode.{mode}')}")
    return None


def read_password(out: _ui.Output, env: Optional[str], user: str) -> Optional[str]:
    """From the environment variable named `env`, else a prompt."""
    if env:
        value = os.environ.get(env)
        if value is None:
            out.say("cli.password.unset", name=env)
        return value
    try:
        return getpass.getpass(out.text("cli.password.prompt", user=user))
    except (EOFError, KeyboardInterrupt):
        out.line()
        out.say("cli.password.none")
        return None


def run(args: Any, out: _ui.Output) -> int:
    host, user, timeout = args.host, args.user, args.timeout
    password = read_password(out, args.password_env, user)
    if password is None:
        return 1
    mode: Optional[str] = None if args.mode == "auto" else args.mode
    port: Optional[int] = args.port
    if mode is None and port is not None and args.mode != "auto":
        mode = _mode_for_port(host, user, port)
    if mode is not None and port is None:
        port = default_port(host, user, mode)
    found = providers.find(host, user)
    if mode is not None and port is not None:
        out.say(
            "cli.check.heading", host=host, port=port, mode=out.text(f"cli.mode.{mode}"), user=user
        )
    else:
        out.say("cli.check.heading_auto", host=host, user=user)
    if found is not None:
        out.say(
            "cli.check.provider",
            name=found.display_name(out.lang),
            settings=providers.describe_settings(found, out.lang),
        )

    out.start("cli.step.resolve")
    try:
        addresses = _resolve(host, port or 0, timeout)
    except (OSError, UnicodeError) as exc:
        out.failed(_ui.error_text(exc))
        return _fail(out, exc, args, port, mode)
    out.done(", ".join(addresses[:3]))

    if mode is None or port is None:
        # --mode auto: find the mode first, quietly, then check it fully
        tried = [(port, m) for m in _session.MODES] if port else list(_STANDARD)
        preferred = list(found.settings) if found else []
        working = _find_working(out, host, user, preferred + tried, timeout)
        if working is None:
            out.say("cli.check.nothing_works")
            return 1
        port, mode = working
        out.say(
            "cli.check.heading", host=host, port=port, mode=out.text(f"cli.mode.{mode}"), user=user
        )

    checked_mode: _session.Mode = mode  # type: ignore[assignment]
    try:
        _attempt(out, host, port, checked_mode, user, password, timeout)
    except StepFailed as failure:
        status = _fail(out, failure.cause, args, port, mode)
        if failure.probe_others:
            # the other modes on this port; other ports only where the
            # provider documents them, or where no port was given
            usual = (found.settings if found else ()) + (_STANDARD if args.port is None else ())
            refused = isinstance(failure.cause, ConnectionRefusedError)
            others = [] if refused else [(port, m) for m in _session.MODES if m != mode]
            others += [(p, m) for p, m in usual if m != mode and not (refused and p == port)]
            if not others:
                return status
            out.say("cli.check.probing")
            working = _find_working(out, host, user, others, timeout)
            if working is None:
                out.say("cli.check.nothing_works")
            else:
                out.say("cli.check.works_instead")
                out.line("  " + constructor_call(host, working[0], working[1], user))
        return status
    out.say("cli.check.all_ok")
    out.line("  " + constructor_call(host, port, checked_mode, user))
    return 0


def _fail(out: _ui.Output, exc: BaseException, args: Any, port: Any, mode: Any) -> int:
    _ui.record_failure("check", exc, host=args.host, port=port, mode=mode, user=args.user)
    text = explain.decode(_ui.error_text(exc))
    out.line()
    explain.explain(out, text, args.host, args.user)
    return 1
