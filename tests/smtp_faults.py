"""An aiosmtpd server on loopback that records what clients say and
misbehaves on request: drops connections between mails, refuses
recipients, answers 4xx, offers XOAUTH2 or no AUTH at all; and a server
that accepts connections and never answers."""

from __future__ import annotations

import base64
import email
import email.policy
import socket
import ssl
import threading
from dataclasses import dataclass, field
from typing import Any, Optional

import pytest
import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

USERNAME = "sender@example.com"
PASSWORD = "s3cret-app-password"
TOKEN = "ya29.test-access-token"


def free_port() -> int:
    # aiosmtpd cannot be given port 0: take one from the kernel, then release it
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def fault_ca(tmp_path_factory):
    """A throw-away CA and the path of its certificate."""
    authority = trustme.CA()
    path = tmp_path_factory.mktemp("fault-ca") / "ca.pem"
    authority.cert_pem.write_to_path(str(path))
    return authority, str(path)


@pytest.fixture
def trust_fault_ca(monkeypatch, fault_ca):
    """The client trusts the CA as an operator would, through SSL_CERT_FILE."""
    monkeypatch.setenv("SSL_CERT_FILE", fault_ca[1])
    return fault_ca


@dataclass
class Received:
    mail_from: str
    rcpt_tos: list
    content: bytes

    @property
    def message(self):
        return email.message_from_bytes(self.content, policy=email.policy.default)


@dataclass
class Faults:
    # close the connection after this many mails on it (None: never)
    drop_after: Optional[int] = None
    # how: "close" right after the 250 reply, "eof" silently on the next MAIL,
    # "421" with a 421 reply to the next MAIL
    drop_how: str = "close"
    # recipients whose local part starts with "bad" or "nobody" get 550, "later" 451
    refuse: bool = True
    # the first n DATA of each subject containing "[flaky]" answer 451
    flaky_attempts: int = 0
    # advertise no AUTH (a relay)
    no_auth: bool = False
    # also offer XOAUTH2, accepting TOKEN
    xoauth2: bool = False


@dataclass
class FaultServer:
    mode: str
    host: str
    port: int
    faults: Faults
    messages: list = field(default_factory=list)
    # one list of (secured, command, argument) per connection
    sessions: list = field(default_factory=list)
    attempts: dict = field(default_factory=dict)
    controller: Any = None

    def stop(self) -> None:
        self.controller.stop()

    def mailer(self, **kwargs):
        """An EasyMailer set up for this server and its account."""
        from brisvane import EasyMailer

        kwargs.setdefault("password", PASSWORD)
        return EasyMailer(self.host, self.port, USERNAME, use_ssl=self.mode == "ssl",
                          use_tls=self.mode == "starttls", **kwargs)

    def commands(self) -> list:
        return [[(tls, cmd) for tls, cmd, _ in s] for s in self.sessions]


class _Handler:
    def __init__(self, server: FaultServer):
        self.server = server

    async def handle_EHLO(self, smtp, session, envelope, hostname, responses):
        session.host_name = hostname
        if self.server.faults.no_auth:
            responses = [r for r in responses if not r[4:].startswith("AUTH")]
        return responses

    async def handle_MAIL(self, smtp, session, envelope, address, options):
        faults = self.server.faults
        if faults.drop_after is not None and smtp.mails_here >= faults.drop_after:
            if faults.drop_how == "eof":
                smtp.transport.close()
                return "250 OK"  # never reaches the client
            if faults.drop_how == "421":
                smtp.close_after_reply = True
                return "421 4.4.2 closing connection"
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 OK"

    async def handle_RCPT(self, smtp, session, envelope, address, options):
        local = address.split("@")[0]
        if self.server.faults.refuse and local.startswith(("bad", "nobody")):
            return "550 5.1.1 no such user"
        if self.server.faults.refuse and local.startswith("later"):
            return "451 4.3.0 try later"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, smtp, session, envelope):
        received = Received(envelope.mail_from, list(envelope.rcpt_tos), bytes(envelope.content))
        subject = str(received.message["Subject"])
        if "[flaky]" in subject:
            seen = self.server.attempts.get(subject, 0)
            self.server.attempts[subject] = seen + 1
            if seen < self.server.faults.flaky_attempts:
                return "451 4.3.0 try again later"
        self.server.messages.append(received)
        smtp.mails_here += 1
        faults = self.server.faults
        if faults.drop_how == "close" and smtp.mails_here == faults.drop_after:
            smtp.loop.call_soon(smtp.transport.close)
        return "250 OK"

    async def auth_XOAUTH2(self, smtp, args):
        if not self.server.faults.xoauth2:
            return AuthResult(success=False, handled=False)
        raw = base64.b64decode(args[1]) if len(args) > 1 else b""
        fields = dict(p.split("=", 1) for p in raw.decode().split("\x01") if "=" in p)
        if fields.get("auth") == f"Bearer {TOKEN}":
            return AuthResult(success=True, auth_data=LoginPassword(fields["user"].encode(), b""))
        await smtp.challenge_auth('{"status":"401","schemes":"bearer"}')
        return AuthResult(success=False, handled=False)


class _RecordingSMTP(SMTP):
    def __init__(self, *args, server: FaultServer, **kwargs):
        super().__init__(*args, **kwargs)
        self.mails_here = 0
        self.close_after_reply = False
        log: list = []
        server.sessions.append(log)
        for name, method in list(self._smtp_methods.items()):
            self._smtp_methods[name] = self._recorded(log, name, method)

    def _recorded(self, log, name, method):
        async def run(arg):
            log.append((self._tls_protocol is not None, name, arg))
            await method(arg)
            if self.close_after_reply:
                self.transport.close()

        return run


class _Controller(Controller):
    def __init__(self, server: FaultServer, **kwargs):
        self.fault_server = server
        super().__init__(_Handler(server), **kwargs)

    def factory(self):
        return _RecordingSMTP(self.handler, server=self.fault_server, **self.SMTP_kwargs)


def _server_context(authority) -> ssl.SSLContext:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("localhost", "127.0.0.1").configure_cert(context)
    return context


def start(mode: str, authority, faults: Optional[Faults] = None) -> FaultServer:
    server = FaultServer(mode, "127.0.0.1", free_port(), faults or Faults())

    def authenticate(smtp, session, envelope, mechanism, auth_data):
        ok = auth_data.login == USERNAME.encode() and auth_data.password == PASSWORD.encode()
        return AuthResult(success=ok, handled=False)

    options: dict = dict(
        hostname=server.host, port=server.port, authenticator=authenticate, auth_require_tls=False
    )
    if mode == "ssl":
        options["ssl_context"] = _server_context(authority)
    elif mode == "starttls":
        options.update(tls_context=_server_context(authority), require_starttls=True)
    server.controller = _Controller(server, **options)
    server.controller.start()
    server.sessions.clear()  # the controller's own check that the server is up
    return server


class StalledServer:
    """Accepts connections (through the listen backlog) and never answers."""

    def __init__(self) -> None:
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.host, self.port = self.sock.getsockname()
        self.lock = threading.Lock()

    def close(self) -> None:
        self.sock.close()


@pytest.fixture(scope="module")
def servers(fault_ca):
    """One server in each mode, by mode, with no faults."""
    started = {mode: start(mode, fault_ca[0]) for mode in ("ssl", "starttls", "plain")}
    yield started
    for server in started.values():
        server.stop()
