"""The command line against real servers on loopback: the three modes, a
mode mismatch each way, a wrong password, a server answering in GBK, an
untrusted certificate, a stalled greeting; send, preview and lint."""

from __future__ import annotations

import email
import email.policy
import io
import json
import subprocess
import sys
import time
from pathlib import Path

import pytest
from helpers import PASSWORD, USERNAME

from brisvane import _session
from brisvane.cli import main
from brisvane.testing import ScriptedServer

QQ_GBK = "535 Error: 请使用授权码登录。详情请看: http://service.mail.qq.com/detail/0/53".encode(
    "gb18030"
)


@pytest.fixture(autouse=True)
def environment(monkeypatch, tmp_path):
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path / "state"))
    monkeypatch.setenv("SMTP_PW", PASSWORD)
    monkeypatch.setenv("BRISVANE_LANG", "en")
    for name in ("HOST", "PORT", "MODE", "USER", "PASSWORD"):
        monkeypatch.delenv(f"BRISVANE_{name}", raising=False)


def check(port, mode, *extra):
    return main(
        [
            "check",
            "127.0.0.1",
            "--port",
            str(port),
            "--mode",
            mode,
            "--user",
            USERNAME,
            "--password-env",
            "SMTP_PW",
            "--timeout",
            "1",
            *extra,
        ]
    )


CALLS = {
    "ssl": 'EasyMailer("127.0.0.1", {port}, "sender@example.com", password)',
    "starttls": 'EasyMailer("127.0.0.1", {port}, "sender@example.com", password, '
    "use_ssl=False, use_tls=True)",
    "plain": 'EasyMailer("127.0.0.1", {port}, "sender@example.com", password, use_ssl=False)',
}


@pytest.mark.parametrize("mode", _session.MODES)
def test_check_passes_each_mode_and_sends_nothing(mode, servers, capsys):
    server = servers[mode]
    server.sessions.clear()
    assert check(server.port, mode) == 0
    out = capsys.readouterr().out
    for step in ["DNS", "TCP", "greeting", "EHLO", "login"] + (["TLS"] if mode == "ssl" else []):
        assert f"  {step} " in out and " ok" in out
    assert "AUTH mechanisms: LOGIN PLAIN" in out and "size limit: 32.0 MiB" in out
    assert CALLS[mode].format(port=server.port) in out
    commands = [cmd for _, cmd, _ in server.sessions[-1]]
    assert "AUTH" in commands and "MAIL" not in commands and commands[-1] == "QUIT"


@pytest.mark.parametrize(
    "chosen, actual, failure",
    [
        ("ssl", "starttls", "WRONG_VERSION_NUMBER"),
        ("starttls", "ssl", "no greeting within 1 s"),
        ("plain", "ssl", "no greeting within 1 s"),
    ],
)
def test_mode_mismatch_names_the_call_that_works(chosen, actual, failure, servers, capsys):
    server = servers[actual]
    started = time.monotonic()
    assert check(server.port, chosen) == 1
    assert time.monotonic() - started < 6
    out = capsys.readouterr().out
    assert failure in out
    assert "Cause: " in out and "Fix: " in out
    assert out.rstrip().endswith(CALLS[actual].format(port=server.port))


def test_auto_finds_the_mode(servers, capsys):
    server = servers["starttls"]
    assert check(server.port, "auto") == 0
    assert capsys.readouterr().out.rstrip().endswith(CALLS["starttls"].format(port=server.port))


def test_wrong_password_explained_now_and_later(servers, monkeypatch, capsys):
    monkeypatch.setenv("SMTP_PW", "wrong")
    assert check(servers["ssl"].port, "ssl", "--lang", "zh") == 1
    out = capsys.readouterr().out
    assert "登录" in out and "535" in out and "原因：服务器拒绝了用户名或密码。" in out
    assert main(["explain", "--last"]) == 0
    out = capsys.readouterr().out
    assert "535 5.7.8" in out and "Cause: The server refused the user name or password." in out


def test_untrusted_certificate_is_named_and_not_retried(servers, monkeypatch, tmp_path, capsys):
    monkeypatch.setenv("SSL_CERT_FILE", str(tmp_path / "none.pem"))
    assert check(servers["ssl"].port, "ssl") == 1
    out = capsys.readouterr().out
    assert "certificate not trusted" in out and "Trying the other modes" not in out
    assert "Cause: The server's certificate is not signed" in out


def test_password_never_from_the_command_line(monkeypatch, capsys):
    assert main(["check", "127.0.0.1", "--user", USERNAME, "--password", "x"]) == 1
    assert main(["check", "127.0.0.1", "--user", USERNAME, "--password-env", "NO_SUCH_VAR"]) == 1
    assert "NO_SUCH_VAR is not set" in capsys.readouterr().out

    def no_input(prompt):
        raise EOFError

    monkeypatch.setattr("getpass.getpass", no_input)
    assert main(["check", "127.0.0.1", "--user", USERNAME]) == 1
    assert "no password was read" in capsys.readouterr().out
    # send asks too when BRISVANE_PASSWORD is not set
    send = ["send", "--host", "127.0.0.1", "--user", USERNAME, "--to", "a@example.com"]
    assert main(send + ["--subject", "s", "--body", "x"]) == 1
    assert "no password was read" in capsys.readouterr().out


def test_host_that_is_not_a_host_name(capsys):
    # too long for IDNA: refused by the resolver at once, not after the timeout
    argv = ["check", "a" * 300 + ".com", "--user", USERNAME, "--password-env", "SMTP_PW"]
    assert main(argv + ["--timeout", "30"]) == 1
    assert "could not be resolved" in capsys.readouterr().out
    send = ["send", "--host", "a..b", "--user", USERNAME, "--to", "a@example.com"]
    assert main(send + ["--password-env", "SMTP_PW", "--subject", "s", "--body", "x"]) == 1
    assert "could not be resolved" in capsys.readouterr().out


def test_stalled_greeting_bounded_by_the_timeout(start_server, capsys):
    stalled = start_server("plain")
    stalled.stall("connect", 30)
    try:
        started = time.monotonic()
        assert (
            main(
                [
                    "check",
                    "127.0.0.1",
                    "--port",
                    str(stalled.port),
                    "--mode",
                    "plain",
                    "--user",
                    USERNAME,
                    "--password-env",
                    "SMTP_PW",
                    "--timeout",
                    "0.5",
                ]
            )
            == 1
        )
        # the check and each probe of another mode wait at most 0.5 s
        assert time.monotonic() - started < 8
    finally:
        stalled.stop()
    out = capsys.readouterr().out
    assert "no greeting within 0.5 s" in out and "No port and mode answered." in out


# answers AUTH as QQ does: 535 with GBK text
GBK_SERVER = {
    "greeting": b"220 newxmesmtplogicsvrsza.qq.com XMail Esmtp QQ Mail Server.\r\n",
    "EHLO": b"250-newxmesmtplogicsvrsza.qq.com\r\n250-AUTH LOGIN PLAIN\r\n250 SIZE 73400320\r\n",
    "AUTH": QQ_GBK + b"\r\n",
    "QUIT": b"221 Bye.\r\n",
}


def test_server_answering_in_gbk(capsys):
    with ScriptedServer(GBK_SERVER) as server:
        assert check(server.port, "plain", "--lang", "zh") == 1
    out = capsys.readouterr().out
    assert "请使用授权码登录" in out and "邮件大小上限：70.0 MiB" in out
    assert "原因：QQ 邮箱的 SMTP 不接受 QQ 密码，需要使用授权码。" in out


def test_send_through_the_class(servers, monkeypatch, tmp_path, capsys):
    server = servers["starttls"]
    server.messages.clear()
    attachment = tmp_path / "报告 1.txt"
    attachment.write_text("data")
    for name, value in {
        "HOST": "127.0.0.1",
        "PORT": str(server.port),
        "MODE": "starttls",
        "USER": USERNAME,
        "PASSWORD": PASSWORD,
    }.items():
        monkeypatch.setenv(f"BRISVANE_{name}", value)
    assert (
        main(
            [
                "send",
                "--to",
                "to@example.com",
                "--cc",
                "cc@example.com",
                "--subject",
                "你好",
                "--body",
                "正文",
                "--attach",
                str(attachment),
            ]
        )
        == 0
    )
    assert (
        main(
            [
                "send",
                "--to",
                "to@example.com",
                "--subject",
                "{{ title }}",
                "--template",
                "notification",
                "--context",
                json.dumps({"title": "T", "message": "M"}),
            ]
        )
        == 0
    )
    first, second = server.messages
    assert first.rcpt_tos == ["to@example.com", "cc@example.com"]
    assert first.message["Subject"] == "你好"
    assert [p.get_filename() for p in first.message.iter_attachments()] == ["报告 1.txt"]
    assert (
        second.message["Subject"] == "T"
        and "M" in second.message.get_body(("plain",)).get_content()
    )


def test_send_failure_is_recorded(servers, monkeypatch, capsys):
    monkeypatch.setenv("BRISVANE_PASSWORD", "wrong")
    assert (
        main(
            [
                "send",
                "--host",
                "127.0.0.1",
                "--port",
                str(servers["ssl"].port),
                "--mode",
                "ssl",
                "--user",
                USERNAME,
                "--to",
                "a@example.com",
                "--subject",
                "s",
                "--body",
                "b",
            ]
        )
        == 1
    )
    capsys.readouterr()
    # nothing on standard input: the last failure is explained
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(b"")))
    assert main(["explain"]) == 0
    assert "535" in capsys.readouterr().out


def test_preview_writes_what_the_class_would_send(tmp_path, capsys):
    from brisvane import EasyMailer

    context = {"title": "标题", "message": "a & b", "occurred_at": "2026-01-01 00:00:00"}
    assert (
        main(
            [
                "preview",
                "notification",
                "--locale",
                "zh-CN",
                "--context",
                json.dumps(context),
                "--subject",
                "{{ title }}",
                "--out",
                str(tmp_path),
            ]
        )
        == 0
    )
    engine = EasyMailer("h", 465, "u", "p")._template_engine
    expected = engine.render("notification.html", {**context, "locale": "zh-CN"})
    assert (tmp_path / "notification.html").read_text(encoding="utf-8") == expected
    assert "a & b" in (tmp_path / "notification.txt").read_text(encoding="utf-8")
    msg = email.message_from_bytes(
        (tmp_path / "notification.eml").read_bytes(), policy=email.policy.default
    )
    assert msg["Subject"] == "标题" and msg.get_body(("html",)).get_content() == expected
    assert main(["preview", "no_such", "--out", str(tmp_path)]) == 1


def test_preview_sample_beside_the_template_and_open(tmp_path, monkeypatch, capsys):
    opened = []
    monkeypatch.setattr("webbrowser.open", opened.append)
    (tmp_path / "welcome.html").write_text("<p>{{ who }}</p>", encoding="utf-8")
    (tmp_path / "welcome.json").write_text('{"who": "mine", "subject": "Hi {{ who }}"}')
    out = tmp_path / "out"
    argv = ["preview", "welcome", "--template-dir", str(tmp_path), "--out", str(out), "--open"]
    assert main(argv) == 0
    assert (out / "welcome.html").read_text() == "<p>mine</p>" and not (
        out / "welcome.txt"
    ).exists()
    assert "Subject: Hi mine" in capsys.readouterr().out
    assert opened == [(out / "welcome.html").resolve().as_uri()]
    assert main(argv[:-1] + ["--context", "[1]"]) == 1
    assert "must be a JSON object, not list" in capsys.readouterr().out


def test_builtin_templates_pass_lint(capsys):
    assert main(["lint", "--builtin"]) == 0
    assert "4 template(s), 0 finding(s)" in capsys.readouterr().out


BAD = {
    "welcome.html": "<html><head><style>p { color: red }</style></head><body>"
    '<table width="640"><tr><td>{{ user.name }} {{ missing }}</td></tr></table>'
    '<img src="https://example.com/x.png"><script>1</script>'
    '<form action="/x"></form></body></html>',
    "welcome.json": '{"user": {}}',
    "receipt.html": '<html><body style="width:700px"><link href="https://fonts.example/f.css">'
    "</body></html><style>.x{}</style>",
    "receipt.txt": "Total &amp; tax {{ '&lt;' }}",
    "_layout.html": "{{ not_linted_alone }}",
}


def test_lint_reports_each_finding(tmp_path, capsys):
    for name, text in BAD.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    assert main(["lint", str(tmp_path)]) == 1
    out = capsys.readouterr().out
    for expected in [
        "welcome.html: undefined: 'dict object' has no attribute 'name'",
        "welcome.html: undefined: missing",
        "no .txt twin",
        "<style> rules outside @media",
        "wider than 600 px (640 px)",
        "wider than 600 px (700 px)",
        "remote images",
        "scripts",
        "forms",
        "remote fonts",
        "<style> inside <body>",
        "HTML entities in the plain text: &amp; &lt;",
        "2 template(s), 12 finding(s)",
    ]:
        assert expected in out
    assert "not_linted_alone" not in out


def test_lint_notes_every_use_of_an_undefined_name(tmp_path, capsys):
    # arithmetic, indexing, calls and comparisons do not end the render
    (tmp_path / "x.txt").write_text(
        "{{ a.b }} {{ c['d'] }} {{ e + 1 }} {{ f() }} {{ g < 3 }} {{ h | int }}"
    )
    assert main(["lint", str(tmp_path)]) == 1
    out = capsys.readouterr().out
    assert [f"x.txt: undefined: {name}" in out for name in "acefgh"] == [True] * 6


def test_lint_goes_on_past_a_file_not_in_utf8(tmp_path, capsys):
    (tmp_path / "gbk.txt").write_bytes("你好".encode("gbk"))
    (tmp_path / "fine.txt").write_text("fine")
    assert main(["lint", str(tmp_path)]) == 1
    out = capsys.readouterr().out
    assert "gbk.txt: UnicodeDecodeError" in out and "2 template(s), 1 finding(s)" in out


@pytest.mark.parametrize(
    "files, args, said",
    [
        ({"x.html": "{% if a %}"}, [], "x.html:1: TemplateSyntaxError"),
        ({"x.txt": "hi", "out": ""}, ["--out", "{dir}/out"], "FileExistsError"),
    ],
)
def test_preview_failures_are_reported_not_raised(files, args, said, tmp_path, capsys):
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    argv = ["preview", "x", "--template-dir", str(tmp_path)]
    assert main(argv + [a.format(dir=tmp_path) for a in args]) == 1
    assert said in capsys.readouterr().out


def test_output_that_cannot_be_written(monkeypatch):
    class Closed(io.StringIO):
        def write(self, text):
            raise BrokenPipeError(32, "Broken pipe")

    monkeypatch.setattr(sys, "stdout", Closed())
    assert main(["lint", "--builtin"]) == 1
    # a console that has no Chinese gets replacement characters, not an error
    ascii_out = io.TextIOWrapper(io.BytesIO(), encoding="ascii")
    monkeypatch.setattr(sys, "stdout", ascii_out)
    assert main(["explain", "--lang", "zh", "535 x"]) == 0
    ascii_out.flush()
    assert b"535 x" in ascii_out.buffer.getvalue()


def test_send_mistake_in_the_mail_is_not_explained_as_a_server_answer(monkeypatch, capsys):
    monkeypatch.setenv("BRISVANE_PASSWORD", PASSWORD)
    argv = ["send", "--host", "127.0.0.1", "--port", "9", "--user", USERNAME]
    argv += ["--to", "a@example.com", "--subject", "{{ oops", "--template", "alert"]
    argv += ["--context", '{"severity": "info", "summary": "x"}']
    assert main(argv) == 1
    out = capsys.readouterr().out
    assert "TemplateSyntaxError" in out and "4xx" not in out and "Cause:" not in out


def test_send_port_from_the_environment_is_checked(monkeypatch, capsys):
    monkeypatch.setenv("BRISVANE_PORT", "99999")
    argv = ["send", "--host", "127.0.0.1", "--user", USERNAME, "--to", "a@example.com"]
    assert main(argv + ["--subject", "s", "--body", "x"]) == 1
    assert "from 1 to 65535, not '99999'" in capsys.readouterr().out


@pytest.mark.parametrize(
    "command",
    [
        [sys.executable, "-m", "brisvane"],
        [str(Path(sys.executable).with_name("brisvane"))],
    ],
)
def test_runs_as_a_program(command, tmp_path):
    result = subprocess.run(
        command + ["explain", "-"],
        input=QQ_GBK,
        capture_output=True,
        timeout=60,
        env={"BRISVANE_LANG": "zh", "XDG_STATE_HOME": str(tmp_path), "PATH": "/usr/bin:/bin"},
    )
    out = result.stdout.decode()
    assert result.returncode == 0 and "请使用授权码登录" in out and "授权码" in out
    help_text = subprocess.run(
        command + ["check", "--help"],
        capture_output=True,
        text=True,
        timeout=60,
        env={"BRISVANE_LANG": "en", "PATH": "/usr/bin:/bin"},
    )
    assert help_text.returncode == 0 and "--password-env" in help_text.stdout


def test_import_stays_cheap():
    code = (
        "import sys, brisvane, brisvane.cli; "
        "print(sorted(m for m in ('jinja2', 'smtplib', 'ssl', 'brisvane.mailer') "
        "if m in sys.modules))"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=60
    )
    assert result.stdout.strip() == "[]"


@pytest.mark.parametrize(
    "args, said",
    [
        (["--template", "no_such"], "No template no_such.html or no_such.txt"),
        (["--template", "alert", "--body", "x"], "either --template or a body"),
        ([], "give --body, --body-file, --html-file or --template"),
        (["--body", "x", "--attach", "no_such.pdf"], "no such file to attach: no_such.pdf"),
        (["--template", "alert", "--context", "no_such.json"], "neither a file nor JSON"),
    ],
)
def test_send_refuses_before_connecting(args, said, monkeypatch, capsys):
    # a port nothing listens on: a refusal must come before any connection
    monkeypatch.setenv("BRISVANE_PASSWORD", PASSWORD)
    assert (
        main(
            [
                "send",
                "--host",
                "127.0.0.1",
                "--port",
                "9",
                "--user",
                USERNAME,
                "--to",
                "a@example.com",
                "--subject",
                "s",
                *args,
            ]
        )
        == 1
    )
    assert said.lower() in capsys.readouterr().out.lower()


def test_colour_only_on_a_terminal(monkeypatch):
    from brisvane.cli import _ui

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.delenv("NO_COLOR", raising=False)
    for stream, coloured in [(io.StringIO(), False), (Terminal(), True)]:
        out = _ui.Output("en", stream)
        out.start("cli.step.tcp")
        out.done("127.0.0.1:25")
        assert ("\x1b[" in stream.getvalue()) is coloured
    monkeypatch.setenv("NO_COLOR", "1")
    assert not _ui.Output("en", Terminal()).colour


def readme_commands(readme):
    """The ``brisvane`` command lines of a README's command line section."""
    text = (Path(__file__).resolve().parent.parent / readme).read_text(encoding="utf-8")
    section = text[text.index("\n## Command line" if readme == "README.md" else "\n## 命令行") :]
    section = section[: section.index("\n## ", 1)]
    import re
    import shlex

    for block in re.findall(r"```sh\n(.*?)```", section, re.S):
        for line in block.replace("\\\n", " ").splitlines():
            line = line.split("|")[-1].strip()
            if line.startswith("brisvane "):
                yield shlex.split(line, comments=True)


@pytest.mark.parametrize("readme", ["README.md", "README.zh-CN.md"])
def test_readme_commands_are_valid(readme):
    from brisvane.cli import build_parser

    commands = list(readme_commands(readme))
    assert len(commands) == 14
    for argv in commands:
        build_parser("en").parse_args(argv[1:])


def test_relay_without_auth_and_a_closed_port(start_server, capsys):
    relay = start_server("plain", auth=False)
    try:
        assert check(relay.port, "plain") == 1
    finally:
        relay.stop()
    out = capsys.readouterr().out
    assert "AUTH mechanisms: -" in out and "login=False" in out
    # nothing listens there any more: no other mode is tried on that port
    assert check(relay.port, "ssl") == 1
    out = capsys.readouterr().out
    assert "Nothing accepts connections" in out and "Trying the other modes" not in out
