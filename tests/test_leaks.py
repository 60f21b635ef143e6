"""Calling each operation many times, on its success path and on its error
paths, leaves memory and the reference counts of its arguments flat.

The two send operations are measured with their steps stubbed on the
instance: what is measured is their own glue (binding, look-ups, calls), and
each step has cases of its own.  Each case first shows that it reaches the
outcome it is meant to measure."""

import email.generator
import gc
import sys
import tracemalloc
from email.mime.multipart import MIMEMultipart

import jinja2
import pytest

import brisvane.mailer as mailer_module
from brisvane import EasyMailer, TemplateEngine

pytestmark = pytest.mark.slow

CALLS = 2000
# The interpreter's free lists (2000 tuples of each size, and others) fill up
# during this many calls first; after that memory is flat.
WARM_UP = 2500
# One object leaked per call would show as CALLS objects and more than twice
# this many bytes in each window.
MAX_GROWTH_BYTES = 24 * 1024
MAX_GROWTH_OBJECTS = CALLS // 10
# Reference counts need no warm-up: one leaked reference per call shows at once.
REFCOUNT_CALLS = 200


def _sanitized() -> bool:
    """True under AddressSanitizer, which looks for memory errors, not growth."""
    with open("/proc/self/maps") as maps:
        return "libasan" in maps.read()


SANITIZED = _sanitized()


class StubSMTP:
    """A connection that accepts everything, or refuses the login."""

    refuse_login = False

    def __init__(self, *args, **kwargs):
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def starttls(self, **kwargs):
        pass

    def login(self, username, password):
        if self.refuse_login:
            raise PermissionError("refused")

    def sendmail(self, sender, recipients, text):
        return {}


class StubModule:
    SMTP = SMTP_SSL = StubSMTP

    @staticmethod
    def create_default_context():
        return None


class RefusingSMTP(StubSMTP):
    refuse_login = True


class RefusingModule(StubModule):
    SMTP = SMTP_SSL = RefusingSMTP


class StrSub(str):
    pass


class DictSub(dict):
    pass


@pytest.fixture
def world(tmp_path, monkeypatch):
    (tmp_path / "t.html").write_text("<p>{{ n }}</p>")
    (tmp_path / "t.txt").write_text("{{ n }}")
    attachment = tmp_path / "a.txt"
    attachment.write_bytes(b"data")
    monkeypatch.setattr(mailer_module, "smtplib", StubModule)
    monkeypatch.setattr(mailer_module, "ssl", StubModule)
    # A fixed MIME boundary: a new random one per message fills the regular
    # expression cache of the standard library, whose churn would hide a leak.
    monkeypatch.setattr(
        email.generator.Generator,
        "_make_boundary",
        classmethod(lambda cls, text=None: "==boundary=="),
    )
    m = EasyMailer("h", 465, "u@example.com", "pw", template_dir=str(tmp_path))
    engine = TemplateEngine(str(tmp_path))
    # The send operations' own glue: every step they call is a stub.
    glue = EasyMailer("h", 465, "u@example.com", "pw", template_dir=str(tmp_path))
    built = MIMEMultipart()
    glue._build_message = (
        lambda to, subject, body, html, cc, sender, sender_name, attachments, reply_to: built
    )
    glue._collect_recipients = lambda to, cc, bcc: [to]
    glue._do_send = lambda msg, recipients, sender: None
    glue._template_engine = type(
        "Engine",
        (),
        {
            "render": lambda self, name, context: name,
            "render_string": lambda self, text, context: text,
        },
    )()
    glue_send = glue.send
    glue.send = (
        lambda to, subject, body, html, cc, bcc, sender, sender_name, attachments, reply_to: None
    )
    args = dict(
        to=["a@example.com", "张三 <zs@example.com>"],
        subject="主题",
        body="正文",
        html="<p>x</p>",
        context={"n": 1, "occurred_at": "now"},
        item={"filename": "报告.pdf", "data": b"%PDF"},
        path=str(attachment),
        sub=StrSub("s"),
        dsub=DictSub(filename="x", data=b""),
        bad_item={"data": b""},
        missing=str(tmp_path / "missing.txt"),
        injected="x\r\nBcc: evil@example.com",
        recipients=["a@example.com"],
    )
    return (m, glue, glue_send), engine, args


def cases(mailers, engine, a):
    m, glue, glue_send = mailers

    def refused_login():
        # rebound directly: monkeypatch keeps a record of every change
        mailer_module.smtplib = RefusingModule
        try:
            m._do_send(MIMEMultipart(), a["recipients"], "s@example.com")
        finally:
            mailer_module.smtplib = StubModule

    # name: (call, the exception it is meant to raise, or None for success)
    return {
        "init": (
            lambda: EasyMailer("h", 465.0, "u", "pw", use_ssl=0, template_dir=a["path"]),
            None,
        ),
        "init conflict": (lambda: EasyMailer("h", 465, "u", "pw", use_tls=True), ValueError),
        "init port type": (lambda: EasyMailer("h", a["subject"], "u", "pw"), TypeError),
        "init count": (lambda: EasyMailer("h", 465), TypeError),
        "send": (
            lambda: glue_send(
                a["to"],
                a["subject"],
                a["body"],
                a["html"],
                cc=a["to"],
                bcc=a["recipients"],
                attachments=[a["item"], a["path"]],
            ),
            None,
        ),
        "send subclass": (lambda: m.send(a["to"], a["sub"]), TypeError),
        "send keyword": (lambda: m.send(a["to"], a["subject"], nope=1), TypeError),
        "send twice": (lambda: m.send(a["to"], a["subject"], to=a["to"]), TypeError),
        "send injected": (lambda: m.send(a["to"], a["injected"]), ValueError),
        "send missing file": (
            lambda: m.send(a["to"], a["subject"], attachments=[a["missing"]]),
            FileNotFoundError,
        ),
        "send_template": (lambda: glue.send_template(a["to"], "{{ n }}", "t", a["context"]), None),
        "send_template syntax": (
            lambda: m.send_template(a["to"], "{{", "t", a["context"]),
            jinja2.TemplateSyntaxError,
        ),
        "build_message": (
            lambda: m._build_message(
                a["to"],
                a["subject"],
                a["body"],
                a["html"],
                a["to"],
                None,
                "王五",
                [a["item"]],
                "r@x",
            ),
            None,
        ),
        "collect_recipients": (lambda: EasyMailer._collect_recipients(a["to"], "c", a["to"]), None),
        "collect_recipients bad": (
            lambda: EasyMailer._collect_recipients(5, None, None),
            TypeError,
        ),
        "attach_file": (lambda: EasyMailer._attach_file(MIMEMultipart(), a["path"]), None),
        "attach_file missing": (
            lambda: EasyMailer._attach_file(MIMEMultipart(), a["missing"]),
            FileNotFoundError,
        ),
        "attach_binary": (lambda: EasyMailer._attach_binary(MIMEMultipart(), a["item"]), None),
        "attach_binary key": (
            lambda: EasyMailer._attach_binary(MIMEMultipart(), a["bad_item"]),
            KeyError,
        ),
        "attach_binary subclass": (
            lambda: EasyMailer._attach_binary(MIMEMultipart(), a["dsub"]),
            TypeError,
        ),
        "do_send": (lambda: m._do_send(MIMEMultipart(), a["recipients"], "s@example.com"), None),
        "do_send refused login": (refused_login, PermissionError),
        "render": (lambda: engine.render("t.html", a["context"]), None),
        "render missing": (lambda: engine.render("none.html", a["context"]), None),
        "render_string": (lambda: engine.render_string("{{ n }}", a["context"]), None),
        "render_string subclass": (lambda: engine.render_string("x", a["dsub"]), TypeError),
        "engine count": (lambda: engine.render("t.html"), TypeError),
    }


CASE_NAMES = list(cases([None] * 3, None, None).keys())


def checked_case(world, name):
    """The case's call, once it has been seen to reach its intended outcome,
    and a runner that expects that outcome every time."""
    mailers, engine, args = world
    call, expected = cases(mailers, engine, args)[name]
    if expected is None:
        call()
    else:
        with pytest.raises(expected):
            call()

    caught = expected or ()

    def run(times):
        for _ in range(times):
            try:
                call()
            except caught:
                pass

    return args, run


@pytest.mark.parametrize("name", CASE_NAMES)
def test_reference_counts_flat(world, name):
    args, run = checked_case(world, name)
    run(1)
    gc.collect()
    refcounts = {k: sys.getrefcount(v) for k, v in args.items()}
    run(REFCOUNT_CALLS)
    gc.collect()
    assert {k: sys.getrefcount(v) for k, v in args.items()} == refcounts


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer looks for memory errors, not growth")
@pytest.mark.parametrize("name", CASE_NAMES)
def test_memory_flat(world, name):
    args, run = checked_case(world, name)
    # Traced from the start, so that objects the standard library's caches
    # evict later (compiled boundary patterns, say) count when they go.
    tracemalloc.start()
    try:
        run(WARM_UP)
        gc.collect()
        objects = len(gc.get_objects())
        # Two windows: a leak grows both alike, while the allocator's and the
        # interpreter's own caches settle within the first.
        growth = []
        for _ in range(2):
            before = tracemalloc.get_traced_memory()[0]
            run(CALLS)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    assert len(gc.get_objects()) - objects < MAX_GROWTH_OBJECTS
    assert min(growth) < MAX_GROWTH_BYTES, growth
