"""The built-in templates: each documents its context at its top, renders
every value it is given, and leaves nothing undefined or empty behind; each
speaks English and Chinese, keeps long words inside its card at 600 and 375
pixels, and keeps its text readable in light and dark mode."""

import html as htmllib
import os
import re
import shutil
import subprocess

import jinja2
import jinja2.meta
import pytest

from brisvane import TemplateEngine
from brisvane.template import _DEFAULT_TEMPLATE_DIR

COMMON = {
    "product_name": "Acme 云",
    "greeting": "张三，您好",
    "footer": "You receive this because you have an Acme account.",
    "occurred_at": "2026-12-09 14:03:00",
}
SAMPLES = {
    "notification": {
        "title": "Build finished",
        "message": "Build #42 passed.\n\nAll 120 tests ran.",
        "action_url": "https://ci.example.com/builds/42",
        "action_label": "View build",
    },
    "verification_code": {"code": "482913", "valid_minutes": 10, "purpose": "sign in"},
    "action_link": {
        "title": "Reset your password",
        "message": "Someone asked to reset the password of your account.",
        "link": "https://example.com/reset/abc",
        "label": "Reset password",
        "expires": "in 30 minutes",
    },
    "alert": {
        "severity": "critical",
        "summary": "Disk almost full on db-1",
        "details": {"host": "db-1", "usage": "97%"},
        "source": "monitor-eu",
    },
}
REQUIRED = {
    "notification": {"title", "message"},
    "verification_code": {"code", "valid_minutes"},
    "action_link": {"title", "message", "link", "label"},
    "alert": {"severity", "summary"},
}
NAMES = sorted(SAMPLES)


def documented(name):
    """The context variables listed in the comment at the top of NAME.html."""
    head = (_DEFAULT_TEMPLATE_DIR / f"{name}.html").read_text().split("-#}")[0]
    common = set(COMMON) | ({"locale", "logo"} if "common locale" in head else set())
    return set(re.findall(r"^\s{4}(\w+)\s{2,}", head, re.M)) | common


def used(name, suffix):
    """Every variable the template and the templates it pulls in read."""
    env = jinja2.Environment(loader=jinja2.FileSystemLoader(str(_DEFAULT_TEMPLATE_DIR)))
    seen, todo, names = set(), [f"{name}.{suffix}"], set()
    while todo:
        current = todo.pop()
        seen.add(current)
        source = env.loader.get_source(env, current)[0]
        tree = env.parse(source)
        names |= jinja2.meta.find_undeclared_variables(tree)
        todo += [t for t in jinja2.meta.find_referenced_templates(tree) if t not in seen]
    # names the templates bind themselves (the button macro, loop and block
    # variables) and the engine's own check of the required ones
    bound = {"button", "paragraphs", "loc", "colour", "colours", "rows", "brisvane_required"}
    return names - bound


def values(context):
    for value in context.values():
        if isinstance(value, dict):
            yield from map(str, value.keys())
            yield from map(str, value.values())
        else:
            yield from str(value).split("\n\n")


@pytest.fixture(scope="module")
def engine():
    return TemplateEngine()


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("suffix", ["html", "txt"])
def test_templates_read_only_documented_variables(name, suffix):
    assert used(name, suffix) <= documented(name)
    assert set(SAMPLES[name]) | set(COMMON) | {"locale", "logo"} == documented(name)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("suffix", ["html", "txt"])
def test_every_value_is_shown(engine, name, suffix):
    context = {**COMMON, **SAMPLES[name]}
    text = engine.render(f"{name}.{suffix}", context)
    for value in values(context):
        assert value.lower() in text.lower(), value
    assert "None" not in text and "{{" not in text and "{%" not in text


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("suffix", ["html", "txt"])
def test_optional_values_may_be_missing(engine, name, suffix):
    context = {k: v for k, v in SAMPLES[name].items() if k in REQUIRED[name]}
    context["occurred_at"] = COMMON["occurred_at"]
    text = engine.render(f"{name}.{suffix}", context)
    for value in values(context):
        assert value.lower() in text.lower()
    assert "None" not in text and "Undefined" not in text
    if suffix == "html":
        assert '<p style="margin:0 0 14px;"></p>' not in text


def test_alert_details_may_be_pairs(engine):
    context = {**COMMON, **SAMPLES["alert"], "details": [("region", "eu-west"), ("load", 3.5)]}
    for suffix in ("html", "txt"):
        text = engine.render(f"alert.{suffix}", context)
        assert all(v in text for v in ("region", "eu-west", "load", "3.5"))


@pytest.mark.parametrize("name", NAMES)
def test_html_is_fit_for_mail_clients(engine, name):
    html = engine.render(f"{name}.html", {**COMMON, **SAMPLES[name]})
    assert "<script" not in html.lower()
    assert not re.search(r"""(src|href)=["']?(?!https://(ci\.)?example\.com)(https?:)?//""", html)
    assert "max-width:600px" in html and 'role="presentation"' in html
    assert 'name="color-scheme" content="light dark"' in html


def test_caller_data_is_escaped_in_html(engine):
    context = {**COMMON, "title": "<b>Tom & Jerry</b>", "message": "<script>x</script>"}
    html = engine.render("notification.html", context)
    assert "&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;" in html and "<script>x" not in html


@pytest.mark.parametrize("locale", ["en", "zh"])
def test_text_bodies_carry_values_as_given(engine, locale):
    link = "https://example.com/reset?token=x&uid=1"
    context = {
        "locale": locale,
        "title": "Tom & Jerry's <Shop>",
        "message": "p99 > 800 ms",
        "link": link,
        "label": "Reset & go",
        "expires": "in 5 > 4 minutes",
        "occurred_at": "now",
    }
    text = engine.render("action_link.txt", context)
    assert "&amp;" not in text and "&gt;" not in text and "&#39;" not in text
    for value in ("Tom & Jerry's <Shop>", "p99 > 800 ms", link, "Reset & go", "5 > 4"):
        assert value in text


@pytest.mark.parametrize(
    "locale, heading", [(None, "Your verification code"), ("zh-CN", "您的验证码")]
)
def test_send_template_with_a_builtin(smtp_plain, trust_ca, locale, heading):
    smtp_plain.messages.clear()
    context = {"code": "482913", "valid_minutes": 10}
    if locale:
        context["locale"] = locale
    smtp_plain.mailer().send_template(
        "to@example.com",
        "Your code: {{ code }}",
        "verification_code",
        context,
    )
    msg = smtp_plain.messages[0].message
    assert msg["Subject"] == "Your code: 482913"
    for kind in ("plain", "html"):
        body = msg.get_body((kind,)).get_content()
        assert "482913" in body and heading in body


# --- languages -------------------------------------------------------------

ZH_SAMPLES = {
    "notification": {
        "title": "构建完成",
        "message": "第 42 次构建通过。",
        "action_url": "https://ci.example.com/builds/42",
    },
    "verification_code": {"code": "482913", "valid_minutes": 10, "purpose": "登录"},
    "action_link": {
        "title": "重置密码",
        "message": "有人请求重置密码。",
        "link": "https://example.com/reset/abc",
        "label": "重置密码",
        "expires": "30 分钟后",
    },
    "alert": {
        "severity": "critical",
        "summary": "一号数据库磁盘将满",
        "details": {"使用率": "97%"},
        "source": "监控",
    },
}
ZH_COMMON = {
    "product_name": "云",
    "greeting": "张三，您好",
    "footer": "页脚",
    "occurred_at": "2026-12-09 14:03:00",
}
EN_COMMON = {**COMMON, "product_name": "Acme", "greeting": "Hi Zhang San"}


def visible(text):
    """The words a reader sees: no head, no tags, no links."""
    text = re.sub(r"<head>.*</head>", "", text, flags=re.S)
    text = htmllib.unescape(re.sub(r"<[^>]+>", " ", text))
    return re.sub(r"https?://\S+", " ", text)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("suffix", ["html", "txt"])
@pytest.mark.parametrize(
    "locale, chinese",
    [
        (None, False),
        ("en", False),
        ("fr", False),
        ("zh", True),
        ("zh-CN", True),
        ("zh_cn", True),
    ],
)
def test_locale_chooses_the_language(engine, name, suffix, locale, chinese):
    context = {
        **(ZH_COMMON if chinese else EN_COMMON),
        **(ZH_SAMPLES if chinese else SAMPLES)[name],
    }
    if locale is not None:
        context["locale"] = locale
    if name == "notification" and not chinese:
        del context["action_label"]  # the default label is the template's own word
    text = engine.render(f"{name}.{suffix}", context)
    if suffix == "html":
        assert set(re.findall(r'\slang="([^"]*)"', text)) == {"zh-CN" if chinese else "en"}
    words = visible(text)
    if chinese:
        assert not re.findall(r"[A-Za-z]{2,}", words)
    else:
        assert not re.findall(r"[\u3000-\u303f\u4e00-\u9fff\uff00-\uffef]", words)


def test_both_languages_have_every_text(engine):
    module = engine.env.get_template("_brisvane_locale.html").make_module
    english, chinese = module({"locale": "en"}).text, module({"locale": "zh"}).text
    assert english.keys() == chinese.keys() and english != chinese
    for key in english:
        fields = set(re.findall(r"{(\w+)}", str(english[key])))
        assert fields == set(re.findall(r"{(\w+)}", str(chinese[key]))), key


def test_cjk_fonts_come_before_the_generic_family(engine):
    html = engine.render("notification.html", {**COMMON, **SAMPLES["notification"]})
    stacks = set(re.findall(r"font-family:([^;\"]+)", html)) - {"'Courier New',Courier,monospace"}
    assert stacks
    for stack in stacks:
        faces = [f.strip("' ") for f in stack.split(",")]
        assert faces[-1] == "sans-serif"
        for face in ("PingFang SC", "Hiragino Sans GB", "Microsoft YaHei", "Noto Sans CJK SC"):
            assert face in faces[:-1]


# --- paragraphs ------------------------------------------------------------


@pytest.mark.parametrize("name", ["notification", "action_link"])
@pytest.mark.parametrize("newline", ["\n", "\r\n", "\r"])
def test_paragraphs_split_on_blank_lines(engine, name, newline):
    message = newline.join(["one", "two", "", "three", " ", "", "four"])
    context = {**COMMON, **SAMPLES[name], "message": message}
    html = engine.render(f"{name}.html", context)
    paragraphs = re.findall(r'<p style="margin:0 0 14px;">(.*?)</p>', html, re.S)
    start = paragraphs.index("one<br>two")
    assert paragraphs[start : start + 3] == ["one<br>two", "three", "four"]
    text = engine.render(f"{name}.txt", context)
    assert "one\ntwo\n\nthree\n \n\nfour" in text and "\r" not in text


# --- colours ---------------------------------------------------------------

# Every text colour on the background it is drawn on, light and dark mode.
TEXT_ON_BACKGROUND = [
    ("#111827", "#ffffff"),
    ("#1f2937", "#ffffff"),
    ("#6b7280", "#ffffff"),  # card
    ("#4b5563", "#f3f4f6"),  # footer on the page
    ("#ffffff", "#2563eb"),  # button
    ("#ffffff", "#b91c1c"),
    ("#ffffff", "#b45309"),
    ("#ffffff", "#1d4ed8"),  # severity
    ("#ffffff", "#374151"),
    ("#e8eaed", "#23262d"),
    ("#a8adb5", "#23262d"),  # dark card
    ("#a8adb5", "#16181c"),  # dark footer on the dark page
]
BORDERS = {"#e5e7eb", "#3a3f48"}


def luminance(colour):
    channels = [int(colour[i : i + 2], 16) / 255 for i in (1, 3, 5)]
    r, g, b = (c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4 for c in channels)
    return 0.2126 * r + 0.7152 * g + 0.0722 * b


def contrast(a, b):
    light, dark = sorted((luminance(a), luminance(b)), reverse=True)
    return (light + 0.05) / (dark + 0.05)


def test_text_contrast_is_at_least_aa():
    assert round(contrast("#6b7280", "#f3f4f6"), 2) == 4.39  # the ratio a footer once had
    for text, background in TEXT_ON_BACKGROUND:
        assert contrast(text, background) >= 4.5, (text, background)
    sources = "".join(p.read_text() for p in _DEFAULT_TEMPLATE_DIR.glob("*.html")).lower()
    listed = {c for pair in TEXT_ON_BACKGROUND for c in pair} | BORDERS
    assert set(re.findall(r"#[0-9a-f]{6}\b", sources)) == listed


# --- layout, seen by a browser --------------------------------------------

LONG_URL = "https://example.com/download?token=" + "a1b2c3d4e5f6" * 12
STRESS = {
    "notification": {
        "title": "x" * 90,
        "message": f"See {LONG_URL}\r\n\r\nDone.",
        "action_url": LONG_URL,
        "action_label": "Open " * 20,
    },
    "verification_code": {"code": "4829" * 6, "valid_minutes": 10, "purpose": "y" * 90},
    "action_link": {
        "title": "Reset",
        "message": LONG_URL,
        "link": LONG_URL,
        "label": "Reset " * 20,
        "expires": "z" * 90,
    },
    "alert": {
        "severity": "warning",
        "summary": "lag " + "replica-" * 12,
        "details": {"replication_slot_name_" * 4: "s" * 90, "url": LONG_URL},
        "source": "monitor-" * 12,
    },
}
BROWSER = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(not BROWSER, reason="needs headless Chromium")
def test_long_words_stay_inside_the_card(engine, tmp_path):
    frames = []
    for name in NAMES:
        for locale in ("en", "zh-CN"):
            page = engine.render(f"{name}.html", {**COMMON, **STRESS[name], "locale": locale})
            for width in (600, 375):
                frames.append(
                    f'<iframe id="{name} {locale} {width}" width="{width}" height="300"'
                    f' scrolling="no" srcdoc="{htmllib.escape(page)}"></iframe>'
                )
    script = """<script>window.onload = () => {
      const seen = [...document.querySelectorAll("iframe")].map(f => {
        const page = f.contentDocument.documentElement;
        return [f.id, page.scrollWidth, page.clientWidth, page.scrollHeight].join(" ");
      });
      document.body.dataset.seen = seen.join(";");
    };</script>"""
    page = tmp_path / "pages.html"
    page.write_text(f"<!DOCTYPE html><body>{''.join(frames)}{script}</body>", encoding="utf-8")
    # the browser runs without the sanitizer runtime that a sanitizer build preloads
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    dom = subprocess.run(
        [BROWSER, "--headless=new", "--no-sandbox", "--disable-gpu", "--dump-dom", page.as_uri()],
        capture_output=True,
        text=True,
        timeout=120,
        env=env,
    ).stdout
    seen = re.search(r'data-seen="([^"]*)"', dom)[1].split(";")
    assert len(seen) == len(frames)
    for row in seen:
        name, locale, width, scroll_width, client_width, height = row.split()
        assert int(scroll_width) <= int(client_width) == int(width), row
        assert int(height) < 1100, row  # nothing drawn a character per line
