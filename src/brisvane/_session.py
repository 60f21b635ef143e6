"""The steps of one SMTP session, as ``EasyMailer._do_send`` performs them.

Open a connection for a mode, secure it (STARTTLS), authenticate, submit,
close: each step is a function of its own, so that a delivery that keeps a
connection across mails, or a diagnosis that runs the steps one at a time,
uses exactly the steps of the class's own delivery.  The order and the calls
on :mod:`smtplib` are those of the class: a TLS context with certificate
verification (``ssl.create_default_context()``) for each connection, login
with the configured account, ``sendmail`` of ``msg.as_string()``.
"""

from __future__ import annotations

import base64
import smtplib
import ssl
from typing import Any, Callable, Literal, Optional, Protocol, Union

# (a union of single literals: the same type, and a union at run time too)
Mode = Union[Literal["ssl"], Literal["starttls"], Literal["plain"]]
MODES: tuple[Mode, ...] = ("ssl", "starttls", "plain")
# The port each mode is usually offered on (submission over implicit TLS,
# submission with STARTTLS, and the relay port, where plain text is the rule).
DEFAULT_PORTS: dict[Mode, int] = {"ssl": 465, "starttls": 587, "plain": 25}
# The keyword arguments of EasyMailer that choose each mode.
MODE_ARGUMENTS: dict[Mode, str] = {
    "ssl": "",
    "starttls": ", use_ssl=False, use_tls=True",
    "plain": ", use_ssl=False",
}

# An SASL answer: called with no argument for the initial response, then
# with each decoded server challenge; returns the (ASCII) text to send.
Responder = Callable[..., str]


class Mechanism(Protocol):
    """An SASL mechanism for :func:`authenticate`, such as XOAUTH2."""

    name: str

    def start(self, username: str) -> Responder:
        """The responder for one authentication of `username`."""
        ...


def mode_of(mailer: Any) -> Mode:
    """The mode the mailer's configuration asks for, tested as the class does
    (``use_ssl`` first, ``use_tls`` only when it is false)."""
    if mailer.use_ssl:
        return "ssl"
    return "starttls" if mailer.use_tls else "plain"


def tls_context() -> ssl.SSLContext:
    """A new client context that verifies the server's certificate."""
    return ssl.create_default_context()


# Told each part of opening a connection as it completes, with the socket:
# "tcp" (connected), "tls" (implicit TLS only: the handshake is done).
Observer = Callable[[str, Any], None]


class SMTP(smtplib.SMTP):
    """A plain connection (upgraded by :func:`secure` for STARTTLS).

    It records whether DATA was sent since the last submission started:
    before it, the server holds no part of the mail, so a submission that
    failed can safely be made again on another connection."""

    data_started = False
    observer: Optional[Observer] = None

    def __init__(self, *args: Any, observer: Optional[Observer] = None, **kwargs: Any) -> None:
        # set before the base class connects from its constructor
        self.observer = observer
        super().__init__(*args, **kwargs)

    # (the library's own hook, not in its type stubs)
    def _get_socket(self, host: str, port: int, timeout: float) -> Any:
        sock = super()._get_socket(host, port, timeout)  # type: ignore[misc]
        if self.observer is not None:
            self.observer("tcp", sock)
        return sock

    # the server's greeting, as the library reads it on connecting
    greeting = b""

    def connect(self, host: str = "localhost", port: int = 0, source_address: Any = None) -> Any:
        code, msg = super().connect(host, port, source_address)
        self.greeting = msg
        return code, msg

    def data(self, msg: Any) -> tuple[int, bytes]:
        self.data_started = True
        return super().data(msg)


class SMTP_SSL(SMTP, smtplib.SMTP_SSL):
    """An implicit-TLS connection."""

    def _get_socket(self, host: str, port: int, timeout: float) -> Any:
        if self.observer is None:
            return super()._get_socket(host, port, timeout)
        # the library's own two steps, told apart: connect, then the handshake
        sock = smtplib.SMTP._get_socket(self, host, port, timeout)  # type: ignore[attr-defined]
        self.observer("tcp", sock)
        try:
            sock = self.context.wrap_socket(sock, server_hostname=self._host)  # type: ignore[attr-defined]
        except BaseException:
            sock.close()
            raise
        self.observer("tls", sock)
        return sock


Connection = SMTP


def open_connection(
    host: str,
    port: int,
    mode: Mode,
    *,
    timeout: Optional[float] = None,
    context: Optional[ssl.SSLContext] = None,
    observer: Optional[Observer] = None,
) -> Connection:
    """Connect and read the greeting.  `timeout` (seconds) bounds every later
    network step on this connection as well; None keeps the library default.
    `context` is used for implicit TLS; a new one is made when None.
    `observer`, when given, is told as each part of opening completes."""
    if mode not in MODES:
        raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
    extra: dict[str, Any] = {} if timeout is None else {"timeout": timeout}
    if observer is not None:
        extra["observer"] = observer
    if mode == "ssl":
        return SMTP_SSL(host, port, context=context or tls_context(), **extra)
    return SMTP(host, port, **extra)


def secure(server: smtplib.SMTP, mode: Mode, context: Optional[ssl.SSLContext] = None) -> None:
    """Upgrade a STARTTLS connection (a new context when None); nothing in
    the other modes."""
    if mode == "starttls":
        server.starttls(context=context or tls_context())


def _b64(text: str) -> str:
    return base64.b64encode(text.encode("ascii")).decode("ascii")


def _sasl(server: smtplib.SMTP, name: str, respond: Responder) -> None:
    """SMTP AUTH with an SASL mechanism (RFC 4954), as ``smtplib.SMTP.auth``
    does it: the initial response, then an answer to each challenge (at most
    five).  Written out because smtplib before 3.10 cannot send an empty
    answer, which XOAUTH2 needs after a refusal."""
    code, reply = server.docmd("AUTH", f"{name} {_b64(respond())}")
    for _ in range(5):
        if code != 334:
            break
        code, reply = server.docmd(_b64(respond(base64.decodebytes(reply))))
    if code not in (235, 503):
        raise smtplib.SMTPAuthenticationError(code, reply)


def authenticate(
    server: smtplib.SMTP,
    username: str,
    password: Optional[str] = None,
    mechanism: Optional[Mechanism] = None,
) -> None:
    """Log in with `username` and `password`, or with `mechanism`; neither
    given means no authentication (a relay that takes mail without it).

    A secret that is not ASCII makes the library raise ``UnicodeEncodeError``
    carrying the whole credential text; it is raised again without it."""
    if mechanism is None and password is None:
        return
    try:
        if mechanism is None:
            server.login(username, password)  # type: ignore[arg-type]
        else:
            server.ehlo_or_helo_if_needed()
            if not server.has_extn("auth"):
                raise smtplib.SMTPNotSupportedError("SMTP AUTH extension not supported by server.")
            _sasl(server, mechanism.name, mechanism.start(username))
    except UnicodeEncodeError as exc:
        safe = UnicodeEncodeError(exc.encoding, "\ufffd", 0, 1, exc.reason)
    else:
        return
    # Raised outside the handler, so that the original is not its context.
    raise safe from None


def submit(
    server: smtplib.SMTP, msg: Any, sender: str, recipients: list[str]
) -> dict[str, tuple[int, bytes]]:
    """Flatten the message and submit it; the recipients the server refused
    (the whole submission raises when it refused them all)."""
    if isinstance(server, SMTP):
        server.data_started = False
    text = msg.as_string()
    return server.sendmail(sender, recipients, text)


def close(server: smtplib.SMTP) -> None:
    """Say QUIT and close; a connection already lost is just closed."""
    try:
        server.quit()
    except (smtplib.SMTPException, OSError):
        server.close()


def connect(
    host: str,
    port: int,
    mode: Mode,
    username: str,
    password: Optional[str] = None,
    *,
    mechanism: Optional[Mechanism] = None,
    timeout: Optional[float] = None,
) -> Connection:
    """Open, secure and authenticate one connection, closing it again when
    a step fails."""
    server = open_connection(host, port, mode, timeout=timeout)
    try:
        secure(server, mode)
        authenticate(server, username, password, mechanism)
    except BaseException:
        close(server)
        raise
    return server
