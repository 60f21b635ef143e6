"""Delivery against a real SMTP server on loopback, in the three TLS modes,
and the exact sequence of calls on the standard library's client."""

import smtplib
import ssl
import time

import pytest
from helpers import PASSWORD, USERNAME, free_port, open_fds

import brisvane.mailer as mailer_module
from brisvane import EasyMailer
from brisvane.testing import HANG_UP, ScriptedServer


def wait_for_fds(before, timeout=3.0):
    """The descriptors open now, once the server threads had time to close theirs."""
    deadline = time.monotonic() + timeout
    while True:
        now = open_fds()
        if now <= before or time.monotonic() > deadline:
            return now
        time.sleep(0.02)


@pytest.fixture
def no_fd_leak():
    before = open_fds()
    yield
    assert wait_for_fds(before) <= before


# --- end to end --------------------------------------------------------------


@pytest.mark.parametrize(
    "body, html, expected",
    [
        ("纯文本正文", None, ["text/plain"]),
        (None, "<p>你好</p>", ["text/html"]),
        ("纯文本", "<p>HTML</p>", ["multipart/alternative", "text/plain", "text/html"]),
        (None, None, []),
    ],
)
def test_bodies_arrive(smtp_each_mode, body, html, expected):
    smtp_each_mode.mailer().send("to@example.com", "主题 subject", body=body, html=html)
    (received,) = smtp_each_mode.messages
    msg = received.message
    assert msg["Subject"] == "主题 subject"
    parts = [p.get_content_type() for p in msg.walk()][1:]
    if expected:
        assert parts == expected
    else:  # the standard library flattens a multipart with no part as one empty part
        assert all(not p.get_payload() for p in msg.walk() if not p.is_multipart())
    if body:
        assert msg.get_body(("plain",)).get_content() == body
    if html:
        assert msg.get_body(("html",)).get_content() == html
    assert smtp_each_mode.logins and smtp_each_mode.logins[0][1] == USERNAME.encode()


def test_recipients_and_headers_arrive(smtp_each_mode, tmp_path):
    report = tmp_path / "季度报告.txt"
    report.write_bytes("第一季度".encode())
    smtp_each_mode.mailer(default_sender="noreply@example.com").send(
        ["张三 <zs@example.com>", "b@example.com"],
        "通知",
        body="正文",
        cc="李四 <ls@example.com>",
        bcc=["hidden@example.com"],
        sender_name="王五",
        attachments=[str(report), {"filename": "图像 1.png", "data": b"\x89PNG\r\n"}],
        reply_to="reply@example.com",
    )
    (received,) = smtp_each_mode.messages
    assert received.mail_from == "noreply@example.com"
    assert received.rcpt_tos == [
        "zs@example.com",
        "b@example.com",
        "ls@example.com",
        "hidden@example.com",
    ]
    assert b"hidden@example.com" not in received.content
    msg = received.message
    assert [(a.display_name, a.addr_spec) for a in msg["To"].addresses] == [
        ("张三", "zs@example.com"),
        ("", "b@example.com"),
    ]
    assert msg["Cc"].addresses[0].display_name == "李四"
    assert msg["From"].addresses[0].display_name == "王五"
    assert msg["From"].addresses[0].addr_spec == "noreply@example.com"
    assert msg["Reply-To"] == "reply@example.com"
    attachments = {p.get_filename(): p.get_payload(decode=True) for p in msg.iter_attachments()}
    assert attachments == {"季度报告.txt": "第一季度".encode(), "图像 1.png": b"\x89PNG\r\n"}


def test_send_template_arrives(smtp_plain, trust_ca, tmp_path):
    smtp_plain.messages.clear()
    (tmp_path / "welcome.html").write_text("<h1>{{ name }}</h1><p>{{ occurred_at }}</p>")
    (tmp_path / "welcome.txt").write_text("Hi {{ name }}")
    (tmp_path / "html_only.html").write_text("<b>{{ name }}</b>")
    m = smtp_plain.mailer(template_dir=str(tmp_path))
    m.send_template("to@example.com", "欢迎 {{ name }}", "welcome", {"name": "Tom & Jerry"})
    m.send_template("to@example.com", "plain", "html_only", {"name": "<x>"})
    first, second = (r.message for r in smtp_plain.messages)
    assert first["Subject"] == "欢迎 Tom & Jerry"
    assert first.get_body(("plain",)).get_content() == "Hi Tom & Jerry"
    assert first.get_body(("html",)).get_content().startswith("<h1>Tom &amp; Jerry</h1><p>20")
    assert [p.get_content_type() for p in second.walk()] == ["multipart/mixed", "text/html"]
    assert second.get_body(("html",)).get_content() == "<b>&lt;x&gt;</b>"


# --- faults reach the caller unchanged, with nothing left open ---------------


@pytest.fixture
def refusing_server(start_server):
    server = start_server("plain", accept_any_login=True)
    server.refuse_recipients("nobody@example.com", "ghost@example.com", text="no such user")
    yield server, EasyMailer("127.0.0.1", server.port, USERNAME, PASSWORD, use_ssl=False)


def test_some_recipients_refused_is_not_an_error(refusing_server, no_fd_leak):
    server, m = refusing_server
    assert m.send(["a@example.com", "nobody@example.com"], "s", body="b") is None
    assert [mail.rcpt_tos for mail in server.messages] == [["a@example.com"]]


def test_all_recipients_refused(refusing_server, no_fd_leak):
    server, m = refusing_server
    with pytest.raises(smtplib.SMTPRecipientsRefused) as info:
        m.send(["nobody@example.com", "ghost@example.com"], "s", body="b")
    assert set(info.value.recipients) == {"nobody@example.com", "ghost@example.com"}
    assert server.messages == []


def test_wrong_password(smtp_each_mode, no_fd_leak):
    flattened = []

    class Message:
        def as_string(self):
            flattened.append(True)
            return "Subject: x\r\n\r\nbody\r\n"

    m = smtp_each_mode.mailer(password="wrong")
    with pytest.raises(smtplib.SMTPAuthenticationError):
        m._do_send(Message(), ["to@example.com"], USERNAME)
    assert flattened == []
    assert smtp_each_mode.messages == []


def test_connection_refused(no_fd_leak):
    m = EasyMailer("127.0.0.1", free_port(), USERNAME, PASSWORD, use_ssl=False)
    with pytest.raises(ConnectionRefusedError):
        m.send("to@example.com", "s", body="b")


@pytest.mark.parametrize("mode", ["ssl", "starttls"])
def test_untrusted_certificate(mode, request, monkeypatch, tmp_path, no_fd_leak):
    server = request.getfixturevalue(f"smtp_{mode}")
    server.messages.clear()
    server.logins.clear()
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "missing.pem"))
    monkeypatch.setenv("SSL_CERT_DIR", str(tmp_path))
    with pytest.raises(ssl.SSLCertVerificationError):
        server.mailer().send("to@example.com", "s", body="b")
    assert server.messages == [] and server.logins == []


def test_starttls_not_offered(smtp_plain, trust_ca, no_fd_leak):
    m = smtp_plain.mailer(use_ssl=False, use_tls=True)
    with pytest.raises(smtplib.SMTPNotSupportedError):
        m.send("to@example.com", "s", body="b")


# a server that hangs up after its greeting, and one that hangs up in the data
CLOSES = {
    "after greeting": {"EHLO": HANG_UP},
    "during data": {
        "EHLO": b"250-localhost\r\n250 AUTH PLAIN\r\n",
        "DATA": lambda line: [b"354 go on\r\n", HANG_UP],
    },
}


@pytest.mark.parametrize("answers", CLOSES.values(), ids=CLOSES)
def test_server_closes_connection(answers, no_fd_leak):
    with ScriptedServer(answers) as server:
        m = EasyMailer("127.0.0.1", server.port, USERNAME, PASSWORD, use_ssl=False)
        with pytest.raises(smtplib.SMTPServerDisconnected):
            m.send("to@example.com", "s", body="x" * 200_000)


# --- the exact sequence of calls ---------------------------------------------


class Recorder:
    """Stands in for `smtplib` and `ssl`, recording every call in order."""

    def __init__(self, fail=None, exit_result=None, exit_raises=None):
        self.calls = []
        self.fail = fail
        self.exit_result = exit_result
        self.exit_raises = exit_raises
        self.context = object()
        self.server = object()

    def create_default_context(self, *args, **kwargs):
        self.calls.append(("create_default_context", args, kwargs))
        return self.context

    def _connection(self, name):
        recorder = self

        class Connection:
            def __init__(self, *args, **kwargs):
                recorder.calls.append((name, args, kwargs))
                if recorder.fail == name:
                    raise ConnectionRefusedError("refused")

            def __enter__(self):
                recorder.calls.append(("__enter__", (), {}))
                return Session()

            def __exit__(self, *exc):
                recorder.calls.append(("__exit__", exc, {}))
                if recorder.exit_raises:
                    raise recorder.exit_raises
                return recorder.exit_result

        class Session:
            def __getattr__(self, method):
                def call(*args, **kwargs):
                    recorder.calls.append((method, args, kwargs))
                    if recorder.fail == method:
                        raise smtplib.SMTPAuthenticationError(535, b"no")
                    return {"refused@example.com": (550, b"no")}

                return call

        return Connection

    @property
    def SMTP(self):
        return self._connection("SMTP")

    @property
    def SMTP_SSL(self):
        return self._connection("SMTP_SSL")


class Message:
    def __init__(self, calls):
        self.calls = calls

    def as_string(self, *args):
        self.calls.append(("as_string", args, {}))
        return "TEXT"


@pytest.fixture
def recorder(monkeypatch):
    def install(**options):
        rec = Recorder(**options)
        monkeypatch.setattr(mailer_module, "smtplib", rec)
        monkeypatch.setattr(mailer_module, "ssl", rec)
        return rec

    return install


def names(calls):
    return [c[0] for c in calls]


@pytest.mark.parametrize(
    "use_ssl, use_tls, connect, upgrade",
    [
        (True, False, "SMTP_SSL", False),
        (False, True, "SMTP", True),
        (False, False, "SMTP", False),
        (True, True, "SMTP_SSL", False),
    ],
)
def test_call_sequence_per_mode(recorder, use_ssl, use_tls, connect, upgrade):
    rec = recorder()
    m = EasyMailer("mail.example.com", 2525, "user", "pw", use_ssl=False)
    m.use_ssl, m.use_tls = use_ssl, use_tls  # both true only by reassignment
    recipients = ["a@example.com"]
    assert m._do_send(Message(rec.calls), recipients, "from@example.com") is None
    expected = ["create_default_context", connect, "__enter__"]
    expected += ["starttls"] if upgrade else []
    expected += ["login", "as_string", "sendmail", "__exit__"]
    assert names(rec.calls) == expected
    calls = {c[0]: c for c in rec.calls}
    assert calls["create_default_context"][1:] == ((), {})
    context_kw = {"context": rec.context} if connect == "SMTP_SSL" else {}
    assert calls[connect][1:] == (("mail.example.com", 2525), context_kw)
    if upgrade:
        assert calls["starttls"][1:] == ((), {"context": rec.context})
    assert calls["login"][1:] == (("user", "pw"), {})
    assert calls["sendmail"][1] == ("from@example.com", recipients, "TEXT")
    assert calls["sendmail"][1][1] is recipients
    assert calls["__exit__"][1] == (None, None, None)


def test_login_failure_exits_with_the_exception(recorder):
    rec = recorder(fail="login")
    m = EasyMailer("h", 25, "user", "pw", use_ssl=False)
    with pytest.raises(smtplib.SMTPAuthenticationError) as info:
        m._do_send(Message(rec.calls), [], "s")
    assert names(rec.calls) == ["create_default_context", "SMTP", "__enter__", "login", "__exit__"]
    exc_type, exc_value, tb = rec.calls[-1][1]
    assert exc_type is smtplib.SMTPAuthenticationError and exc_value is info.value
    assert tb is exc_value.__traceback__ or tb is not None


def test_exit_may_suppress_or_replace(recorder):
    rec = recorder(fail="login", exit_result=1)
    m = EasyMailer("h", 25, "user", "pw", use_ssl=False)
    assert m._do_send(Message(rec.calls), [], "s") is None

    replacement = RuntimeError("exit failed")
    rec = recorder(fail="login", exit_raises=replacement)
    with pytest.raises(RuntimeError) as info:
        m._do_send(Message(rec.calls), [], "s")
    assert info.value is replacement
    assert isinstance(info.value.__context__, smtplib.SMTPAuthenticationError)


def test_failed_connection_has_no_exit(recorder):
    rec = recorder(fail="SMTP_SSL")
    m = EasyMailer("h", 465, "user", "pw")
    with pytest.raises(ConnectionRefusedError):
        m._do_send(Message(rec.calls), [], "s")
    assert names(rec.calls) == ["create_default_context", "SMTP_SSL"]


@pytest.mark.parametrize(
    "recipients, sender, text",
    [
        (("a",), "s", "Argument 'recipients' has incorrect type (expected list, got tuple)"),
        (None, "s", "Argument 'recipients' has incorrect type (expected list, got NoneType)"),
        ([], None, "Argument 'sender' has incorrect type (expected str, got NoneType)"),
        (None, None, "Argument 'recipients' has incorrect type (expected list, got NoneType)"),
    ],
)
def test_do_send_entry_checks_before_connecting(recorder, recipients, sender, text):
    rec = recorder()
    m = EasyMailer("h", 465, "user", "pw")
    with pytest.raises(TypeError) as info:
        m._do_send(Message(rec.calls), recipients, sender)
    assert str(info.value) == text
    assert rec.calls == []


def test_missing_attachment_sends_nothing(recorder, tmp_path):
    rec = recorder()
    m = EasyMailer("h", 465, "user", "pw")
    with pytest.raises(FileNotFoundError):
        m.send("to@example.com", "s", attachments=[str(tmp_path / "nope.pdf")])
    assert rec.calls == []
