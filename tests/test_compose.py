"""Message composition: tree shape, headers as a mail client reads them,
the envelope list, Bcc privacy, header injection and late name look-up."""

from __future__ import annotations

import email
import email.header
import email.policy
import email.utils
import time

import pytest

import brisvane.mailer
from brisvane.mailer import EasyMailer

NEWLINE_ERROR = "Header values may not contain linefeed or carriage return characters"
INJECTIONS = ["hi\r\n\r\nInjected", "x\nBcc: evil@x", "lone\rcarriage"]


@pytest.fixture
def mailer():
    return EasyMailer("smtp.example.com", 465, "me@example.com", "pw")


def build(mailer, **overrides):
    args = dict(
        to="you@example.com",
        subject="Hello",
        body="text",
        html=None,
        cc=None,
        sender=None,
        sender_name=None,
        attachments=None,
        reply_to=None,
    )
    args.update(overrides)
    return mailer._build_message(**args)


def reparse(msg):
    return email.message_from_string(msg.as_string(), policy=email.policy.default)


def shape(part):
    if part.is_multipart():
        return (part.get_content_type(), [shape(p) for p in part.get_payload()])
    return part.get_content_type()


def addresses(header):
    return [(a.display_name, f"{a.username}@{a.domain}") for a in header.addresses]


# --- body tree -------------------------------------------------------------


@pytest.mark.parametrize(
    "body, html, expected",
    [
        (
            "纯文本正文",
            "<p>超文本</p>",
            ("multipart/mixed", [("multipart/alternative", ["text/plain", "text/html"])]),
        ),
        (None, "<p>超文本</p>", ("multipart/mixed", ["text/html"])),
        ("", "<p>超文本</p>", ("multipart/mixed", ["text/html"])),
        ("纯文本正文", None, ("multipart/mixed", ["text/plain"])),
        ("纯文本正文", "", ("multipart/mixed", ["text/plain"])),
        (None, None, ("multipart/mixed", [])),
        ("", "", ("multipart/mixed", [])),
    ],
)
def test_body_tree_shape(mailer, body, html, expected):
    msg = build(mailer, body=body, html=html)
    assert shape(msg) == expected
    parsed = reparse(msg)
    if not expected[1]:
        return  # an empty multipart flattens with one empty delimiter, read back as a blank part
    assert shape(parsed) == expected
    for part in parsed.walk():
        if part.get_content_maintype() == "text":
            assert part.get_param("charset") == "utf-8"
            assert part.get("Content-Disposition") is None
            assert part.get_filename() is None


def test_bodies_decode_to_the_given_text(mailer):
    body, html = "你好，世界\n第二行", "<p>你好，<b>世界</b></p>"
    parsed = reparse(build(mailer, body=body, html=html))
    assert parsed.get_body(("plain",)).get_content() == body
    assert parsed.get_body(("html",)).get_content() == html
    assert parsed.get_body(("html", "plain")).get_content_type() == "text/html"


# --- headers ---------------------------------------------------------------


def test_header_order_with_every_option(mailer):
    parsed = reparse(build(mailer, cc="cc@example.com", reply_to="back@example.com"))
    assert parsed.keys() == [
        "Content-Type",
        "MIME-Version",
        "From",
        "To",
        "Subject",
        "Date",
        "Cc",
        "Reply-To",
    ]


@pytest.mark.parametrize("cc", [None, "", []])
def test_no_cc_header_when_cc_is_empty(mailer, cc):
    assert "Cc" not in reparse(build(mailer, cc=cc))


@pytest.mark.parametrize("reply_to", [None, ""])
def test_no_reply_to_header_when_empty(mailer, reply_to):
    assert "Reply-To" not in reparse(build(mailer, reply_to=reply_to))


def test_subject_decodes(mailer):
    assert reparse(build(mailer, subject="季度报告：已完成"))["Subject"] == "季度报告：已完成"


@pytest.fixture
def china_time(monkeypatch):
    monkeypatch.setenv("TZ", "CST-8")
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def test_date_is_the_current_local_time(mailer, china_time):
    parsed = reparse(build(mailer))
    assert parsed["Date"].endswith(" +0800")
    stamp = email.utils.parsedate_to_datetime(parsed["Date"])
    assert abs(stamp.timestamp() - time.time()) < 60


@pytest.mark.parametrize(
    "overrides, expected",
    [
        (dict(sender_name="王五"), ("王五", "me@example.com")),
        (dict(sender="boss@example.com", sender_name="王五"), ("王五", "boss@example.com")),
        (dict(sender_name="Smith, J"), ("Smith, J", "me@example.com")),
        (dict(sender_name=""), ("", "me@example.com")),
        (dict(sender=""), ("", "me@example.com")),
        (dict(sender="张三 <zs@example.com>"), ("张三", "zs@example.com")),
    ],
)
def test_from_header(mailer, overrides, expected):
    parsed = reparse(build(mailer, **overrides))
    assert addresses(parsed["From"]) == [expected]


def test_from_reads_default_sender_at_build_time(mailer):
    mailer.default_sender = "later@example.com"
    assert addresses(reparse(build(mailer))["From"]) == [("", "later@example.com")]


@pytest.mark.parametrize("field", ["to", "cc", "reply_to"])
def test_chinese_display_names_keep_addresses_readable(mailer, field):
    value = "张三 <zs@example.com>"
    msg = build(mailer, **{field: value})
    header = {"to": "To", "cc": "Cc", "reply_to": "Reply-To"}[field]
    assert f"{header}: =?utf-8?b?5byg5LiJ?= <zs@example.com>" in msg.as_string()
    assert addresses(reparse(msg)[header]) == [("张三", "zs@example.com")]


@pytest.mark.parametrize("length", [70, 80, 1200])
@pytest.mark.parametrize("field", ["sender_name", "to", "cc", "reply_to"])
def test_long_ascii_display_name_without_blanks_is_folded(mailer, field, length):
    name = ("Abcdefghij" * 120)[:length]
    address = "me@example.com" if field == "sender_name" else "you@example.com"
    value = name if field == "sender_name" else f"{name} <{address}>"
    msg = build(mailer, **{field: value})
    header = {"sender_name": "From", "to": "To", "cc": "Cc", "reply_to": "Reply-To"}[field]
    head = msg.as_string().split("\n\n", 1)[0]
    assert max(len(line) for line in head.split("\n")) <= 78
    # a name that fits on its line is written as it stands, else as encoded words
    assert (f"{header}: {name}\n" in head) == (len(header) + 2 + length <= 78)
    # policy.default reads a blank between two encoded words of a display name
    # (CPython 3.9 to 3.13); email.header's RFC 2047 decoder joins them
    [(display_name, read_address)] = addresses(reparse(msg)[header])
    assert read_address == address and display_name.replace(" ", "") == name
    [(raw_name, _)] = email.utils.getaddresses([msg[header]])
    assert str(email.header.make_header(email.header.decode_header(raw_name))) == name


@pytest.mark.parametrize("field", ["to", "cc"])
@pytest.mark.parametrize(
    "value",
    [
        ["张三 <zs@example.com>", "李四 <ls@example.com>", "plain@example.com"],
        '张三 <zs@example.com>, "Smith, J" <js@example.com>, plain@example.com',
    ],
)
def test_address_lists_with_chinese_names(mailer, field, value):
    parsed = reparse(build(mailer, **{field: value}))
    expected = {
        True: [("张三", "zs@example.com"), ("李四", "ls@example.com"), ("", "plain@example.com")],
        False: [
            ("张三", "zs@example.com"),
            ("Smith, J", "js@example.com"),
            ("", "plain@example.com"),
        ],
    }[isinstance(value, list)]
    assert addresses(parsed[field.capitalize()]) == expected


@pytest.mark.parametrize(
    "to, header",
    [
        (["a@example.com", "b@example.com"], "a@example.com, b@example.com"),
        ("a@example.com, b@example.com", "a@example.com, b@example.com"),
        ('"Smith, J" <js@example.com>', '"Smith, J" <js@example.com>'),
        ([], ""),
        ("用户@例子.中国", "用户@例子.中国"),  # non-ASCII address: left as given
        ("张三 <用户@example.com>", "张三 <用户@example.com>"),
    ],
)
def test_to_header_value_as_stored(mailer, to, header):
    assert build(mailer, to=to)["To"] == header


# --- envelope list -----------------------------------------------------------


class Address(str):
    pass


@pytest.mark.parametrize(
    "to, cc, bcc, expected",
    [
        ("a@x", None, None, ["a@x"]),
        (["a@x", "b@x"], "c@x", ("d@x", "e@x"), ["a@x", "b@x", "c@x", "d@x", "e@x"]),
        ("a@x", ["a@x"], "a@x", ["a@x", "a@x", "a@x"]),
        ("a@x, b@x", None, "c@x; d@x", ["a@x, b@x", "c@x; d@x"]),
        (" A@X ", None, None, [" A@X "]),
        ("", None, None, [""]),
        (None, None, None, []),
        (
            {"s@x"},
            (x for x in ["g1@x", "g2@x"]),
            {"k1@x": 1, "k2@x": 2},
            ["s@x", "g1@x", "g2@x", "k1@x", "k2@x"],
        ),
        ([], [], [], []),
    ],
)
def test_collect_recipients(to, cc, bcc, expected):
    assert EasyMailer._collect_recipients(to, cc, bcc) == expected


def test_collect_recipients_returns_a_new_list_and_keeps_str_subclass():
    to = ["a@x"]
    custom = Address("s@x")
    result = EasyMailer._collect_recipients(to, custom, None)
    assert result is not to and to == ["a@x"]
    assert result[1] is custom


@pytest.mark.parametrize("args", [(1, None, None), ("a@x", None, 7)])
def test_collect_recipients_rejects_non_iterables(args):
    with pytest.raises(TypeError, match="not iterable"):
        EasyMailer._collect_recipients(*args)


def test_bcc_reaches_only_the_envelope(mailer):
    calls = []
    mailer._do_send = lambda *args, **kwargs: calls.append((args, kwargs))
    bcc = ["hidden1@secret.example", "hidden2@secret.example"]
    mailer.send(["to@example.com"], "Hi", body="x", cc="cc@example.com", bcc=bcc)
    [((msg, recipients, sender), kwargs)] = calls
    assert kwargs == {}
    assert recipients == ["to@example.com", "cc@example.com", *bcc]
    assert sender == "me@example.com"
    text = msg.as_string()
    assert "secret.example" not in text and "hidden" not in text
    assert "Bcc" not in reparse(msg)


# --- header injection ----------------------------------------------------------


@pytest.mark.parametrize("bad", INJECTIONS)
@pytest.mark.parametrize(
    "overrides",
    [
        lambda bad: dict(subject=bad),
        lambda bad: dict(sender=bad),
        lambda bad: dict(sender_name=bad),
        lambda bad: dict(to=bad),
        lambda bad: dict(to=["ok@example.com", bad]),
        lambda bad: dict(cc=bad),
        lambda bad: dict(cc=["ok@example.com", bad]),
        lambda bad: dict(reply_to=bad),
        lambda bad: dict(to="张三 <zs@example.com>, " + bad),
    ],
    ids=[
        "subject",
        "sender",
        "sender_name",
        "to",
        "to-item",
        "cc",
        "cc-item",
        "reply_to",
        "to-chinese",
    ],
)
def test_header_injection_is_refused(mailer, overrides, bad):
    attached = []
    mailer._attach_file = lambda *a: attached.append(a)
    with pytest.raises(ValueError) as caught:
        build(mailer, attachments=["file.txt"], **overrides(bad))
    assert str(caught.value) == NEWLINE_ERROR
    assert attached == []


@pytest.mark.parametrize("bad", INJECTIONS)
def test_header_injection_in_default_sender_is_refused(mailer, bad):
    mailer.default_sender = bad
    with pytest.raises(ValueError) as caught:
        build(mailer)
    assert str(caught.value) == NEWLINE_ERROR


def test_send_refuses_injection_before_delivery(mailer):
    mailer._do_send = lambda *a: pytest.fail("delivery must not be reached")
    with pytest.raises(ValueError, match=NEWLINE_ERROR):
        mailer.send("to@example.com", "hi\r\nBcc: evil@x", body="x")


# --- late look-up of module names and instance operations -----------------------


def recording(monkeypatch, name, calls):
    real = getattr(brisvane.mailer, name)

    def wrapper(*args, **kwargs):
        calls.append((args, kwargs))
        return real(*args, **kwargs)

    monkeypatch.setattr(brisvane.mailer, name, wrapper)


def test_mime_classes_are_looked_up_at_each_call(mailer, monkeypatch):
    build(mailer)
    texts, containers = [], []
    recording(monkeypatch, "MIMEText", texts)
    recording(monkeypatch, "MIMEMultipart", containers)
    build(mailer, body="正文", html="<p>h</p>")
    assert texts == [(("正文", "plain", "utf-8"), {}), (("<p>h</p>", "html", "utf-8"), {})]
    assert containers == [(("mixed",), {}), (("alternative",), {})]


def test_formatdate_is_looked_up_at_each_call(mailer, monkeypatch):
    calls = []
    monkeypatch.setattr(
        brisvane.mailer,
        "formatdate",
        lambda *a, **k: calls.append((a, k)) or "Thu, 01 Jan 2026 08:00:00 +0800",
    )
    msg = build(mailer)
    assert calls == [((), {"localtime": True})]
    assert msg["Date"] == "Thu, 01 Jan 2026 08:00:00 +0800"


def test_formataddr_is_looked_up_at_each_call(mailer, monkeypatch):
    calls = []
    recording(monkeypatch, "formataddr", calls)
    build(mailer, sender_name="王五")
    assert calls == [((("王五", "me@example.com"),), {})]
    calls.clear()
    build(mailer, to="张三 <zs@example.com>")
    assert calls == []  # recipient headers are written without it


def test_attachment_items_are_routed_in_order(mailer, tmp_path):
    class Item(dict):
        pass

    calls = []
    mailer._attach_binary = lambda *a, **k: calls.append(("binary", a, k))
    mailer._attach_file = lambda *a, **k: calls.append(("file", a, k))
    items = ["a.txt", {"filename": "b", "data": b""}, Item(), None, tmp_path, b"raw"]
    msg = build(mailer, attachments=items)
    assert [(kind, k) for kind, _, k in calls] == [
        ("file", {}),
        ("binary", {}),
        ("binary", {}),
        ("file", {}),
        ("file", {}),
        ("file", {}),
    ]
    assert all(a[0] is msg for _, a, _ in calls)
    assert [a[1] for _, a, _ in calls] == items
    assert all(a[1] is item for (_, a, _), item in zip(calls, items))


def test_attach_operations_are_looked_up_at_each_item(mailer):
    seen = []

    def first(msg, item):
        seen.append(("first", item))
        mailer._attach_file = lambda msg, item: seen.append(("second", item))

    mailer._attach_file = first
    build(mailer, attachments=["one", "two", "three"])
    assert seen == [("first", "one"), ("second", "two"), ("second", "three")]


@pytest.mark.parametrize("attachments", [None, []])
def test_no_attachments_means_no_attach_calls(mailer, attachments):
    mailer._attach_file = mailer._attach_binary = lambda *a: pytest.fail("unexpected call")
    assert len(build(mailer, body="x", attachments=attachments).get_payload()) == 1
