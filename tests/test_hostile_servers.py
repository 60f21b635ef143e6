"""Hostile servers against the Python-layer paths (configure, connection, check):
no secret in a failed login's frames, a timeout bounding each whole step, replies
of bounded size, a kept connection past 1024 descriptors, one TLS context per trust
setting."""

from __future__ import annotations

import base64
import contextlib
import smtplib
import socket
import subprocess
import sys
import textwrap
import time

import pytest
from helpers import PASSWORD, USERNAME

from brisvane import EasyMailer, _messages, _session, delivery
from brisvane.cli import main
from brisvane.testing import ScriptedServer, drip, endless

PATHS = ("configure", "connection")


def send_by(path, mailer, timeout=None):
    if path == "configure":
        delivery.configure(mailer, timeout=timeout)
    batch = delivery.connection(mailer, timeout=timeout) if path == "connection" else None
    with batch or contextlib.nullcontext():
        mailer.send("to@example.com", "s", body="b")


def secret_holders(exc, top, secret):
    """The variables holding `secret` in the frames `exc` (and the errors chained
    to it) passed through, and in their callers up to `top`, the frame that caught it."""
    forms = (secret, base64.b64encode(secret.encode()).decode())
    found, chain, seen = set(), [exc], set()
    while chain:
        error = chain.pop()
        if error is None or id(error) in seen:
            continue
        seen.add(id(error))
        chain += [error.__cause__, error.__context__]
        tb = error.__traceback__
        while tb is not None:
            frame, tb = tb.tb_frame, tb.tb_next
            while frame is not None and frame is not top:
                for name, value in frame.f_locals.items():
                    text = value.decode("latin-1") if isinstance(value, bytes) else value
                    if isinstance(value, smtplib.SMTP):  # a connection keeps no account
                        text = repr(vars(value))
                    elif not isinstance(text, str):
                        text = repr(value)
                    if any(form in text for form in forms):
                        found.add(f"{frame.f_code.co_name}: {name}")
                frame = frame.f_back
    return found


FAILED_LOGINS = {
    "refused login": (USERNAME, "wrong-" + PASSWORD),
    "non-ASCII password": (USERNAME, PASSWORD + "-pässwörd-密码"),
    "non-ASCII user": ("ü-" + USERNAME, PASSWORD),
}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("login", list(FAILED_LOGINS))
def test_a_failed_login_leaves_no_secret_on_the_traceback(smtp_plain, trust_ca, path, login):
    username, password = FAILED_LOGINS[login]
    with pytest.raises(Exception) as native:
        send_by("native", smtp_plain.mailer(username=username, password=password))
    with pytest.raises(Exception) as caught:
        send_by(path, smtp_plain.mailer(username=username, password=password), timeout=10)
    assert type(caught.value) is type(native.value) and caught.value.args == native.value.args
    assert secret_holders(caught.value, sys._getframe(), password) == set()


# 150 octets, one every 0.2 s: a reply that takes 30 s, each byte well in time
def slow(start):
    return drip(start + b"x" * (148 - len(start)) + b"\r\n", 0.2)


DRIPPED = {
    "greeting": {"greeting": slow(b"220-scripted.test\r\n")},
    "EHLO": {"EHLO": slow(b"250-scripted.test\r\n250-AUTH PLAIN\r\n250-")},
    "STARTTLS": {"EHLO": b"250-x\r\n250 STARTTLS\r\n", "STARTTLS": slow(b"220-")},
    "AUTH": {"AUTH": slow(b"235-")},
    "MAIL": {"MAIL": slow(b"250-")},
    "DATA": {"DATA": slow(b"354-")},
    "end of data": {".": slow(b"250-")},
}


@pytest.mark.parametrize(
    "path, step",
    [(p, s) for p in PATHS for s in DRIPPED] + [("check", "greeting"), ("check", "EHLO")],
)
def test_a_timeout_bounds_a_dripped_reply(monkeypatch, tmp_path, capsys, path, step):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    monkeypatch.setenv("SMTP_PW", PASSWORD)
    with ScriptedServer(DRIPPED[step]) as server:
        began = time.monotonic()
        if path == "check":
            assert (
                main(
                    [
                        "check",
                        server.host,
                        "--port",
                        str(server.port),
                        "--mode",
                        "plain",
                        "--user",
                        USERNAME,
                        "--password-env",
                        "SMTP_PW",
                        "--timeout",
                        "1",
                        "--lang",
                        "en",
                    ]
                )
                == 1
            )
            assert "FAILED" in capsys.readouterr().out
        else:
            mailer = EasyMailer(
                server.host,
                server.port,
                USERNAME,
                PASSWORD,
                use_ssl=False,
                use_tls=step == "STARTTLS",
            )
            with pytest.raises(smtplib.SMTPServerDisconnected) as caught:
                send_by(path, mailer, timeout=1)
            # as a read out of time fails
            assert isinstance(caught.value.__context__, (socket.timeout, TimeoutError))
            assert delivery.is_transient(caught.value)
        assert time.monotonic() - began < 10  # far below the drip's length (30 s)


LONG_LINE = b"250-" + b"x" * 506 + b"\r\n"  # as long as RFC 5321 allows
REPLIES = {
    "endless short lines": (endless(b"250-x\r\n"), _session.ReplyTooLong),
    "endless long lines": (endless(LONG_LINE), _session.ReplyTooLong),
    "a line past the library's limit": (
        LONG_LINE + b"250 " + b"x" * 9000 + b"\r\n",
        smtplib.SMTPResponseException,
    ),
    "100 lines of the longest kind": (LONG_LINE * 100 + b"250 AUTH PLAIN\r\n", None),
}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("verb", ["greeting", "EHLO", "MAIL", "."])
@pytest.mark.parametrize("reply", list(REPLIES))
def test_replies_have_a_bounded_size(path, verb, reply):
    answer, error = REPLIES[reply]
    if verb == "greeting" and isinstance(answer, bytes):
        answer = answer.replace(b"250", b"220")
    with ScriptedServer({verb: answer}) as server:
        mailer = EasyMailer(server.host, server.port, USERNAME, PASSWORD, use_ssl=False)
        if error is None:
            return send_by(path, mailer, timeout=5)
        with pytest.raises(error) as caught:
            send_by(path, mailer, timeout=5)
    if error is _session.ReplyTooLong:
        assert caught.value.smtp_error == _messages.text(
            "session.reply_too_long",
            lines=_session.MAX_REPLY_LINES,
            kib=_session.MAX_REPLY_BYTES // 1024,
        )
    else:
        assert caught.value.args == (500, "Line too long.")


MANY_DESCRIPTORS = textwrap.dedent("""
    import os, resource, smtplib, sys
    limit = resource.RLIMIT_NOFILE
    resource.setrlimit(limit, (4096, resource.getrlimit(limit)[1]))
    held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    from brisvane import EasyMailer, delivery
    quits, quit = [], smtplib.SMTP.quit
    smtplib.SMTP.quit = lambda self: quits.append(self.sock.fileno()) or quit(self)
    host, port, user, password = sys.argv[1:]
    mailer = EasyMailer(host, int(port), user, password, use_ssl=False)
    with delivery.connection(mailer) as batch:
        for n in range(3):
            mailer.send("to@example.com", f"mail {n}", body="b")
    print(batch.connections, len(quits), min(quits))
""")


def test_a_kept_connection_past_1024_descriptors(smtp_plain):
    resource = pytest.importorskip("resource")
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    if hard != resource.RLIM_INFINITY and hard < 4096:
        pytest.skip("the descriptor limit cannot be raised to 4096 here")
    smtp_plain.reset()
    argv = [smtp_plain.host, str(smtp_plain.port), USERNAME, PASSWORD]
    done = subprocess.run(
        [sys.executable, "-c", MANY_DESCRIPTORS, *argv], capture_output=True, text=True, timeout=60
    )
    connections, quits, descriptor = map(int, done.stdout.split() or [0, 0, 0])
    assert (connections, quits, descriptor >= 1024) == (1, 1, True), done.stderr
    assert len(smtp_plain.logins) == 1 and len(smtp_plain.messages) == 3


def test_the_shared_context_follows_the_trust_setting(monkeypatch, tmp_path, ca):
    bundle = tmp_path / "bundle.pem"
    bundle.write_bytes(open(ca[1], "rb").read())
    monkeypatch.setenv("SSL_CERT_FILE", str(bundle))
    shared = _session.shared_tls_context()
    assert _session.shared_tls_context() is shared and len(shared.get_ca_certs()) == 1
    for change in ("rewritten", "another file"):
        if change == "rewritten":
            bundle.write_bytes(b"")
        else:
            monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "missing.pem"))
        renewed = _session.shared_tls_context()
        assert renewed is not shared and renewed.get_ca_certs() == [], change
        shared = renewed
