"""Send one templated mail through EasyMailer to an SMTP server on this machine.

The script starts brisvane's SMTP test server on loopback (aiosmtpd, from
``brisvane.testing``): it speaks implicit TLS with a certificate from a
throw-away test CA (trustme), which the process trusts the way an operator
would (SSL_CERT_FILE) while the server runs.  It sends one mail with
``send_template`` and prints what arrived.  Run it with
``python examples/quickstart.py``.
"""

from __future__ import annotations

import tempfile
from pathlib import Path
from typing import Any

from brisvane.testing import SentMail, SMTPTestServer

HERE = Path(__file__).parent
USERNAME, PASSWORD = "shop@example.com", "app-password"


def show(mail: SentMail) -> None:
    msg = mail.message
    print("Envelope")
    print(f"  MAIL FROM: {mail.mail_from}")
    print(f"  RCPT TO:   {', '.join(mail.rcpt_tos)}")
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
    with (
        tempfile.TemporaryDirectory() as workdir,
        SMTPTestServer("ssl", username=USERNAME, password=PASSWORD) as server,
    ):
        invoice = Path(workdir) / "发票 2026-001.pdf"
        invoice.write_bytes(b"%PDF-1.4\n% a tiny stand-in for a real invoice\n")

        mailer = server.mailer(template_dir=str(HERE / "templates"))
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
    print(
        f"{len(server.messages)} message arrived over implicit TLS on {server.host}:{server.port}\n"
    )
    show(server.messages[0])


if __name__ == "__main__":
    main()
