"""Test the code that sends mail: capture what would be sent, or run a real server.

- :func:`capture` records every delivery of one :class:`~brisvane.EasyMailer`
  (or of the class, for every instance) instead of sending it, and yields the
  outbox: a list of :class:`SentMail` in the order they were sent.
- :class:`SMTPTestServer` is a real SMTP server on loopback, in a thread, in
  implicit TLS, STARTTLS or plain mode, with AUTH and a certificate from a
  throw-away CA that the process trusts while the server runs.  Its fault
  switches refuse the login or recipients, answer with a chosen code, drop the
  connection or stall at a chosen step.
- :class:`ScriptedServer` is a hostile peer: it answers each command with the
  bytes a test gives, dripped, endless or never, and needs nothing installed.

The server needs ``pip install 'brisvane[testing]'`` (aiosmtpd and trustme);
they are imported when a server starts, not with this module.  The pytest
fixtures ``mail_outbox`` and ``smtp_server`` wrap both.
"""

from __future__ import annotations

import asyncio
import atexit
import email
import email.policy
import email.utils
import logging
import os
import re
import shutil
import socket
import ssl
import tempfile
import threading
from contextlib import contextmanager
from dataclasses import dataclass
from email.message import EmailMessage
from functools import cached_property, lru_cache
from typing import TYPE_CHECKING, Any, Callable, Iterator, NamedTuple, Optional, Union

from brisvane import _messages
from brisvane._scripted import ScriptedServer, drip, endless

if TYPE_CHECKING:
    from brisvane.mailer import EasyMailer

__all__ = [
    "MODES", "STEPS", "Address", "Attachment", "Login", "SMTPTestServer", "ScriptedServer",
    "SentMail", "capture", "certificate_authority", "drip", "endless",
]

MODES = ("ssl", "starttls", "plain")
# "EHLO" covers the HELO a client falls back to
STEPS = ("connect", "EHLO", "STARTTLS", "AUTH", "MAIL", "RCPT", "DATA", "QUIT")


# --------------------------------------------------------------------------
# What a mail looks like to a test
# --------------------------------------------------------------------------


class Address(NamedTuple):
    """A display name (``""`` when there is none) and an address."""

    name: str
    address: str


class Attachment(NamedTuple):
    filename: Optional[str]
    content_type: str
    data: bytes


class SentMail:
    """One mail as it crossed (or would have crossed) the wire.

    ``mail_from`` and ``rcpt_tos`` are the envelope addresses as given in MAIL
    FROM and RCPT TO (``"张三 <z@example.com>"`` becomes ``"z@example.com"``);
    ``content`` is the message as submitted, CRLF line ends.  The other
    attributes are decoded views of ``content``, parsed on first use.
    """

    _text: str

    def __init__(self, mail_from: str, rcpt_tos: list[str], content: bytes) -> None:
        self.mail_from = mail_from
        self.rcpt_tos = rcpt_tos
        self.__dict__["content"] = content

    @classmethod
    def _flattened(cls, mail_from: str, rcpt_tos: list[str], text: str) -> SentMail:
        # a captured mail: its bytes are made from the flattened text when asked for
        mail = cls.__new__(cls)
        mail.mail_from = mail_from
        mail.rcpt_tos = rcpt_tos
        mail._text = text
        return mail

    @cached_property
    def content(self) -> bytes:
        return _wire(self._text)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SentMail):
            return NotImplemented
        return (self.mail_from, self.rcpt_tos, self.content) == \
            (other.mail_from, other.rcpt_tos, other.content)

    __hash__ = None  # type: ignore[assignment]

    @cached_property
    def message(self) -> EmailMessage:
        parsed = email.message_from_bytes(self.content, policy=email.policy.default)
        assert isinstance(parsed, EmailMessage)
        return parsed

    @property
    def subject(self) -> Optional[str]:
        value = self.message["Subject"]
        return None if value is None else str(value)

    @property
    def from_(self) -> Optional[Address]:
        found = self._addresses("From")
        return found[0] if found else None

    @property
    def to(self) -> list[Address]:
        return self._addresses("To")

    @property
    def cc(self) -> list[Address]:
        return self._addresses("Cc")

    @property
    def reply_to(self) -> list[Address]:
        return self._addresses("Reply-To")

    @property
    def text(self) -> Optional[str]:
        """The plain-text body, ``"\\n"`` line ends; None when there is none."""
        return self._body("plain")

    @property
    def html(self) -> Optional[str]:
        return self._body("html")

    @property
    def attachments(self) -> list[Attachment]:
        return [
            Attachment(part.get_filename(), part.get_content_type(),
                       bytes(part.get_payload(decode=True) or b""))
            for part in self.message.walk()
            if part.get_content_disposition() == "attachment"
        ]

    def _addresses(self, name: str) -> list[Address]:
        header = self.message[name]
        if header is None:
            return []
        return [Address(a.display_name, a.addr_spec) for a in header.addresses]

    def _body(self, subtype: str) -> Optional[str]:
        part = self.message.get_body((subtype,))
        if part is None or part.get_content_type() != "text/" + subtype:
            return None
        content: str = part.get_content()
        return content.replace("\r\n", "\n")

    def __repr__(self) -> str:
        return (f"<SentMail from {self.mail_from!r} to {self.rcpt_tos!r} "
                f"subject {self.subject!r}>")


# --------------------------------------------------------------------------
# Capture
# --------------------------------------------------------------------------

_SEAM = "_do_send"
_EOLS = re.compile(r"\r\n|\n|\r(?!\n)")
_CAPTURE_MARK = "__brisvane_capture__"


def _wire(text: str) -> bytes:
    # what smtplib's sendmail makes of a str message before DATA: CRLF line
    # ends, ASCII (the generator writes "\n" only, unless a value holds "\r")
    if "\r" in text:
        text = _EOLS.sub("\r\n", text)
    else:
        text = text.replace("\n", "\r\n")
    return text.encode("ascii")


@lru_cache(maxsize=1024)
def _envelope(address: str) -> str:
    # the address smtplib puts between the brackets of MAIL FROM and RCPT TO
    if address.strip() == "<>":
        return ""
    name, addr = email.utils.parseaddr(address)
    if (name, addr) == ("", ""):
        return address.strip()
    return addr


@lru_cache(maxsize=1)
def _unconnected() -> Any:
    import smtplib

    class Unconnected(smtplib.SMTP):
        # the command checks of a connection, without one to send on
        def send(self, s: Any) -> None:
            if isinstance(s, str):
                s.encode(self.command_encoding)

    return Unconnected(local_hostname="localhost")  # no name look-up


def _check_command(verb: str, keyword: str, address: str) -> None:
    """The checks smtplib makes on MAIL FROM and RCPT TO before they go out:
    no line break, ASCII only (``sendmail`` asks for no SMTPUTF8)."""
    if address.isascii() and "\r" not in address and "\n" not in address:
        return
    import smtplib

    _unconnected().putcmd(verb, f"{keyword}:{smtplib.quoteaddr(address)}")


def _type_error(name: str, expected: str, value: object) -> TypeError:
    return TypeError(f"Argument '{name}' has incorrect type "
                     f"(expected {expected}, got {type(value).__name__})")


def _recorder(outbox: list[SentMail]) -> Callable[[Any, list[str], str], None]:
    lock = threading.Lock()

    def deliver(msg: Any, recipients: list[str], sender: str) -> None:
        # The same checks and flattening as the delivery it stands in for, so a
        # mail that could not be sent is not recorded either.
        if type(recipients) is not list:
            raise _type_error("recipients", "list", recipients)
        if type(sender) is not str:
            raise _type_error("sender", "str", sender)
        text = msg.as_string()
        if not text.isascii():
            text.encode("ascii")  # raises smtplib's UnicodeEncodeError
        if not recipients:
            import smtplib

            raise smtplib.SMTPRecipientsRefused({})
        _check_command("mail", "FROM", sender)
        for recipient in recipients:
            _check_command("rcpt", "TO", recipient)
        mail = SentMail._flattened(_envelope(sender), [_envelope(r) for r in recipients], text)
        with lock:
            outbox.append(mail)

    setattr(deliver, _CAPTURE_MARK, True)
    return deliver


class _ClassCapture:
    """Delivery for every instance of a class, instance attributes included.

    A data descriptor on the class wins over an instance's own ``_do_send``, so
    a mailer given another delivery is captured too; assignments and deletions
    of the instance attribute still reach the instance, and a one-mailer
    capture inside the block keeps its own outbox.
    """

    def __init__(self, deliver: Callable[[Any, list[str], str], None]) -> None:
        self.deliver = deliver

    def _call(self, mailer: Any, msg: Any, recipients: list[str], sender: str) -> None:
        self.deliver(msg, recipients, sender)

    def __get__(self, instance: Any, owner: Any = None) -> Any:
        if instance is None:
            return self._call
        own = instance.__dict__.get(_SEAM)
        if getattr(own, _CAPTURE_MARK, False):
            return own
        return self.deliver

    def __set__(self, instance: Any, value: Any) -> None:
        instance.__dict__[_SEAM] = value

    def __delete__(self, instance: Any) -> None:
        try:
            del instance.__dict__[_SEAM]
        except KeyError:
            raise AttributeError(_SEAM) from None


@contextmanager
def capture(target: Union[EasyMailer, type[EasyMailer]]) -> Iterator[list[SentMail]]:
    """Record every delivery of `target` instead of sending it.

    `target` is one mailer, or the class ``EasyMailer`` (or a subclass) for
    every instance.  Yields the outbox, a list of :class:`SentMail` in send
    order.  Nothing is sent and no socket is opened.  Leaving the block
    restores `target` exactly, also when the block raises.
    """
    from brisvane.mailer import EasyMailer

    outbox: list[SentMail] = []
    deliver = _recorder(outbox)
    missing = object()
    if isinstance(target, type) and issubclass(target, EasyMailer):
        saved = target.__dict__.get(_SEAM, missing)
        setattr(target, _SEAM, _ClassCapture(deliver))
        try:
            yield outbox
        finally:
            if saved is missing:
                delattr(target, _SEAM)
            else:
                setattr(target, _SEAM, saved)
    elif isinstance(target, EasyMailer):
        # the seam: send looks _do_send up on the instance at every call
        saved = vars(target).get(_SEAM, missing)
        setattr(target, _SEAM, deliver)
        try:
            yield outbox
        finally:
            if saved is missing:
                vars(target).pop(_SEAM, None)
            else:
                setattr(target, _SEAM, saved)
    else:
        raise TypeError(_messages.text("testing.capture_target", None,
                                       got=type(target).__name__))


# --------------------------------------------------------------------------
# The server's certificate authority, trusted by the process while servers run
# --------------------------------------------------------------------------


def _require() -> None:
    try:
        import aiosmtpd  # noqa: F401
        import trustme  # noqa: F401
    except ImportError as error:
        raise ModuleNotFoundError(_messages.text("extra.missing", None, extra="testing"),
                                  name=error.name) from error


class _Authority:
    """One throw-away CA per process, and the reference-counted trust in it.

    The CA file lives until the process ends; trusting it (``SSL_CERT_FILE``)
    lasts only while at least one trusting server runs.
    """

    lock = threading.Lock()
    ca: Any = None
    leaf: Any = None
    directory: Optional[str] = None
    trusting = 0
    saved: Optional[str] = None

    @classmethod
    def ca_file(cls) -> str:
        with cls.lock:
            if cls.ca is None:
                _require()
                import trustme

                cls.ca = trustme.CA()
                cls.leaf = cls.ca.issue_cert("localhost", "127.0.0.1", "::1")
            if cls.directory is None:
                cls.directory = tempfile.mkdtemp(prefix="brisvane-test-ca-")
                atexit.register(shutil.rmtree, cls.directory, ignore_errors=True)
                cls.ca.cert_pem.write_to_path(os.path.join(cls.directory, "ca.pem"))
            return os.path.join(cls.directory, "ca.pem")

    @classmethod
    def server_context(cls) -> ssl.SSLContext:
        cls.ca_file()
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        cls.leaf.configure_cert(context)
        return context

    @classmethod
    def trust(cls) -> None:
        path = cls.ca_file()
        with cls.lock:
            if cls.trusting == 0:
                cls.saved = os.environ.get("SSL_CERT_FILE")
                # ssl.create_default_context() reads it at every call
                os.environ["SSL_CERT_FILE"] = path
            cls.trusting += 1

    @classmethod
    def untrust(cls) -> None:
        with cls.lock:
            cls.trusting -= 1
            if cls.trusting == 0:
                if cls.saved is None:
                    os.environ.pop("SSL_CERT_FILE", None)
                else:
                    os.environ["SSL_CERT_FILE"] = cls.saved


def certificate_authority() -> Any:
    """The process's throw-away ``trustme.CA`` that issues the servers' certificates.

    For tests of certificate handling: ``certificate_authority().issue_cert(...)``.
    """
    _Authority.ca_file()
    return _Authority.ca


class _QuietLogin(logging.Filter):
    # aiosmtpd warns about its own use of a deprecated attribute at every login
    def filter(self, record: logging.LogRecord) -> bool:
        return "login_data is deprecated" not in record.getMessage()


_quiet_login = _QuietLogin()


# --------------------------------------------------------------------------
# The server
# --------------------------------------------------------------------------


@dataclass
class _Fault:
    kind: str  # "reply", "drop" or "stall"
    code: int = 0
    text: str = ""
    seconds: float = 0.0
    times: Optional[int] = None


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

    Use it as a context manager, or call :meth:`start` and :meth:`stop`.
    ``messages`` holds the mails received, ``logins`` every AUTH attempt.
    """

    def __init__(self, mode: str = "ssl", *, username: str = "user@example.com",
                 password: str = "password", accept_any_login: bool = False,
                 host: str = "127.0.0.1", port: int = 0, trust: bool = True) -> None:
        if mode not in MODES:
            raise ValueError(_messages.text("testing.mode", None, mode=mode,
                                            modes=", ".join(MODES)))
        self.mode = mode
        self.username = username
        self.password = password
        self.accept_any_login = accept_any_login
        self.host = host
        self.port = port
        self.trust = trust
        self.messages: list[SentMail] = []
        self.logins: list[Login] = []
        self._lock = threading.Lock()
        self._faults: dict[str, _Fault] = {}
        self._refuse_login = False
        self._refused: Optional[set[str]] = None  # None: nobody; empty: everybody
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
        from aiosmtpd.controller import Controller

        logging.getLogger("mail.log").addFilter(_quiet_login)
        _Authority.ca_file()
        if not self.port:
            self.port = _free_port(self.host)
        options: dict[str, Any] = dict(
            hostname=self.host, port=self.port, authenticator=self._authenticate,
            auth_require_tls=self.mode == "starttls")
        if self.mode == "ssl":
            options["ssl_context"] = _Authority.server_context()
        elif self.mode == "starttls":
            options.update(tls_context=_Authority.server_context(), require_starttls=True)
        controller = _controller_class(Controller)(self, _Handler(self), **options)
        controller.start()
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

        if self._controller is None:
            raise RuntimeError(_messages.text("testing.not_started", None))
        options: dict[str, Any] = dict(host=self.host, port=self.port, username=self.username,
                                       password=self.password, use_ssl=self.use_ssl,
                                       use_tls=self.use_tls)
        options.update(overrides)
        return EasyMailer(**options)

    def reset(self) -> None:
        """Forget the received mails and logins, and switch every fault off."""
        with self._lock:
            self.messages.clear()
            self.logins.clear()
            self._faults.clear()
            self._refuse_login = False
            self._refused = None

    # -- faults --------------------------------------------------------------

    def refuse_login(self, refuse: bool = True) -> None:
        """Answer every AUTH with 535, whatever the account."""
        self._refuse_login = refuse

    def refuse_recipients(self, *addresses: str, code: int = 550,
                          text: str = "5.1.1 Recipient address rejected") -> None:
        """Refuse RCPT for `addresses`, or for every recipient when none is given."""
        with self._lock:
            self._refused = {a.lower() for a in addresses}
            self._refuse_reply = f"{code} {text}"

    def reply(self, step: str, code: int, text: str = "Error injected by the test",
              *, times: Optional[int] = None) -> None:
        """Answer `step` with `code` instead of handling it."""
        self._set(step, _Fault("reply", code=code, text=text, times=times))

    def drop(self, step: str, *, times: Optional[int] = None) -> None:
        """Close the connection when the client reaches `step`."""
        self._set(step, _Fault("drop", times=times))

    def stall(self, step: str, seconds: float, *, times: Optional[int] = None) -> None:
        """Wait `seconds` before handling `step` (to run into a client's timeout)."""
        self._set(step, _Fault("stall", seconds=seconds, times=times))

    def _set(self, step: str, fault: _Fault) -> None:
        key = _step(step)
        times = fault.times
        if times is not None and (isinstance(times, bool) or not isinstance(times, int)
                                  or times < 1):
            raise ValueError(_messages.text("testing.times", None, times=times))
        with self._lock:
            self._faults[key] = fault

    def _take(self, step: str) -> Optional[_Fault]:
        with self._lock:
            fault = self._faults.get(step)
            if fault is None:
                return None
            if fault.times is not None:
                fault.times -= 1
                if fault.times <= 0:
                    del self._faults[step]
            return fault

    def _refusal(self, address: str) -> Optional[str]:
        with self._lock:
            refused = self._refused
            if refused is None or (refused and address.lower() not in refused):
                return None
            return self._refuse_reply

    def _authenticate(self, server: Any, session: Any, envelope: Any, mechanism: str,
                      auth_data: Any) -> Any:
        from aiosmtpd.smtp import AuthResult

        login, password = bytes(auth_data.login), bytes(auth_data.password)
        with self._lock:
            self.logins.append(Login(mechanism, login, password))
        ok = not self._refuse_login and (
            self.accept_any_login
            or (login == self.username.encode() and password == self.password.encode()))
        # handled=False: aiosmtpd answers a failure with 535 itself
        return AuthResult(success=ok, handled=False)


def _step(step: str) -> str:
    key = "connect" if step.lower() == "connect" else step.upper()
    if key not in STEPS:
        raise ValueError(_messages.text("testing.step", None, step=step,
                                        steps=", ".join(STEPS)))
    return key


class _Handler:
    def __init__(self, server: SMTPTestServer) -> None:
        self.server = server

    async def handle_RCPT(self, smtp: Any, session: Any, envelope: Any, address: str,
                          options: list[str]) -> str:
        refusal = self.server._refusal(address)
        if refusal is not None:
            return refusal
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, smtp: Any, session: Any, envelope: Any) -> str:
        mail = SentMail(envelope.mail_from, list(envelope.rcpt_tos), bytes(envelope.content))
        with self.server._lock:
            self.server.messages.append(mail)
        return "250 OK"


@lru_cache(maxsize=None)
def _controller_class(base: Any) -> Any:
    """A Controller whose sessions obey the server's fault switches."""
    from aiosmtpd.smtp import SMTP

    class FaultySMTP(SMTP):
        def __init__(self, owner: SMTPTestServer, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            self._owner = owner
            self._greeted = False

        async def _fault(self, step: str) -> bool:
            """Apply the fault set for `step`; True when the step must not run."""
            fault = self._owner._take(step)
            if fault is None:
                return False
            if fault.kind == "stall":
                await asyncio.sleep(fault.seconds)
                return False
            if fault.kind == "reply":
                await SMTP.push(self, f"{fault.code} {fault.text}")
                if fault.code != 421:
                    return True
            if self.transport is not None:
                self.transport.close()
            return True

        async def push(self, status: Any) -> None:
            if not self._greeted:  # the first line of a session is its greeting
                self._greeted = True
                if await self._fault("connect"):
                    return
            await super().push(status)

    def command(verb: str) -> Callable[..., Any]:
        original = getattr(SMTP, "smtp_" + verb)
        step = "EHLO" if verb == "HELO" else verb

        async def handle(self: Any, arg: Any) -> None:
            if not await self._fault(step):
                await original(self, arg)

        handle.__name__ = "smtp_" + verb
        handle.__doc__ = original.__doc__
        for name in ("__smtp_syntax__", "__smtp_syntax_extended__", "__smtp_syntax_when__"):
            if hasattr(original, name):
                setattr(handle, name, getattr(original, name))
        return handle

    for verb in (*STEPS[1:], "HELO"):
        setattr(FaultySMTP, "smtp_" + verb, command(verb))

    class FaultyController(base):  # type: ignore[misc]
        def __init__(self, owner: SMTPTestServer, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            self._owner = owner

        def factory(self) -> Any:
            return FaultySMTP(self._owner, self.handler, **self.SMTP_kwargs)

    return FaultyController
