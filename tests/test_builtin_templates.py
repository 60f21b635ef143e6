"""The built-in templates: each documents its context at its top, renders
every value it is given, and leaves nothing undefined or empty behind."""

import re

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
    return set(re.findall(r"^\s{4}(\w+)\s{2,}", head, re.M)) | set(COMMON)


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
    # names the templates bind themselves: the button macro, loop and block variables
    return names - {"button", "colour", "colours", "rows"}


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
    assert set(SAMPLES[name]) | set(COMMON) == documented(name)


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
        assert "<p style=\"margin:0 0 14px;\"></p>" not in text


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


def test_caller_data_is_escaped(engine):
    context = {**COMMON, "title": "<b>Tom & Jerry</b>", "message": "<script>x</script>"}
    html = engine.render("notification.html", context)
    text = engine.render("notification.txt", context)
    assert "&lt;b&gt;Tom &amp; Jerry&lt;/b&gt;" in html and "<script>x" not in html
    assert "<b>Tom & Jerry</b>" in text  # plain text is not HTML


def test_send_template_with_a_builtin(smtp_plain, trust_ca):
    smtp_plain.messages.clear()
    smtp_plain.mailer().send_template(
        "to@example.com", "Your code: {{ code }}", "verification_code",
        {"code": "482913", "valid_minutes": 10},
    )
    msg = smtp_plain.messages[0].message
    assert msg["Subject"] == "Your code: 482913"
    assert "482913" in msg.get_body(("plain",)).get_content()
    assert "482913" in msg.get_body(("html",)).get_content()
