"""The session steps against the class's own delivery, on the same servers:
what each server saw must be the same, command by command."""

import smtplib

import pytest
from helpers import USERNAME

from brisvane import _session


@pytest.fixture
def server(request, servers):
    server = servers[request.param]
    server.refuse_recipients("bad@example.com", text="5.1.1 no such user")
    return server


def by_steps(mailer, msg, recipients, sender):
    mode = _session.mode_of(mailer)
    server = _session.open_connection(mailer.host, mailer.port, mode)
    _session.secure(server, mode)
    _session.authenticate(server, mailer.username, mailer.password)
    refused = _session.submit(server, msg, sender, recipients)
    _session.close(server)
    return refused


@pytest.mark.parametrize("server", _session.MODES, indirect=True)
def test_steps_match_the_class_delivery(server):
    mailer = server.mailer()
    msg = mailer._build_message(
        "to@example.com", "主题", "正文", None, None, None, None, None, None
    )
    recipients = ["to@example.com", "bad@example.com", "cc@example.com"]
    mailer._do_send(msg, recipients, USERNAME)
    refused = by_steps(mailer, msg, recipients, USERNAME)

    native, steps = server.sessions
    assert [(tls, cmd) for tls, cmd, _ in steps] == [(tls, cmd) for tls, cmd, _ in native]
    # the same arguments, AUTH included (its answer carries the credentials)
    assert steps == native
    assert [cmd for _, cmd, _ in native] == (
        ["EHLO"]
        + (["STARTTLS", "EHLO"] if server.mode == "starttls" else [])
        + ["AUTH", "MAIL", "RCPT", "RCPT", "RCPT", "DATA", "QUIT"]
    )
    first, second = server.messages
    assert first == second
    assert refused == {"bad@example.com": (550, b"5.1.1 no such user")}


@pytest.mark.parametrize("server", ["plain"], indirect=True)
@pytest.mark.parametrize("username, password", [(USERNAME, "pässwörd-секрет"), ("ü" * 3, "x")])
def test_non_ascii_credentials_never_in_the_error(server, username, password):
    with pytest.raises(UnicodeEncodeError) as info:
        _session.connect(server.host, server.port, "plain", username, password)
    exc = info.value
    shown = str(exc) + repr(exc) + repr(exc.args) + repr(exc.object)
    assert password not in shown and username not in shown
    assert exc.__context__ is None and exc.__cause__ is None
    assert server.sessions[0][-1][1] == "QUIT"


class _Msg:
    def as_string(self):
        return "Subject: x\r\n\r\nx\r\n"


@pytest.mark.parametrize("server", ["plain"], indirect=True)
def test_no_credentials_means_no_auth(server):
    conn = _session.connect(server.host, server.port, "plain", USERNAME)
    assert _session.submit(conn, _Msg(), USERNAME, ["to@example.com"]) == {}
    _session.close(conn)
    assert [cmd for _, cmd, _ in server.sessions[0]] == ["EHLO", "MAIL", "RCPT", "DATA", "QUIT"]


def test_mode_is_checked():
    with pytest.raises(ValueError, match="mode"):
        _session.open_connection("127.0.0.1", 1, "tls")  # type: ignore[arg-type]


@pytest.mark.parametrize("server", ["ssl"], indirect=True)
def test_failed_login_closes_the_connection(server):
    with pytest.raises(smtplib.SMTPAuthenticationError):
        _session.connect(server.host, server.port, "ssl", USERNAME, "wrong")
    assert server.sessions[0][-1][1] == "QUIT"
