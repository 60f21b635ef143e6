"""Mail read the way receivers read it: folded header lines that every server
takes, attachment names that each kind of reader shows, and text that is not
HTML-escaped where it is not HTML."""

from __future__ import annotations

import email
import email.policy
import re
import shutil
import subprocess
import sys
from email.header import decode_header, make_header

import pytest
from helpers import USERNAME

from brisvane import EasyMailer

ENCODED_WORD = re.compile(r"=\?[^?\s]+\?[bBqQ]\?[^?\s]*\?=")

NAMES = {
    "chinese": "季度报告.pdf",
    "accented": "Müller, Jörg.pdf",
    "blanks": "my annual report 2026.txt",
    "semicolon": "a;b c.txt",
    "quotes": 'say "hi".txt',
    "apostrophe and star": "O'Brien*2.pdf",
    "chinese-30": "二〇二六年第四季度华东区销售与回款情况汇总表终版.xlsx",
    "chinese-150": "华东区销售与回款情况汇总" * 12 + "终版表.xlsx",
    "ascii-150": "quarterly revenue and receivables summary " * 3 + "east region final.xlsx",
}
STRESS = {
    "22 Chinese names in To": dict(
        to=[f"用户名{i:02d} <user{i:02d}@example.com>" for i in range(22)]
    ),
    "50 bare addresses in Cc": dict(cc=[f"colleague{i:02d}@example.com" for i in range(50)]),
    "one string of 40 addresses": dict(to=",".join(f"u{i}@example.com" for i in range(40))),
    "Chinese subject of 250": dict(subject="关于二〇二六年第四季度销售情况的通知，" * 14),
    "ASCII subject of 400": dict(subject="Quarterly numbers are in " * 15 + "now"),
    "folded subject ending in a blank": dict(subject="Quarterly numbers are in " * 4),
    "unbroken ASCII subject": dict(subject="x" * 1200),
    "long Chinese sender name": dict(sender_name="北京某某科技有限公司客户服务中心" * 4),
    "long quoted ASCII name": dict(sender_name=" ".join(["Smith, John"] * 100)),
    "long comment in To": dict(to="a@example.com (" + "note " * 240 + "end)"),
    "run of blanks in subject": dict(subject="a" + " " * 1000 + "b"),
    "long Chinese attachment": dict(attachments=[{"filename": NAMES["chinese-150"], "data": b"1"}]),
}


def build(**kw) -> str:
    mailer = EasyMailer("h", 465, USERNAME, "pw")
    args = dict(
        to="to@example.com",
        subject="Hi",
        body="body",
        html=None,
        cc=None,
        sender=None,
        sender_name=None,
        attachments=None,
        reply_to=None,
    )
    args.update(kw)
    return mailer._build_message(**args).as_string()


def long_header_lines(text: str) -> list[str]:
    """Header lines over 78 characters that hold a place to fold (a blank
    after the field name); a single long token such as a MIME type has none."""
    fields = []
    for part in email.message_from_string(text).walk():
        fields += [f"{k}: {v}" for k, v in part.items()]
    lines = [line for field in fields for line in field.split("\n")]
    return [
        line
        for line in lines
        if len(line) > 78 and " " in line.split(": ", 1)[-1].strip().rstrip(";")
    ]


def addresses(value) -> list:
    return [(a.display_name, a.addr_spec) for a in value.addresses]


@pytest.mark.parametrize("case", STRESS)
def test_every_header_line_is_folded_and_reads_back(case, smtp_plain, trust_ca):
    kw = STRESS[case]
    text = build(**kw)
    assert long_header_lines(text) == []
    assert all(len(w) <= 75 for w in ENCODED_WORD.findall(text))

    if isinstance(kw.get("to"), str):
        return  # one envelope address of 40 addresses: no server takes that
    # A real server takes it (a line over 998 octets is refused whole).
    smtp_plain.messages.clear()
    smtp_plain.mailer().send(body="body", **{"to": "to@example.com", "subject": "Hi", **kw})
    got = smtp_plain.messages[0].message
    if "subject" in kw:
        assert got["Subject"] == kw["subject"]
    for field in ("to", "cc"):
        if isinstance(kw.get(field), list):
            assert [a for _, a in addresses(got[field])] == [
                email.utils.parseaddr(v)[1] for v in kw[field]
            ]
            assert [
                str(make_header(decode_header(n)))
                for n, _ in email.utils.getaddresses([email.message_from_string(text)[field]])
            ] == [email.utils.parseaddr(v)[0] for v in kw[field]]
    if "sender_name" in kw and not kw["sender_name"].isascii():
        raw = email.message_from_string(text)["From"]
        name, address = email.utils.parseaddr(raw)
        assert (str(make_header(decode_header(name))), address) == (kw["sender_name"], USERNAME)
    elif "sender_name" in kw:
        assert addresses(got["From"]) == [(kw["sender_name"], USERNAME)]
    if "attachments" in kw:
        assert [p.get_filename() for p in got.iter_attachments()] == [NAMES["chinese-150"]]


@pytest.mark.parametrize(
    "to, expected",
    [
        # an address that cannot be written as ASCII spoils only its own item
        (
            ["张三 <a@example.com>", "用户@例子.中国", "李四 <b@example.com>"],
            ["a@example.com", "b@example.com"],
        ),
        ("张三 <a@example.com>, ", ["a@example.com"]),
        ('"=?x-unknown?q?abc?= 张" <a@example.com>', ["a@example.com"]),
    ],
)
def test_addresses_survive_their_neighbours(to, expected):
    got = email.message_from_string(build(to=to), policy=email.policy.default)
    assert [a for _, a in addresses(got["To"]) if "@" in a and a.isascii()] == expected


@pytest.mark.parametrize("name", ["Zhang San 张三", "José García (Ventas)", "Dr. Jörg Müller"])
def test_display_names_read_back_by_python(name):
    got = email.message_from_string(build(sender_name=name), policy=email.policy.default)
    assert addresses(got["From"]) == [(name, USERNAME)]


@pytest.mark.parametrize(
    "to, name",
    [
        ("=?utf-8?b?5byg5LiJ?= <a@example.com>", "张三"),  # encoded words alone are read
        ("张 =?utf-8?b?5LiJ?= <a@example.com>", "张 =?utf-8?b?5LiJ?="),  # beside other text, kept
    ],
)
def test_encoded_words_in_a_given_name(to, name):
    got = email.message_from_string(build(to=to), policy=email.policy.default)
    assert addresses(got["To"]) == [(name, "a@example.com")]


def test_short_values_are_stored_as_given():
    mailer = EasyMailer("h", 465, USERNAME, "pw")
    msg = mailer._build_message(
        "a@example.com, b@example.com",
        "你好，世界",
        None,
        None,
        ["c@example.com"],
        None,
        None,
        None,
        None,
    )
    assert (msg["To"], msg["Subject"], msg["Cc"]) == (
        "a@example.com, b@example.com",
        "你好，世界",
        "c@example.com",
    )


def qq_style_names(text: str) -> list[str]:
    """Attachment names as a reader that knows only RFC 2047 words inside
    quoted name= / filename= parameters, and nothing of RFC 2231, sees them."""
    names = []
    for part in email.message_from_string(text).walk():
        disposition = part.get("Content-Disposition", "")
        if not disposition.startswith("attachment"):
            continue
        found = None
        for header in (disposition, part.get("Content-Type", "")):
            unfolded = re.sub(r"\r?\n[ \t]", " ", header)
            m = re.search(r'(?:^|;)\s*(?:file)?name="((?:[^"\\]|\\.)*)"', unfolded)
            if m is None:
                m = re.search(r"(?:^|;)\s*(?:file)?name=([^;\s\"]+)", unfolded)
            if m:
                value = re.sub(r"\\(.)", r"\1", m.group(1))
                if ENCODED_WORD.sub("", value).strip() == "":  # encoded words only
                    value = str(make_header(decode_header(value)))
                found = value
                break
        names.append(found)
    return names


@pytest.fixture(scope="module")
def eml(tmp_path_factory):
    text = build(attachments=[{"filename": n, "data": n.encode()} for n in NAMES.values()])
    path = tmp_path_factory.mktemp("mail") / "names.eml"
    path.write_text(text)
    return text, path


def test_attachment_names_read_back_by_python_parsers(eml):
    text, _ = eml
    modern = email.message_from_string(text, policy=email.policy.default)
    assert [p.get_filename() for p in modern.iter_attachments()] == list(NAMES.values())
    legacy = [p for p in email.message_from_string(text).walk() if p.get_filename()]
    assert [str(make_header(decode_header(p.get_filename()))) for p in legacy] == list(
        NAMES.values()
    )
    assert long_header_lines(text) == []


def test_attachment_names_for_readers_without_rfc2231(eml):
    text, _ = eml
    assert qq_style_names(text) == list(NAMES.values())
    # ASCII names keep the form they always had: no name parameter is added.
    assert 'name="=?utf-8?b?' not in text.split("my annual report")[0].rsplit("Content-Type", 1)[1]


@pytest.mark.skipif(shutil.which("ripmime") is None, reason="ripmime not installed")
def test_attachment_names_read_back_by_ripmime(eml, tmp_path):
    _, path = eml
    subprocess.run(
        ["ripmime", "-i", str(path), "-d", str(tmp_path), "--no-nameless"],
        check=True,
        capture_output=True,
    )
    # ripmime 1.4 reads no backslash escape in a quoted name, and keeps at
    # most 128 bytes of a name.
    expected = {n for k, n in NAMES.items() if k != "quotes" and len(n.encode()) <= 128}
    assert expected <= {p.name for p in tmp_path.iterdir()}


@pytest.mark.skipif(shutil.which("mu") is None, reason="mu (GMime) not installed")
def test_attachment_names_read_back_by_gmime(eml):
    _, path = eml
    listing = subprocess.run(
        ["mu", "extract", str(path)], check=True, capture_output=True, text=True
    ).stdout
    for name in NAMES.values():
        assert f" {name} " in listing, name


@pytest.fixture
def templated(tmp_path, smtp_plain, trust_ca):
    (tmp_path / "reset.html").write_text('<p>{{ shop }}: <a href="{{ link }}">{{ note }}</a></p>')
    (tmp_path / "reset.txt").write_text("{{ shop }}: {{ note }}\n{{ link }}")
    smtp_plain.messages.clear()
    return smtp_plain.mailer(template_dir=str(tmp_path)), smtp_plain


def test_send_template_leaves_subject_and_text_unescaped(templated):
    mailer, server = templated
    context = {
        "shop": "Tom & Jerry's Shop",
        "note": "p99 > 800 ms <b>",
        "link": "https://example.com/reset?token=x&uid=1",
    }
    mailer.send_template("to@example.com", "{{ shop }}: {{ note }}", "reset", context)
    got = server.messages[0].message
    assert got["Subject"] == "Tom & Jerry's Shop: p99 > 800 ms <b>"
    assert got.get_body(("plain",)).get_content().rstrip("\n") == (
        "Tom & Jerry's Shop: p99 > 800 ms <b>\nhttps://example.com/reset?token=x&uid=1"
    )
    assert got.get_body(("html",)).get_content() == (
        '<p>Tom &amp; Jerry&#39;s Shop: <a href="https://example.com/reset?token=x&amp;uid=1">'
        "p99 &gt; 800 ms &lt;b&gt;</a></p>"
    )


@pytest.mark.parametrize("end", ["\n", "\r\n", "\r"])
def test_subject_template_ending_in_a_line_end(templated, end):
    # Jinja2 drops the line end that ends a template, as for a subject read from a file.
    mailer, server = templated
    mailer.send_template("to@example.com", "{{ shop }}" + end, "reset", {"shop": "A & B"})
    assert server.messages[0].message["Subject"] == "A & B"


# Python code that runs while a recipient list is encoded may change the list:
# here the address parser empties it, and another thread appends to it.
LIST_CHANGED_MEANWHILE = r"""
import email.utils, sys, threading
from brisvane import EasyMailer

m = EasyMailer("h", 465, "me@example.com", "pw")
m._do_send = lambda msg, recipients, sender: msg.as_string()
shared = [f"用户{i} <u{i}@example.com>" for i in range(40)]
real = email.utils.getaddresses

def clearing(values):
    shared.clear()
    return real(values)

email.utils.getaddresses = clearing
m.send(shared, "x", body="b")
email.utils.getaddresses = real

shared[:] = [f"用户{i} <u{i}@example.com>" for i in range(40)]
stop = threading.Event()
def churn():
    while not stop.is_set():
        shared.append("新用户 <n@example.com>")
        del shared[: len(shared) // 2]
t = threading.Thread(target=churn)
t.start()
try:
    for _ in range(300):
        m.send(shared, "x", body="b", cc=shared)
finally:
    stop.set()
    t.join()
print("ok")
"""


def test_recipient_list_changed_while_encoded():
    child = subprocess.run(
        [sys.executable, "-c", LIST_CHANGED_MEANWHILE], capture_output=True, text=True, timeout=120
    )
    assert (child.returncode, child.stdout.strip()) == (0, "ok"), child.stderr[-2000:]
