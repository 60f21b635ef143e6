"""capture: record the deliveries of a mailer, or of the class, instead of sending them."""

from __future__ import annotations

import email.utils
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from brisvane import _messages
from brisvane.testing.mail import SentMail

if TYPE_CHECKING:
    from brisvane.aio import AsyncEasyMailer
    from brisvane.mailer import EasyMailer

_envelopes: dict[str, str] = {}


def _envelope(address: str) -> str:
    # the address smtplib puts between the brackets of MAIL FROM and RCPT TO
    found = _envelopes.get(address)
    if found is not None:
        return found
    if address.strip() == "<>":
        found = ""
    else:
        name, addr = email.utils.parseaddr(address)
        found = address.strip() if (name, addr) == ("", "") else addr
    if len(_envelopes) >= 1024:
        _envelopes.clear()
    _envelopes[address] = found
    return found


_checker: Any = None


def _unconnected() -> Any:
    """An smtplib client that makes the command checks of a connection
    without one to send on (made once, with no name look-up)."""
    global _checker
    if _checker is None:
        import smtplib

        def send(self: Any, s: Any) -> None:
            if isinstance(s, str):
                s.encode(self.command_encoding)

        unconnected = type("Unconnected", (smtplib.SMTP,), {"send": send})
        _checker = unconnected(local_hostname="localhost")
    return _checker


def _check_command(verb: str, keyword: str, address: str) -> None:
    """The checks smtplib makes on MAIL FROM and RCPT TO before they go out:
    no line break, ASCII only (``sendmail`` asks for no SMTPUTF8)."""
    if address.isascii() and "\r" not in address and "\n" not in address:
        return
    import smtplib

    _unconnected().putcmd(verb, f"{keyword}:{smtplib.quoteaddr(address)}")


def _refuse_types(msg: Any, recipients: object, sender: object) -> None:
    """The class's own entry check words the error: given arguments that it
    refuses, its function raises before its body runs."""
    from brisvane import _session
    from brisvane.mailer import EasyMailer

    _session.class_function(EasyMailer)(None, msg, recipients, sender)


class _Recorder:
    """The delivery of a capture: the same checks and flattening as the
    delivery it stands in for, so that a mail that could not be sent is not
    recorded either; then the mail goes to the outbox."""

    def __init__(self, outbox: list[SentMail]) -> None:
        self.outbox = outbox
        self._lock = threading.Lock()

    def __call__(self, msg: Any, recipients: list[str], sender: str) -> None:
        if type(recipients) is not list or type(sender) is not str:
            _refuse_types(msg, recipients, sender)
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
        with self._lock:
            self.outbox.append(mail)

    def __repr__(self) -> str:
        return f"<capture: {len(self.outbox)} mails>"


@contextmanager
def capture(target: EasyMailer | type[EasyMailer] | AsyncEasyMailer) -> Iterator[list[SentMail]]:
    """Record every delivery of `target` instead of sending it.

    `target` is one mailer (an ``EasyMailer`` or a ``brisvane.aio``
    ``AsyncEasyMailer``), or the class ``EasyMailer`` (or a subclass) for
    every instance.  Yields the outbox, a list of :class:`SentMail` in send
    order.  Nothing is sent and no socket is opened.  Leaving the block
    restores `target` exactly, also when the block raises.
    """
    from brisvane import _session
    from brisvane.mailer import EasyMailer

    held = getattr(target, "mailer", None)
    if not isinstance(target, (EasyMailer, type)) and isinstance(held, EasyMailer):
        target = held  # an AsyncEasyMailer composes with the EasyMailer it holds
    if not (
        isinstance(target, EasyMailer)
        or (isinstance(target, type) and issubclass(target, EasyMailer))
    ):
        raise TypeError(_messages.text("testing.capture_target", None, got=type(target).__name__))
    outbox: list[SentMail] = []
    layer = _session.install(target, _Recorder(outbox), __name__)
    try:
        yield outbox
    finally:
        _session.remove(layer)
