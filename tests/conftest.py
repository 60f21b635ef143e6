"""A real SMTP server on loopback in three modes, with AUTH: brisvane.testing's
SMTPTestServer, so that the suite uses the kit it ships.

- ``smtp_ssl``: implicit TLS, certificate from the kit's throw-away CA;
- ``smtp_starttls``: plain connection that must be upgraded before AUTH;
- ``smtp_plain``: plain connection with AUTH allowed.

Each server is started once per test module.  The client side trusts the
test CA the way an operator would, through ``SSL_CERT_FILE`` (read by
``ssl.create_default_context()`` at each call), set by the ``trust_ca``
fixture; the code under test is not changed for it.
"""

from __future__ import annotations

import os
import socket

import pytest

from brisvane.testing import SMTPTestServer, certificate_authority

USERNAME = "sender@example.com"
PASSWORD = "s3cret-app-password"


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@pytest.fixture(scope="session")
def ca():
    """The kit's CA and the path of its PEM file."""
    return certificate_authority(), SMTPTestServer().ca_file


def start_server(mode: str, ca=None) -> tuple[SMTPTestServer, SMTPTestServer]:
    """A started server that the process does not trust by itself (see ``trust_ca``);
    returned twice, the second for the caller's ``.stop()``."""
    server = SMTPTestServer(mode, username=USERNAME, password=PASSWORD, trust=False).start()
    return server, server


def _server_fixture(mode):
    @pytest.fixture(scope="module")
    def fixture(ca):
        server, _ = start_server(mode, ca)
        yield server
        server.stop()

    return fixture


smtp_ssl = _server_fixture("ssl")
smtp_starttls = _server_fixture("starttls")
smtp_plain = _server_fixture("plain")


@pytest.fixture(params=["ssl", "starttls", "plain"])
def smtp_server(request, trust_ca):
    """Each of the three servers in turn, with no message received yet."""
    server = request.getfixturevalue(f"smtp_{request.param}")
    server.reset()
    return server


@pytest.fixture
def trust_ca(monkeypatch, ca):
    monkeypatch.setenv("SSL_CERT_FILE", ca[1])
    return ca[1]


def open_fds() -> set:
    return set(os.listdir("/proc/self/fd"))
