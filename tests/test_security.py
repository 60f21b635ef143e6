"""Header injection is refused in every header the package writes, TLS
certificates are verified in both TLS modes, and the password shows in no
exception text or repr."""

import smtplib
import ssl
import traceback

import pytest
from aiosmtpd.controller import Controller
from helpers import PASSWORD, USERNAME, free_port

from brisvane import EasyMailer

BREAKS = ["\r\n", "\n", "\r", "\x00"]  # NUL is refused with the line breaks
INJECTED = "Bcc: evil@example.com"


@pytest.fixture
def world(tmp_path):
    (tmp_path / "t.html").write_text("<p>{{ n }}</p>")
    (tmp_path / "t.txt").write_text("{{ n }}")
    calls = []
    m = EasyMailer("h", 465, USERNAME, PASSWORD, template_dir=str(tmp_path))
    m._do_send = lambda msg, recipients, sender: calls.append((msg, recipients, sender))
    return m, calls, tmp_path


def evil(br):
    return f"x@example.com{br}{INJECTED}"


def injections(br, tmp_path):
    """Keyword arguments that put a line break into each header written."""
    named = tmp_path / f"a{br}{INJECTED}.txt"
    if br != "\x00":  # no file system takes NUL in a name
        named.write_bytes(b"data")
    return {
        "From sender": dict(sender=evil(br)),
        "From sender_name": dict(sender_name=f"Name{br}{INJECTED}"),
        "To str": dict(to=evil(br)),
        "To list item": dict(to=["ok@example.com", evil(br)]),
        "Cc str": dict(cc=evil(br)),
        "Cc list item": dict(cc=["ok@example.com", evil(br)]),
        "Subject": dict(subject=f"Hi{br}{INJECTED}"),
        "Reply-To": dict(reply_to=evil(br)),
        "attachment filename": dict(attachments=[{"filename": f"a{br}{INJECTED}", "data": b"d"}]),
        "attachment file name": dict(attachments=[str(named)]),
        "attachment content type": dict(
            attachments=[
                {"filename": "a.txt", "data": b"d", "content_type": f"text/plain{br}{INJECTED}"}
            ]
        ),
    }


HEADERS = [
    "From sender",
    "From sender_name",
    "To str",
    "To list item",
    "Cc str",
    "Cc list item",
    "Subject",
    "Reply-To",
    "attachment filename",
    "attachment file name",
    "attachment content type",
]


def call(m, how, **kw):
    kw.setdefault("to", "to@example.com")
    kw.setdefault("subject", "Subject")
    if how == "send":
        return m.send(body="b", **kw)
    return m.send_template(template_name="t", context={"n": 1}, **kw)


@pytest.mark.parametrize("how", ["send", "send_template"])
@pytest.mark.parametrize("br", BREAKS, ids=["crlf", "lf", "cr", "nul"])
@pytest.mark.parametrize("header", HEADERS)
def test_header_injection_refused(world, how, br, header):
    m, calls, tmp_path = world
    if br == "\x00" and header == "attachment file name":
        pytest.skip("no file system takes NUL in a file name")
    kw = injections(br, tmp_path)[header]
    with pytest.raises(ValueError, match="linefeed or carriage return"):
        call(m, how, **kw)
    assert calls == []


class ChangesAfterCheck(list):
    """A list whose items gain a line break after the first walk over them,
    as a list another thread changes between the check and the writing."""

    walks = 0

    def __iter__(self):
        self.walks += 1
        items = list.__iter__(self)
        return items if self.walks == 1 else (evil("\r\n") for _ in items)


@pytest.mark.parametrize("field", ["to", "cc"])
@pytest.mark.parametrize("count", [1, 30], ids=["one line", "folded"])
def test_list_changed_after_its_check_cannot_inject(world, field, count):
    m, calls, _ = world
    kw = {field: ChangesAfterCheck(f"u{i}@example.com" for i in range(count))}
    with pytest.raises(ValueError, match="linefeed or carriage return"):
        call(m, "send", **kw)
    assert calls == []


@pytest.mark.parametrize("br", BREAKS, ids=["crlf", "lf", "cr", "nul"])
@pytest.mark.parametrize("where", ["init", "attribute"])
def test_default_sender_injection_refused(world, br, where):
    m, calls, tmp_path = world
    if where == "init":
        m = EasyMailer("h", 465, USERNAME, PASSWORD, default_sender=evil(br))
        m._do_send = lambda *a: calls.append(a)
    else:
        m.default_sender = evil(br)
    for how in ["send", "send_template"]:
        with pytest.raises(ValueError, match="linefeed or carriage return"):
            call(m, how)
    assert calls == []


@pytest.mark.parametrize("br", BREAKS, ids=["crlf", "lf", "cr", "nul"])
@pytest.mark.parametrize("value", ["{x}", "{{ '{x}' }}", "A{x}B"])
def test_rendered_subject_cannot_inject(world, br, value):
    m, calls, _ = world
    with pytest.raises(ValueError, match="linefeed or carriage return"):
        m.send_template(
            "to@example.com", value.replace("{x}", br.join(["{{ x }}", INJECTED])), "t", {"x": "hi"}
        )
    with pytest.raises(ValueError, match="linefeed or carriage return"):
        m.send_template("to@example.com", "{{ x }}", "t", {"x": f"hi{br}{INJECTED}"})
    assert calls == []


def headers_of(text):
    return text.split("\n\n", 1)[0].replace("\r", "").split("\n")


@pytest.mark.parametrize("how", ["send", "send_template"])
def test_template_syntax_in_values_is_not_rendered_again(world, how):
    m, calls, _ = world
    payload = "{{ '\\r\\nBcc: evil@example.com' }}"
    if how == "send":
        m.send("to@example.com", payload, body="b", sender_name=payload)
    else:
        m.send_template(
            "to@example.com", "{{ x }}", "t", {"x": payload, "n": payload}, sender_name=payload
        )
    ((msg, recipients, _),) = calls
    assert not [h for h in headers_of(msg.as_string()) if h.lower().startswith("bcc")]
    assert recipients == ["to@example.com"]


@pytest.mark.parametrize("sep", ["\u2028", "\x85", "\x0b", "\x0c", "\x1c"])
@pytest.mark.parametrize("header", ["subject", "sender_name", "to", "reply_to"])
def test_other_line_separators_refused_or_harmless(sep, header):
    """Refused up front like CR/LF, or written so that no header line starts."""
    sent = []
    m = EasyMailer("h", 465, USERNAME, PASSWORD)
    m._do_send = lambda msg, recipients, sender: sent.append(msg)
    kw = dict(dict(to="to@example.com", subject="s", body="b"), **{header: f"x{sep}{INJECTED}"})
    try:
        m.send(**kw)
    except ValueError:
        assert sent == []
        return
    text = sent[0].as_string()  # flattened inside the connection, after login
    assert not [h for h in headers_of(text) if h.lower().startswith("bcc")]


def test_bcc_never_written(world):
    m, calls, _ = world
    m.send("to@example.com", "s", body="b", bcc=["hidden@example.com"])
    assert "hidden@example.com" not in calls[0][0].as_string()
    assert calls[0][1] == ["to@example.com", "hidden@example.com"]


# --- certificates -------------------------------------------------------------


@pytest.fixture
def untrusted(monkeypatch, tmp_path):
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "missing.pem"))
    monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path))


@pytest.mark.parametrize("how", ["send", "send_template", "_do_send"])
@pytest.mark.parametrize("mode", ["ssl", "starttls"])
def test_untrusted_server_refused_before_login(request, untrusted, tmp_path, mode, how):
    server = request.getfixturevalue(f"smtp_{mode}")
    server.messages.clear()
    server.logins.clear()
    (tmp_path / "t.txt").write_text("x")
    m = server.mailer(template_dir=str(tmp_path))
    with pytest.raises(ssl.SSLCertVerificationError) as info:
        if how == "_do_send":
            m._do_send(
                __import__("email").message_from_string("Subject: s\n\nb"),
                ["to@example.com"],
                USERNAME,
            )
        else:
            call(m, how)
    assert server.logins == [] and server.messages == []
    assert PASSWORD not in exception_text(info.value)


@pytest.fixture(scope="module")
def wrong_name_servers(ca):
    """Servers whose certificate, from the trusted CA, names another host."""
    authority, _ = ca
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    authority.issue_cert("mail.example.net").configure_cert(context)
    servers = {}
    for mode, options in [
        ("ssl", dict(ssl_context=context)),
        ("starttls", dict(tls_context=context, require_starttls=True)),
    ]:
        port = free_port()
        controller = Controller(
            object(), hostname="127.0.0.1", port=port, auth_require_tls=False, **options
        )
        controller.start()
        servers[mode] = (port, controller)
    yield {mode: port for mode, (port, _) in servers.items()}
    for _, controller in servers.values():
        controller.stop()


@pytest.mark.parametrize("mode", ["ssl", "starttls"])
def test_certificate_for_another_host_refused(wrong_name_servers, trust_ca, mode):
    m = EasyMailer(
        "127.0.0.1",
        wrong_name_servers[mode],
        USERNAME,
        PASSWORD,
        use_ssl=mode == "ssl",
        use_tls=mode == "starttls",
    )
    with pytest.raises(ssl.SSLCertVerificationError):
        m.send("to@example.com", "s", body="b")


# --- the password -------------------------------------------------------------


def exception_text(exc):
    parts = [
        str(exc),
        repr(exc),
        *map(repr, exc.args),
        "".join(traceback.format_exception(type(exc), exc, exc.__traceback__)),
    ]
    return "\n".join(parts)


def wrong_login(request):
    server = request.getfixturevalue("smtp_plain")
    request.getfixturevalue("trust_ca")
    server.mailer(password="wrong-" + PASSWORD).send("to@example.com", "s", body="b")


CASES = {
    "port type": lambda r: EasyMailer("h", "465", USERNAME, PASSWORD),
    "password as port": lambda r: EasyMailer("h", PASSWORD, USERNAME, PASSWORD),
    "port as float nan": lambda r: EasyMailer("h", float("nan"), USERNAME, PASSWORD),
    "conflicting TLS": lambda r: EasyMailer("h", 465, USERNAME, PASSWORD, use_tls=True),
    "host type": lambda r: EasyMailer(None, 465, USERNAME, PASSWORD),
    "argument count": lambda r: EasyMailer("h", 465, USERNAME, PASSWORD, 1, 2, 3, 4, 5),
    "unknown keyword": lambda r: EasyMailer("h", 465, USERNAME, PASSWORD, secret=PASSWORD),
    "subject type": lambda r: EasyMailer("h", 465, USERNAME, PASSWORD).send("a", None),
    "attachments type": lambda r: EasyMailer("h", 465, USERNAME, PASSWORD).send(
        "a", "s", attachments=("a.txt",)
    ),
    "wrong login": wrong_login,
    "connection refused": lambda r: EasyMailer(
        "127.0.0.1", free_port(), USERNAME, PASSWORD, use_ssl=False
    ).send("a@example.com", "s"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_password_not_in_exceptions(request, case):
    with pytest.raises(Exception) as info:
        CASES[case](request)
    exc, text = info.value, ""
    while exc is not None:
        text += exception_text(exc)
        exc = exc.__cause__ or exc.__context__
    assert PASSWORD not in text
    if case == "wrong login":
        assert isinstance(info.value, smtplib.SMTPAuthenticationError)


def test_password_not_in_repr():
    m = EasyMailer("h", 465, USERNAME, PASSWORD, use_ssl=False, default_sender="d@example.com")
    assert PASSWORD not in repr(m) and PASSWORD not in str(m)
    assert PASSWORD not in repr(m._template_engine) and PASSWORD not in repr(type(m))
