"""What a mail looks like to a test: the envelope, the bytes, decoded views."""

from __future__ import annotations

import email
import email.policy
import re
from email.message import EmailMessage
from functools import cached_property
from typing import NamedTuple

_EOLS = re.compile(r"\r\n|\n|\r(?!\n)")


def _wire(text: str) -> bytes:
    # what smtplib's sendmail makes of a str message before DATA: CRLF line
    # ends, ASCII (the generator writes "\n" only, unless a value holds "\r")
    if "\r" in text:
        text = _EOLS.sub("\r\n", text)
    else:
        text = text.replace("\n", "\r\n")
    return text.encode("ascii")


class Address(NamedTuple):
    """A display name (``""`` when there is none) and an address."""

    name: str
    address: str


class Attachment(NamedTuple):
    filename: str | None
    content_type: str
    data: bytes


class InlineImage(NamedTuple):
    """A part the HTML body shows as ``<img src="cid:CID">``."""

    cid: str
    filename: str | None
    content_type: str
    data: bytes


class SentMail:
    """One mail as it crossed (or would have crossed) the wire.

    ``mail_from`` and ``rcpt_tos`` are the envelope addresses as given in MAIL
    FROM and RCPT TO (``"张三 <z@example.com>"`` becomes ``"z@example.com"``);
    ``content`` is the message as submitted, CRLF line ends.  The other
    attributes are decoded views of ``content``, parsed on first use.
    """

    _text: str

    def __init__(self, mail_from: str, rcpt_tos: list[str], content: bytes) -> None:
        self.mail_from = mail_from
        self.rcpt_tos = rcpt_tos
        self.__dict__["content"] = content

    @classmethod
    def _flattened(cls, mail_from: str, rcpt_tos: list[str], text: str) -> SentMail:
        # a captured mail: its bytes are made from the flattened text when asked for
        mail = cls.__new__(cls)
        mail.mail_from = mail_from
        mail.rcpt_tos = rcpt_tos
        mail._text = text
        return mail

    @cached_property
    def content(self) -> bytes:
        return _wire(self._text)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, SentMail):
            return NotImplemented
        return (self.mail_from, self.rcpt_tos, self.content) == (
            other.mail_from,
            other.rcpt_tos,
            other.content,
        )

    __hash__ = None  # type: ignore[assignment]

    @cached_property
    def message(self) -> EmailMessage:
        parsed = email.message_from_bytes(self.content, policy=email.policy.default)
        assert isinstance(parsed, EmailMessage)
        return parsed

    @property
    def subject(self) -> str | None:
        value = self.message["Subject"]
        return None if value is None else str(value)

    @property
    def from_(self) -> Address | None:
        found = self._addresses("From")
        return found[0] if found else None

    @property
    def to(self) -> list[Address]:
        return self._addresses("To")

    @property
    def cc(self) -> list[Address]:
        return self._addresses("Cc")

    @property
    def reply_to(self) -> list[Address]:
        return self._addresses("Reply-To")

    @property
    def text(self) -> str | None:
        """The plain-text body, ``"\\n"`` line ends; None when there is none."""
        return self._body("plain")

    @property
    def html(self) -> str | None:
        return self._body("html")

    @property
    def inline_images(self) -> list[InlineImage]:
        """The parts with a Content-ID that the HTML shows (not attachments)."""
        return [
            InlineImage(
                str(part["Content-ID"]).strip().removeprefix("<").removesuffix(">"),
                part.get_filename(),
                part.get_content_type(),
                bytes(part.get_payload(decode=True) or b""),
            )
            for part in self.message.walk()
            if part["Content-ID"] is not None and part.get_content_disposition() != "attachment"
        ]

    @property
    def attachments(self) -> list[Attachment]:
        """The parts sent as attachments (inline images are not among them)."""
        return [
            Attachment(
                part.get_filename(),
                part.get_content_type(),
                bytes(part.get_payload(decode=True) or b""),
            )
            for part in self.message.walk()
            if part.get_content_disposition() == "attachment"
        ]

    def _addresses(self, name: str) -> list[Address]:
        header = self.message[name]
        if header is None:
            return []
        return [Address(a.display_name, a.addr_spec) for a in header.addresses]

    def _body(self, subtype: str) -> str | None:
        part = self.message.get_body((subtype,))
        if part is None or part.get_content_type() != "text/" + subtype:
            return None
        content: str = part.get_content()
        return content.replace("\r\n", "\n")

    def __repr__(self) -> str:
        return f"<SentMail from {self.mail_from!r} to {self.rcpt_tos!r} subject {self.subject!r}>"
