"""brisvane.bulk.send_many against real servers on loopback: refusals, retries,
lost answers, capped connections, a journal that survives SIGKILL, and the
``send-many`` command."""

from __future__ import annotations

import collections
import contextlib
import json
import logging
import os
import random
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading

import pytest
from helpers import PASSWORD, USERNAME

from brisvane import bulk, delivery
from brisvane.cli import main
from brisvane.mailer import EasyMailer
from brisvane.testing import HANG_UP, ScriptedServer, capture


def rows(n, bad=(), **extra):
    for i in range(n):
        to = f"bad{i}@example.com" if i in bad else f"u{i}@example.com"
        yield {"to": to, "subject": f"mail {i}", "body": f"hello {i}", **extra}


def read(journal, query):
    with contextlib.closing(sqlite3.connect(journal)) as db:
        return db.execute(query).fetchall()


def per_recipient(server):
    return collections.Counter(a for m in server.messages for a in m.rcpt_tos)


@pytest.mark.parametrize("mode, connections", [("ssl", 3), ("starttls", 1), ("plain", 2)])
def test_every_row_sent_once_refusals_reported(start_server, tmp_path, mode, connections):
    server = start_server(mode)
    server.refuse_recipients("bad2@example.com", "bad5@example.com")
    mailer = server.mailer()
    unsubscribe = ["https://example.com/u?id=7&list=news", "mailto:leave@example.com"]
    many = list(rows(12, bad={2, 5}, list_unsubscribe=unsubscribe))
    many[7]["cc"] = ["bad5@example.com"]  # one of two recipients refused
    report = bulk.send_many(
        mailer, iter(many), connections=connections, max_per_connection=4, journal=tmp_path / "j"
    )
    counts = per_recipient(server)
    assert counts == {f"u{i}@example.com": 1 for i in range(12) if i not in (2, 5)}
    assert report.counts == {"pending": 0, "sent": 10, "refused": 2, "failed": 0, "unknown": 0}
    assert report.connections >= 3 and "_do_send" not in vars(mailer)
    results = list(report)
    assert [r.state for r in results].count("refused") == 2
    assert results[7].refused == {"bad5@example.com": (550, "5.1.1 Recipient address rejected")}
    assert results[2].answer.startswith("550")
    mail = server.messages[0].message
    assert mail["List-Unsubscribe"] == f"<{unsubscribe[0]}>, <{unsubscribe[1]}>"
    assert mail["List-Unsubscribe-Post"] == "List-Unsubscribe=One-Click"
    assert len({m.message["Message-ID"] for m in server.messages}) == 10
    report.to_csv(tmp_path / "out.csv")
    lines = (tmp_path / "out.csv").read_text(encoding="utf-8").splitlines()
    assert len(lines) == 13 and lines[3].split(",")[2] == "refused"
    # the same rows again with the journal: nothing more is sent
    again = bulk.send_many(mailer, iter(many), journal=tmp_path / "j")
    assert again.resumed == 12 and again.counts["sent"] == 10 and len(server.messages) == 10


def test_template_rows_render_as_send_template_does(start_server, tmp_path):
    server = start_server("plain")
    (tmp_path / "notice.html").write_text("<p>Hi {{ name }}</p>", encoding="utf-8")
    (tmp_path / "notice.txt").write_text("Hi {{ name }} at {{ occurred_at }}", encoding="utf-8")
    mailer = server.mailer(template_dir=str(tmp_path))
    context = {"name": "Ann & Bo"}
    row = {"to": "a@example.com", "subject": "For {{ name }}", "template_name": "notice"}
    report = bulk.send_many(
        mailer,
        [
            {**row, "context": context, "key": "a"},
            {"to": "b@example.com", "subject": "x", "body": "plain", "bcc": ["c@example.com"]},
        ],
    )
    assert report.counts["sent"] == 2 and "occurred_at" in context
    with capture(mailer) as outbox:
        mailer.send_template(**row, context={"name": "Ann & Bo"})
    first, second = server.messages
    assert (first.subject, first.html) == (outbox[0].subject, outbox[0].html)
    assert first.text.split(" at ")[0] == outbox[0].text.split(" at ")[0]
    assert second.rcpt_tos == ["b@example.com", "c@example.com"]
    assert "Bcc" not in second.message


@pytest.mark.parametrize("retries, state, attempts", [(3, "sent", 3), (1, "failed", 2)])
def test_transient_failures_tried_again(start_server, retries, state, attempts):
    server = start_server("plain")
    server.defer("flaky", 2)
    mailer = server.mailer()
    many = [{"to": "a@example.com", "subject": "flaky", "body": "x"}, *rows(3)]
    report = bulk.send_many(mailer, many, retries=retries, backoff=0.01)
    assert server.attempts["flaky"] == attempts
    assert list(report)[0].state == state
    assert report.counts["sent"] == 3 + (state == "sent")


def test_answer_never_read_is_unknown_and_resent_only_when_asked(start_server, tmp_path):
    journal = tmp_path / "run.db"
    with ScriptedServer({".": HANG_UP}) as lost:
        mailer = EasyMailer("127.0.0.1", lost.port, USERNAME, PASSWORD, use_ssl=False)
        report = bulk.send_many(mailer, rows(2), journal=journal, retries=0)
    assert report.counts["unknown"] == 2
    ids = dict(read(journal, "SELECT key, message_id FROM mails"))
    server = start_server("plain")
    mailer = server.mailer()
    report = bulk.send_many(mailer, rows(2), journal=journal)
    assert report.counts["unknown"] == 2 and server.messages == []
    report = bulk.send_many(mailer, rows(2), journal=journal, resend_unknown=True)
    assert report.counts["sent"] == 2
    assert sorted(m.message["Message-ID"] for m in server.messages) == sorted(ids.values())


def test_too_many_connections_lowers_the_concurrency():
    lock = threading.Lock()
    greeted = []

    def greeting(_line):
        with lock:
            greeted.append(1)
            busy = 2 <= len(greeted) <= 3
        if busy:
            yield b"421 4.3.2 Too many connections, try again later\r\n"
            yield HANG_UP
        else:
            yield b"220 scripted.test ESMTP\r\n"

    with ScriptedServer({"greeting": greeting}) as server:
        mailer = EasyMailer("127.0.0.1", server.port, USERNAME, PASSWORD, use_ssl=False)
        report = bulk.send_many(mailer, rows(9), connections=3, backoff=0.01)
        sessions = list(server.sessions)
    assert report.counts["sent"] == 9
    datas = sum(1 for s in sessions for line in s if line.upper().startswith(b"DATA"))
    assert datas == 9 and report.connections == 1


def test_abort_ratio_leaves_the_rest_unread(start_server):
    server = start_server("plain")
    server.refuse_recipients()  # everybody
    read = []

    def source():
        for row in rows(200):
            read.append(row)
            yield row

    report = bulk.send_many(server.mailer(), source(), abort_ratio=0.5)
    assert report.stopped == "abort_ratio"
    assert report.counts["refused"] >= bulk.ABORT_AFTER and len(read) < 40


def test_rows_are_read_as_they_are_sent(start_server, tmp_path):
    server = start_server("plain")
    ahead = []

    def source():
        for i, row in enumerate(rows(300)):
            ahead.append(i - len(server.messages))
            yield row

    report = bulk.send_many(server.mailer(), source(), connections=2, journal=tmp_path / "j")
    assert report.counts["sent"] == 300 and max(ahead) <= 2 * 2 + 2 + 2 + 1


def test_fatal_login_raised_with_the_rows_pending(start_server, tmp_path):
    server = start_server("plain")
    server.refuse_login()
    import smtplib

    with pytest.raises(smtplib.SMTPAuthenticationError):
        bulk.send_many(server.mailer(), rows(5), journal=tmp_path / "j")
    states = {s for (s,) in read(tmp_path / "j", "SELECT state FROM mails")}
    assert states <= {"pending"} and server.messages == []


def test_configured_options_apply(start_server):
    server = start_server("plain", auth=False)
    mailer = server.mailer()
    delivery.configure(mailer, login=False, timeout=5)
    report = bulk.send_many(mailer, rows(3), connections=2)
    assert report.counts["sent"] == 3 and server.logins == []


@pytest.mark.parametrize(
    "call, error",
    [
        (dict(connections=0), ValueError),
        (dict(rate="fast"), ValueError),
        (dict(rate=0), ValueError),
        (dict(abort_ratio=1.5), ValueError),
        (dict(retries=-1), ValueError),
        (dict(progress="no"), TypeError),
    ],
)
def test_bad_arguments(call, error, start_server):
    server = start_server("plain")
    with pytest.raises(error):
        bulk.send_many(server.mailer(), rows(1), **call)
    assert server.messages == []


@pytest.mark.parametrize(
    "value, headers",
    [
        ("mailto:x@example.com", {"List-Unsubscribe": "<mailto:x@example.com>"}),
        (
            "https://e.com/u",
            {
                "List-Unsubscribe": "<https://e.com/u>",
                "List-Unsubscribe-Post": "List-Unsubscribe=One-Click",
            },
        ),
        ("https://e.com/u\r\nBcc: victim@example.com", ValueError),
        ("mailto:x@example.com\x00", ValueError),
        ("javascript:alert(1)", ValueError),
        ("https://e.com/" + "x" * 1000, ValueError),
        ([], TypeError),
        (7, TypeError),
    ],
)
def test_unsubscribe_headers(value, headers):
    if isinstance(headers, type):
        with pytest.raises(headers):
            bulk.unsubscribe_headers(value)
    else:
        assert bulk.unsubscribe_headers(value) == headers


def test_bad_rows_fail_alone_and_log_hides_the_secret(start_server, caplog):
    server = start_server("plain")
    many = [
        {"to": "a@example.com", "subject": "bad\r\nBcc: x@example.com", "body": "x"},
        {
            "to": "b@example.com",
            "subject": "ok",
            "body": "x",
            "list_unsubscribe": "https://e.com/\nX: y",
        },
        {"to": "c@example.com", "subject": "ok", "body": "x", "nonsense": 1},
        {"to": "d@example.com", "subject": "fine", "body": "x"},
    ]
    with caplog.at_level(logging.DEBUG, logger="brisvane"):
        report = bulk.send_many(server.mailer(), many)
    assert [r.state for r in report] == ["failed", "failed", "failed", "sent"]
    assert [m.rcpt_tos for m in server.messages] == [["d@example.com"]]
    text = caplog.text
    assert "AUTH PLAIN ***" in text and "sent " in text
    import base64

    secret = base64.b64encode(f"\0{USERNAME}\0{PASSWORD}".encode()).decode()
    assert PASSWORD not in text and secret not in text


@pytest.mark.parametrize(
    "rate, per_second", [("30/min", 0.5), ("5/s", 5.0), (2, 2.0), ("3600/h", 1.0), (None, None)]
)
def test_rates(rate, per_second):
    assert bulk.parse_rate(rate) == per_second


_CHILD = textwrap.dedent(
    """
    import sys
    from brisvane import bulk
    from brisvane.mailer import EasyMailer
    port, journal, resend = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1"
    mailer = EasyMailer("127.0.0.1", port, sys.argv[4], sys.argv[5], use_ssl=False)
    rows = ({"to": f"u{i}@example.com", "subject": f"m{i}", "body": "x", "key": i}
            for i in range(60))
    print("go", flush=True)
    r = bulk.send_many(mailer, rows, connections=2, journal=journal, rate="300/s",
                       resend_unknown=resend)
    print(r.counts["unknown"], flush=True)
    """
)


def test_killed_at_random_moments_sends_nothing_twice(start_server, tmp_path):
    server = start_server("plain")
    journal = str(tmp_path / "run.db")
    script = tmp_path / "child.py"
    script.write_text(_CHILD, encoding="utf-8")
    chance = random.Random(os.getpid())

    def child(resend=False):
        args = [sys.executable, str(script), str(server.port), journal, "1" if resend else "0"]
        return subprocess.Popen(args + [USERNAME, PASSWORD], stdout=subprocess.PIPE, text=True)

    for _ in range(4):
        proc = child()
        assert proc.stdout.readline() == "go\n"
        try:
            proc.wait(chance.uniform(0.02, 0.15))
        except subprocess.TimeoutExpired:
            proc.send_signal(signal.SIGKILL)
        proc.wait()
    proc = child()
    out, _ = proc.communicate(timeout=60)
    assert proc.returncode == 0
    states = dict(read(journal, "SELECT key, state FROM mails"))
    counts = per_recipient(server)
    unknown = {f"u{k}@example.com" for k, s in states.items() if s == "unknown"}
    assert int(out.split()[-1]) == len(unknown)
    for i in range(60):
        address = f"u{i}@example.com"
        assert counts[address] == 1 or (address in unknown and counts[address] == 0), address
    proc = child(resend=True)
    proc.communicate(timeout=60)
    assert set(per_recipient(server)) == {f"u{i}@example.com" for i in range(60)}
    assert max(per_recipient(server).values()) <= 2


def test_send_many_command(start_server, tmp_path, monkeypatch, capsys):
    server = start_server("plain")
    (tmp_path / "hello.txt").write_text("Hi {{ name }}", encoding="utf-8")
    data = tmp_path / "rows.jsonl"
    data.write_text(
        "\n".join(json.dumps({"to": f"u{i}@example.com", "name": f"N{i}"}) for i in range(4)),
        encoding="utf-8",
    )
    monkeypatch.setenv("BRISVANE_PASSWORD", PASSWORD)
    common = [
        "send-many",
        "--rows",
        str(data),
        "--template",
        "hello",
        "--subject",
        "For {{ name }}",
        "--template-dir",
        str(tmp_path),
        "--host",
        "127.0.0.1",
        "--port",
        str(server.port),
        "--mode",
        "plain",
        "--user",
        USERNAME,
        "--lang",
        "en",
    ]
    assert (
        main(common + ["--journal", str(tmp_path / "j"), "--report", str(tmp_path / "r.csv")]) == 0
    )
    assert sorted(m.subject for m in server.messages) == [f"For N{i}" for i in range(4)]
    said = capsys.readouterr().out
    assert "sent 4" in said
    assert (tmp_path / "r.csv").read_text(encoding="utf-8").count("sent") == 4
    bad = tmp_path / "bad.csv"
    bad.write_text("to,name\nnot an address,A\nok@example.com,\n", encoding="utf-8")
    common[2] = str(bad)
    assert main(common + ["--dry-run"]) == 1
    said = capsys.readouterr().out
    assert "not an address" in said and "name" in said and len(server.messages) == 4
