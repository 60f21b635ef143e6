"""Pictures the HTML body shows (inline parts), calendar invitations, and the
built-in templates' required variables: read back by Python's parser, by
ripmime and GMime, by a calendar reader and by a browser resolving cid: URLs
as a mail client does."""

import email
import email.policy
import os
import re
import shutil
import subprocess
import zlib

import pytest

from brisvane import EasyMailer, MissingVariableError, TemplateEngine, calendar_invite, inline_image
from brisvane.cli import main
from brisvane.cli.templates import with_images_shown
from brisvane.testing import capture


def png(rgb: tuple[int, int, int], size: int = 8) -> bytes:
    """A real PNG of one colour."""

    def chunk(kind: bytes, data: bytes) -> bytes:
        body = kind + data
        return len(data).to_bytes(4, "big") + body + zlib.crc32(body).to_bytes(4, "big")

    header = size.to_bytes(4, "big") * 2 + bytes([8, 2, 0, 0, 0])
    rows = b"".join(b"\x00" + bytes(rgb) * size for _ in range(size))
    return (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", header)
        + chunk(b"IDAT", zlib.compress(rows))
        + chunk(b"IEND", b"")
    )


RED = png((220, 20, 20))
ICS = (
    "BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Example//EN\r\nMETHOD:REQUEST\r\n"
    "BEGIN:VEVENT\r\nUID:42@example.com\r\nDTSTAMP:20261209T100000Z\r\n"
    "DTSTART:20261210T020000Z\r\nDTEND:20261210T030000Z\r\nSUMMARY:季度评审 review\r\n"
    "ORGANIZER:mailto:a@example.com\r\nATTENDEE;RSVP=TRUE:mailto:b@example.com\r\n"
    "END:VEVENT\r\nEND:VCALENDAR\r\n"
)
HTML = '<p>Hi</p><img src="cid:logo"><img src="cid:chart">'


def build(mailer=None, **kw):
    mailer = mailer or EasyMailer("h", 465, "me@example.com", "pw")
    args = dict(to="you@example.com", subject="s", body=None, html=None, cc=None, sender=None)
    args |= dict(sender_name=None, attachments=None, reply_to=None) | kw
    return mailer._build_message(**args)


def tree(part, depth=0):
    lines = [("  " * depth) + part.get_content_type()]
    for sub in part.get_payload() if part.is_multipart() else ():
        lines += tree(sub, depth + 1)
    return lines


def parsed(msg, policy=email.policy.default):
    return email.message_from_bytes(msg.as_bytes(), policy=policy)


@pytest.mark.parametrize("with_text", [True, False])
@pytest.mark.parametrize("invite", [False, True])
def test_structure_as_clients_read_it(tmp_path, with_text, invite):
    (tmp_path / "图表.png").write_bytes(RED)
    items = [
        inline_image(RED, "logo"),
        {"filename": "报告.pdf", "data": b"%PDF-1.4"},
        inline_image(tmp_path / "图表.png", "chart"),
    ] + ([calendar_invite(ICS)] if invite else [])
    msg = build(body="text" if with_text else None, html=HTML, attachments=items)
    related = ["multipart/related", "  text/html", "  image/png", "  image/png"]
    bodies = (["text/plain"] if with_text else []) + related + (["text/calendar"] if invite else [])
    if len(bodies) > len(related):
        bodies = ["multipart/alternative"] + ["  " + b for b in bodies]
    attached = ["application/pdf"] + (["application/ics"] if invite else [])
    expected = ["multipart/mixed"] + ["  " + b for b in bodies + attached]
    # both parsers walk the same tree
    assert tree(parsed(msg)) == tree(parsed(msg, email.policy.compat32)) == expected
    reader = parsed(msg)
    assert reader.get_body(("html",)).get_content() == HTML
    assert [a.get_filename() for a in reader.iter_attachments()] == ["报告.pdf"] + (
        ["invite.ics"] if invite else []
    )
    related_part = next(p for p in reader.walk() if p.get_content_type() == "multipart/related")
    assert related_part.get_param("type") == "text/html"
    images = [p for p in related_part.iter_parts()][1:]
    assert [(p["Content-ID"], p.get_content_disposition(), p.get_filename()) for p in images] == [
        ("<logo>", "inline", "logo.png"),
        ("<chart>", "inline", "图表.png"),
    ]
    assert all(p["Content-Transfer-Encoding"] == "base64" for p in images)
    assert all(p.get_content() == RED for p in images)
    # every header line within the limit, the related type's included
    assert max(map(len, msg.as_string().splitlines())) <= 78


def test_sent_mail_lists_inline_images_apart(smtp_plain, trust_ca):
    smtp_plain.reset()
    items = [inline_image(RED, "logo", filename="标志.png"), {"filename": "a.txt", "data": b"a"}]
    smtp_plain.mailer().send("you@example.com", "s", html=HTML[:28], attachments=items)
    (sent,) = smtp_plain.messages
    assert [tuple(i) for i in sent.inline_images] == [("logo", "标志.png", "image/png", RED)]
    assert [a.filename for a in sent.attachments] == ["a.txt"]


@pytest.mark.parametrize(
    "items, html, error",
    [
        ([inline_image(RED, "a\r\nBcc: x@example.com")], "x", "linefeed"),
        ([inline_image(RED, "a\x00")], "x", "linefeed"),
        ([inline_image(RED, "<a>")], "x", "printable ASCII"),
        ([inline_image(RED, "a b")], "x", "printable ASCII"),
        ([inline_image(RED, "标志")], "x", "printable ASCII"),
        ([{"filename": "a.png", "data": RED, "cid": ""}], "x", "printable ASCII"),
        ([{"filename": "a.png", "data": RED, "cid": 1}], "x", "cid must be str"),
        ([inline_image(RED, "a"), inline_image(RED, "a")], "x", "two inline items"),
        ([inline_image(RED, "a")], None, "needs an HTML body"),
        ([calendar_invite(ICS), calendar_invite(ICS)], "x", "one calendar invitation"),
        (
            [
                {
                    "filename": "i.ics",
                    "data": ICS.encode(),
                    "content_type": "text/calendar; method=CANCEL",
                }
            ],
            "x",
            "says METHOD:REQUEST",
        ),
        (
            [{"filename": "i.ics", "data": b"\xff\xfe", "content_type": "text/calendar;method=X"}],
            "x",
            "UTF-8",
        ),
    ],
)
def test_bad_items_are_refused_before_anything_is_sent(items, html, error):
    mailer = EasyMailer("h", 465, "me@example.com", "pw")
    with capture(mailer) as outbox, pytest.raises((ValueError, TypeError), match=error):
        mailer.send("you@example.com", "s", body="t", html=html, attachments=items)
    assert outbox == []


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: inline_image(b"not an image", "x"), "content_type"),
        (lambda: inline_image(3, "x"), "file path"),
        (lambda: calendar_invite("BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n"), "METHOD"),
        (lambda: calendar_invite(b"\xff"), "UTF-8"),
    ],
)
def test_helpers_refuse_what_they_cannot_make(call, error):
    with pytest.raises((TypeError, ValueError), match=error):
        call()


def test_invitation_reads_back_as_the_same_event():
    icalendar = pytest.importorskip("icalendar")
    built = build(body="Join us", attachments=[calendar_invite(ICS)])
    assert '\nContent-Type: text/calendar; method=REQUEST; charset="utf-8"\n' in built.as_string()
    msg = parsed(built)
    shown = msg.get_body(("calendar",))
    assert shown.get_param("method") == "REQUEST"
    (attached,) = msg.iter_attachments()
    assert attached.get_content_type() == "application/ics"
    assert shown.get_content().encode() == attached.get_content() == ICS.encode()
    event = icalendar.Calendar.from_ical(shown.get_content()).walk("VEVENT")[0]
    assert (str(event["SUMMARY"]), str(event["UID"])) == ("季度评审 review", "42@example.com")


@pytest.fixture
def eml(tmp_path):
    msg = build(
        html=HTML, attachments=[inline_image(RED, "logo", "标志.png"), inline_image(RED, "chart")]
    )
    path = tmp_path / "mail.eml"
    path.write_bytes(msg.as_bytes())
    return path


@pytest.mark.skipif(shutil.which("ripmime") is None, reason="ripmime not installed")
def test_ripmime_finds_the_images(eml, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    subprocess.run(["ripmime", "-i", str(eml), "-d", str(out)], check=True, capture_output=True)
    assert (out / "标志.png").read_bytes() == (out / "chart.png").read_bytes() == RED


@pytest.mark.skipif(shutil.which("mu") is None, reason="mu (GMime) not installed")
def test_gmime_finds_the_images(eml, tmp_path):
    listing = subprocess.run(["mu", "extract", str(eml)], capture_output=True, text=True).stdout
    assert " 标志.png " in listing and " chart.png " in listing
    subprocess.run(
        ["mu", "extract", "--save-all", f"--target-dir={tmp_path}", str(eml)],
        check=True,
        capture_output=True,
    )
    assert (tmp_path / "标志.png").read_bytes() == RED


BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(not BROWSER, reason="needs headless Chromium")
@pytest.mark.parametrize("width, scheme", [(600, "light"), (375, "dark")])
def test_builtin_logo_shows_at_both_widths_and_in_dark_mode(
    smtp_plain, trust_ca, tmp_path, width, scheme
):
    smtp_plain.reset()
    smtp_plain.mailer().send_template(
        "you@example.com",
        "{{ title }}",
        "notification",
        {"title": "Build finished", "message": "ok", "logo": "logo", "product_name": "Acme"},
        attachments=[inline_image(RED, "logo")],
    )
    (sent,) = smtp_plain.messages
    images = [
        {"cid": i.cid, "content_type": i.content_type, "data": i.data} for i in sent.inline_images
    ]
    page = tmp_path / "mail.html"
    script = """<script>window.onload = () => {
      const img = document.querySelector("img"), tile = img.parentElement;
      document.body.dataset.seen = [img.complete && img.naturalWidth, img.height,
        img.getBoundingClientRect().right <= innerWidth,
        matchMedia("(prefers-color-scheme: dark)").matches,
        getComputedStyle(tile).backgroundColor].join(";");
    };</script>"""
    page.write_text(with_images_shown(sent.html, images) + script, encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    flags = [
        f"--window-size={width},900",
        "--blink-settings=preferredColorScheme=" + ("0" if scheme == "dark" else "1"),
    ]
    dom = subprocess.run(
        [
            BROWSER,
            "--headless=new",
            "--no-sandbox",
            "--disable-gpu",
            *flags,
            "--dump-dom",
            page.as_uri(),
        ],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    ).stdout
    natural, height, inside, dark, tile = re.search(r'data-seen="([^"]*)"', dom)[1].split(";")
    assert (natural, height, inside) == ("8", "40", "true")
    assert dark == ("true" if scheme == "dark" else "false")
    assert tile == "rgb(255, 255, 255)"  # a light tile under the logo in either scheme


CASES = [
    ("verification_code", {"code": "1", "expires": "10 分钟"}, "valid_minutes"),
    ("verification_code", {"valid_minutes": 10}, "code"),
    ("alert", {"severity": "critical", "title": "t", "message": "m"}, "summary"),
    ("action_link", {"title": "t", "message": "m", "label": "Go"}, "link"),
    ("notification", {"action_url": "https://example.com", "title": "  "}, "title / message"),
]


@pytest.mark.parametrize("suffix", ["html", "txt"])
@pytest.mark.parametrize("name, context, missing", CASES)
def test_builtins_refuse_to_render_with_a_hole(name, context, missing, suffix):
    with pytest.raises(MissingVariableError) as raised:
        TemplateEngine().render(f"{name}.{suffix}", context)
    text = str(raised.value)
    assert f"'{name}'" in text and f"variable {missing};" in text and "(required)" in text


def test_send_template_sends_nothing_for_a_builtin_with_a_hole(tmp_path, capsys):
    mailer = EasyMailer("h", 465, "me@example.com", "pw")
    with capture(mailer) as outbox, pytest.raises(MissingVariableError, match="summary"):
        mailer.send_template("you@example.com", "s", "alert", {"title": "t", "severity": "info"})
    assert outbox == []
    # an own template of the same kind keeps Jinja2's rule: a missing name is empty
    (tmp_path / "alert.html").write_text("[{{ summary }}]", encoding="utf-8")
    assert TemplateEngine(str(tmp_path)).render("alert.html", {}) == "[]"
    context = tmp_path / "ctx.json"
    context.write_text('{"title": "t", "severity": "info"}', encoding="utf-8")
    assert (
        main(
            ["--lang", "en", "preview", "alert", "--context", str(context), "--out", str(tmp_path)]
        )
        == 1
    )
    assert main(["--lang", "en", "lint", "--builtin", "--context", str(context)]) == 1
    out = capsys.readouterr().out
    assert out.count("needs the variable summary") == 1 + 2  # preview, then lint's html and txt


def test_preview_shows_the_images_and_lint_checks_the_references(tmp_path, capsys):
    (tmp_path / "logo.png").write_bytes(RED)
    (tmp_path / "card.html").write_text(
        '<img src="cid:{{ logo }}"><img src="cid:missing">', encoding="utf-8"
    )
    (tmp_path / "card.txt").write_text("card", encoding="utf-8")
    (tmp_path / "card.json").write_text('{"logo": "logo"}', encoding="utf-8")
    image = f"logo={tmp_path / 'logo.png'}"
    argv = [
        "--lang",
        "en",
        "preview",
        "card",
        "--template-dir",
        str(tmp_path),
        "--out",
        str(tmp_path / "out"),
    ]
    assert main(argv + ["--image", image]) == 0
    shown = (tmp_path / "out" / "card.html").read_text(encoding="utf-8")
    assert shown.startswith('<img src="data:image/png;base64,') and 'src="cid:missing"' in shown
    eml = email.message_from_bytes(
        (tmp_path / "out" / "card.eml").read_bytes(), policy=email.policy.default
    )
    assert [p["Content-ID"] for p in eml.walk() if p["Content-ID"]] == ["<logo>"]
    capsys.readouterr()
    assert (
        main(
            [
                "--lang",
                "en",
                "lint",
                str(tmp_path),
                "--image",
                image,
                "--image",
                f"spare={tmp_path / 'logo.png'}",
            ]
        )
        == 1
    )
    out = capsys.readouterr().out
    assert "cid:missing shows no image" in out and "'spare' is never shown" in out
    assert "cid:logo shows" not in out
