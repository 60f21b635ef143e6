"""brisvane.delivery against real servers on loopback that drop connections,
refuse recipients, stall, offer XOAUTH2 or no AUTH."""

import smtplib
import socket
import ssl
import threading
import time

import pytest
from helpers import PASSWORD, TOKEN, USERNAME

from brisvane import delivery


@pytest.fixture
def start(start_server):
    """A server that refuses bad@ and bad2@ as unknown users."""

    def run(mode, **options):
        server = start_server(mode, **options)
        server.refuse_recipients("bad@example.com", "bad2@example.com", text="5.1.1 no such user")
        return server

    return run


# A server that closes a connection after three mails: right after the third
# answer, silently at the fourth MAIL, or with a 421 answer to it.
DROPS = {
    "close": lambda s: s.drop("DATA", after_mails=2, answered=True),
    "eof": lambda s: s.drop("MAIL", after_mails=3),
    "421": lambda s: s.reply("MAIL", 421, "4.4.2 closing connection", after_mails=3),
}


def subjects(server):
    return sorted(str(m.message["Subject"]) for m in server.messages)


@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
@pytest.mark.parametrize("drop_how", DROPS)
def test_batch_survives_drops_and_sends_each_mail_once(start, mode, drop_how):
    server = start(mode)
    DROPS[drop_how](server)
    mailer = server.mailer()
    with delivery.connection(mailer) as batch:
        for i in range(7):
            to = ["ok@example.com", "bad@example.com"] if i == 4 else "ok@example.com"
            mailer.send(to, f"mail {i}", body="x")
    assert subjects(server) == [f"mail {i}" for i in range(7)]
    assert batch.connections == 3 and len(server.sessions) == 3
    assert batch.results[4] == {"bad@example.com": (550, b"5.1.1 no such user")}
    assert all(r == {} for i, r in enumerate(batch.results) if i != 4)
    logins = [[cmd for _, cmd, _ in s].count("AUTH") for s in server.sessions]
    assert logins == [1, 1, 1]
    assert "_do_send" not in vars(mailer)
    # leaving the block said QUIT on the last connection
    assert server.sessions[-1][-1][1] == "QUIT"


def test_batch_limits_and_pacing(start):
    server = start("plain")
    mailer = server.mailer()
    began = time.monotonic()
    with delivery.connection(mailer, max_per_connection=2, min_interval=0.05) as batch:
        for i in range(5):
            mailer.send("ok@example.com", f"m{i}", body="x")
        with pytest.raises(smtplib.SMTPRecipientsRefused):
            mailer.send(["bad@example.com", "bad2@example.com"], "refused", body="x")
        mailer.send("ok@example.com", "after", body="x")
    assert time.monotonic() - began >= 6 * 0.05
    assert len(server.messages) == 6 and batch.connections == 3
    assert [[c for _, c, _ in s].count("DATA") for s in server.sessions] == [2, 2, 2]
    assert all(s[-1][1] == "QUIT" for s in server.sessions)


def test_threads_get_a_connection_each(start):
    server = start("ssl")
    mailer = server.mailer()
    with delivery.connection(mailer) as batch:

        def work(n):
            for i in range(5):
                mailer.send("ok@example.com", f"t{n}-{i}", body="x")

        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert len(server.messages) == 20 and batch.connections == 4
    assert len(batch.results) == 20


def test_nested_blocks_and_configure_inside(start):
    server = start("plain", auth=False)
    mailer = server.mailer()
    delivery.configure(mailer, login=False)
    configured = vars(mailer)["_do_send"]
    with delivery.connection(mailer) as outer:
        with delivery.connection(mailer) as inner:
            assert inner is outer
            mailer.send("ok@example.com", "a", body="x")
        delivery.configure(mailer, login=False, message_id=True)
        mailer.send("ok@example.com", "b", body="x")
    assert outer.connections == 1
    assert "Message-ID" in server.messages[1].message
    assert vars(mailer)["_do_send"] is not configured  # the newer options stay
    delivery.reset(mailer)
    assert "_do_send" not in vars(mailer)
    with pytest.raises(smtplib.SMTPNotSupportedError):
        mailer.send("ok@example.com", "c", body="x")  # the class logs in


@pytest.mark.parametrize("mode", ["ssl", "plain"])
def test_relay_without_auth_and_message_id(start, mode):
    server = start(mode, auth=False)
    mailer = server.mailer(default_sender="Team <noreply@mail.example.org>")
    delivery.configure(mailer, login=False, message_id=True)
    mailer.send("ok@example.com", "relay", body="x")
    with delivery.connection(mailer):
        mailer.send("ok@example.com", "relay 2", body="x")
    ids = [m.message["Message-ID"] for m in server.messages]
    assert all(i.endswith("@mail.example.org>") for i in ids) and ids[0] != ids[1]
    assert all("AUTH" not in [c for _, c, _ in s] for s in server.sessions)


@pytest.mark.parametrize("mode", ["ssl", "starttls"])
def test_xoauth2(start, mode):
    server = start(mode, xoauth2_token=TOKEN)
    mailer = server.mailer()
    calls = []

    def token():
        calls.append(1)
        return TOKEN if len(calls) < 3 else "expired"

    delivery.configure(mailer, auth=delivery.xoauth2(token))
    mailer.send("ok@example.com", "one", body="x")
    with delivery.connection(mailer):
        mailer.send("ok@example.com", "two", body="x")
        mailer.send("ok@example.com", "three", body="x")
    with pytest.raises(smtplib.SMTPAuthenticationError) as info:
        mailer.send("ok@example.com", "four", body="x")
    assert info.value.smtp_code == 535 and not delivery.is_transient(info.value)
    assert subjects(server) == ["one", "three", "two"] and len(calls) == 3
    auths = [a for s in server.sessions for _, c, a in s if c == "AUTH"]
    assert all(a.startswith("XOAUTH2 ") for a in auths)


def test_timeout_bounds_a_stalled_server(start):
    from brisvane import EasyMailer

    stalled = start("plain")
    stalled.stall("connect", 30)
    try:
        mailer = EasyMailer(stalled.host, stalled.port, USERNAME, PASSWORD, use_ssl=False)
        delivery.configure(mailer, timeout=0.3)
        stalls = (socket.timeout, TimeoutError, smtplib.SMTPServerDisconnected)
        began = time.monotonic()
        with pytest.raises(stalls) as info:
            mailer.send("a@example.com", "s", body="x")
        assert time.monotonic() - began < 5
        assert delivery.is_transient(info.value)
        with pytest.raises(stalls):
            with delivery.connection(mailer, timeout=0.2):
                mailer.send("a@example.com", "s", body="x")
    finally:
        stalled.stop()


def test_flaky_answers_are_transient(start):
    server = start("plain")
    server.reply("DATA", 451, "4.3.0 try again later", times=1)
    mailer = server.mailer()
    with pytest.raises(smtplib.SMTPDataError) as info:
        mailer.send("ok@example.com", "[flaky] one", body="x")
    assert delivery.is_transient(info.value)
    with delivery.connection(mailer) as batch:
        mailer.send("ok@example.com", "[flaky] one", body="x")
    assert subjects(server) == ["[flaky] one"] and batch.connections == 1


@pytest.mark.parametrize(
    "step, reconnect", [("DATA", False), ("RCPT", False), ("MAIL", False), ("DATA", True)]
)
def test_a_refused_step_leaves_the_connection_ready_for_the_next_mail(step, reconnect):
    from brisvane.testing import SMTPTestServer

    with SMTPTestServer("plain") as server:
        mailer = server.mailer()
        with delivery.connection(mailer) as batch:
            mailer.send("ok@example.com", "first", body="x")
            if reconnect:
                server.drop("MAIL", times=1)
            server.reply(step, 451, times=1)
            with pytest.raises(smtplib.SMTPException):
                mailer.send("ok@example.com", "refused", body="x")
            mailer.send("ok@example.com", "next", body="x")
        assert [m.subject for m in server.messages] == ["first", "next"]
        assert batch.connections == 1 + reconnect


def _refused(*codes):
    return smtplib.SMTPRecipientsRefused({f"r{i}@x": (c, b"") for i, c in enumerate(codes)})


@pytest.mark.parametrize(
    "exc, transient",
    [
        (smtplib.SMTPServerDisconnected("gone"), True),
        (ConnectionRefusedError(111, "refused"), True),
        (socket.timeout("timed out"), True),
        (smtplib.SMTPSenderRefused(421, b"busy", "a@x"), True),
        (smtplib.SMTPDataError(451, b"later"), True),
        (smtplib.SMTPConnectError(554, b"no"), False),
        (smtplib.SMTPDataError(550, b"spam"), False),
        (smtplib.SMTPAuthenticationError(535, b"bad"), False),
        (smtplib.SMTPAuthenticationError(454, b"too many login attempts"), False),
        (_refused(550, 553), False),
        (_refused(550, 451), True),
        (smtplib.SMTPNotSupportedError("no AUTH"), False),
        (ssl.SSLCertVerificationError("bad cert"), False),
        (socket.gaierror(socket.EAI_NONAME, "unknown host"), False),
        (socket.gaierror(socket.EAI_AGAIN, "try again"), True),
        (FileNotFoundError("Attachment not found: x"), False),
        (ValueError("x"), False),
    ],
)
def test_is_transient(exc, transient):
    assert delivery.is_transient(exc) is transient
    if isinstance(exc, delivery.TRANSIENT_ERRORS):
        assert transient


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda m: delivery.configure(m, timeout=0), ValueError),
        (lambda m: delivery.configure(m, timeout="5"), ValueError),
        (lambda m: delivery.configure(m, auth="token"), TypeError),
        (lambda m: delivery.xoauth2("token"), TypeError),
        (lambda m: delivery.connection(m, max_per_connection=0).__enter__(), ValueError),
        (lambda m: delivery.connection(m, min_interval=-1).__enter__(), ValueError),
        (lambda m: delivery.configure(object()), TypeError),
    ],
)
def test_bad_arguments(call, error):
    from brisvane import EasyMailer

    mailer = EasyMailer("localhost", 25, USERNAME, PASSWORD)
    with pytest.raises(error):
        call(mailer)
    assert "_do_send" not in vars(mailer)


def test_token_must_be_text(start):
    server = start("ssl", xoauth2_token=TOKEN)
    mailer = server.mailer()
    delivery.configure(mailer, auth=delivery.xoauth2(lambda: b"bytes"))
    with pytest.raises(TypeError, match="str"):
        mailer.send("ok@example.com", "x", body="x")
    assert server.sessions[0][-1][1] == "QUIT"


def test_a_delivery_installed_by_other_code_stays():
    from brisvane import EasyMailer

    mailer = EasyMailer("localhost", 25, USERNAME, PASSWORD)
    captured = []
    mailer._do_send = lambda msg, recipients, sender: captured.append(recipients)
    with delivery.connection(mailer) as batch:
        mailer.send("a@example.com", "kept", body="x")
    delivery.reset(mailer)
    mailer.send("b@example.com", "kept", body="x")
    delivery.configure(mailer, timeout=5)
    mailer.send("c@example.com", "kept", body="x")
    assert captured == [["a@example.com"], ["b@example.com"], ["c@example.com"]]
    assert batch.connections == 0
