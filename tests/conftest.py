"""A real SMTP server on loopback (aiosmtpd) in three modes, with AUTH.

- ``smtp_ssl``: implicit TLS, certificate from a trustme CA;
- ``smtp_starttls``: plain connection that must be upgraded before AUTH;
- ``smtp_plain``: plain connection with AUTH allowed.

Each server is started once per test module.  The client side trusts the
test CA the way an operator would, through ``SSL_CERT_FILE`` (read by
``ssl.create_default_context()`` at each call), set by the ``trust_ca``
fixture; the code under test is not changed for it.
"""

from __future__ import annotations

import email
import email.policy
import os
import socket
import ssl
from dataclasses import dataclass, field

import pytest
import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

USERNAME = "sender@example.com"
PASSWORD = "s3cret-app-password"


@dataclass
class Received:
    mail_from: str
    rcpt_tos: list
    content: bytes

    @property
    def message(self):
        return email.message_from_bytes(self.content, policy=email.policy.default)


@dataclass
class Server:
    mode: str
    host: str
    port: int
    ca_file: str
    messages: list = field(default_factory=list)
    logins: list = field(default_factory=list)

    @property
    def use_ssl(self):
        return self.mode == "ssl"

    @property
    def use_tls(self):
        return self.mode == "starttls"

    def mailer(self, **kwargs):
        from brisvane import EasyMailer

        kwargs.setdefault("use_ssl", self.use_ssl)
        kwargs.setdefault("use_tls", self.use_tls)
        username = kwargs.pop("username", USERNAME)
        password = kwargs.pop("password", PASSWORD)
        return EasyMailer(self.host, self.port, username, password, **kwargs)


class _Handler:
    def __init__(self, server: Server):
        self.server = server

    async def handle_DATA(self, smtp, session, envelope):
        self.server.messages.append(
            Received(envelope.mail_from, list(envelope.rcpt_tos), bytes(envelope.content))
        )
        return "250 OK"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def ca(tmp_path_factory):
    authority = trustme.CA()
    path = tmp_path_factory.mktemp("ca") / "ca.pem"
    authority.cert_pem.write_to_path(str(path))
    return authority, str(path)


def _server_context(authority):
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("localhost", "127.0.0.1").configure_cert(context)
    return context


def start_server(mode: str, ca) -> tuple[Server, Controller]:
    authority, ca_file = ca
    server = Server(mode=mode, host="127.0.0.1", port=free_port(), ca_file=ca_file)

    def authenticate(smtp, session, envelope, mechanism, auth_data):
        server.logins.append((mechanism, auth_data.login, auth_data.password))
        ok = auth_data.login == USERNAME.encode() and auth_data.password == PASSWORD.encode()
        return AuthResult(success=ok, handled=False)

    options = dict(
        hostname=server.host,
        port=server.port,
        authenticator=authenticate,
        auth_require_tls=False,
    )
    if mode == "ssl":
        options["ssl_context"] = _server_context(authority)
    elif mode == "starttls":
        options.update(tls_context=_server_context(authority), require_starttls=True)
        options["auth_require_tls"] = True
    controller = Controller(_Handler(server), **options)
    controller.start()
    return server, controller


def _server_fixture(mode):
    @pytest.fixture(scope="module")
    def fixture(ca):
        server, controller = start_server(mode, ca)
        yield server
        controller.stop()

    return fixture


smtp_ssl = _server_fixture("ssl")
smtp_starttls = _server_fixture("starttls")
smtp_plain = _server_fixture("plain")


@pytest.fixture(params=["ssl", "starttls", "plain"])
def smtp_server(request, trust_ca):
    """Each of the three servers in turn, with no message received yet."""
    server = request.getfixturevalue(f"smtp_{request.param}")
    server.messages.clear()
    server.logins.clear()
    return server


@pytest.fixture
def trust_ca(monkeypatch, ca):
    monkeypatch.setenv("SSL_CERT_FILE", ca[1])
    return ca[1]


def open_fds() -> set:
    return set(os.listdir("/proc/self/fd"))
