"""brisvane.testing and its pytest fixtures: capture, the SMTP test server and
its fault switches, the plugin as pytest loads it."""

import os
import re
import smtplib
import socket
import ssl
import subprocess
import sys
import threading
from pathlib import Path

import pytest

from brisvane import EasyMailer
from brisvane.testing import SMTPTestServer, capture

ROOT = Path(__file__).resolve().parent.parent
_own_do_send = vars(EasyMailer)["_do_send"]
CLOSED = ("127.0.0.1", 9)  # nothing listens there; a real delivery fails at once


def mailer(**kwargs):
    return EasyMailer(*CLOSED, "me@example.com", "pw", use_ssl=False, **kwargs)


def send_full(m, **extra):
    m.send(
        ["张三 <zhangsan@example.com>", "li@example.com"],
        "季度报告",
        body="正文\nline 2",
        html="<p>HTML</p>",
        cc="boss@example.com",
        bcc=["archive@example.com"],
        sender_name="报表系统",
        reply_to="team@example.com",
        attachments=[{"filename": "my report.txt", "data": b"a,b\n", "content_type": "text/csv"}],
        **extra,
    )


# --- the seam ---------------------------------------------------------------


@pytest.mark.parametrize("how", ["send", "send_template"])
def test_send_looks_do_send_up_on_the_instance_at_every_call(how, tmp_path):
    m = mailer(template_dir=str(tmp_path))
    calls = []

    def call():
        if how == "send":
            m.send("a@example.com", "s", body="b")
        else:
            m.send_template("a@example.com", "s", "missing")

    for tag in ("first", "second"):
        m._do_send = lambda msg, rcpt, sender, tag=tag: calls.append((tag, rcpt, sender))
        call()
    assert calls == [
        ("first", ["a@example.com"], "me@example.com"),
        ("second", ["a@example.com"], "me@example.com"),
    ]
    del m._do_send
    with pytest.raises(ConnectionRefusedError):
        call()


# --- capture ----------------------------------------------------------------


def test_capture_records_the_decoded_mail_and_opens_no_socket(monkeypatch):
    def no_network(*args, **kwargs):
        raise AssertionError("a socket was opened")

    monkeypatch.setattr(socket, "create_connection", no_network)
    m = mailer()
    with capture(m) as outbox:
        send_full(m)
        m.send("x@example.com", "second", body="b")
    first, second = outbox
    assert first.mail_from == "me@example.com"
    assert first.rcpt_tos == [
        "zhangsan@example.com",
        "li@example.com",
        "boss@example.com",
        "archive@example.com",
    ]
    assert b"archive@example.com" not in first.content
    assert first.subject == "季度报告"
    assert first.from_ == ("报表系统", "me@example.com")
    assert first.to == [("张三", "zhangsan@example.com"), ("", "li@example.com")]
    assert (
        first.cc == [("", "boss@example.com")] and first.reply_to[0].address == "team@example.com"
    )
    assert (first.text, first.html) == ("正文\nline 2", "<p>HTML</p>")
    assert first.attachments == [("my report.txt", "text/csv", b"a,b\n")]
    assert first.message.get_content_type() == "multipart/mixed"
    assert (second.subject, second.html, second.cc, second.attachments) == ("second", None, [], [])


def test_capture_content_is_what_the_server_receives(smtp_each_mode):
    m = smtp_each_mode.mailer()
    send_full(m)
    with capture(m) as outbox:
        send_full(m)
    (sent,), (recorded,) = smtp_each_mode.messages, outbox

    def normal(content):  # Date and MIME boundaries differ from one mail to the next
        return re.sub(rb"=+\d+==", b"B", re.sub(rb"Date: [^\r]*", b"Date", content))

    assert normal(recorded.content) == normal(sent.content)
    assert (recorded.mail_from, recorded.rcpt_tos) == (sent.mail_from, sent.rcpt_tos)


@pytest.mark.parametrize("target", ["instance", "class"])
@pytest.mark.parametrize("raises", [False, True])
def test_capture_restores_the_mailer_exactly(target, raises):
    m = mailer()
    own = lambda msg, rcpt, sender: None  # noqa: E731  another delivery, set before
    m._do_send = own
    other = mailer()
    before = (dict(vars(m)), dict(vars(other)), dict(vars(EasyMailer)))
    with pytest.raises(RuntimeError) if raises else _nothing():
        with capture(m if target == "instance" else EasyMailer) as outbox:
            m.send("a@example.com", "s", body="b")
            if raises:
                raise RuntimeError("inside")
    assert len(outbox) == 1
    assert (dict(vars(m)), dict(vars(other)), dict(vars(EasyMailer))) == before
    assert m._do_send is own
    del m._do_send
    with pytest.raises(ConnectionRefusedError):
        m.send("a@example.com", "s", body="b")


class _nothing:
    def __enter__(self):
        return None

    def __exit__(self, *exc):
        return False


def test_class_capture_takes_every_instance_and_nests():
    class Subclass(EasyMailer):
        pass

    given_own = mailer()
    given_own._do_send = lambda msg, rcpt, sender: pytest.fail("sent past the capture")
    with capture(EasyMailer) as everything:
        created_inside = Subclass(*CLOSED, "me@example.com", "pw", use_ssl=False)
        with capture(created_inside) as own:
            created_inside.send("a@example.com", "own", body="b")
        given_own.send("a@example.com", "given", body="b")
        created_inside.send("a@example.com", "inside", body="b")
    assert [m.subject for m in own] == ["own"]
    assert [m.subject for m in everything] == ["given", "inside"]
    assert "_do_send" not in vars(Subclass) and "_do_send" not in vars(created_inside)


@pytest.mark.parametrize(
    "case", ["no default sender", "no recipient", "non-ASCII sender", "non-ASCII recipient"]
)
def test_capture_fails_where_delivery_would(case, smtp_plain, trust_ca):
    results = []
    to = {"no recipient": [], "non-ASCII recipient": ["a@example.com", "用户@example.com"]}
    for capturing in (False, True):
        m = smtp_plain.mailer()
        if case == "no default sender":
            m.default_sender = None
        if case == "non-ASCII sender":
            m.default_sender = "发件人@example.com"
        with capture(m) if capturing else _nothing() as outbox:
            with pytest.raises(Exception) as info:
                m.send(to.get(case, "a@example.com"), "s", body="b")
        results.append((type(info.value), str(info.value)))
        assert not outbox
    assert results[0] == results[1]


class _List(list):
    pass


@pytest.mark.parametrize(
    "recipients, sender",
    [
        (("a@example.com",), "s"),
        (None, None),
        (_List(["a@example.com"]), "s"),
        (["a@example.com"], b"s"),
    ],
)
def test_capture_refuses_argument_types_in_the_words_of_the_class(recipients, sender):
    m = mailer()
    errors = []
    for capturing in (False, True):
        with capture(m) if capturing else _nothing():
            with pytest.raises(TypeError) as info:
                m._do_send(None, recipients, sender)
        errors.append(str(info.value))
    assert errors[0] == errors[1]


def test_capture_of_a_shared_mailer_from_threads_records_each_mail_once():
    m = mailer()
    with capture(m) as outbox:

        def work(t):
            for i in range(25):
                m.send(f"t{t}@example.com", f"{t}-{i}", body="b")

        threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    subjects = [mail.subject for mail in outbox]
    assert sorted(subjects) == sorted(f"{t}-{i}" for t in range(8) for i in range(25))


@pytest.mark.parametrize("target", ["mailer", "class"])
def test_capture_blocks_that_end_out_of_order_give_real_sends_back(target, smtp_plain, trust_ca):
    smtp_plain.reset()
    m = smtp_plain.mailer()
    blocks = [capture(m if target == "mailer" else EasyMailer) for _ in range(2)]
    entered, ended = threading.Barrier(2), threading.Event()

    def run(block, index, outboxes):
        with block as outbox:
            entered.wait()
            if index == 1:  # first in, first out: the other block ends first
                ended.wait()
                m.send("a@example.com", "inside the second", body="b")
            outboxes[index] = outbox
        if index == 0:
            ended.set()

    outboxes = [None, None]
    threads = [threading.Thread(target=run, args=(b, i, outboxes)) for i, b in enumerate(blocks)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    m.send("a@example.com", "after both", body="b")
    assert [mail.subject for mail in outboxes[1]] == ["inside the second"]
    assert [mail.subject for mail in smtp_plain.messages] == ["after both"]
    assert "_do_send" not in vars(m) and vars(EasyMailer)["_do_send"] is _own_do_send


def test_capture_rejects_other_targets():
    with pytest.raises(TypeError, match="EasyMailer"):
        with capture(object()):
            pass


# --- the server -------------------------------------------------------------


def test_server_trusts_its_ca_only_while_it_runs(monkeypatch, tmp_path):
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "before.pem"))
    with SMTPTestServer() as first, SMTPTestServer("starttls", accept_any_login=True) as second:
        assert os.environ["SSL_CERT_FILE"] == first.ca_file
        second.mailer(username="anyone", password="anything").send("a@x.example", "s", body="b")
        first.stop()  # the other still runs: still trusted
        assert os.environ["SSL_CERT_FILE"] == second.ca_file
    assert os.environ["SSL_CERT_FILE"] == str(tmp_path / "before.pem")
    with SMTPTestServer(trust=False) as untrusted:
        with pytest.raises(ssl.SSLCertVerificationError):
            untrusted.mailer().send("a@example.com", "s", body="b")
        assert untrusted.logins == []


def send_one(server):
    server.mailer().send(["a@example.com", "b@example.com"], "s", body="b")


STEP_ERRORS = {
    "connect": smtplib.SMTPConnectError,
    "EHLO": smtplib.SMTPHeloError,
    "AUTH": smtplib.SMTPAuthenticationError,
    "MAIL": smtplib.SMTPSenderRefused,
    "RCPT": smtplib.SMTPRecipientsRefused,
    "DATA": smtplib.SMTPDataError,
}


@pytest.mark.parametrize(
    "fault, error",
    [
        (lambda s: s.refuse_login(), smtplib.SMTPAuthenticationError),
        (lambda s: s.refuse_recipients(), smtplib.SMTPRecipientsRefused),
        *[
            (lambda s, step=step: s.reply(step, 451, "later"), error)
            for step, error in STEP_ERRORS.items()
        ],
        *[
            (lambda s, step=step: s.drop(step), smtplib.SMTPServerDisconnected)
            for step in ("connect", "EHLO", "AUTH", "MAIL", "RCPT", "DATA")
        ],
        (lambda s: s.stall("RCPT", 5), smtplib.SMTPServerDisconnected),
    ],
    ids=["refuse login", "refuse all"]
    + [f"reply {s}" for s in STEP_ERRORS]
    + [f"drop {s}" for s in ("connect", "EHLO", "AUTH", "MAIL", "RCPT", "DATA")]
    + ["stall"],
)
def test_faults_reach_the_sender_and_reset_clears_them(smtp_each_mode, fault, error, request):
    fault(smtp_each_mode)
    timeout = socket.getdefaulttimeout()
    if request.node.callspec.id.endswith("stall"):
        socket.setdefaulttimeout(1.0)
    try:
        with pytest.raises(error):
            send_one(smtp_each_mode)
    finally:
        socket.setdefaulttimeout(timeout)
    assert smtp_each_mode.messages == []
    smtp_each_mode.reset()
    send_one(smtp_each_mode)
    assert len(smtp_each_mode.messages) == 1


@pytest.mark.parametrize("mode", ["starttls", "ssl"])
def test_fault_at_tls_steps_and_counted_faults(mode):
    with SMTPTestServer(mode) as server:
        if mode == "starttls":
            server.reply("STARTTLS", 454, "TLS not available")
            with pytest.raises(smtplib.SMTPResponseException):
                send_one(server)
            server.reset()
        server.refuse_recipients("B@example.com")
        server.reply("MAIL", 421, "closing", times=1)
        with pytest.raises(smtplib.SMTPSenderRefused):
            send_one(server)
        send_one(server)  # the second try goes through, to the recipient not refused
        assert [m.rcpt_tos for m in server.messages] == [["a@example.com"]]


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: SMTPTestServer("tls"), "unknown mode 'tls'"),
        (lambda: SMTPTestServer().drop("BDAT"), "unknown step 'BDAT'"),
        (lambda: SMTPTestServer().drop("DATA", times=0), "at least 1"),
        (lambda: SMTPTestServer().reply("RCPT", 451, times=1.5), "at least 1"),
        (lambda: SMTPTestServer().mailer(), "not running"),
    ],
)
def test_mistakes_say_what_to_do(make, message, monkeypatch):
    monkeypatch.setenv("BRISVANE_LANG", "en")
    with pytest.raises((ValueError, RuntimeError), match=message):
        make()


# --- the pytest plugin ------------------------------------------------------


def pytest_run(tmp_path, *args, code=""):
    runner = code + "import sys, pytest\nsys.exit(pytest.main(sys.argv[1:]))\n"
    return subprocess.run(
        [sys.executable, "-c", runner, "-q", "-p", "no:cacheprovider", *args],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=240,
        env=dict(os.environ, BRISVANE_LANG="en"),
    )


def example_tests(readme):
    text = (ROOT / readme).read_text(encoding="utf-8")
    return re.findall(r"```python (test_\w+\.py)\n(.*?)```", text, re.S)


def test_readmes_agree_on_example_tests():
    assert example_tests("README.md") == example_tests("README.zh-CN.md")


@pytest.mark.parametrize("readme", ["README.md", "README.zh-CN.md"])
def test_readme_example_tests_pass(readme, tmp_path):
    files = example_tests(readme)
    assert files
    for name, code in files:
        (tmp_path / name).write_text(code, encoding="utf-8")
    result = pytest_run(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "6 passed" in result.stdout


HIDE = """
import importlib.abc, sys
class Hide(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.split(".")[0] in ("aiosmtpd", "trustme"):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)
sys.meta_path.insert(0, Hide())
"""


def test_plugin_without_aiosmtpd(tmp_path):
    (tmp_path / "test_it.py").write_text(
        "def test_outbox(mail_outbox):\n"
        "    from brisvane import EasyMailer\n"
        "    EasyMailer('h', 25, 'u', 'p', use_ssl=False).send('a@example.com', 's')\n"
        "    assert len(mail_outbox) == 1\n"
        "def test_server(smtp_server):\n"
        "    pass\n"
    )
    result = pytest_run(tmp_path, code=HIDE)
    assert "1 passed, 1 error" in result.stdout, result.stdout + result.stderr
    assert "brisvane[testing] is not installed: pip install 'brisvane[testing]'" in result.stdout


def test_importing_the_plugin_loads_nothing_heavy():
    code = (
        "import sys, brisvane._pytest_plugin, brisvane.testing\n"
        "print(sorted(m for m in sys.modules if m.split('.')[0] in "
        "('aiosmtpd', 'trustme', 'jinja2', 'cryptography', 'smtplib') "
        "or m == 'brisvane.mailer'))"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert result.stdout.strip() == "[]", result.stderr


def test_plugin_fixtures_in_a_fresh_test_file(pytester):
    pytester.makepyfile(
        """
        import pytest
        from brisvane import EasyMailer

        def test_outbox(mail_outbox):
            EasyMailer("127.0.0.1", 9, "u", "p", use_ssl=False).send("a@example.com", "s")
            assert [m.subject for m in mail_outbox] == ["s"]

        @pytest.mark.parametrize("smtp_server", ["ssl", "starttls", "plain"], indirect=True)
        def test_mode(smtp_server):
            smtp_server.mailer().send("a@example.com", smtp_server.mode, body="b")
            assert [m.subject for m in smtp_server.messages] == [smtp_server.mode]

        @pytest.mark.smtp_server("plain", accept_any_login=True)
        def test_marker(smtp_server):
            smtp_server.mailer(username="x", password="y").send("a@example.com", "s")
            assert (smtp_server.mode, smtp_server.logins[0].login) == ("plain", b"x")
        """
    )
    result = pytester.runpytest("-p", "no:cacheprovider", "-v")
    result.assert_outcomes(passed=5)
    result.stdout.fnmatch_lines(["*test_mode?ssl? PASSED*", "*test_mode?plain? PASSED*"])
