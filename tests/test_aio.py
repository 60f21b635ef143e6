"""AsyncEasyMailer against real servers: the same mail as EasyMailer's, its
DATA bytes as smtplib's, smtplib's exceptions, the connection pool, timeouts
and cancellation; the test kit in async tests."""

import asyncio
import os
import random
import re
import smtplib
import time

import pytest
from helpers import PASSWORD, USERNAME, free_port, open_fds

from brisvane import EasyMailer, delivery, inline_image
from brisvane._wire import wire
from brisvane.testing import ScriptedServer, drip

pytest.importorskip("aiosmtplib")
from brisvane.aio import AsyncEasyMailer  # noqa: E402

_RANDOM = re.compile(rb"={15}\d{19}==|^Date: .*$", re.M)


def normal(content: bytes) -> bytes:
    return _RANDOM.sub(b"-", content)


def closed_since(before: set, wait: float = 3.0) -> bool:
    """Every descriptor opened since `before` is closed, once the server
    thread (which holds its end until its stall is over) lets go too."""
    deadline = time.monotonic() + wait
    while not open_fds() <= before:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def smtplib_data(msg) -> bytes:
    """What smtplib.sendmail writes after DATA for msg.as_string()."""
    q = smtplib._quote_periods(smtplib._fix_eols(msg.as_string()).encode("ascii"))
    return q + (b"" if q.endswith(b"\r\n") else b"\r\n") + b".\r\n"


random.seed(7)
NOISY = "".join(
    random.choice(["a", "\r\n", "\n", "\r", ".", "-", "\x00", "..x\n"]) for _ in range(90_000)
)


@pytest.mark.parametrize(
    "kw",
    [
        dict(body="hi"),
        dict(body=NOISY, html=NOISY),
        dict(body="x", attachments=[{"filename": "a.bin", "data": os.urandom(200_000)}]),
        dict(body="x", attachments=[{"filename": "dashes.txt", "data": b"-\n" * 40_000}]),
        dict(
            html='<img src="cid:l">', attachments=[inline_image(b"\x89PNG\r\n\x1a\n" * 9000, "l")]
        ),
    ],
    ids=["short", "noisy text", "binary", "dashes", "inline"],
)
def test_wire_bytes_are_smtplibs(kw):
    mailer = EasyMailer("h", 465, "me@example.com", "pw")
    args = dict(to="you@example.com", subject="s", body=None, html=None, cc=None, sender=None)
    msg = mailer._build_message(
        **(args | dict(sender_name=None, attachments=None, reply_to=None) | kw)
    )
    chunks = wire(msg)  # chooses the boundaries; smtplib's bytes then use the same
    assert b"".join(chunks) == smtplib_data(msg)
    assert max(map(len, chunks)) < 200_000  # made a slice at a time


@pytest.mark.parametrize("mode", ["ssl", "starttls", "plain"])
def test_the_same_mail_as_easymailer(servers, mode, tmp_path):
    server = servers[mode]
    (tmp_path / "报告.pdf").write_bytes(b"%PDF-1.4 " * 1000)
    kw = dict(
        to=["张三 <z@example.com>", "li@example.com"],
        subject="季度报告 " * 12,
        body="正文\n.dot",
        html="<p>HTML</p>",
        cc="boss@example.com",
        bcc=["archive@example.com"],
        sender_name="报表系统",
        attachments=[str(tmp_path / "报告.pdf"), {"filename": "图.png", "data": b"\x89PNG" * 10}],
    )
    server.mailer().send(**kw)
    asyncio.run(server.async_mailer().send(**kw))
    ours, theirs = server.messages
    assert normal(ours.content) == normal(theirs.content)
    assert (
        ours.rcpt_tos
        == theirs.rcpt_tos
        == [
            "z@example.com",
            "li@example.com",
            "boss@example.com",
            "archive@example.com",
        ]
    )
    session = [c.verb for c in server.sessions[-1]]
    assert session[-4:] == ["RCPT", "RCPT", "DATA", "QUIT"]
    if mode == "starttls":
        assert [c.verb for c in server.sessions[-1] if not c.secured][-1] == "STARTTLS"


def test_templates_and_argument_errors_are_the_classs(smtp_plain, trust_ca):
    smtp_plain.reset()
    mailer = smtp_plain.async_mailer()
    asyncio.run(
        mailer.send_template(
            "you@example.com",
            "码 {{ code }}",
            "verification_code",
            {"code": "42", "valid_minutes": 5},
        )
    )
    (sent,) = smtp_plain.messages
    assert sent.subject == "码 42" and "42" in sent.html
    for call in (
        lambda m: m.send(5, "s"),
        lambda m: m.send("a@example.com", "s\r\nBcc: x@example.com"),
    ):
        with pytest.raises(Exception) as sync_error:
            call(smtp_plain.mailer())
        with pytest.raises(type(sync_error.value)) as async_error:
            asyncio.run(call(mailer))
        assert str(async_error.value) == str(sync_error.value)
    with pytest.raises(TypeError) as raised:
        AsyncEasyMailer("h", "x", "u", "p")
    with pytest.raises(TypeError) as expected:
        EasyMailer("h", "x", "u", "p")
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize(
    "fault, error, transient",
    [
        (lambda s: s.refuse_login(), smtplib.SMTPAuthenticationError, False),
        (lambda s: s.refuse_recipients(), smtplib.SMTPRecipientsRefused, False),
        (lambda s: s.reply("MAIL", 451, "4.3.0 busy"), smtplib.SMTPSenderRefused, True),
        (lambda s: s.reply("DATA", 554, "5.6.0 no"), smtplib.SMTPDataError, False),
        (lambda s: s.drop("RCPT"), smtplib.SMTPServerDisconnected, True),
    ],
)
def test_failures_are_smtplibs(servers, fault, error, transient):
    server = servers["ssl"]
    fault(server)
    before = open_fds()
    with pytest.raises(error) as raised:
        asyncio.run(server.async_mailer().send("you@example.com", "s", body="x"))
    assert delivery.is_transient(raised.value) is transient
    assert getattr(raised.value, "smtp_code", 0) in (0, 451, 535, 554)
    assert closed_since(before)


def test_starttls_refused_when_not_offered_and_certificates_checked(servers, start_server):
    plain = servers["plain"]
    with pytest.raises(smtplib.SMTPNotSupportedError, match="STARTTLS"):
        asyncio.run(
            plain.async_mailer(use_ssl=False, use_tls=True).send("a@example.com", "s", body="x")
        )
    other = start_server("ssl", trust=False)
    os.environ.pop("SSL_CERT_FILE", None)
    with pytest.raises(Exception) as raised:
        asyncio.run(other.async_mailer(timeout=5).send("a@example.com", "s", body="x"))
    assert "CERTIFICATE_VERIFY_FAILED" in repr(raised.value) or "certificate" in str(raised.value)
    assert other.messages == []


def test_pool_shares_connections_between_tasks(servers):
    server = servers["ssl"]
    mailer = server.async_mailer()

    async def main():
        async with mailer.connection(connections=3, max_per_connection=4) as pool:
            await asyncio.gather(
                *(mailer.send(f"r{i}@example.com", f"m{i}", body="x") for i in range(12))
            )
        return pool

    pool = asyncio.run(main())
    assert sorted(m.subject for m in server.messages) == sorted(f"m{i}" for i in range(12))
    assert len(pool.results) == 12 and pool.results[0] == {}
    assert 3 <= pool.connections <= 4
    per_session = [[c.verb for c in s].count("DATA") for s in server.sessions]
    assert max(per_session) <= 4 and sum(per_session) == 12
    assert all(s[-1].verb == "QUIT" for s in server.sessions)  # every one said QUIT


def test_pool_reconnects_once_when_an_idle_connection_was_dropped(servers):
    server = servers["ssl"]
    server.drop("MAIL", after_mails=1, times=1)  # the second mail on a connection
    mailer = server.async_mailer()

    async def main():
        async with mailer.connection() as pool:
            await mailer.send("a@example.com", "one", body="x")
            await mailer.send("b@example.com", "two", body="x")
            server.refuse_recipients("c@example.com")
            with pytest.raises(smtplib.SMTPRecipientsRefused):
                await mailer.send("c@example.com", "three", body="x")
            await mailer.send("d@example.com", "four", body="x")  # the session was reset
        return pool

    pool = asyncio.run(main())
    assert [m.subject for m in server.messages] == ["one", "two", "four"]
    assert pool.connections == 2 and "RSET" in [c.verb for c in server.sessions[-1]]


def test_a_stalled_server_times_out(servers):
    server = servers["ssl"]
    server.stall("DATA", 3)
    before = open_fds()
    with pytest.raises(TimeoutError):
        asyncio.run(server.async_mailer(timeout=0.5).send("a@example.com", "s", body="x"))
    assert closed_since(before)


@pytest.mark.parametrize("step", ["EHLO", "AUTH", "RCPT", "DATA"])
def test_cancelled_mid_mail_leaves_nothing_behind(servers, step):
    server = servers["ssl"]
    server.stall(step, 2)
    mailer = server.async_mailer()
    before = open_fds()

    async def main():
        async with mailer.connection() as pool:
            task = asyncio.create_task(mailer.send("a@example.com", "s", body="x"))
            await asyncio.sleep(0.3)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert pool._idle == []  # never given back in an unknown state
        return pool

    pool = asyncio.run(main())
    assert closed_since(before)
    assert pool.unknown == []  # nothing of the mail went out


def test_a_mail_sent_in_full_and_cancelled_is_reported_not_retried(caplog):
    # the server holds its answer to the end of the data
    with ScriptedServer({".": drip(b"250 2.0.0 Queued\r\n", every=1.0)}) as server:
        mailer = AsyncEasyMailer(server.host, server.port, USERNAME, PASSWORD, use_ssl=False)

        async def main():
            async with mailer.connection() as pool:
                task = asyncio.create_task(mailer.send("a@example.com", "s", body="x"))
                await asyncio.sleep(0.5)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            return pool

        pool = asyncio.run(main())
        assert pool.unknown == [["a@example.com"]] and pool.results == []
        assert "may have been delivered" in caplog.text
        assert sum(line.startswith(b"DATA") for s in server.sessions for line in s) == 1


def test_capture_and_the_fixtures_in_async_tests(pytester):
    pytester.makepyfile(
        f"""
        import asyncio, pytest
        from brisvane.aio import AsyncEasyMailer
        from brisvane.testing import capture

        def mailer():
            return AsyncEasyMailer("127.0.0.1", {free_port()}, "{USERNAME}", "{PASSWORD}")

        @pytest.mark.asyncio
        async def test_capture():
            m = mailer()
            with capture(m) as outbox:
                await m.send("a@example.com", "captured", body="x")
            assert [s.subject for s in outbox] == ["captured"]

        @pytest.mark.asyncio
        async def test_outbox_fixture(mail_outbox):
            await mailer().send("a@example.com", "outbox", body="x")
            assert mail_outbox[0].subject == "outbox"

        @pytest.mark.anyio
        async def test_server_fixture(smtp_server):
            await smtp_server.async_mailer().send("a@example.com", "real", body="x")
            assert smtp_server.messages[0].subject == "real"
        """
    )
    result = pytester.runpytest_subprocess("-p", "asyncio", "-p", "anyio")
    result.assert_outcomes(passed=3)
