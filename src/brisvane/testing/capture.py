"""capture: record the deliveries of a mailer, or of the class, instead of sending them."""

from __future__ import annotations

import email.utils
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Callable

from brisvane import _messages
from brisvane.testing.mail import SentMail

if TYPE_CHECKING:
    from brisvane.mailer import EasyMailer

_SEAM = "_do_send"
_CAPTURE_MARK = "__brisvane_capture__"


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


def _type_error(name: str, expected: str, value: object) -> TypeError:
    return TypeError(
        f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"
    )


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
def capture(target: EasyMailer | type[EasyMailer]) -> Iterator[list[SentMail]]:
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
        raise TypeError(_messages.text("testing.capture_target", None, got=type(target).__name__))
