"""SMTPTestServer: a real SMTP server on loopback (aiosmtpd, in a thread) with
AUTH, in the three modes, and switches that make it misbehave."""

from __future__ import annotations

import logging
import socket
import threading
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

from brisvane import _messages
from brisvane.testing.authority import _Authority, _require
from brisvane.testing.mail import SentMail

if TYPE_CHECKING:
    from brisvane.aio import AsyncEasyMailer
    from brisvane.mailer import EasyMailer

# "EHLO" covers the HELO a client falls back to
STEPS = ("connect", "EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA", "QUIT")


class _QuietLogin(logging.Filter):
    # aiosmtpd warns about its own use of a deprecated attribute at every login
    def filter(self, record: logging.LogRecord) -> bool:
        return "login_data is deprecated" not in record.getMessage()


_quiet_login = _QuietLogin()


@dataclass
class _Fault:
    kind: str  # "reply", "drop" or "stall"
    code: int = 0
    text: str = ""
    seconds: float = 0.0
    times: int | None = None
    # only on a connection that took this many mails already
    after_mails: int = 0
    # a drop: answer the step first, then close
    answered: bool = False


class Command(NamedTuple):
    """One command a client sent, as the server's session log holds it."""

    secured: bool  # whether the connection was under TLS by then
    verb: str
    argument: str | None


class Login(NamedTuple):
    """One AUTH attempt, as the client sent it."""

    mechanism: str
    login: bytes
    password: bytes


def _free_port(host: str) -> int:
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        port: int = s.getsockname()[1]
        return port


class SMTPTestServer:
    """A real SMTP server on loopback, in a thread, with AUTH.

    `mode` is ``"ssl"`` (implicit TLS), ``"starttls"`` (plain, upgraded before
    AUTH) or ``"plain"``.  Logins are accepted for `username` and `password`
    only, or for any account with ``accept_any_login=True``.  With `trust`
    (the default) the process trusts the server's test CA, through
    ``SSL_CERT_FILE``, from :meth:`start` to :meth:`stop`.  `port` 0 picks a
    free one.

    With ``auth=False`` the server offers no AUTH (a relay); with
    `xoauth2_token` it offers XOAUTH2 too and takes that access token.

    Use it as a context manager, or call :meth:`start` and :meth:`stop`.
    ``messages`` holds the mails received, ``logins`` every AUTH attempt,
    ``sessions`` the commands of each connection (a list of :class:`Command`
    per connection, in order).
    """

    def __init__(
        self,
        mode: str = "ssl",
        *,
        username: str = "user@example.com",
        password: str = "password",
        accept_any_login: bool = False,
        host: str = "127.0.0.1",
        port: int = 0,
        trust: bool = True,
        auth: bool = True,
        xoauth2_token: str | None = None,
    ) -> None:
        from brisvane._session import MODES

        if mode not in MODES:
            raise ValueError(
                _messages.text("testing.mode", None, mode=mode, modes=", ".join(MODES))
            )
        self.mode = mode
        self.username = username
        self.password = password
        self.accept_any_login = accept_any_login
        self.host = host
        self.port = port
        self.trust = trust
        self.auth = auth
        self.xoauth2_token = xoauth2_token
        self.messages: list[SentMail] = []
        self.logins: list[Login] = []
        self.sessions: list[list[Command]] = []
        # per subject that defer() names: the submissions seen
        self.attempts: dict[str, int] = {}
        self._deferred: tuple[str, int, str] | None = None
        self._lock = threading.Lock()
        self._faults: dict[str, _Fault] = {}
        self._refuse_login = False
        self._refused: set[str] | None = None  # None: nobody; empty: everybody
        self._refuse_reply = ""
        self._controller: Any = None

    def __repr__(self) -> str:
        state = "running" if self._controller is not None else "stopped"
        return f"<SMTPTestServer {self.mode} {self.host}:{self.port} {state}>"

    # -- life ----------------------------------------------------------------

    @property
    def use_ssl(self) -> bool:
        return self.mode == "ssl"

    @property
    def use_tls(self) -> bool:
        return self.mode == "starttls"

    @property
    def ca_file(self) -> str:
        """The PEM file of the CA that issues the servers' certificates.

        The file stays until the process ends; the process trusts it only while
        a server started with `trust` runs.
        """
        return _Authority.ca_file()

    def start(self) -> SMTPTestServer:
        if self._controller is not None:
            return self
        _require()
        from brisvane.testing._aiosmtpd import FaultyController

        logging.getLogger("mail.log").addFilter(_quiet_login)
        _Authority.ca_file()
        if not self.port:
            self.port = _free_port(self.host)
        options: dict[str, Any] = dict(
            hostname=self.host,
            port=self.port,
            authenticator=self._authenticate,
            auth_require_tls=self.mode == "starttls",
        )
        if self.xoauth2_token is None:
            options["auth_exclude_mechanism"] = ["XOAUTH2"]
        if self.mode == "ssl":
            options["ssl_context"] = _Authority.server_context()
        elif self.mode == "starttls":
            options.update(tls_context=_Authority.server_context(), require_starttls=True)
        controller = FaultyController(self, _Handler(self), **options)
        controller.start()
        with self._lock:
            self.sessions.clear()  # the controller's own look at the server
        self._controller = controller
        if self.trust:
            _Authority.trust()
        return self

    def stop(self) -> None:
        controller, self._controller = self._controller, None
        if controller is None:
            return
        try:
            controller.stop()
        finally:
            if self.trust:
                _Authority.untrust()

    def __enter__(self) -> SMTPTestServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def mailer(self, **overrides: Any) -> EasyMailer:
        """An ``EasyMailer`` for this server; `overrides` are constructor arguments."""
        from brisvane.mailer import EasyMailer

        return EasyMailer(**self._account(overrides))

    def async_mailer(self, **overrides: Any) -> AsyncEasyMailer:
        """A ``brisvane.aio.AsyncEasyMailer`` for this server; `overrides` are
        constructor arguments (``timeout=`` among them)."""
        from brisvane.aio import AsyncEasyMailer

        return AsyncEasyMailer(**self._account(overrides))

    def _account(self, overrides: dict[str, Any]) -> dict[str, Any]:
        """The constructor arguments of a mailer for this server."""
        if self._controller is None:
            raise RuntimeError(_messages.text("testing.not_started", None))
        options: dict[str, Any] = dict(
            host=self.host,
            port=self.port,
            username=self.username,
            password=self.password,
            use_ssl=self.use_ssl,
            use_tls=self.use_tls,
        )
        options.update(overrides)
        return options

    def reset(self) -> None:
        """Forget the received mails, logins and sessions, and switch every fault off."""
        with self._lock:
            self.messages.clear()
            self.logins.clear()
            self.sessions.clear()
            self.attempts.clear()
            self._deferred = None
            self._faults.clear()
            self._refuse_login = False
            self._refused = None

    # -- faults --------------------------------------------------------------

    def refuse_login(self, refuse: bool = True) -> None:
        """Answer every AUTH with 535, whatever the account."""
        self._refuse_login = refuse

    def refuse_recipients(
        self, *addresses: str, code: int = 550, text: str = "5.1.1 Recipient address rejected"
    ) -> None:
        """Refuse RCPT for `addresses`, or for every recipient when none is given."""
        with self._lock:
            self._refused = {a.lower() for a in addresses}
            self._refuse_reply = f"{code} {text}"

    def reply(
        self,
        step: str,
        code: int,
        text: str = "Error injected by the test",
        *,
        times: int | None = None,
        after_mails: int = 0,
    ) -> None:
        """Answer `step` with `code` instead of handling it (421 closes the
        connection after the answer, as servers do)."""
        self._set(step, _Fault("reply", code=code, text=text, times=times, after_mails=after_mails))

    def drop(
        self,
        step: str,
        *,
        times: int | None = None,
        after_mails: int = 0,
        answered: bool = False,
    ) -> None:
        """Close the connection when the client reaches `step`; with
        `answered`, once the step is handled and answered."""
        self._set(step, _Fault("drop", times=times, after_mails=after_mails, answered=answered))

    def stall(
        self, step: str, seconds: float, *, times: int | None = None, after_mails: int = 0
    ) -> None:
        """Wait `seconds` before handling `step` (to run into a client's timeout)."""
        self._set(step, _Fault("stall", seconds=seconds, times=times, after_mails=after_mails))

    def defer(
        self, marker: str, times: int, *, code: int = 451, text: str = "4.3.0 Try again later"
    ) -> None:
        """Answer the data of each mail whose subject holds `marker` with
        `code`, the first `times` times that mail is submitted (to test
        retries); ``attempts`` counts the submissions of each such subject."""
        if isinstance(times, bool) or not isinstance(times, int) or times < 1:
            raise ValueError(_messages.text("testing.times", None, times=times))
        with self._lock:
            self._deferred = (marker, times, f"{code} {text}")

    # `after_mails` in each: the fault applies only on a connection that took
    # that many mails already (a server that drops a connection after N mails).

    def _set(self, step: str, fault: _Fault) -> None:
        key = _step(step)
        times = fault.times
        if times is not None and (
            isinstance(times, bool) or not isinstance(times, int) or times < 1
        ):
            raise ValueError(_messages.text("testing.times", None, times=times))
        with self._lock:
            self._faults[key] = fault

    def _take(self, step: str, mails: int) -> _Fault | None:
        with self._lock:
            fault = self._faults.get(step)
            if fault is None or mails < fault.after_mails:
                return None
            if fault.times is not None:
                fault.times -= 1
                if fault.times <= 0:
                    del self._faults[step]
            return fault

    def _deferral(self, mail: SentMail) -> str | None:
        with self._lock:
            if self._deferred is None:
                return None
            marker, times, answer = self._deferred
            subject = mail.subject or ""
            if marker not in subject:
                return None
            seen = self.attempts[subject] = self.attempts.get(subject, 0) + 1
            return answer if seen <= times else None

    def _refusal(self, address: str) -> str | None:
        with self._lock:
            refused = self._refused
            if refused is None or (refused and address.lower() not in refused):
                return None
            return self._refuse_reply

    def _authenticate(
        self, server: Any, session: Any, envelope: Any, mechanism: str, auth_data: Any
    ) -> Any:
        from aiosmtpd.smtp import AuthResult

        login, password = bytes(auth_data.login), bytes(auth_data.password)
        with self._lock:
            self.logins.append(Login(mechanism, login, password))
        ok = not self._refuse_login and (
            self.accept_any_login
            or (login == self.username.encode() and password == self.password.encode())
        )
        # handled=False: aiosmtpd answers a failure with 535 itself
        return AuthResult(success=ok, handled=False)

    def _xoauth2(self, user: bytes, token: bytes) -> bool:
        with self._lock:
            self.logins.append(Login("XOAUTH2", user, token))
        return (
            not self._refuse_login
            and self.xoauth2_token is not None
            and token == self.xoauth2_token.encode()
        )


def _step(step: str) -> str:
    key = "connect" if step.lower() == "connect" else step.upper()
    if key not in STEPS:
        raise ValueError(_messages.text("testing.step", None, step=step, steps=", ".join(STEPS)))
    return key


class _Handler:
    def __init__(self, server: SMTPTestServer) -> None:
        self.server = server

    async def handle_RCPT(
        self, smtp: Any, session: Any, envelope: Any, address: str, options: list[str]
    ) -> str:
        refusal = self.server._refusal(address)
        if refusal is not None:
            return refusal
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_EHLO(
        self, smtp: Any, session: Any, envelope: Any, hostname: str, responses: list[str]
    ) -> list[str]:
        session.host_name = hostname
        if not self.server.auth:
            responses = [r for r in responses if not r[4:].startswith("AUTH")]
        return responses

    async def handle_DATA(self, smtp: Any, session: Any, envelope: Any) -> str:
        mail = SentMail(envelope.mail_from, list(envelope.rcpt_tos), bytes(envelope.content))
        deferral = self.server._deferral(mail)
        if deferral is not None:
            return deferral
        with self.server._lock:
            self.server.messages.append(mail)
        smtp.mails += 1
        return "250 OK"

    async def auth_XOAUTH2(self, smtp: Any, args: list[str]) -> Any:
        import base64

        from aiosmtpd.smtp import AuthResult, LoginPassword

        if len(args) > 1:
            raw = base64.b64decode(args[1])
        else:  # no initial response: ask for it
            raw = await smtp.challenge_auth("", encode_to_b64=False)
            raw = raw if isinstance(raw, bytes) else b""
        fields = dict(p.split(b"=", 1) for p in raw.split(b"\x01") if b"=" in p)
        user, bearer = fields.get(b"user", b""), fields.get(b"auth", b"")
        token = bearer[len(b"Bearer ") :] if bearer.startswith(b"Bearer ") else b""
        if self.server._xoauth2(user, token):
            return AuthResult(success=True, auth_data=LoginPassword(user, b""))
        # the error report of RFC 7628, then the refusal once the client answers
        await smtp.challenge_auth('{"status":"401","schemes":"bearer"}')
        return AuthResult(success=False, handled=False)
