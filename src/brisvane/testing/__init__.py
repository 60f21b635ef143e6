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
they are imported when a server starts, not with this package.  The pytest
fixtures ``mail_outbox`` and ``smtp_server`` wrap both.

One module per part: :mod:`~brisvane.testing.mail` (what a mail looks like to
a test), :mod:`~brisvane.testing.capture`, :mod:`~brisvane.testing.authority`
(the throw-away CA), :mod:`~brisvane.testing.server` and
:mod:`~brisvane.testing.scripted`.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from brisvane.testing.authority import certificate_authority
from brisvane.testing.capture import capture
from brisvane.testing.mail import Address, Attachment, InlineImage, SentMail
from brisvane.testing.scripted import HANG_UP, ScriptedServer, drip, endless
from brisvane.testing.server import STEPS, Command, Login, SMTPTestServer

if TYPE_CHECKING:
    from brisvane._session import MODES


def __getattr__(name: str) -> Any:
    # the modes are the session's; importing it (and smtplib) waits until asked
    if name == "MODES":
        from brisvane._session import MODES

        return MODES
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


__all__ = [
    "HANG_UP",
    "MODES",
    "STEPS",
    "Address",
    "Attachment",
    "InlineImage",
    "Command",
    "Login",
    "SMTPTestServer",
    "ScriptedServer",
    "SentMail",
    "capture",
    "certificate_authority",
    "drip",
    "endless",
]
