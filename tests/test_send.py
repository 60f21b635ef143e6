"""send and send_template: what they hand to the operations they call, looked
up on the instance at each call, and the template context rules."""

import re

import jinja2
import pytest

from brisvane import EasyMailer

STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")


@pytest.fixture
def mailer():
    return EasyMailer(
        "smtp.example.com", 465, "me@example.com", "pw", default_sender="d@example.com"
    )


def record(instance, *names):
    """Replace the named operations on the instance by recorders."""
    calls = []
    for name in names:

        def recorder(*args, _name=name, **kwargs):
            calls.append((_name, args, kwargs))
            return f"<{_name}>"

        setattr(instance, name, recorder)
    return calls


def test_send_hands_each_step_its_arguments(mailer):
    calls = record(mailer, "_build_message", "_collect_recipients", "_do_send")
    assert mailer.send("t@x", "s", "b", "h", "c@x", "bcc@x", "", "N", [], "r@x") is None
    assert calls == [
        (
            "_build_message",
            (),
            dict(
                to="t@x",
                subject="s",
                body="b",
                html="h",
                cc="c@x",
                sender="",
                sender_name="N",
                attachments=[],
                reply_to="r@x",
            ),
        ),
        ("_collect_recipients", ("t@x", "c@x", "bcc@x"), {}),
        # an empty sender falls back to the configured default sender
        ("_do_send", ("<_build_message>", "<_collect_recipients>", "d@example.com"), {}),
    ]
    assert list(calls[0][2]) == [
        "to",
        "subject",
        "body",
        "html",
        "cc",
        "sender",
        "sender_name",
        "attachments",
        "reply_to",
    ]


def test_send_reads_default_sender_at_call_time(mailer):
    calls = record(mailer, "_build_message", "_collect_recipients", "_do_send")
    mailer.default_sender = "later@example.com"
    mailer.send("t@x", "s")
    mailer.send("t@x", "s", sender="explicit@example.com")
    assert [c[1][2] for c in calls if c[0] == "_do_send"] == [
        "later@example.com",
        "explicit@example.com",
    ]


def test_subclass_overrides_are_used():
    seen = []

    class Mine(EasyMailer):
        def _do_send(self, msg, recipients, sender):
            seen.append((msg["Subject"], recipients, sender))

    Mine("h", 465, "u@x", "pw").send(["a@x"], "hello", body="b", bcc="z@x")
    assert seen == [("hello", ["a@x", "z@x"], "u@x")]


def test_failure_while_composing_sends_nothing(mailer):
    calls = record(mailer, "_do_send")
    with pytest.raises(TypeError):
        mailer.send(["ok@x", 5], "s", body="b")
    with pytest.raises(TypeError):
        mailer.send("t@x", "s", attachments=("not", "a list"))
    assert calls == []


class Engine:
    """Stands in for the instance's TemplateEngine, recording renderings."""

    def __init__(self, missing=(), fail=None):
        self.calls = []
        self.missing = missing
        self.fail = fail

    def render(self, name, context):
        self.calls.append(("render", name, dict(context)))
        if name == self.fail:
            raise jinja2.TemplateSyntaxError("bad", 1)
        return None if name in self.missing else f"[{name}]"

    def render_string(self, source, context):
        self.calls.append(("render_string", source, dict(context)))
        return f"[{source}]"


def test_send_template_renders_then_sends(mailer):
    engine = mailer._template_engine = Engine()
    calls = record(mailer, "send")
    mailer.send_template(
        "t@x", "Hi {{ n }}", "welcome.html", {"n": 1}, "c@x", "b@x", "s@x", "N", ["f"], "r@x"
    )
    assert [c[:2] for c in engine.calls] == [
        ("render", "welcome.html.html"),
        ("render", "welcome.html.txt"),
        ("render_string", "Hi {{ n }}"),  # an engine without a Jinja2 env: as it is
    ]
    assert calls == [
        (
            "send",
            (),
            dict(
                to="t@x",
                subject="[Hi {{ n }}]",
                body="[welcome.html.txt]",
                html="[welcome.html.html]",
                cc="c@x",
                bcc="b@x",
                sender="s@x",
                sender_name="N",
                attachments=["f"],
                reply_to="r@x",
            ),
        )
    ]


@pytest.mark.parametrize(
    "missing, body, html",
    [
        ({"w.txt"}, None, "[w.html]"),
        ({"w.html"}, "[w.txt]", None),
        ({"w.html", "w.txt"}, None, None),
    ],
)
def test_missing_templates_become_absent_bodies(mailer, missing, body, html):
    mailer._template_engine = Engine(missing=missing)
    calls = record(mailer, "send")
    mailer.send_template("t@x", "s", "w")
    assert (calls[0][2]["body"], calls[0][2]["html"]) == (body, html)


@pytest.mark.parametrize("context", [None, {}])
def test_empty_context_gets_a_new_dict(mailer, context):
    engine = mailer._template_engine = Engine()
    record(mailer, "send")
    mailer.send_template("t@x", "s", "w", context)
    assert context in (None, {})
    seen = [c[2] for c in engine.calls]
    assert all(list(c) == ["occurred_at"] and STAMP.match(c["occurred_at"]) for c in seen)


def test_context_gains_occurred_at_unless_present(mailer):
    mailer._template_engine = Engine()
    record(mailer, "send")
    context = {"n": 1}
    mailer.send_template("t@x", "s", "w", context)
    assert list(context) == ["n", "occurred_at"] and STAMP.match(context["occurred_at"])
    kept = {"occurred_at": 42}
    mailer.send_template("t@x", "s", "w", kept)
    assert kept == {"occurred_at": 42}


def test_template_error_stops_before_sending(mailer):
    engine = mailer._template_engine = Engine(fail="w.html")
    calls = record(mailer, "send")
    context = {"n": 1}
    with pytest.raises(jinja2.TemplateSyntaxError):
        mailer.send_template("t@x", "s", "w", context)
    assert [c[1] for c in engine.calls] == ["w.html"] and calls == []
    assert "occurred_at" in context


@pytest.mark.parametrize(
    "kwargs, text",
    [
        (dict(subject=None), "Argument 'subject' has incorrect type (expected str, got NoneType)"),
        (
            dict(template_name=None),
            "Argument 'template_name' has incorrect type (expected str, got NoneType)",
        ),
        (dict(context=[]), "Argument 'context' has incorrect type (expected dict, got list)"),
    ],
)
def test_send_template_checks_before_touching_the_context(mailer, kwargs, text):
    engine = mailer._template_engine = Engine()
    args = dict(to="t@x", subject="s", template_name="w", context={"n": 1}) | kwargs
    with pytest.raises(TypeError) as info:
        mailer.send_template(**args)
    assert str(info.value) == text
    assert engine.calls == []
    if isinstance(args["context"], dict):
        assert "occurred_at" not in args["context"]


def test_rendered_subject_is_checked_like_any_header(tmp_path):
    (tmp_path / "w.txt").write_text("body")
    m = EasyMailer("h", 465, "u@x", "pw", template_dir=str(tmp_path))
    calls = record(m, "_do_send")
    with pytest.raises(ValueError, match="linefeed or carriage return"):
        m.send_template("t@x", "{{ s }}", "w", {"s": "x\r\nBcc: evil@x"})
    assert calls == []
