"""Send one templated mail through EasyMailer to an SMTP server on this machine.

The script starts an SMTP server on loopback (aiosmtpd) that speaks implicit
TLS with a certificate from a throw-away test CA (trustme), trusts that CA the
way an operator would (SSL_CERT_FILE), sends one mail with ``send_template``
and prints what arrived.  Run it with ``python examples/quickstart.py``.
"""

from __future__ import annotations

import email
import email.policy
import os
import socket
import ssl
import tempfile
import logging
from pathlib import Path
from typing import Any

import trustme
from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult

from brisvane import EasyMailer

HERE = Path(__file__).parent
USERNAME, PASSWORD = "shop@example.com", "app-password"


class Inbox:
    def __init__(self) -> None:
        self.envelopes: list[Any] = []

    async def handle_DATA(self, server: Any, session: Any, envelope: Any) -> str:
        self.envelopes.append(envelope)
        return "250 OK"


def authenticate(server: Any, session: Any, envelope: Any, mechanism: str, auth_data: Any) -> Any:
    ok = auth_data.login == USERNAME.encode() and auth_data.password == PASSWORD.encode()
    return AuthResult(success=ok, handled=False)


def start_server(workdir: str) -> tuple[Controller, Inbox, int]:
    ca = trustme.CA()
    server_context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    ca.issue_cert("localhost", "127.0.0.1").configure_cert(server_context)
    ca_file = os.path.join(workdir, "test-ca.pem")
    ca.cert_pem.write_to_path(ca_file)
    os.environ["SSL_CERT_FILE"] = ca_file  # the client trusts the test CA from now on

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    inbox = Inbox()
    controller = Controller(
        inbox,
        hostname="127.0.0.1",
        port=port,
        ssl_context=server_context,
        authenticator=authenticate,
        auth_require_tls=False,
    )
    controller.start()
    return controller, inbox, port


def show(envelope: Any) -> None:
    msg = email.message_from_bytes(envelope.content, policy=email.policy.default)
    print("Envelope")
    print(f"  MAIL FROM: {envelope.mail_from}")
    print(f"  RCPT TO:   {', '.join(envelope.rcpt_tos)}")
    print("Headers (decoded)")
    for name in ("From", "To", "Cc", "Reply-To", "Subject", "Date"):
        if msg[name] is not None:
            print(f"  {name + ':':10} {msg[name]}")
    print("Parts")

    def walk(part: Any, depth: int) -> None:
        line = "  " + "  " * depth + part.get_content_type()
        if part.get_filename():
            size = len(part.get_payload(decode=True))
            line += f"  attachment {part.get_filename()!r}, {size} bytes"
        elif not part.is_multipart():
            text = part.get_content().strip().splitlines()
            line += f"  {text[0][:60]!r}" if text else ""
        print(line)
        for child in part.iter_parts():
            walk(child, depth + 1)

    walk(msg, 0)


def main() -> None:
    # aiosmtpd logs a note about its own internals when a client logs in
    logging.getLogger("mail.log").setLevel(logging.ERROR)
    with tempfile.TemporaryDirectory() as workdir:
        controller, inbox, port = start_server(workdir)
        try:
            invoice = Path(workdir) / "发票 2026-001.pdf"
            invoice.write_bytes(b"%PDF-1.4\n% a tiny stand-in for a real invoice\n")

            mailer = EasyMailer("127.0.0.1", port, USERNAME, PASSWORD,
                                template_dir=str(HERE / "templates"))
            mailer.send_template(
                to=["张三 <zhangsan@example.com>"],
                subject="您的订单 {{ order_id }} 已发货",
                template_name="order_shipped",
                context={
                    "name": "张三",
                    "order_id": "A-1024",
                    "items": [{"title": "机械键盘", "qty": 1}, {"title": "USB-C 线", "qty": 2}],
                },
                bcc="archive@example.com",
                sender_name="示例商店",
                attachments=[str(invoice)],
            )
        finally:
            controller.stop()
    print(f"{len(inbox.envelopes)} message arrived over implicit TLS on 127.0.0.1:{port}\n")
    show(inbox.envelopes[0])


if __name__ == "__main__":
    main()
