"""Delivery options for one mailer, installed around the class.

``EasyMailer`` opens one connection, makes one TLS context and logs in once
per mail, with no timeout.  The functions here give one mailer another
delivery through its ``_do_send`` instance attribute, leaving the class, its
signatures and the message it builds untouched:

- :func:`connection`: a block in which every send goes over one logged-in
  connection (one per thread);
- :func:`configure` / :func:`reset`: a timeout, no login (relays), OAuth2
  (:func:`xoauth2`), a ``Message-ID`` header;
- :func:`is_transient` / :data:`TRANSIENT_ERRORS`: what a task queue should
  retry.

Every connection goes through the same steps as the class's own delivery
(:mod:`brisvane._session`).
"""

from __future__ import annotations

import errno
import selectors
import smtplib
import socket
import ssl
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from email.utils import make_msgid, parseaddr
from typing import Any, Callable, Optional, cast

from brisvane import _messages, _session

__all__ = [
    "Batch",
    "TRANSIENT_ERRORS",
    "XOAuth2",
    "configure",
    "connection",
    "is_transient",
    "reset",
    "xoauth2",
]

Refused = dict[str, tuple[int, bytes]]


# --- OAuth2 ------------------------------------------------------------------


class XOAuth2:
    """SASL XOAUTH2 (Microsoft 365, Outlook.com, Gmail): the access token
    comes from `token_provider`, called once per connection."""

    name = "XOAUTH2"

    def __init__(self, token_provider: Callable[[], str]) -> None:
        if not callable(token_provider):
            raise TypeError(
                _messages.text("delivery.token_provider", type=type(token_provider).__name__)
            )
        self.token_provider = token_provider

    def start(self, username: str) -> _session.Responder:
        token = self.token_provider()
        if not isinstance(token, str):
            raise TypeError(_messages.text("delivery.token", type=type(token).__name__))
        initial = f"user={username}\x01auth=Bearer {token}\x01\x01"
        answered = False

        def respond(challenge: Optional[bytes] = None) -> str:
            # The first answer carries the token; a challenge after it is the
            # server's error report, and an empty answer lets the server send
            # its final refusal.
            nonlocal answered
            if answered:
                return ""
            answered = True
            return initial

        return respond

    def __repr__(self) -> str:
        return f"XOAuth2({self.token_provider!r})"


def xoauth2(token_provider: Callable[[], str]) -> XOAuth2:
    """Authentication by OAuth2 access token, for ``configure(auth=...)``."""
    return XOAuth2(token_provider)


# --- options and the delivery installed on a mailer ---------------------------


@dataclass(frozen=True)
class _Options:
    timeout: Optional[float] = None
    login: bool = True
    auth: Optional[_session.Mechanism] = None
    message_id: bool = False


def _check_timeout(timeout: Optional[float]) -> None:
    if timeout is not None and (
        isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0
    ):
        raise ValueError(_messages.text("delivery.timeout", value=timeout))


def _check_min_interval(min_interval: float) -> None:
    if (
        isinstance(min_interval, bool)
        or not isinstance(min_interval, (int, float))
        or not min_interval >= 0
    ):
        raise ValueError(_messages.text("delivery.min_interval", value=min_interval))


def _prepare(msg: Any, sender: str, options: _Options) -> None:
    if options.message_id and "Message-ID" not in msg:
        # the envelope sender's domain, else the From address's; with
        # neither, make_msgid falls back to this machine's name
        domains = (parseaddr(str(a))[1].rpartition("@") for a in (sender, msg["From"] or ""))
        msg["Message-ID"] = make_msgid(domain=next((d for _, at, d in domains if at and d), None))


def _connect(mailer: Any, options: _Options, timeout: Optional[float]) -> _session.Connection:
    # (the password passed on, not held: this frame is on a failure's traceback)
    with_password = options.login and options.auth is None
    return _session.connect(
        mailer.host,
        mailer.port,
        _session.mode_of(mailer),
        mailer.username,
        mailer.password if with_password else None,
        mechanism=options.auth if options.login else None,
        timeout=timeout,
    )


class _Configured:
    """One connection per mail, as the class does, with the options applied."""

    def __init__(self, mailer: Any, options: _Options) -> None:
        self.mailer = mailer
        self.options = options

    def __call__(self, msg: Any, recipients: list[str], sender: str) -> None:
        _prepare(msg, sender, self.options)
        server = _connect(self.mailer, self.options, self.options.timeout)
        try:
            _session.submit(server, msg, sender, recipients)
        finally:
            _session.close(server)


# who installed a delivery on a mailer, as _session's install() is told
_CONFIGURED = __name__ + ".configure"
_CONNECTION = __name__ + ".connection"


def _set_options(mailer: Any, options: Optional[_Options]) -> None:
    """Deliver the later sends of `mailer` with `options` (None: the class's
    own delivery); inside a connection block, in the block and after it.  A
    delivery that other code installed is left in charge."""
    with _session.changing:
        current = _session.installed(mailer)
        if current is not None and current.owner == _CONNECTION:
            cast(Batch, current.delivery)._configure(options)
        elif current is None or current.owner == _CONFIGURED:
            if options is not None:
                _session.install(mailer, _Configured(mailer, options), _CONFIGURED)
            if current is not None:
                _session.remove(current)


def _check_mailer(mailer: Any) -> None:
    from brisvane.mailer import EasyMailer

    if not isinstance(mailer, EasyMailer):
        raise TypeError(_messages.text("delivery.mailer", type=type(mailer).__name__))


def configure(
    mailer: Any,
    *,
    timeout: Optional[float] = None,
    login: bool = True,
    auth: Optional[_session.Mechanism] = None,
    message_id: bool = False,
) -> None:
    """Deliver every later send of `mailer` with these options:

    `timeout` seconds for each network step (connect, TLS, each command);
    ``login=False`` for relays that take mail without authentication;
    ``auth=xoauth2(...)`` to authenticate with an OAuth2 token instead of the
    password; ``message_id=True`` to add a ``Message-ID`` when the message
    has none.  Applies inside :func:`connection` blocks too; :func:`reset`
    restores the class's own delivery.  A delivery that other code installed
    on the mailer (a test capture, say) stays in charge of its sends."""
    _check_mailer(mailer)
    _check_timeout(timeout)
    if auth is not None and not (
        isinstance(getattr(auth, "name", None), str) and callable(getattr(auth, "start", None))
    ):
        raise TypeError(_messages.text("delivery.auth", type=type(auth).__name__))
    _set_options(mailer, _Options(timeout, bool(login), auth, bool(message_id)))


def reset(mailer: Any) -> None:
    """Give `mailer` the class's own delivery back (inside a
    :func:`connection` block: drop the options, keep the connection)."""
    _check_mailer(mailer)
    _set_options(mailer, None)


# --- one connection for a batch ------------------------------------------------


def _stale(server: smtplib.SMTP) -> bool:
    """True when an idle connection has something to read: the server closed
    it or said goodbye (421) since the last reply."""
    sock = server.sock
    if sock is None:
        return True
    if isinstance(server, _session.SMTP) and server.unread():
        return True  # sent with the last reply, and read with it
    if isinstance(sock, ssl.SSLSocket) and sock.pending():
        return True  # decrypted already, so the descriptor shows nothing more
    # poll (epoll elsewhere) takes any descriptor; select() none from
    # FD_SETSIZE (1024) on
    selector_type = getattr(selectors, "PollSelector", selectors.DefaultSelector)
    try:
        with selector_type() as selector:
            selector.register(sock, selectors.EVENT_READ)
            return bool(selector.select(0))
    except (OSError, ValueError):
        return True


def _retryable(exc: BaseException) -> bool:
    """Failures that show the connection was lost before the server held
    any part of the mail (DATA not sent: checked by the caller)."""
    if isinstance(exc, smtplib.SMTPServerDisconnected):
        # the library reports a timeout as a disconnect: a stalled server
        # is not tried again
        return not isinstance(exc.__context__, (socket.timeout, TimeoutError))
    if isinstance(exc, smtplib.SMTPSenderRefused):
        return exc.smtp_code == 421
    if isinstance(exc, smtplib.SMTPRecipientsRefused):
        return all(code == 421 for code, _ in exc.recipients.values())
    if isinstance(exc, (socket.timeout, TimeoutError)):
        return False
    return isinstance(exc, (ConnectionError, ssl.SSLEOFError, ssl.SSLZeroReturnError))


class Batch:
    """The session of a :func:`connection` block, the delivery installed on
    the mailer for the block.

    ``results`` lists, per mail sent in the block and in the order they were
    accepted, the recipients the server refused (address: (code, reply));
    ``connections`` counts the connections opened."""

    def __init__(
        self,
        mailer: Any,
        options: _Options,
        timeout: Optional[float],
        max_per_connection: Optional[int],
        min_interval: float,
    ) -> None:
        self.mailer = mailer
        self.results: list[Refused] = []
        self.connections = 0
        self._options = options
        self._timeout = timeout
        self._max = max_per_connection
        self._interval = min_interval
        # options given to configure() or reset() inside the block, for after it
        self._reconfigured = False
        self._after: Optional[_Options] = None
        self._local = threading.local()
        self._lock = threading.Lock()
        self._pace = threading.Lock()
        self._next_send = 0.0
        self._open: set[_session.Connection] = set()

    def _configure(self, options: Optional[_Options]) -> None:
        self._options = options or _Options()
        self._reconfigured, self._after = True, options

    def _connection_timeout(self) -> Optional[float]:
        return self._timeout if self._timeout is not None else self._options.timeout

    def _connect(self) -> _session.Connection:
        server = _connect(self.mailer, self._options, self._connection_timeout())
        with self._lock:
            self._open.add(server)
            self.connections += 1
        self._local.server, self._local.sent = server, 0
        return server

    def _drop(self, server: _session.Connection, *, polite: bool) -> None:
        with self._lock:
            self._open.discard(server)
        if getattr(self._local, "server", None) is server:
            self._local.server = None
        if polite:
            _session.close(server)
        else:
            server.close()

    def _wait_turn(self) -> None:
        if self._interval <= 0:
            return
        with self._pace:
            delay = self._next_send - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            self._next_send = time.monotonic() + self._interval

    def _failed(self, server: _session.Connection, exc: BaseException) -> None:
        """Keep a connection that only refused this mail, ready for the next
        one; drop any other."""
        lost = server.sock is None or (
            isinstance(exc, OSError) and not isinstance(exc, smtplib.SMTPException)
        )
        kept = not lost and isinstance(
            exc,
            (smtplib.SMTPRecipientsRefused, smtplib.SMTPSenderRefused, smtplib.SMTPDataError),
        )
        if kept:
            # smtplib leaves the transaction open when the DATA command
            # itself is refused: end it before the next mail
            try:
                server.rset()
            except (smtplib.SMTPException, OSError):
                kept = False
        if not kept:
            self._drop(server, polite=not lost)

    def __call__(self, msg: Any, recipients: list[str], sender: str) -> None:
        _prepare(msg, sender, self._options)
        self._wait_turn()
        server: Optional[_session.Connection] = getattr(self._local, "server", None)
        if server is not None and self._max is not None and self._local.sent >= self._max:
            self._drop(server, polite=True)
            server = None
        elif server is not None and _stale(server):
            self._drop(server, polite=False)
            server = None
        fresh = server is None
        if server is None:
            server = self._connect()
        try:
            refused = _session.submit(server, msg, sender, recipients)
        except BaseException as exc:
            self._failed(server, exc)
            if fresh or server.data_started or not _retryable(exc):
                raise
            # The server dropped the connection between mails: once more on a
            # new one (the mail never reached it, so it cannot arrive twice).
            server = self._connect()
            try:
                refused = _session.submit(server, msg, sender, recipients)
            except BaseException as again:
                self._failed(server, again)
                raise
        self._local.sent += 1
        with self._lock:
            self.results.append(refused)

    def __repr__(self) -> str:
        return f"<Batch: {len(self.results)} mails over {self.connections} connections>"

    def close(self) -> None:
        """QUIT every connection the block opened."""
        with self._lock:
            servers, self._open = list(self._open), set()
        for server in servers:
            _session.close(server)


@contextmanager
def connection(
    mailer: Any,
    *,
    timeout: Optional[float] = None,
    max_per_connection: Optional[int] = None,
    min_interval: float = 0.0,
) -> Iterator[Batch]:
    """Send every mail of `mailer` inside the block over one logged-in
    connection (one per thread), opened at the first send.

    A connection the server dropped between mails is replaced once, without
    sending any mail twice; after `max_per_connection` mails a new one is
    opened; at least `min_interval` seconds pass between two mails; leaving
    the block says QUIT.  `timeout` bounds each network step (default: the
    one given to :func:`configure`).  A block inside a block of the same
    mailer shares the outer one.  A delivery that other code installed on
    the mailer (a test capture, say) stays in charge: the block then opens
    nothing and records nothing."""
    _check_mailer(mailer)
    _check_timeout(timeout)
    if max_per_connection is not None and (
        isinstance(max_per_connection, bool)
        or not isinstance(max_per_connection, int)
        or max_per_connection < 1
    ):
        raise ValueError(_messages.text("delivery.max_per_connection", value=max_per_connection))
    _check_min_interval(min_interval)
    with _session.changing:
        current = _session.installed(mailer)
        outer = current is not None and current.owner == _CONNECTION
        ours = current is None or current.owner == _CONFIGURED
        if not outer:
            options = _Options()
            if current is not None and ours:
                options = cast(_Configured, current.delivery).options
            batch = Batch(mailer, options, timeout, max_per_connection, float(min_interval))
            layer = _session.install(mailer, batch, _CONNECTION) if ours else None
    if outer:
        assert current is not None
        yield cast(Batch, current.delivery)
        return
    if layer is None:
        yield batch  # not installed: the other delivery keeps every send
        return
    try:
        yield batch
    finally:
        _session.remove(layer)
        if batch._reconfigured:
            _set_options(mailer, batch._after)
        batch.close()


# --- what a task queue should retry -------------------------------------------

# Failures that are transient whatever their details: the connection was lost
# or refused, or a network step timed out.  SMTP replies are transient or
# not by their code: use is_transient for those.
TRANSIENT_ERRORS: tuple[type[BaseException], ...] = (
    smtplib.SMTPServerDisconnected,
    ConnectionError,
    TimeoutError,
    socket.timeout,
)


def is_transient(exc: BaseException) -> bool:
    """True when the send may succeed if tried again later: network errors,
    timeouts, a disconnect, SMTP 4xx replies, recipients refused with 4xx.
    False for 5xx replies, authentication failures, certificate errors and
    everything that is not a delivery failure."""
    if isinstance(exc, TRANSIENT_ERRORS):
        return True
    if isinstance(exc, smtplib.SMTPAuthenticationError):
        return False
    if isinstance(exc, smtplib.SMTPRecipientsRefused):
        return any(400 <= code < 500 for code, _ in exc.recipients.values())
    if isinstance(exc, smtplib.SMTPResponseException):
        return 400 <= exc.smtp_code < 500
    if isinstance(exc, smtplib.SMTPException):
        return False
    if isinstance(exc, socket.gaierror):
        return exc.errno == socket.EAI_AGAIN
    if isinstance(exc, ssl.SSLError):
        return isinstance(exc, (ssl.SSLEOFError, ssl.SSLZeroReturnError, ssl.SSLSyscallError))
    return isinstance(exc, OSError) and exc.errno in _NETWORK_ERRNOS


_NETWORK_ERRNOS = {
    getattr(errno, name)
    for name in ("ENETUNREACH", "EHOSTUNREACH", "ENETDOWN", "EHOSTDOWN", "ETIMEDOUT", "ENETRESET")
    if hasattr(errno, name)
}
