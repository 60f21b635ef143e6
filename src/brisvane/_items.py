"""Attachment items the HTML body shows or a calendar reads: the
dictionaries that :func:`inline_image` and :func:`calendar_invite` return,
for the ``attachments`` list of ``send`` and ``send_template``."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Optional, Union

from brisvane._messages import text

# The leading bytes of the image formats every client named in the README shows.
_SIGNATURES = (
    (b"\x89PNG\r\n\x1a\n", "image/png"),
    (b"\xff\xd8\xff", "image/jpeg"),
    (b"GIF87a", "image/gif"),
    (b"GIF89a", "image/gif"),
)


def _sniffed(data: bytes) -> Optional[str]:
    for signature, content_type in _SIGNATURES:
        if data.startswith(signature):
            return content_type
    if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
        return "image/webp"
    return None


def inline_image(
    path_or_bytes: Union[str, os.PathLike[str], bytes],
    cid: str,
    filename: Optional[str] = None,
    content_type: Optional[str] = None,
) -> dict[str, object]:
    """An image the HTML body shows as ``<img src="cid:CID">``.

    `path_or_bytes` is a file's path (its bytes are read now, its name is the
    default `filename`) or the image's bytes.  The content type is guessed
    from the file name, else from the image's first bytes.  The `cid` is
    checked when the mail is built.
    """
    if isinstance(path_or_bytes, (bytes, bytearray, memoryview)):
        data = bytes(path_or_bytes)
    elif isinstance(path_or_bytes, (str, os.PathLike)):
        path = Path(path_or_bytes)
        data = path.read_bytes()
        filename = filename if filename is not None else path.name
    else:
        raise TypeError(text("items.image_source", type=type(path_or_bytes).__name__))
    if content_type is None and filename is not None:
        import mimetypes

        content_type = mimetypes.guess_type(filename)[0]
    if content_type is None:
        content_type = _sniffed(data)
    if content_type is None:
        raise ValueError(text("items.image_type", cid=cid))
    if filename is None:
        import mimetypes

        extension = mimetypes.guess_extension(content_type) or ""
        filename = f"{cid}{extension}"
    return {"filename": filename, "data": data, "content_type": content_type, "cid": cid}


def calendar_method(ics: str) -> Optional[str]:
    """The METHOD of iCalendar text (REQUEST, CANCEL, ...), or None."""
    for line in ics.splitlines():
        if line[:7].upper() == "METHOD:":
            return line[7:].strip().upper() or None
    return None


def calendar_invite(ics_text: Union[str, bytes], filename: str = "invite.ics") -> dict[str, object]:
    """A calendar invitation that Outlook, Gmail and other calendar readers
    answer (Accept, Decline): the iCalendar text as an alternative body of
    the mail and as the attachment `filename`.  The method (REQUEST,
    CANCEL, ...) is read from the text's METHOD line."""
    if isinstance(ics_text, bytes):
        try:
            ics_text = ics_text.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(text("items.calendar_utf8")) from None
    if not isinstance(ics_text, str):
        raise TypeError(text("items.calendar_type", type=type(ics_text).__name__))
    method = calendar_method(ics_text)
    if method is None:
        raise ValueError(text("items.calendar_method"))
    return {
        "filename": filename,
        "data": ics_text.encode("utf-8"),
        "content_type": f"text/calendar; method={method}",
    }
