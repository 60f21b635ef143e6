"""Plain-Python baselines for the benchmarks.

Each function here does, in Python, the same steps as the corresponding part
of ``brisvane``: the same argument checks, the same standard-library and
Jinja2 calls, in the same order.  Nothing is cached that the package does not
cache, and nothing is skipped that the package does.
"""

from __future__ import annotations

import mimetypes
import random
import smtplib
import ssl
import sys
from email import encoders
from email.mime.base import MIMEBase
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText
from email.utils import formataddr, formatdate, getaddresses
from pathlib import Path

_TOKEN_SPECIALS = frozenset("!#$%&'*+-.^_`{|}~")


def _type_error(name, expected, value):
    raise TypeError(
        f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})"
    )


# --------------------------------------------------------------------------
# The binding layer: send, _collect_recipients, render_string
# --------------------------------------------------------------------------


class PySendMailer:
    """The ``send`` entry point of ``EasyMailer`` written as a Python method.

    Like the package's, it checks its arguments, then calls the instance's
    ``_build_message``, ``_collect_recipients`` and ``_do_send`` (which the
    benchmark replaces by no-op instance attributes).
    """

    def __init__(self, default_sender: str):
        self.default_sender = default_sender

    def send(
        self,
        to,
        subject,
        body=None,
        html=None,
        cc=None,
        bcc=None,
        sender=None,
        sender_name=None,
        attachments=None,
        reply_to=None,
    ):
        if type(subject) is not str:
            _type_error("subject", "str", subject)
        if body is not None and type(body) is not str:
            _type_error("body", "str", body)
        if html is not None and type(html) is not str:
            _type_error("html", "str", html)
        if sender is not None and type(sender) is not str:
            _type_error("sender", "str", sender)
        if sender_name is not None and type(sender_name) is not str:
            _type_error("sender_name", "str", sender_name)
        if attachments is not None and type(attachments) is not list:
            _type_error("attachments", "list", attachments)
        if reply_to is not None and type(reply_to) is not str:
            _type_error("reply_to", "str", reply_to)
        msg = self._build_message(
            to=to,
            subject=subject,
            body=body,
            html=html,
            cc=cc,
            sender=sender,
            sender_name=sender_name,
            attachments=attachments,
            reply_to=reply_to,
        )
        recipients = self._collect_recipients(to, cc, bcc)
        deliver = self._do_send
        deliver(msg, recipients, sender or self.default_sender)


class PyUncheckedSendMailer(PySendMailer):
    """``PySendMailer.send`` without its argument checks: only the three calls.

    Not a baseline of the package (which checks its arguments); it shows how
    much of the Python function's time the calls into the hooks take.
    """

    def send(
        self,
        to,
        subject,
        body=None,
        html=None,
        cc=None,
        bcc=None,
        sender=None,
        sender_name=None,
        attachments=None,
        reply_to=None,
    ):
        msg = self._build_message(
            to=to,
            subject=subject,
            body=body,
            html=html,
            cc=cc,
            sender=sender,
            sender_name=sender_name,
            attachments=attachments,
            reply_to=reply_to,
        )
        recipients = self._collect_recipients(to, cc, bcc)
        deliver = self._do_send
        deliver(msg, recipients, sender or self.default_sender)


def collect_recipients(to, cc, bcc):
    """``EasyMailer._collect_recipients``: one envelope list of To, Cc and Bcc."""
    recipients = []
    for value in (to, cc, bcc):
        if value is None:
            continue
        if isinstance(value, str):
            recipients.append(value)
        else:
            recipients.extend(value)
    return recipients


class PyCollect:
    """Holds ``collect_recipients`` as a static method, called through the class."""

    _collect_recipients = staticmethod(collect_recipients)


class PyTemplateEngine:
    """``TemplateEngine.render_string`` written as a Python method.

    It is given the Jinja2 environment to use (the benchmark hands it the
    package engine's own, so that only the layer differs).
    """

    def __init__(self, env):
        self._env = env

    def render_string(self, template_string, context):
        if type(template_string) is not str:
            _type_error("template_string", "str", template_string)
        if type(context) is not dict:
            _type_error("context", "dict", context)
        template = self._env.from_string(template_string)
        result = template.render(**dict(context))
        if type(result) is not str and result is not None:
            raise TypeError(f"Expected str, got {type(result).__name__}")
        return result


# --------------------------------------------------------------------------
# Composition: the message the package builds, written with the stdlib
# --------------------------------------------------------------------------


def _check_header_value(value):
    if isinstance(value, str) and ("\r" in value or "\n" in value or "\0" in value):
        raise ValueError("Header values may not contain linefeed or carriage return characters")


def _fits(name, value):
    # The package assigns such a value unchanged; longer ones it folds (not
    # measured here: every message of the benchmark has short headers).
    return value.isascii() and len(name) + 2 + len(value) <= 78 and "=?" not in value


def _multipart(subtype, parameters=""):
    container = MIMEMultipart(subtype)
    boundary = "=" * 15 + f"{random.randrange(sys.maxsize):019d}" + "=="
    head = f"multipart/{subtype};" + (f" {parameters};" if parameters else "")
    container.replace_header("Content-Type", f'{head}\n boundary="{boundary}"')
    return container


def _alternative():
    return _multipart("alternative")


def _check_recipient_header(value):
    if isinstance(value, list):
        for item in value:
            _check_header_value(item)
    else:
        _check_header_value(value)


def _encode_addresses(value):
    if _fits("To", value):
        return value
    pairs = getaddresses((value,))
    parts = []
    for pair in pairs:
        if not pair[1] or not pair[1].isascii():
            return value
        parts.append(formataddr(pair))
    if not parts:
        return value
    joined = ", ".join(parts)
    if [p[1] for p in getaddresses((joined,))] != [p[1] for p in pairs]:
        return value
    return joined


def _address_header(value):
    if not isinstance(value, str):
        return value
    return _encode_addresses(value)


def _recipient_header(value):
    if not isinstance(value, list):
        return _address_header(value)
    return ", ".join([_address_header(item) for item in value])


def _is_token(name):
    return (
        name.isascii() and len(name) > 0 and all(c.isalnum() or c in _TOKEN_SPECIALS for c in name)
    )


def _add_attachment_disposition(part, name):
    _check_header_value(name)
    if _is_token(name):
        part.add_header("Content-Disposition", "attachment; filename=" + name)
    elif name.isascii():
        part.add_header("Content-Disposition", "attachment", filename=name)
    else:
        part.add_header("Content-Disposition", "attachment", filename=("utf-8", "", name))


def _guessed_type(name):
    guess = mimetypes.guess_type(name)[0]
    return guess if guess else "application/octet-stream"


def attach_file(msg, filepath):
    path = Path(filepath)
    if not path.is_file():
        raise FileNotFoundError("Attachment not found: " + filepath)
    maintype, subtype = _guessed_type(str(path)).split("/", 1)
    part = MIMEBase(maintype, subtype)
    with open(path, "rb") as f:
        part.set_payload(f.read())
    encoders.encode_base64(part)
    _add_attachment_disposition(part, path.name)
    msg.attach(part)


def _binary_part(item, disposition="attachment"):
    filename = item["filename"]
    content_type = item.get("content_type") or _guessed_type(filename)
    part = MIMEBase(*content_type.split("/", 1))
    part.set_payload(item["data"])
    encoders.encode_base64(part)
    if disposition == "inline":
        cid = item["cid"]
        _check_header_value(cid)
        if not cid or any(c in cid for c in ' <>"\\') or not cid.isascii():
            raise ValueError(f"bad cid {cid!r}")
        part["Content-ID"] = f"<{cid}>"
        part.add_header("Content-Disposition", "inline; filename=" + filename)
    return part


def _invitation_parts(item):
    """The calendar text as an alternative body and as an .ics attachment."""
    text = item["data"].decode("utf-8")
    method = item["content_type"].split("method=", 1)[1].strip().upper()
    if f"\nMETHOD:{method}\r" not in text:
        raise ValueError("calendar data and content type disagree on the method")
    shown = MIMEText(text, "calendar", "utf-8")
    shown.replace_header("Content-Type", f'text/calendar; method={method}; charset="utf-8"')
    attached = MIMEBase("application", "ics")
    attached.set_payload(item["data"])
    encoders.encode_base64(attached)
    _add_attachment_disposition(attached, item.get("filename") or "invite.ics")
    return shown, attached


def attach_binary(msg, item):
    filename = item["filename"]
    data = item["data"]
    content_type = item.get("content_type")
    if not content_type:
        content_type = _guessed_type(filename)
    maintype, subtype = content_type.split("/", 1)
    part = MIMEBase(maintype, subtype)
    part.set_payload(data)
    encoders.encode_base64(part)
    _add_attachment_disposition(part, format(filename, ""))
    msg.attach(part)


def build_message(
    default_sender, to, subject, body, html, cc, sender, sender_name, attachments, reply_to
):
    """``EasyMailer._build_message`` with the standard library called directly."""
    if type(subject) is not str:
        _type_error("subject", "str", subject)
    for name, value in (
        ("body", body),
        ("html", html),
        ("sender", sender),
        ("sender_name", sender_name),
        ("reply_to", reply_to),
    ):
        if value is not None and type(value) is not str:
            _type_error(name, "str", value)
    if attachments is not None and type(attachments) is not list:
        _type_error("attachments", "list", attachments)

    has_name = isinstance(sender_name, str) and len(sender_name) > 0
    has_cc = bool(cc)
    has_reply_to = isinstance(reply_to, str) and len(reply_to) > 0
    from_addr = sender if sender else default_sender
    for value in (subject, sender, sender_name, reply_to, from_addr):
        _check_header_value(value)
    _check_recipient_header(to)
    if has_cc:
        _check_recipient_header(cc)

    msg = MIMEMultipart("mixed")
    msg["From"] = formataddr((sender_name, from_addr)) if has_name else _address_header(from_addr)
    msg["To"] = _recipient_header(to)
    _fits("Subject", subject)  # the package's check; the subjects measured stay as given
    msg["Subject"] = subject
    msg["Date"] = formatdate(localtime=True)
    if has_cc:
        msg["Cc"] = _recipient_header(cc)
    if has_reply_to:
        msg["Reply-To"] = _address_header(reply_to)

    has_body = isinstance(body, str) and len(body) > 0
    has_html = isinstance(html, str) and len(html) > 0
    items = attachments or []
    shown = [i for i in items if isinstance(i, dict) and "cid" in i]
    invitation = next(
        (
            i
            for i in items
            if isinstance(i, dict)
            and "cid" not in i
            and str(i.get("content_type", "")).startswith("text/calendar;")
        ),
        None,
    )
    calendar = _invitation_parts(invitation) if invitation is not None else None
    if shown and not has_html:
        raise ValueError("inline items need an HTML body")
    bodies = []
    if has_body:
        bodies.append(MIMEText(body, "plain", "utf-8"))
    if has_html:
        part = MIMEText(html, "html", "utf-8")
        if shown:
            related = _multipart("related", 'type="text/html"')
            related.attach(part)
            for item in shown:
                related.attach(_binary_part(item, "inline"))
            part = related
        bodies.append(part)
    if calendar is not None:
        bodies.append(calendar[0])
    if len(bodies) > 1:
        alt = _alternative()
        for part in bodies:
            alt.attach(part)
        msg.attach(alt)
    elif bodies:
        msg.attach(bodies[0])

    for item in items:
        if item is invitation:
            msg.attach(calendar[1])
        elif isinstance(item, dict):
            if "cid" not in item:
                attach_binary(msg, item)
        else:
            attach_file(msg, item)
    return msg


# --------------------------------------------------------------------------
# Delivery: the raw smtplib floor
# --------------------------------------------------------------------------


def send_raw(host, port, mode, username, password, to, subject, body, default_sender=None):
    """One mail the way the package sends it: compose, collect, connect, log in, submit.

    ``mode`` is "plain", "starttls" or "ssl".
    """
    default_sender = default_sender or username
    msg = build_message(default_sender, to, subject, body, None, None, None, None, None, None)
    recipients = collect_recipients(to, None, None)
    envelope_sender = default_sender
    context = ssl.create_default_context()
    if mode == "ssl":
        with smtplib.SMTP_SSL(host, port, context=context) as server:
            server.login(username, password)
            server.sendmail(envelope_sender, recipients, msg.as_string())
    else:
        with smtplib.SMTP(host, port) as server:
            if mode == "starttls":
                server.starttls(context=context)
            server.login(username, password)
            server.sendmail(envelope_sender, recipients, msg.as_string())
