"""Fixtures of the suite: real SMTP servers on loopback, brisvane.testing's
SMTPTestServer, so that the suite uses the kit it ships.

- ``smtp_ssl``, ``smtp_starttls``, ``smtp_plain``: one server per mode and test
  module, with the suite's account; ``servers`` holds the three by mode and
  ``smtp_each_mode`` is each in turn, all reset for the test;
- ``start_server(mode, **options)``: a server of the test's own, stopped after it.

The client side trusts the kit's CA the way an operator would, through
``SSL_CERT_FILE`` (read by ``ssl.create_default_context()`` at each call), set
by the ``trust_ca`` fixture; the code under test is not changed for it.  The
shipped plugin's ``mail_outbox`` and ``smtp_server`` are there too.
"""

from __future__ import annotations

import pytest
from helpers import PASSWORD, USERNAME

from brisvane.testing import SMTPTestServer, certificate_authority

pytest_plugins = ["pytester"]


@pytest.fixture(scope="session")
def ca():
    """The kit's CA and the path of its PEM file."""
    return certificate_authority(), SMTPTestServer().ca_file


def _start(mode: str, **options) -> SMTPTestServer:
    # a server that the process does not trust by itself (see trust_ca)
    options = {"username": USERNAME, "password": PASSWORD, "trust": False, **options}
    return SMTPTestServer(mode, **options).start()


def _server_fixture(mode):
    @pytest.fixture(scope="module")
    def fixture(ca):
        server = _start(mode)
        yield server
        server.stop()

    return fixture


smtp_ssl = _server_fixture("ssl")
smtp_starttls = _server_fixture("starttls")
smtp_plain = _server_fixture("plain")


@pytest.fixture
def servers(smtp_ssl, smtp_starttls, smtp_plain, trust_ca):
    """The three servers by mode, with nothing received and no fault."""
    started = {"ssl": smtp_ssl, "starttls": smtp_starttls, "plain": smtp_plain}
    for server in started.values():
        server.reset()
    return started


@pytest.fixture(params=["ssl", "starttls", "plain"])
def smtp_each_mode(request, servers):
    """Each of the three servers in turn, with no message received yet."""
    return servers[request.param]


@pytest.fixture
def start_server(ca, trust_ca):
    """start_server(mode, **SMTPTestServer options): a started server with the
    suite's account, stopped when the test ends."""
    started = []

    def start(mode: str = "ssl", **options) -> SMTPTestServer:
        server = _start(mode, **options)
        started.append(server)
        return server

    yield start
    for server in started:
        server.stop()


@pytest.fixture
def trust_ca(monkeypatch, ca):
    monkeypatch.setenv("SSL_CERT_FILE", ca[1])
    return ca[1]
