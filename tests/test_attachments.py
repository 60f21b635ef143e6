"""Attachments from files and from memory: the names and bytes a mail client
reads back, the content types, every failure, and the module-level names
looked up at each call."""

import email
import email.policy
import mimetypes
import shutil
import subprocess
from email.mime.multipart import MIMEMultipart
from pathlib import Path

import pytest

import brisvane.mailer as mailer_mod
from brisvane.mailer import EasyMailer

CRLF_ERROR = "Header values may not contain linefeed or carriage return characters"
PAYLOAD = bytes(range(256)) * 5 + b"\r\n\n\r end"
NAMES = [
    "report.pdf",
    "my report.txt",
    "报告.pdf",
    "a;b.txt",
    'quo"te.txt',
    "年度 报告 2024.xlsx",
    "noext",
]


def parse(msg):
    return email.message_from_string(msg.as_string(), policy=email.policy.default)


def new_msg():
    return MIMEMultipart("mixed")


def spy(monkeypatch, name, target=mailer_mod):
    real = getattr(target, name)
    calls = []

    def fake(*args, **kwargs):
        result = real(*args, **kwargs)
        calls.append((args, kwargs, result))
        return result

    monkeypatch.setattr(target, name, fake)
    return calls


def only_part(msg):
    [part] = parse(msg).iter_attachments()
    return part


class D(dict):
    pass


# ------------------------------------------------------- names and bytes


@pytest.mark.parametrize("name", NAMES)
def test_file_name_and_bytes_read_back(tmp_path, name):
    path = tmp_path / "sub dir" / name
    path.parent.mkdir()
    path.write_bytes(PAYLOAD)
    msg = new_msg()
    assert EasyMailer._attach_file(msg, str(path)) is None
    part = only_part(msg)
    assert part.get_filename() == name
    assert part.get_content_disposition() == "attachment"
    assert part["Content-Transfer-Encoding"] == "base64"
    assert part.get_payload(decode=True) == PAYLOAD


@pytest.mark.parametrize("name", NAMES + ["dir/with space.txt", "a/b/c.bin"])
def test_binary_name_kept_as_given(name):
    msg = new_msg()
    assert EasyMailer._attach_binary(msg, {"filename": name, "data": PAYLOAD}) is None
    part = only_part(msg)
    assert part.get_filename() == name
    assert part.get_payload(decode=True) == PAYLOAD


@pytest.mark.parametrize(
    "name, header",
    [
        ("report.pdf", "attachment; filename=report.pdf"),
        ("x!#$%&+-.^_`{|}~9.txt", "attachment; filename=x!#$%&+-.^_`{|}~9.txt"),
        ("O'Brien*2.pdf", 'attachment; filename="O\'Brien*2.pdf"'),  # RFC 2231 syntax: quoted
        ("my report.txt", 'attachment; filename="my report.txt"'),
        ("a;b.txt", 'attachment; filename="a;b.txt"'),
        ('quo"te.txt', 'attachment; filename="quo\\"te.txt"'),
        ("dir/with space.txt", 'attachment; filename="dir/with space.txt"'),
        ("报告.pdf", "attachment; filename*=utf-8''%E6%8A%A5%E5%91%8A.pdf"),
    ],
)
def test_disposition_header_text(name, header):
    msg = new_msg()
    EasyMailer._attach_binary(msg, {"filename": name, "data": b"x"})
    text = msg.as_string()
    assert "Content-Disposition: " + header + "\n" in text.replace("\n ", " ")
    # a name parameter on the Content-Type only where the name needs encoding
    assert ('name="=?utf-8?b?5oql5ZGKLnBkZg==?="' in text) is (not name.isascii())


def test_part_headers_and_empty_payload(tmp_path):
    (tmp_path / "empty.pdf").write_bytes(b"")
    msg = new_msg()
    EasyMailer._attach_file(msg, str(tmp_path / "empty.pdf"))
    [part] = msg.get_payload()
    assert part.items() == [
        ("Content-Type", "application/pdf"),
        ("MIME-Version", "1.0"),
        ("Content-Transfer-Encoding", "base64"),
        ("Content-Disposition", "attachment; filename=empty.pdf"),
    ]
    assert part.get_payload(decode=True) == b""


@pytest.mark.skipif(shutil.which("ripmime") is None, reason="ripmime not installed")
def test_ripmime_reads_names_and_bytes(tmp_path):
    files = tmp_path / "files"
    files.mkdir()
    m = EasyMailer("smtp.example.com", 465, "me@example.com", "pw")
    items, expected = [], {}
    for name in ["report.pdf", "my report.txt", "报告.pdf", "a;b.txt", "年度 报告 2024.xlsx"]:
        data = PAYLOAD + name.encode()
        (files / name).write_bytes(data)
        items.append(str(files / name))
        expected[name] = data
    # ripmime 1.4 does not read a backslash escape inside a quoted name, so 'quo"te.txt'
    # (correctly written as filename="quo\\"te.txt") is checked with the standard parser only.
    items.append({"filename": "dir/with space.txt", "data": b"binary item"})
    items.append({"filename": "内存.bin", "data": PAYLOAD})
    expected.update({"with space.txt": b"binary item", "内存.bin": PAYLOAD})
    msg = m._build_message(
        to="t@x.org",
        subject="s",
        body="b",
        html=None,
        cc=None,
        sender=None,
        sender_name=None,
        attachments=items,
        reply_to=None,
    )
    eml = tmp_path / "mail.eml"
    eml.write_text(msg.as_string())
    out = tmp_path / "out"
    subprocess.run(["ripmime", "-i", str(eml), "-d", str(out), "--no-nameless"], check=True)
    got = {p.name: p.read_bytes() for p in out.iterdir()}
    assert {n: got.get(n) for n in expected} == expected


# ----------------------------------------------------------- content types


@pytest.mark.parametrize(
    "name, ctype",
    [
        ("report.pdf", "application/pdf"),
        ("pic.PNG", "image/png"),
        ("page.html", "text/html"),
        ("blob.zzunknown", "application/octet-stream"),
        ("noext", "application/octet-stream"),
        ("archive.tar.gz", "application/x-tar"),
    ],
)
def test_type_guessed_from_name(tmp_path, name, ctype):
    (tmp_path / name).write_bytes(b"data")
    file_msg, bin_msg = new_msg(), new_msg()
    EasyMailer._attach_file(file_msg, str(tmp_path / name))
    EasyMailer._attach_binary(bin_msg, {"filename": name, "data": b"data"})
    for msg in (file_msg, bin_msg):
        [part] = msg.get_payload()
        assert part["Content-Type"] == ctype
        assert part.get_params() == [(ctype, "")]


@pytest.mark.parametrize(
    "given, ctype",
    [
        ("text/csv", "text/csv"),
        ("image/x-weird", "image/x-weird"),
        (None, "application/pdf"),
        ("", "application/pdf"),
        ("application/vnd/extra", "application/vnd/extra"),
    ],
)
def test_explicit_content_type(given, ctype):
    msg = new_msg()
    EasyMailer._attach_binary(msg, {"filename": "r.pdf", "data": b"x", "content_type": given})
    [part] = msg.get_payload()
    assert part["Content-Type"] == ctype


# ----------------------------------------------------------------- failures


@pytest.mark.parametrize("kind", ["missing", "directory", "relative", "through_missing"])
def test_attachment_not_found(tmp_path, monkeypatch, kind):
    (tmp_path / "adir").mkdir()
    monkeypatch.chdir(tmp_path)
    path = {
        "missing": str(tmp_path / "nope.pdf"),
        "directory": str(tmp_path / "adir"),
        "relative": "./adir/../nope.txt",
        "through_missing": "gone/x.txt",
    }[kind]
    msg = new_msg()
    with pytest.raises(FileNotFoundError) as exc:
        EasyMailer._attach_file(msg, path)
    assert str(exc.value) == "Attachment not found: " + path
    assert exc.value.args == ("Attachment not found: " + path,)
    assert exc.value.errno is None and exc.value.filename is None
    assert msg.get_payload() == []


def _unsplittable():
    return {"filename": "a.txt", "data": b"x", "content_type": "textplain"}


@pytest.mark.parametrize(
    "item, exc_type, text",
    [
        (_unsplittable(), ValueError, "need more than 1 value to unpack"),
        ({}, KeyError, "'filename'"),
        ({"data": b"x"}, KeyError, "'filename'"),
        ({"filename": "a.txt"}, KeyError, "'data'"),
        ({"filename": "a.txt", "content_type": "text/plain"}, KeyError, "'data'"),
    ],
)
def test_binary_item_failures(item, exc_type, text):
    msg = new_msg()
    with pytest.raises(exc_type) as exc:
        EasyMailer._attach_binary(msg, item)
    assert type(exc.value) is exc_type and str(exc.value) == text
    assert msg.get_payload() == []


def test_missing_keys_are_the_key_itself():
    with pytest.raises(KeyError) as exc:
        EasyMailer._attach_binary(new_msg(), {})
    assert exc.value.args == ("filename",)


@pytest.mark.parametrize(
    "call, item, text",
    [
        (
            "_attach_file",
            Path("a.txt"),
            "Argument 'filepath' has incorrect type (expected str, got PosixPath)",
        ),
        (
            "_attach_file",
            None,
            "Argument 'filepath' has incorrect type (expected str, got NoneType)",
        ),
        (
            "_attach_binary",
            D(filename="a", data=b""),
            "Argument 'item' has incorrect type (expected dict, got D). "
            "Subclasses of built-in types are rejected; pass a plain dict",
        ),
    ],
)
def test_type_check_rejections(tmp_path, call, item, text):
    m = EasyMailer("smtp.example.com", 465, "me@example.com", "pw")
    msg = new_msg()
    with pytest.raises(TypeError) as exc:
        getattr(EasyMailer, call)(msg, item)
    assert str(exc.value) == text
    assert msg.get_payload() == []
    with pytest.raises(TypeError) as exc:
        m._build_message(
            to="t@x",
            subject="s",
            body=None,
            html=None,
            cc=None,
            sender=None,
            sender_name=None,
            attachments=[item],
            reply_to=None,
        )
    assert str(exc.value) == text


def test_failure_after_good_item_leaves_earlier_parts_only():
    msg = new_msg()
    EasyMailer._attach_binary(msg, {"filename": "ok.txt", "data": b"1"})
    for bad in (
        {"filename": "b.txt"},
        {"filename": "c", "data": b"", "content_type": "x"},
        {"filename": "d\n.txt", "data": b""},
    ):
        with pytest.raises((KeyError, ValueError)):
            EasyMailer._attach_binary(msg, bad)
    assert [p.get_filename() for p in msg.get_payload()] == ["ok.txt"]


# -------------------------------------------------------- header injection


@pytest.mark.parametrize(
    "bad", ["hi\r\n\r\nInjected.txt", "x\nBcc: evil@x", "a\rb.txt", "报告\n.pdf"]
)
def test_injected_binary_name_refused(bad):
    msg = new_msg()
    with pytest.raises(ValueError) as exc:
        EasyMailer._attach_binary(msg, {"filename": bad, "data": b"x"})
    assert str(exc.value) == CRLF_ERROR
    assert msg.get_payload() == []


@pytest.mark.parametrize("bad", ["x\nBcc: evil@x", "a\rb.txt", "hi\r\n\r\nInjected"])
def test_injected_file_name_refused(tmp_path, bad):
    path = tmp_path / bad
    path.write_bytes(b"x")
    msg = new_msg()
    with pytest.raises(ValueError) as exc:
        EasyMailer._attach_file(msg, str(path))
    assert str(exc.value) == CRLF_ERROR
    assert msg.get_payload() == []


def test_injected_name_refused_through_build_message():
    m = EasyMailer("smtp.example.com", 465, "me@example.com", "pw")
    with pytest.raises(ValueError, match=CRLF_ERROR):
        m._build_message(
            to="t@x",
            subject="s",
            body="b",
            html=None,
            cc=None,
            sender=None,
            sender_name=None,
            reply_to=None,
            attachments=[{"filename": "x\r\nBcc: evil@x", "data": b""}],
        )


# ---------------------------------------------- module names looked up per call


def test_path_replacement(tmp_path, monkeypatch):
    target = tmp_path / "f.txt"
    target.write_bytes(b"x")
    EasyMailer._attach_file(new_msg(), str(target))
    calls = spy(monkeypatch, "Path")
    arg = str(target)
    EasyMailer._attach_file(new_msg(), arg)
    assert len(calls) == 1 and calls[0][0][0] is arg and calls[0][1] == {}
    with pytest.raises(FileNotFoundError):
        EasyMailer._attach_file(new_msg(), "missing.txt")
    assert [a for a, _, _ in calls][1] == ("missing.txt",)


def test_mimetypes_replacement(tmp_path, monkeypatch):
    class Recorder:
        def __init__(self):
            self.calls = []

        def guess_type(self, *args, **kwargs):
            self.calls.append((args, kwargs))
            return mimetypes.guess_type(*args, **kwargs)

    rec = Recorder()
    monkeypatch.setattr(mailer_mod, "mimetypes", rec)
    (tmp_path / "a.pdf").write_bytes(b"x")
    EasyMailer._attach_file(new_msg(), str(tmp_path / "a.pdf"))
    EasyMailer._attach_binary(new_msg(), {"filename": "dir/b.png", "data": b"x"})
    EasyMailer._attach_binary(
        new_msg(), {"filename": "c.png", "data": b"x", "content_type": "text/plain"}
    )
    assert rec.calls == [((str(tmp_path / "a.pdf"),), {}), (("dir/b.png",), {})]
    assert type(rec.calls[0][0][0]) is str


def test_encoders_replacement(tmp_path, monkeypatch):
    calls = spy(monkeypatch, "encode_base64", target=mailer_mod.encoders)
    (tmp_path / "a.bin").write_bytes(b"abc")
    msg = new_msg()
    EasyMailer._attach_file(msg, str(tmp_path / "a.bin"))
    EasyMailer._attach_binary(msg, {"filename": "b.bin", "data": b"def"})
    parts = msg.get_payload()
    assert len(calls) == 2
    assert all(len(a) == 1 and a[0] is p and k == {} for (a, k, _), p in zip(calls, parts))


def test_encoders_module_replaced_whole(monkeypatch):
    real = mailer_mod.encoders.encode_base64
    seen = []

    class Encoders:
        @staticmethod
        def encode_base64(part):
            seen.append(part)
            real(part)

    monkeypatch.setattr(mailer_mod, "encoders", Encoders)
    msg = new_msg()
    EasyMailer._attach_binary(msg, {"filename": "b.bin", "data": b"def"})
    assert seen == msg.get_payload()
    assert only_part(msg).get_payload(decode=True) == b"def"


def test_mimebase_called_with_two_positional_parts(monkeypatch):
    calls = spy(monkeypatch, "MIMEBase")
    msg = new_msg()
    EasyMailer._attach_binary(msg, {"filename": "x", "data": b"", "content_type": "a/b/c"})
    assert [(a, k) for a, k, _ in calls] == [(("a", "b/c"), {})]
    assert msg.get_payload() == [calls[0][2]]


@pytest.mark.parametrize("size", [0, 1, 2, 3, 56, 57, 58, 114, 64 * 1024 + 5, 300_001])
@pytest.mark.parametrize("last", [b"x", b"\n"])
def test_base64_bodies_match_the_standard_encoder(size, last, monkeypatch):
    # the parts' base64 is made natively (the interpreter released for large
    # data); it must be the text email.encoders writes, to the last newline
    import email.encoders
    from email.mime.base import MIMEBase

    data = (bytes(range(256)) * (size // 256 + 1))[: max(size - 1, 0)] + (last if size else b"")
    mailer = EasyMailer("h", 465, "me@example.com", "pw")
    args = ["you@example.com", "s", "t", None, None, None, None, [{"filename": "a", "data": data}]]
    expected = MIMEBase("application", "octet-stream")
    expected.set_payload(data)
    email.encoders.encode_base64(expected)
    part = mailer._build_message(*args, None).get_payload()[1]
    assert part.get_payload() == expected.get_payload()
    assert part["Content-Transfer-Encoding"] == "base64"
    # a replaced encoder is called as before
    seen = []
    monkeypatch.setattr(email.encoders, "encode_base64", seen.append)
    mailer._build_message(*args, None)
    assert len(seen) == 1
