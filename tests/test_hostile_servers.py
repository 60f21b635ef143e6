"""Hostile and broken servers against the Python-layer paths (``configure``,
``connection``, ``brisvane check``): no secret left in the frames of a failed
login, a timeout that bounds each whole step however slowly a reply comes,
replies of a bounded size, a kept connection in a process with many
descriptors, one TLS context per trust setting."""

from __future__ import annotations

import base64
import os
import smtplib
import subprocess
import sys
import textwrap
import time

import pytest
from conftest import PASSWORD, USERNAME

from brisvane import EasyMailer, _messages, _session, delivery
from brisvane.cli import main
from brisvane.testing import ScriptedServer, drip, endless

PATHS = ("configure", "connection")


def send_by(path, mailer, timeout=None):
    if path == "configure":
        delivery.configure(mailer, timeout=timeout)
        mailer.send("to@example.com", "s", body="b")
    elif path == "connection":
        with delivery.connection(mailer, timeout=timeout):
            mailer.send("to@example.com", "s", body="b")
    else:
        mailer.send("to@example.com", "s", body="b")


# --- no secret in the frames of a failed login ---------------------------------


def frames_below(exc, top):
    """Every frame that `exc` and the errors chained to it passed through, and
    their callers, up to the frame `top` that caught it."""
    frames, chain, seen = [], [exc], set()
    while chain:
        error = chain.pop()
        if error is None or id(error) in seen:
            continue
        seen.add(id(error))
        tb = error.__traceback__
        while tb is not None:
            frame = tb.tb_frame
            while frame is not None and frame is not top:
                frames.append(frame)
                frame = frame.f_back
            tb = tb.tb_next
        chain += [error.__cause__, error.__context__]
    return frames


def holders(frames, secret):
    forms = (secret, base64.b64encode(secret.encode()).decode())
    found = set()
    for frame in frames:
        for name, value in frame.f_locals.items():
            if isinstance(value, (bytes, bytearray)):
                text = value.decode("latin-1")
            elif isinstance(value, str):
                text = value
            else:
                text = repr(value) + (repr(vars(value)) if isinstance(value, smtplib.SMTP) else "")
            if any(form in text for form in forms):
                found.add(f"{frame.f_code.co_name}: {name}")
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
    # as the class raises it
    assert type(caught.value) is type(native.value) and caught.value.args == native.value.args
    assert holders(frames_below(caught.value, sys._getframe()), password) == set()
    assert smtp_plain.messages == []


def test_a_refused_token_leaves_no_secret_on_the_traceback():
    token = "ya29.secret-access-token"
    with ScriptedServer({"AUTH": b"535 5.7.8 token refused\r\n"}) as server:
        mailer = EasyMailer(server.host, server.port, USERNAME, PASSWORD, use_ssl=False)
        delivery.configure(mailer, auth=delivery.xoauth2(lambda: token))
        with pytest.raises(smtplib.SMTPAuthenticationError) as caught:
            mailer.send("to@example.com", "s", body="b")
    assert holders(frames_below(caught.value, sys._getframe()), token) == set()


# --- a timeout bounds each step ---------------------------------------------------

# 150 octets at 0.2 s each: a reply that takes 30 s to arrive, every byte in time
SLOW = 0.2


def slow(reply):
    return drip(reply + b"x" * (150 - len(reply)) + b"\r\n", SLOW)


DRIPPED = {
    "greeting": {"greeting": slow(b"220-scripted.test\r\n")},
    "EHLO": {"EHLO": slow(b"250-scripted.test\r\n250-AUTH PLAIN\r\n250-")},
    "STARTTLS": {
        "EHLO": b"250-scripted.test\r\n250-STARTTLS\r\n250 AUTH PLAIN\r\n",
        "STARTTLS": slow(b"220-"),
    },
    "AUTH": {"AUTH": slow(b"235-")},
    "MAIL": {"MAIL": slow(b"250-")},
    "DATA": {"DATA": slow(b"354-")},
    "end of data": {".": slow(b"250-")},
}
CHECKED = ("greeting", "EHLO")


@pytest.mark.parametrize(
    "path, step",
    [(p, s) for p in PATHS for s in DRIPPED] + [("check", s) for s in CHECKED],
)
def test_a_timeout_bounds_a_dripped_reply(monkeypatch, tmp_path, capsys, path, step):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    monkeypatch.setenv("SMTP_PW", PASSWORD)
    with ScriptedServer(DRIPPED[step]) as server:
        began = time.monotonic()
        if path == "check":
            argv = [
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
            assert main(argv) == 1
            shown = capsys.readouterr().out
            assert "FAILED" in shown and ("timed out" in shown or "within 1 s" in shown)
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
            # as a read out of time fails: a transient failure, a stall not tried again
            assert isinstance(caught.value.__context__, TimeoutError)
            assert delivery.is_transient(caught.value)
        # far below the drip's length (30 s); a step takes about the timeout
        assert time.monotonic() - began < 10


# --- replies of a bounded size --------------------------------------------------

LONG_LINE = b"250-" + b"x" * 500 + b"\r\n"
TOO_LONG = {
    "endless short lines": endless(b"250-x\r\n"),
    "endless long lines": endless(LONG_LINE),
    "lines over the limit": LONG_LINE * 20 + b"250-" + b"x" * 9000 + b"\r\n",
}


@pytest.mark.parametrize("path", PATHS)
@pytest.mark.parametrize("step", ["greeting", "EHLO", "MAIL", "end of data"])
@pytest.mark.parametrize("reply", list(TOO_LONG))
def test_a_reply_too_long_is_refused(path, step, reply):
    answer = TOO_LONG[reply]
    if step == "greeting" and isinstance(answer, bytes):
        answer = answer.replace(b"250", b"220")
    verb = {"end of data": "."}.get(step, step)
    with ScriptedServer({verb: answer}) as server:
        mailer = EasyMailer(server.host, server.port, USERNAME, PASSWORD, use_ssl=False)
        with pytest.raises(smtplib.SMTPResponseException) as caught:
            send_by(path, mailer, timeout=5)
    if reply == "lines over the limit":
        assert caught.value.args == (500, "Line too long.")  # the library's own limit
    else:
        assert isinstance(caught.value, _session.ReplyTooLong)
        assert caught.value.smtp_error == _messages.text(
            "session.reply_too_long",
            lines=_session.MAX_REPLY_LINES,
            kib=_session.MAX_REPLY_BYTES // 1024,
        )
        assert not delivery.is_transient(caught.value)


def test_the_longest_real_replies_pass():
    # 100 lines of the longest line RFC 5321 allows
    ehlo = (b"250-" + b"x" * 506 + b"\r\n") * 100 + b"250 AUTH PLAIN\r\n"
    with ScriptedServer({"EHLO": ehlo}) as server:
        for path in PATHS:
            send_by(
                path,
                EasyMailer(server.host, server.port, USERNAME, PASSWORD, use_ssl=False),
                timeout=5,
            )
        assert len(server.sessions) == 2


# --- a kept connection with descriptors past FD_SETSIZE -------------------------

MANY_DESCRIPTORS = textwrap.dedent("""
    import os, resource, smtplib, sys
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(hard, 4096), hard))
    held = [os.open(os.devnull, os.O_RDONLY) for _ in range(1100)]
    from brisvane import EasyMailer, delivery
    quits = []
    quit = smtplib.SMTP.quit
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
    if hard != resource.RLIM_INFINITY and hard < 1200:
        pytest.skip("the descriptor limit cannot be raised past 1024 here")
    smtp_plain.reset()
    argv = [smtp_plain.host, str(smtp_plain.port), USERNAME, PASSWORD]
    done = subprocess.run(
        [sys.executable, "-c", MANY_DESCRIPTORS, *argv], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    connections, quits, descriptor = map(int, done.stdout.split())
    assert (connections, quits) == (1, 1) and descriptor >= 1024
    assert len(smtp_plain.logins) == 1 and len(smtp_plain.messages) == 3


# --- one TLS context per trust setting --------------------------------------------


def test_the_shared_context_follows_the_trust_setting(monkeypatch, tmp_path, ca):
    first = tmp_path / "first.pem"
    first.write_bytes(open(ca[1], "rb").read())
    monkeypatch.setenv("SSL_CERT_FILE", str(first))
    shared = _session.shared_tls_context()
    assert _session.shared_tls_context() is shared and len(shared.get_ca_certs()) == 1
    for change in ("another file", "the file rewritten", "no file"):
        if change == "another file":
            second = tmp_path / "second.pem"
            second.write_bytes(first.read_bytes())
            monkeypatch.setenv("SSL_CERT_FILE", str(second))
        elif change == "the file rewritten":
            second.write_bytes(b"")
            os.utime(second, ns=(0, 0))
        else:
            monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "missing.pem"))
        renewed = _session.shared_tls_context()
        assert renewed is not shared, change
        shared = renewed
    assert shared.get_ca_certs() == []
