"""Loopback SMTP servers for the end-to-end benchmark, run as a separate process.

    python benchmarks/smtp_server.py CA_PEM_PATH

Starts three aiosmtpd servers on 127.0.0.1 (plain with AUTH, STARTTLS
required before AUTH, implicit TLS with AUTH), writes the trustme CA
certificate to CA_PEM_PATH, prints one JSON line with the three ports, and
serves until its standard input is closed.  Messages are accepted and
dropped; every login succeeds.
"""

from __future__ import annotations

import json
import logging
import socket
import ssl
import sys

import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


class _Handler:
    async def handle_DATA(self, server, session, envelope):
        return "250 OK"


def _authenticate(server, session, envelope, mechanism, auth_data):
    return AuthResult(success=True, handled=False)


def _free_port() -> int:
    # aiosmtpd cannot be given port 0: take one from the kernel, then release it.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _server_context(authority: trustme.CA) -> ssl.SSLContext:
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("localhost", "127.0.0.1").configure_cert(context)
    return context


def main() -> None:
    logging.disable(logging.WARNING)
    ca_path = sys.argv[1]
    authority = trustme.CA()
    authority.cert_pem.write_to_path(ca_path)

    common = dict(hostname="127.0.0.1", authenticator=_authenticate)
    settings = {
        "plain": dict(auth_require_tls=False),
        "starttls": dict(
            tls_context=_server_context(authority), require_starttls=True, auth_require_tls=True
        ),
        "ssl": dict(ssl_context=_server_context(authority), auth_require_tls=False),
    }
    controllers = {}
    ports = {}
    for mode, options in settings.items():
        ports[mode] = _free_port()
        controller = Controller(_Handler(), port=ports[mode], **common, **options)
        controller.start()
        controllers[mode] = controller

    print(json.dumps(ports), flush=True)
    try:
        sys.stdin.read()  # until the parent closes the pipe
    finally:
        for controller in controllers.values():
            controller.stop()


if __name__ == "__main__":
    main()
