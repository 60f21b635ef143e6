"""``brisvane check``: connect to a server one step at a time, as
``EasyMailer`` would, and say which step fails and why.  It never sends mail.

The connection, STARTTLS and login are the delivery's own steps
(:mod:`brisvane._session`); this module only times them, adds the name
resolution and EHLO report around them, and tries the other TLS modes when
the chosen one does not answer.

The password goes only over TLS, unless the user asks for plain text by
name (``--mode plain``): neither ``--mode auto``, nor a port given alone,
nor a TLS mode that failed ever falls back to a login in plain text, and a
setting in plain text is never recommended to one who asked for TLS.
"""

from __future__ import annotations

import smtplib
import socket
import ssl
import threading
from typing import Any, Optional

from brisvane import _session, providers
from brisvane.cli import _ui

__all__ = ["constructor_call", "default_port", "run"]

default_port = _ui.default_port

_TLS_MODES: tuple[_session.Mode, ...] = tuple(m for m in _session.MODES if m != "plain")
# Where to look when neither port nor mode is given: each TLS mode on its
# usual port, and STARTTLS on the relay port, whose own rule is plain text.
_USUAL: tuple[tuple[int, _session.Mode], ...] = tuple(
    (port, mode) for mode, port in _session.DEFAULT_PORTS.items() if mode != "plain"
) + ((_session.DEFAULT_PORTS["plain"], "starttls"),)
_PROBE_TIMEOUT = 3.0
# A size longer than this is no size a server means.
_SIZE_DIGITS = 20
# certificate verification codes of OpenSSL, by what they say
_CERTIFICATE_TEXTS = {
    10: "cli.tls.expired",
    9: "cli.tls.not_yet_valid",
    62: "cli.tls.hostname",
    64: "cli.tls.hostname",
}


class StepFailed(Exception):
    """A step failed; its line is already printed.  `cause` is the error."""

    def __init__(self, cause: BaseException, *, probe_others: bool) -> None:
        super().__init__(str(cause))
        self.cause = cause
        self.probe_others = probe_others


def _mode_for_port(host: str, user: str, port: int) -> Optional[_session.Mode]:
    """The mode a port alone stands for: the provider's, else the port's
    usual TLS mode (STARTTLS on the relay port); None for another port."""
    found = providers.find(host, user)
    for p, mode in found.settings if found else ():
        if p == port:
            return mode
    for mode, usual in _session.DEFAULT_PORTS.items():
        if usual == port:
            return "starttls" if mode == "plain" else mode
    return None


def constructor_call(host: str, port: int, mode: _session.Mode, user: str) -> str:
    """The ``EasyMailer(...)`` call for a working setting (the password as
    a variable: it is never printed)."""
    options = _session.MODE_ARGUMENTS[mode]
    return f"EasyMailer({host!r}, {port}, {user!r}, password{options})".replace("'", '"')


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
        key = _CERTIFICATE_TEXTS.get(exc.verify_code, "cli.tls.untrusted")
        return out.text(key, detail=exc.verify_message)
    return _ui.error_text(exc)


def _tls_detail(out: _ui.Output, sock: Any) -> str:
    version = sock.version() if isinstance(sock, ssl.SSLSocket) else "?"
    cert = sock.getpeercert() if isinstance(sock, ssl.SSLSocket) else None
    until = (cert or {}).get("notAfter", "?")
    return out.text("cli.tls.ok", version=version, until=until)


def _setting(out: _ui.Output, port: int, mode: _session.Mode) -> str:
    return f"{port} {providers.mode_name(mode, out.lang)}"


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
    out.done(_first_line(server.greeting))
    return server


def _first_line(answer: bytes) -> str:
    """The first line of a server's answer, decoded on its own."""
    return _ui.decode_bytes(answer.split(b"\n", 1)[0].rstrip(b"\r"))


def _parameter(features: dict[str, str], name: str) -> str:
    """An EHLO keyword's parameters, decoded as the server's other text
    (the library reads them as Latin-1)."""
    return _ui.decode_bytes(features.get(name, "").strip().encode("latin-1", "replace"))


def _size_line(out: _ui.Output, size: str) -> Optional[str]:
    """The SIZE parameter said as MiB; what the server sent when it is no number."""
    if not size:
        return None
    if size.isascii() and size.isdigit() and len(size) <= _SIZE_DIGITS:
        return out.text("cli.ehlo.size", mib=f"{int(size) / 2**20:.1f}") if int(size) else None
    shown = size if len(size) <= 40 else f"{size[:40]}… ({len(size)})"
    return out.text("cli.ehlo.size_not_a_number", value=shown)


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
    out.done(_first_line(answer) if answer else str(code))
    pad = "  " + " " * 15
    names = " ".join(sorted(k.upper() for k in features))
    out.line(pad, out.text("cli.ehlo.extensions", names=names))
    out.line(pad, out.text("cli.ehlo.auth", names=_parameter(features, "auth") or "-"))
    size = _size_line(out, _parameter(features, "size"))
    if size is not None:
        out.line(pad, size)
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
            said = _ui.decode_bytes(answer) if isinstance(answer, bytes) else str(answer)
            out.failed(f"{exc.smtp_code} {said}"[: _ui.READ_LIMIT])
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


def _probe(host: str, port: int, mode: _session.Mode, timeout: float) -> Optional[BaseException]:
    """Quietly: does this mode get as far as EHLO (after STARTTLS)?  None
    when it does, else what stopped it.  No login is tried."""
    try:
        server = _session.open_connection(host, port, mode, timeout=timeout)
    except (OSError, smtplib.SMTPException) as exc:
        return exc
    try:
        _session.secure(server, mode)
        code, answer = server.ehlo()
        return None if 200 <= code < 300 else smtplib.SMTPResponseException(code, answer)
    except (OSError, smtplib.SMTPException) as exc:
        return exc
    finally:
        _session.close(server)


def _find_working(
    out: _ui.Output,
    host: str,
    candidates: list[tuple[int, _session.Mode]],
    timeout: float,
) -> Optional[tuple[int, _session.Mode]]:
    short = min(_PROBE_TIMEOUT, timeout)
    for port, mode in dict.fromkeys(candidates):
        out.start("cli.step.probe")
        stopped = _probe(host, port, mode, short)
        if stopped is None:
            out.done(_setting(out, port, mode))
            return port, mode
        out.failed(f"{_setting(out, port, mode)}: {_tls_failure(out, stopped)}")
    return None


def _plain_only(out: _ui.Output, host: str, ports: list[int], timeout: float) -> None:
    """After no TLS mode answered: say so when a port answers in plain text,
    and why its password is not sent there."""
    short = min(_PROBE_TIMEOUT, timeout)
    for port in dict.fromkeys(ports):
        if _probe(host, port, "plain", short) is None:
            out.finding(out.text("cli.check.only_plain", port=port))
            return


def run(args: Any, out: _ui.Output) -> int:
    host, user, timeout = args.host, args.user, args.timeout
    password = _ui.read_password(out, args.password_env, user)
    if password is None:
        return 1
    # plain text only when asked for by name
    plain_asked = args.mode == "plain"
    mode: Optional[_session.Mode] = None if args.mode in (None, "auto") else args.mode
    port: Optional[int] = args.port
    if mode is None and port is not None and args.mode is None:
        mode = _mode_for_port(host, user, port)
    if mode is not None and port is None:
        port = default_port(host, user, mode)
    found = providers.find(host, user)
    if mode is not None and port is not None:
        out.say("cli.check.heading", host=host, port=port, mode=_mode(out, mode), user=user)
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
        # --mode auto: find the TLS mode first, quietly, then check it fully
        tried = [(port, m) for m in _TLS_MODES] if port else list(_USUAL)
        preferred = list(found.settings) if found else []
        working = _find_working(out, host, preferred + tried, timeout)
        if working is None:
            out.say("cli.check.nothing_works")
            _plain_only(out, host, [p for p, _ in preferred + tried], timeout)
            return 1
        port, mode = working
        out.say("cli.check.heading", host=host, port=port, mode=_mode(out, mode), user=user)

    try:
        _attempt(out, host, port, mode, user, password, timeout)
    except StepFailed as failure:
        status = _fail(out, failure.cause, args, port, mode)
        if failure.probe_others:
            _others(out, args, found, port, mode, plain_asked, failure.cause)
        return status
    out.say("cli.check.all_ok")
    out.line("  ", constructor_call(host, port, mode, user))
    return 0


def _others(
    out: _ui.Output,
    args: Any,
    found: Optional[providers.Provider],
    port: int,
    mode: _session.Mode,
    plain_asked: bool,
    cause: BaseException,
) -> None:
    """After a failure that other settings may not have: try them, the
    other modes on this port and, where the provider documents them or no
    port was given, other ports; plain text only when it was asked for."""
    usual = (found.settings if found else ()) + (_USUAL if args.port is None else ())
    # nothing listens on this port: no other mode is tried on it
    refused = isinstance(cause, ConnectionRefusedError)
    others = [(port, m) for m in _session.MODES if m != mode]
    others += [(p, m) for p, m in usual if m != mode]
    if not plain_asked:
        others = [(p, m) for p, m in others if m != "plain"]
    if refused:
        others = [(p, m) for p, m in others if p != port]
    if not others:
        return
    out.say("cli.check.probing")
    working = _find_working(out, args.host, others, args.timeout)
    if working is None:
        out.say("cli.check.nothing_works")
        if not plain_asked:
            ports = ([] if refused else [port]) + [p for p, _ in others]
            _plain_only(out, args.host, ports, args.timeout)
        return
    out.say("cli.check.works_instead")
    out.line("  ", constructor_call(args.host, working[0], working[1], args.user))


def _mode(out: _ui.Output, mode: _session.Mode) -> str:
    return providers.mode_name(mode, out.lang)


def _fail(out: _ui.Output, exc: BaseException, args: Any, port: Any, mode: Any) -> int:
    _ui.record_failure("check", exc, host=args.host, port=port, mode=mode, user=args.user)
    text = _ui.decode(_ui.error_text(exc))
    out.line()
    _ui.explain(out, text, args.host, args.user)
    return 1
