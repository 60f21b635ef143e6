"""The command line against hostile servers and hostile input: scripted SMTP
peers on loopback that strip STARTTLS, show a certificate for another host,
answer with escape sequences or odd numbers; a planted link at the file of
the last failure; texts made to make a pattern backtrack."""

from __future__ import annotations

import io
import os
import re
import ssl
import stat
import subprocess
import sys

import pytest

from brisvane import _session
from brisvane.cli import _ui, main
from brisvane.testing import ScriptedServer, SMTPTestServer, certificate_authority

USER = "sender@example.com"
PASSWORD = "s3cret-app-password"
# what a terminal acts on, as a server would send it: a clipboard write
# (OSC 52), a screen clear, a C1 CSI, a carriage return; then Chinese
HOSTILE = "\x1b]52;c;aGk=\x07\x1b[2J\u009b\r你好"
CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f]")
NO_STARTTLS = b"250-scripted.test\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 1000\r\n"
STARTTLS = b"250-scripted.test\r\n250-STARTTLS\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 1000\r\n"


@pytest.fixture(autouse=True)
def environment(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    monkeypatch.setenv("SMTP_PW", PASSWORD)
    monkeypatch.setenv("BRISVANE_LANG", "en")
    for name in ("HOST", "PORT", "MODE", "USER", "PASSWORD"):
        monkeypatch.delenv(f"BRISVANE_{name}", raising=False)


def check(port, *extra):
    argv = ["check", "127.0.0.1", "--port", str(port), "--user", USER, "--password-env", "SMTP_PW"]
    return main(argv + ["--timeout", "2", *extra])


def logins(server):
    """Every line of an AUTH exchange the server received, and any line with the password."""
    lines = [line for session in server.sessions for line in session]
    return [line for line in lines if line.upper().startswith(b"AUTH") or PASSWORD.encode() in line]


def other_host_context(monkeypatch):
    """A server context with a certificate for another host, from a CA the client trusts."""
    monkeypatch.setenv("SSL_CERT_FILE", SMTPTestServer().ca_file)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    certificate_authority().issue_cert("other.example").configure_cert(context)
    return context


@pytest.mark.parametrize(
    "ehlo, tls, args, said",
    [
        # STARTTLS stripped: auto finds no TLS mode, and says why it does not log in
        (NO_STARTTLS, False, ["--mode", "auto"], "STARTTLS stripping"),
        # a certificate for another host: not skipped down to plain text
        (STARTTLS, True, ["--mode", "auto"], "certificate is for another host name"),
        # TLS asked for by name: no plain-text login recommended
        (NO_STARTTLS, False, ["--mode", "starttls"], "STARTTLS stripping"),
        # the relay port alone stands for STARTTLS, not for plain text
        (NO_STARTTLS, False, ["--relay-port"], "STARTTLS stripping"),
        # plain text asked for by name: the one way a password goes unencrypted
        (STARTTLS, False, ["--mode", "plain"], "would send the password unencrypted"),
    ],
    ids=["auto-stripped", "auto-other-host", "starttls-stripped", "relay-port", "plain-asked"],
)
def test_the_password_goes_in_plain_text_only_when_asked(
    ehlo, tls, args, said, monkeypatch, capsys
):
    context = other_host_context(monkeypatch) if tls else None
    with ScriptedServer({"EHLO": ehlo}, tls_context=context) as server:
        if args == ["--relay-port"]:
            monkeypatch.setitem(_session.DEFAULT_PORTS, "plain", server.port)
            args = []
        status = check(server.port, *args)
    out = capsys.readouterr().out
    assert said in out
    if args[-1:] == ["plain"]:
        assert status == 0 and len(logins(server)) == 1  # the count counts
        return
    assert status == 1 and logins(server) == []
    assert "Every step passed" not in out and "password, use_ssl=False)" not in out


def _saved_failure(port):
    check(port, "--mode", "plain")
    return ["explain", "--last"]


@pytest.mark.parametrize(
    "command",
    [
        lambda port: (
            ["check", "127.0.0.1", "--port", str(port), "--mode", "plain"]
            + ["--user", USER, "--password-env", "SMTP_PW", "--timeout", "2"]
        ),
        lambda port: (
            ["send", "--host", "127.0.0.1", "--port", str(port), "--mode", "plain"]
            + ["--user", USER, "--password-env", "SMTP_PW", "--to", "a@example.com"]
            + ["--subject", "s", "--body", "b"]
        ),
        lambda port: ["explain", f"(550, {HOSTILE.encode()!r})"],
        # escaped text is not turned into live escape bytes
        lambda port: ["explain", "(550, b'\\x1b]0;T\\x07')"],
        _saved_failure,
    ],
    ids=["check", "send", "explain-bytes", "explain-escaped", "explain-last"],
)
def test_no_outside_text_reaches_the_terminal_raw(command, capsys):
    said = HOSTILE.encode()
    answers = {
        "greeting": b"220 " + said + b"\r\n",
        "EHLO": b"250-" + said + b"\r\n250-AUTH PLAIN " + said + b"\r\n250 SIZE 1000\r\n",
        "AUTH": b"535 " + said + b"\r\n",
    }
    with ScriptedServer(answers) as server:
        argv = command(server.port)
        capsys.readouterr()
        main(argv)
    captured = capsys.readouterr()
    shown = captured.out + captured.err
    assert CONTROL.findall(shown) == []
    assert "\\x1b" in shown
    if argv[1:] != ["(550, b'\\x1b]0;T\\x07')"]:
        assert "你好" in shown


def test_colour_codes_are_the_only_escapes_on_a_terminal(monkeypatch):
    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.setattr(sys, "stdout", Terminal())
    main(["lint", "--builtin"])
    main(["explain", f"(535, {HOSTILE.encode()!r})"])
    out = _ui.Output("en")
    out.start("cli.step.greeting")
    out.failed(HOSTILE)
    written = sys.stdout.getvalue()
    colours = set(re.findall("\x1b\\[[0-9;]*m", written))
    assert colours == {"\x1b[32m", "\x1b[31m", "\x1b[1m", "\x1b[2m", "\x1b[0m"}
    assert CONTROL.findall(re.sub("\x1b\\[[0-9;]*m", "", written)) == []
    assert "\\x1b[3" not in written  # no colour of ours written out as text


def _fresh(directory, path):
    """Nothing there yet."""


def _open_folder(directory, path):
    directory.mkdir(parents=True, mode=0o755)
    os.chmod(directory, 0o755)


def _link_at_the_file(directory, path):
    directory.mkdir(parents=True)
    (directory.parent / "target").write_text("untouched")
    os.symlink(directory.parent / "target", path)


@pytest.mark.parametrize("planted", [_fresh, _open_folder, _link_at_the_file])
def test_the_last_failure_is_private_and_never_written_through_a_link(planted, tmp_path):
    path = _ui._state_file()
    planted(path.parent, path)
    _ui.record_failure("check", OSError("535 no"), host="h")
    assert stat.S_IMODE(os.stat(path.parent).st_mode) == 0o700
    st = os.lstat(path)
    assert stat.S_ISREG(st.st_mode) and stat.S_IMODE(st.st_mode) == 0o600
    assert os.listdir(path.parent) == [path.name]  # written whole: no file left beside it
    assert _ui.last_failure()["error"] == "OSError: 535 no"
    if (path.parent.parent / "target").exists():
        assert (path.parent.parent / "target").read_text() == "untouched"
    # a link planted where the file is: not followed for reading either
    os.replace(path, path.parent / "kept.json")
    os.symlink(path.parent / "kept.json", path)
    assert _ui.last_failure() is None


# Run in a child process: it would take minutes if a pattern backtracked,
# well under a second when every one is linear.
LINEAR = """
import sys
from brisvane.cli import _ui, templates
kind, text = sys.argv[1], eval(sys.argv[2])
if kind == "answers":  # every row over the whole text, not only what explain reads
    for row in _ui.ANSWERS:
        row.matches(text, row.provider)
    _ui.decode(text)
else:
    templates.lint_html(_ui.Output("en"), text)
"""


@pytest.mark.parametrize(
    "kind, text",
    [
        ("answers", "'535 ' * 32768"),
        ("answers", "'SMTP' * 32768"),
        ("answers", "'b\\'' + 'a' * 131072"),
        ("lint", "'<img ' * 26214"),
        ("lint", "'<style' * 21845"),
        ("lint", "'<style>' + '/* ' * 43690"),
        ("lint", "'<img src=' + ' ' * 131072"),
    ],
)
def test_every_pattern_is_linear(kind, text):
    run = subprocess.run(
        [sys.executable, "-c", LINEAR, kind, text], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr


def test_explain_reads_a_bounded_text(monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"535 " * 32768)))
    assert main(["explain", "-"]) == 0
    assert len(capsys.readouterr().out) < 2 * _ui.READ_LIMIT


@pytest.mark.parametrize(
    "size, args, said",
    [
        ("²".encode(), [], "the server sent SIZE ², which is not a number of bytes"),
        (b"\xb2", [], "which is not a number of bytes"),
        (b"9" * 5000, [], "which is not a number of bytes"),
        (b"1000", ["--timeout", "1e308"], "'1e308' seconds is too long"),
        (b"1000", ["--timeout", "nan"], "'nan' is not a positive number of seconds"),
        (b"1000", ["--timeout", "inf"], "'inf' is not a positive number of seconds"),
        (b"1000", ["--timeout=-1"], "'-1' is not a positive number of seconds"),
    ],
    ids=["superscript", "latin-1", "5000-digits", "1e308", "nan", "inf", "negative"],
)
def test_odd_values_are_said_not_raised(size, args, said, capsys):
    ehlo = b"250-scripted.test\r\n250-AUTH PLAIN\r\n250 SIZE " + size + b"\r\n"
    with ScriptedServer({"EHLO": ehlo}) as server:
        status = check(server.port, "--mode", "plain", *args)
    captured = capsys.readouterr()
    assert status == (1 if args else 0)
    assert said in captured.out + captured.err and "Traceback" not in captured.err
