"""Calling each operation many times, on its success path and on its error
paths, leaves memory and the reference counts of its arguments flat."""

import email.generator
import gc
import sys
import tracemalloc
from email.mime.multipart import MIMEMultipart

import pytest

import brisvane.mailer as mailer_module
from brisvane import EasyMailer, TemplateEngine

CALLS = 2000
# The interpreter's free lists (2000 tuples of each size, and others) fill up
# during this many calls first; after that memory is flat.
WARM_UP = 2500
# One object leaked per call would show as CALLS objects and more than twice
# this many bytes in each window.
MAX_GROWTH_BYTES = 24 * 1024
MAX_GROWTH_OBJECTS = CALLS // 10


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
    monkeypatch.setattr(email.generator.Generator, "_make_boundary",
                        classmethod(lambda cls, text=None: "==boundary=="))
    m = EasyMailer("h", 465, "u@example.com", "pw", template_dir=str(tmp_path))
    engine = TemplateEngine(str(tmp_path))
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
    return m, engine, args, monkeypatch


def cases(m, engine, a, monkeypatch):
    def refused_login():
        # rebound directly: monkeypatch keeps a record of every change
        mailer_module.smtplib = RefusingModule
        try:
            m._do_send(MIMEMultipart(), a["recipients"], "s@example.com")
        finally:
            mailer_module.smtplib = StubModule

    return {
        "init": lambda: EasyMailer("h", 465.0, "u", "pw", use_ssl=0, template_dir=a["path"]),
        "init conflict": lambda: EasyMailer("h", 465, "u", "pw", use_tls=True),
        "init port type": lambda: EasyMailer("h", a["subject"], "u", "pw"),
        "init count": lambda: EasyMailer("h", 465),
        "send": lambda: m.send(a["to"], a["subject"], a["body"], a["html"], cc=a["to"],
                               bcc=a["recipients"], attachments=[a["item"], a["path"]]),
        "send subclass": lambda: m.send(a["to"], a["sub"]),
        "send keyword": lambda: m.send(a["to"], a["subject"], nope=1),
        "send twice": lambda: m.send(a["to"], a["subject"], to=a["to"]),
        "send injected": lambda: m.send(a["to"], a["injected"]),
        "send missing file": lambda: m.send(a["to"], a["subject"], attachments=[a["missing"]]),
        "send_template": lambda: m.send_template(a["to"], "{{ n }}", "t", a["context"]),
        "send_template syntax": lambda: m.send_template(a["to"], "{{", "t", a["context"]),
        "build_message": lambda: m._build_message(a["to"], a["subject"], a["body"], a["html"],
                                                  a["to"], None, "王五", [a["item"]], "r@x"),
        "collect_recipients": lambda: EasyMailer._collect_recipients(a["to"], "c", a["to"]),
        "collect_recipients bad": lambda: EasyMailer._collect_recipients(5, None, None),
        "attach_file": lambda: EasyMailer._attach_file(MIMEMultipart(), a["path"]),
        "attach_file missing": lambda: EasyMailer._attach_file(MIMEMultipart(), a["missing"]),
        "attach_binary": lambda: EasyMailer._attach_binary(MIMEMultipart(), a["item"]),
        "attach_binary key": lambda: EasyMailer._attach_binary(MIMEMultipart(), a["bad_item"]),
        "attach_binary subclass": lambda: EasyMailer._attach_binary(MIMEMultipart(), a["dsub"]),
        "do_send": lambda: m._do_send(MIMEMultipart(), a["recipients"], "s@example.com"),
        "do_send refused login": refused_login,
        "render": lambda: engine.render("t.html", a["context"]),
        "render missing": lambda: engine.render("none.html", a["context"]),
        "render_string": lambda: engine.render_string("{{ n }}", a["context"]),
        "render_string subclass": lambda: engine.render_string("x", a["dsub"]),
        "engine count": lambda: engine.render("t.html"),
    }


CASE_NAMES = list(cases(*[None] * 3, None).keys())


def run(call, times):
    for _ in range(times):
        try:
            call()
        except Exception:
            pass


@pytest.mark.parametrize("name", CASE_NAMES)
def test_no_leak(world, name):
    m, engine, args, monkeypatch = world
    call = cases(m, engine, args, monkeypatch)[name]
    # Traced from the start, so that objects the standard library's caches
    # evict later (compiled boundary patterns, say) count when they go.
    tracemalloc.start()
    try:
        run(call, WARM_UP)
        gc.collect()
        refcounts = {k: sys.getrefcount(v) for k, v in args.items()}
        objects = len(gc.get_objects())
        # Two windows: a leak grows both alike, while the allocator's and the
        # interpreter's own caches settle within the first.
        growth = []
        for _ in range(2):
            before = tracemalloc.get_traced_memory()[0]
            run(call, CALLS)
            gc.collect()
            growth.append(tracemalloc.get_traced_memory()[0] - before)
    finally:
        tracemalloc.stop()
    assert {k: sys.getrefcount(v) for k, v in args.items()} == refcounts
    assert len(gc.get_objects()) - objects < MAX_GROWTH_OBJECTS
    assert min(growth) < MAX_GROWTH_BYTES, growth
