"""Argument binding, entry type checks and function objects of the native classes."""

from __future__ import annotations

import email.utils
import gc
import inspect
import os
import pathlib
import pydoc
import re
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brisvane.mailer as mailer_mod
import brisvane.template as template_mod
from brisvane.mailer import EasyMailer
from brisvane.template import TemplateEngine

HERE = os.path.abspath(__file__)


class Flag:  # a false value that remembers whether its truth was tested
    def __init__(self):
        self.tested = False

    def __bool__(self):
        self.tested = True
        return False


class Sink:
    def __init__(self):
        self.parts = []

    def attach(self, part):
        self.parts.append(part)

    def as_string(self):
        return f"flat-{id(self)}"


def ns(**kw):
    return types.SimpleNamespace(**kw)


def mailer():
    return EasyMailer("smtp.example", 25, "user@example", "pw", use_ssl=False)


# ---------------------------------------------------------------- oracles
# Plain Python functions with the documented signatures; they return what they bind.
# fmt: off
def o_init(self, host, port, username, password, use_ssl=True, use_tls=False, default_sender=None, template_dir=None): return locals()  # noqa: E501,E704
def o_send(self, to, subject, body=None, html=None, cc=None, bcc=None, sender=None, sender_name=None, attachments=None, reply_to=None): return locals()  # noqa: E501,E704
def o_send_template(self, to, subject, template_name, context=None, cc=None, bcc=None, sender=None, sender_name=None, attachments=None, reply_to=None): return locals()  # noqa: E501,E704
def o_build(self, to, subject, body, html, cc, sender, sender_name, attachments, reply_to): return locals()  # noqa: E501,E704
def o_attach_file(msg, filepath): return locals()  # noqa: E704
def o_attach_binary(msg, item): return locals()  # noqa: E704
def o_collect(to, cc, bcc): return locals()  # noqa: E704
def o_do_send(self, msg, recipients, sender): return locals()  # noqa: E704
def o_t_init(self, template_dir=None): return locals()  # noqa: E704
def o_render(self, template_name, context): return locals()  # noqa: E704
def o_render_string(self, template_string, context): return locals()  # noqa: E704
def o_add_dir(self, directory): return locals()  # noqa: E704
# fmt: on


# ------------------------------------------------------- observing runners
# Each gets the call (positionals after the instance, keywords) and the value table, and
# returns the values the native operation actually bound, read back from its effects.


def run_init(args, kw, vals):
    seen = []
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(mailer_mod, "TemplateEngine", lambda *a, **k: seen.append((a, k)) or "eng")
        obj = EasyMailer.__new__(EasyMailer)
        EasyMailer.__init__(obj, *args, **kw)
    assert obj._template_engine == "eng" and len(seen) == 1 and seen[0][1] == {}
    got = {k: getattr(obj, k) for k in ("host", "port", "username", "password")}
    for flag in ("use_ssl", "use_tls"):  # a passed Flag is truth-tested and stored as False
        stored = getattr(obj, flag)
        got[flag] = vals[flag] if vals[flag].tested and stored is False else stored
    got["default_sender"] = None if obj.default_sender == obj.username else obj.default_sender
    got["template_dir"] = seen[0][0][0]
    return got


def run_send(args, kw, vals):
    inst, log, msg, rcpts = mailer(), {}, object(), ["r"]
    inst._build_message = lambda **k: log.setdefault("build", k) and msg
    inst._collect_recipients = lambda *a: log.setdefault("collect", a) and rcpts
    inst._do_send = lambda *a: log.setdefault("do", a)
    assert EasyMailer.send(inst, *args, **kw) is None
    got = dict(log["build"])
    assert list(got) == [
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
    to, cc, got["bcc"] = log["collect"]
    assert to is got["to"] and cc is got["cc"]
    assert log["do"] == (msg, rcpts, got["sender"] or inst.default_sender)
    return got


def run_send_template(args, kw, vals):
    inst, log = mailer(), {"render": []}
    inst._template_engine = ns(
        render=lambda name, ctx: log["render"].append((name, ctx)) or "R:" + name,
        render_string=lambda s, ctx: log.setdefault("string", (s, ctx)) and "S:" + s,
    )
    inst.send = lambda **k: log.setdefault("send", k)
    assert EasyMailer.send_template(inst, *args, **kw) is None
    got = dict(log["send"])
    (h, ctx), (t, ctx2) = log["render"]
    assert h.endswith(".html") and t == h[:-5] + ".txt" and ctx is ctx2 is log["string"][1]
    assert (got.pop("html"), got.pop("body")) == ("R:" + h, "R:" + t)
    got["template_name"], got["subject"] = h[:-5], log["string"][0]
    assert log["send"]["subject"] == "S:" + got["subject"]
    if ctx is not vals["context"]:  # the default: a fresh dict holding only the timestamp
        assert list(ctx) == ["occurred_at"]
        ctx = None
    got["context"] = ctx
    return got


def run_build(args, kw, vals):
    inst, items = mailer(), []
    inst._attach_file = inst._attach_binary = lambda m, item: items.append(item)
    msg = EasyMailer._build_message(inst, *args, **kw)
    name, addr = email.utils.parseaddr(msg["From"])
    plain, html = (
        p.get_payload(decode=True).decode()
        for p in msg.get_payload()[0].walk()
        if not p.is_multipart()
    )
    return {
        "to": msg["To"],
        "subject": msg["Subject"],
        "cc": msg["Cc"],
        "body": plain,
        "html": html,
        "reply_to": msg["Reply-To"],
        "sender": addr,
        "sender_name": name,
        "attachments": items,
    }


def run_attach(method, key):
    def run(args, kw, vals):
        getattr(EasyMailer, method)(*args, **kw)
        (part,) = vals["msg"].parts
        filename = os.path.basename(vals[key]) if key == "filepath" else vals[key]["filename"]
        assert part.get_filename() == filename and part.get_payload(decode=True)
        return {"msg": vals["msg"], key: vals[key]}

    return run


def run_collect(args, kw, vals):
    return dict(zip(("to", "cc", "bcc"), EasyMailer._collect_recipients(*args, **kw)))


class Marker(Exception):
    pass


class Conn:
    log = {}

    def __init__(self, *a, **k):
        self.log.clear()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def login(self, *a):
        pass

    def sendmail(self, *a):
        self.log["sendmail"] = a


def run_do_send(args, kw, vals):
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(mailer_mod, "smtplib", ns(SMTP=Conn, SMTP_SSL=Conn))
        mp.setattr(mailer_mod, "ssl", ns(create_default_context=lambda: "ctx"))
        assert EasyMailer._do_send(mailer(), *args, **kw) is None
    sender, rcpts, text = Conn.log["sendmail"]
    return {
        "msg": vals["msg"] if text == vals["msg"].as_string() else text,
        "recipients": rcpts,
        "sender": sender,
    }


def _engine_with(**env):
    obj = TemplateEngine.__new__(TemplateEngine)
    if env:
        obj._env = ns(**env)
    return obj


def run_t_init(args, kw, vals):
    obj = _engine_with()
    TemplateEngine.__init__(obj, *args, **kw)
    paths = obj._env.loader.searchpath
    assert paths[-1] == str(template_mod._DEFAULT_TEMPLATE_DIR)
    return {"template_dir": paths[0] if len(paths) == 2 else None}


def run_rendering(method, hook, argnames):
    def run(args, kw, vals):
        seen = {}
        tpl = ns(render=lambda **c: seen.setdefault("ctx", c) and "out")
        obj = _engine_with(**{hook: lambda src: seen.setdefault("src", src) and tpl})
        assert getattr(TemplateEngine, method)(obj, *args, **kw) == "out"
        return dict(zip(argnames, (seen["src"], seen["ctx"])))

    return run


def run_add_dir(args, kw, vals):
    paths = ["old"]
    assert (
        TemplateEngine.add_template_dir(_engine_with(loader=ns(searchpath=paths)), *args, **kw)
        is None
    )
    assert paths[1:] == ["old"]
    return {"directory": paths[0]}


def _values():
    return {
        "host": "h.example",
        "port": 2525,
        "username": "user@x",
        "password": "pw",
        "use_ssl": Flag(),
        "use_tls": Flag(),
        "default_sender": "ds@x",
        "template_dir": "/nonexistent/tpl",
        "to": "to@x",
        "subject": "subj",
        "body": "plain text",
        "html": "<b>html</b>",
        "cc": "cc@x",
        "bcc": "bcc@x",
        "sender": "s@x",
        "sender_name": "Sender Name",
        "attachments": ["a.txt"],
        "reply_to": "rt@x",
        "template_name": "tpl",
        "context": {"k": "v"},
        "msg": Sink(),
        "filepath": HERE,
        "item": {"filename": "n.bin", "data": b"\0\1"},
        "recipients": ["r1@x", "r2@x"],
        "template_string": "{{ k }}",
        "directory": "/d",
    }


# name, class, oracle, is ordinary method, runner
OPS = [
    ("__init__", EasyMailer, o_init, True, run_init),
    ("send", EasyMailer, o_send, True, run_send),
    ("send_template", EasyMailer, o_send_template, True, run_send_template),
    ("_build_message", EasyMailer, o_build, True, run_build),
    ("_attach_file", EasyMailer, o_attach_file, False, run_attach("_attach_file", "filepath")),
    ("_attach_binary", EasyMailer, o_attach_binary, False, run_attach("_attach_binary", "item")),
    ("_collect_recipients", EasyMailer, o_collect, False, run_collect),
    ("_do_send", EasyMailer, o_do_send, True, run_do_send),
    ("__init__", TemplateEngine, o_t_init, True, run_t_init),
    (
        "render",
        TemplateEngine,
        o_render,
        True,
        run_rendering("render", "get_template", ("template_name", "context")),
    ),
    (
        "render_string",
        TemplateEngine,
        o_render_string,
        True,
        run_rendering("render_string", "from_string", ("template_string", "context")),
    ),
    ("add_template_dir", TemplateEngine, o_add_dir, True, run_add_dir),
]
OP_IDS = [f"{c.__name__}.{n}" for n, c, *_ in OPS]


def expected_error(name, params, ndefaults, given, kws):
    """The binder's message for a call, or None when it must be accepted."""
    hi, lo = len(params), len(params) - ndefaults

    def count(bound, word, g):
        return (
            f"{name}() takes {'exactly' if lo == hi else word} {bound} "
            f"positional argument{'' if bound == 1 else 's'} ({g} given)"
        )

    if given > hi:
        return count(hi, "at most", given)
    if not kws and given < lo:
        return count(lo, "at least", given)
    for i in range(given, lo):
        if params[i] not in kws:
            return count(lo, "at least", i)
    for k in kws:
        if k not in params:
            return f"{name}() got an unexpected keyword argument '{k}'"
        if params.index(k) < given:
            return f"{name}() got multiple values for keyword argument '{k}'"
    return None


@st.composite
def call_shapes(draw, params, method):
    free = params[1:] if method else params
    npos = draw(st.integers(0, len(free) + 2))
    kws = draw(st.lists(st.sampled_from(free[npos:]), unique=True)) if free[npos:] else []
    intruders = ["bogus", "Subject"] + free[:npos] + (["self"] if method else [])
    kws += draw(
        st.one_of(
            st.just([]), st.lists(st.sampled_from(intruders), unique=True, min_size=1, max_size=2)
        )
    )
    return npos, draw(st.permutations(kws))


@pytest.mark.parametrize("name, cls, oracle, method, run", OPS, ids=OP_IDS)
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_binder_matches_python_function(name, cls, oracle, method, run, data):
    params = list(inspect.signature(oracle).parameters)
    free = params[1:] if method else params
    npos, kws = data.draw(call_shapes(params, method))
    vals = _values()
    args = [vals[p] for p in free[:npos]] + [object()] * (npos - len(free))
    kw = {k: vals.get(k, object()) for k in kws}
    self_ = [object()] if method else []
    try:
        bound = oracle(*self_, *args, **kw)
        bound.pop("self", None)
    except TypeError:
        bound = None
    message = expected_error(name, params, len(oracle.__defaults__ or ()), npos + bool(method), kws)
    assert (bound is None) == (message is not None), (message, bound)
    if message is None:
        got = run(args, kw, vals)
        assert got == {k: bound[k] for k in got}
        assert set(got) == set(free)
    else:
        func = getattr(cls, name)
        # plain call through the class, and through a bound method / an instance
        calls = [lambda: func(*self_, *args, **kw)]
        if method:
            calls.append(lambda: types.MethodType(func, self_[0])(*args, **kw))
        else:
            calls.append(lambda: getattr(cls.__new__(cls), name)(*args, **kw))
        for call in calls:
            with pytest.raises(TypeError) as exc:
                call()
            assert str(exc.value) == message


@pytest.mark.parametrize("name, cls, oracle, method, run", OPS, ids=OP_IDS)
@pytest.mark.parametrize("with_args", [False, True])
def test_non_string_keyword(name, cls, oracle, method, run, with_args):
    func = getattr(cls, name)
    params = list(inspect.signature(oracle).parameters)
    vals = _values()
    args = ([object()] if method else []) + [vals[p] for p in params[bool(method) :]] * with_args
    with pytest.raises(TypeError) as exc:
        func(*args, **{1: 2})
    text = str(exc.value)
    assert "keywords must be strings" in text
    assert text in ("keywords must be strings", f"{name}() keywords must be strings")


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: TemplateEngine.__init__(),
            "__init__() takes at least 1 positional argument (0 given)",
        ),
        (lambda: ENV_GETTER(), "env() takes exactly 1 positional argument (0 given)"),
        (lambda: ENV_GETTER(1, 2), "env() takes exactly 1 positional argument (2 given)"),
        (lambda: ENV_GETTER(1, self=1), "env() got multiple values for keyword argument 'self'"),
        (lambda: EasyMailer.send(), "send() takes at least 3 positional arguments (0 given)"),
        (
            lambda: EasyMailer.send(to="t", subject="s"),
            "send() takes at least 3 positional arguments (0 given)",
        ),
        (lambda: EasyMailer("h", 25), "__init__() takes at least 5 positional arguments (3 given)"),
        (
            lambda: mailer().send(subject="s"),
            "send() takes at least 3 positional arguments (1 given)",
        ),
        # the binder runs before the type checks
        (
            lambda: mailer().send(None, None, bogus=1),
            "send() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda: EasyMailer._attach_file(None, msg=None, filepath=None, x=1),
            "_attach_file() got multiple values for keyword argument 'msg'",
        ),
        (
            lambda: TemplateEngine(template_dir=pathlib.Path("p"), directory=None),
            "__init__() got an unexpected keyword argument 'directory'",
        ),
    ],
    ids=lambda v: None if callable(v) else v.split("(")[0],
)
def test_binder_edge_calls(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_self_by_keyword_is_accepted():
    inst, log = mailer(), {}
    inst._build_message = inst._collect_recipients = lambda *a, **k: log.setdefault("ok", 1)
    inst._do_send = lambda *a: log.setdefault("sent", a)
    assert EasyMailer.send(subject="s", self=inst, to="t") is None
    assert log["sent"] == (1, 1, inst.default_sender)


# ------------------------------------------------------------ entry type checks


class S(str):
    pass


class D(dict):
    pass


class L(list):
    pass


def stop(*a, **k):
    raise Marker


def guarded():
    """A mailer whose internal steps raise Marker, so a call that passes the checks stops there."""
    inst = mailer()
    inst._build_message = inst._collect_recipients = inst._do_send = stop
    inst._template_engine = ns(render=stop, render_string=stop)
    return inst


def engine():
    return TemplateEngine()


NOTE = ". Subclasses of built-in types are rejected; pass a plain "
MSG = "Argument '{}' has incorrect type (expected {}, got {})"
BUILD_OK = dict(
    to="t",
    subject="s",
    body=None,
    html=None,
    cc=None,
    sender=None,
    sender_name=None,
    attachments=None,
    reply_to=None,
)
PATH = pathlib.Path("/nonexistent")


@pytest.mark.parametrize(
    "call, param, expected, got",
    [
        (lambda: guarded().send("t", S("x")), "subject", "str", "S"),
        (lambda: guarded().send("t", None), "subject", "str", "NoneType"),
        (lambda: guarded().send("t", "s", attachments=()), "attachments", "list", "tuple"),
        (lambda: guarded().send("t", "s", attachments=L()), "attachments", "list", "L"),
        (lambda: guarded().send("t", 1, body=2), "subject", "str", "int"),
        (lambda: guarded().send("t", "s", html=1, body=b"x"), "body", "str", "bytes"),
        (lambda: guarded().send("t", "s", reply_to=1, sender=2.0), "sender", "str", "float"),
        (lambda: guarded().send("t", "s", sender_name=S("n")), "sender_name", "str", "S"),
        (lambda: guarded().send_template("t", "s", None), "template_name", "str", "NoneType"),
        (lambda: guarded().send_template("t", "s", "n", context=D()), "context", "dict", "D"),
        (lambda: guarded().send_template("t", "s", "n", context=[]), "context", "dict", "list"),
        (
            lambda: guarded().send_template("t", "s", "n", attachments={}),
            "attachments",
            "list",
            "dict",
        ),
        (
            lambda: mailer()._build_message(**{**BUILD_OK, "html": 1, "reply_to": 2}),
            "html",
            "str",
            "int",
        ),
        (
            lambda: mailer()._build_message(**{**BUILD_OK, "attachments": ("a",)}),
            "attachments",
            "list",
            "tuple",
        ),
        (lambda: EasyMailer._attach_file(Sink(), None), "filepath", "str", "NoneType"),
        (
            lambda: EasyMailer._attach_file(Sink(), pathlib.Path(HERE)),
            "filepath",
            "str",
            "PosixPath",
        ),
        (lambda: EasyMailer._attach_binary(Sink(), None), "item", "dict", "NoneType"),
        (lambda: EasyMailer._attach_binary(Sink(), D(filename="a", data=b"")), "item", "dict", "D"),
        (
            lambda: EasyMailer._do_send(guarded(), Sink(), ("a",), None),
            "recipients",
            "list",
            "tuple",
        ),
        (
            lambda: EasyMailer._do_send(guarded(), Sink(), None, "s"),
            "recipients",
            "list",
            "NoneType",
        ),
        (lambda: EasyMailer._do_send(guarded(), Sink(), [], None), "sender", "str", "NoneType"),
        (lambda: EasyMailer(S("h"), 25, "u", "p"), "host", "str", "S"),
        (lambda: EasyMailer(1, "465", "u", "p"), "port", "int", "str"),
        (lambda: EasyMailer("h", 25, "u", None), "password", "str", "NoneType"),
        (lambda: EasyMailer("h", 25, "u", "p", default_sender=1), "default_sender", "str", "int"),
        (
            lambda: EasyMailer("h", 25, "u", "p", template_dir=PATH),
            "template_dir",
            "str",
            "PosixPath",
        ),
        (lambda: TemplateEngine(PATH), "template_dir", "str", "PosixPath"),
        (lambda: engine().add_template_dir(None), "directory", "str", "NoneType"),
        (lambda: engine().add_template_dir(PATH), "directory", "str", "PosixPath"),
        (lambda: engine().render(None, {}), "template_name", "str", "NoneType"),
        (lambda: engine().render("x", None), "context", "dict", "NoneType"),
        (lambda: engine().render("x", D()), "context", "dict", "D"),
        (lambda: engine().render_string(S("x"), {}), "template_string", "str", "S"),
        (lambda: engine().render_string("x", None), "context", "dict", "NoneType"),
    ],
)
def test_entry_type_check(call, param, expected, got):
    with pytest.raises(TypeError) as exc:
        call()
    subclass = got in ("S", "D", "L")
    assert str(exc.value) == MSG.format(param, expected, got) + (NOTE + expected) * subclass


def _do_send_unchecked_msg(monkeypatch):
    monkeypatch.setattr(mailer_mod, "ssl", ns(create_default_context=stop))
    mailer()._do_send(42, [], "s")


@pytest.mark.parametrize(
    "call",
    [
        lambda mp: guarded().send(("a", "b"), "s", cc=1, bcc=object()),
        lambda mp: guarded().send(["a"], "s", None, None, None, None, None, None, None, None),
        lambda mp: guarded().send_template(5, "s", "n", None, cc={1}, bcc=2.5),
        lambda mp: guarded().send_template("t", "s", "n", context={}, attachments=[]),
        _do_send_unchecked_msg,
        lambda mp: EasyMailer._attach_file(None, "/nonexistent/x"),
    ],
    ids=["send-union", "send-none", "tpl-union", "tpl-empty", "do_send-msg", "attach-msg"],
)
def test_unchecked_arguments_get_past_the_checks(call, monkeypatch):
    with pytest.raises((Marker, FileNotFoundError)):
        call(monkeypatch)


def test_unchecked_arguments_run_to_completion():
    assert mailer()._collect_recipients(("a",), {"b"}, None) == ["a", "b"]
    msg = mailer()._build_message(**{**BUILD_OK, "to": ("x",), "cc": 7})
    assert (msg["To"], msg["Cc"]) == (("x",), 7)
    m = EasyMailer("h", 25.0, "u", "p", use_ssl="", use_tls=[1])
    assert (m.port, m.use_ssl, m.use_tls) == (25, False, True)


POOL = [
    lambda: None,
    lambda: "s",
    lambda: S("s"),
    lambda: 7,
    lambda: True,
    lambda: 2.5,
    list,
    L,
    tuple,
    dict,
    D,
    lambda: PATH,
    lambda: b"x",
]


def past_checks_target(idx):
    """A callable running operation OPS[idx] with every step after the checks stubbed out."""
    name, cls, _, method, _ = OPS[idx]
    if cls is TemplateEngine:
        obj = _engine_with(get_template=stop, from_string=stop, loader=ns(searchpath=[]))
    else:
        obj = guarded()
        obj._attach_file = obj._attach_binary = stop
    func = getattr(cls, name)
    return (lambda **kw: func(obj, **kw)) if method else func


def expected_type_error(params, annotations, values):
    for p in params:
        ann = annotations.get(p, "")
        optional = ann.startswith("Optional[")
        inner = ann[len("Optional[") : -1] if optional else ann
        want = (
            list
            if inner.startswith("List")
            else {"str": str, "int": int, "dict": dict, "Dict": dict}.get(inner)
        )
        v = values[p]
        if want is None or type(v) is want or (optional and v is None):
            continue
        note = NOTE + want.__name__ if issubclass(type(v), want) else ""
        return MSG.format(p, want.__name__, type(v).__name__) + note
    return None


@pytest.mark.parametrize("idx", range(1, len(OPS)), ids=OP_IDS[1:])
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_entry_checks_match_annotations(idx, data):
    name, cls, oracle, method, _ = OPS[idx]
    params = list(inspect.signature(oracle).parameters)[bool(method) :]
    values = {p: _values()[p] for p in params}  # plausible values, a few replaced below
    for p in data.draw(st.lists(st.sampled_from(params), min_size=1, max_size=3, unique=True)):
        values[p] = data.draw(st.sampled_from(POOL), label=p)()
    order = data.draw(st.permutations(params), label="keyword order")
    expected = expected_type_error(params, ANNOTATIONS[idx], values)
    try:
        with pytest.MonkeyPatch.context() as mp:
            mp.setattr(mailer_mod, "ssl", ns(create_default_context=stop))
            past_checks_target(idx)(**{p: values[p] for p in order})
    except TypeError as exc:
        got = str(exc) if str(exc).startswith("Argument '") else None
    except Exception:  # the body was reached: Marker, FileNotFoundError, KeyError, ...
        got = None
    else:
        got = None
    assert got == expected


# -------------------------------------------------------------- function objects

ENV_GETTER = TemplateEngine.__dict__["env"].fget
FUNCS = [(c, n, getattr(c, n), o) for n, c, o, *_ in OPS] + [
    (TemplateEngine, "env", ENV_GETTER, lambda self: None)
]
FUNC_IDS = OP_IDS + ["TemplateEngine.env"]
RS, OS_, OL = "Union[str, List[str]]", "Optional[str]", "Optional[Union[str, List[str]]]"
ATT = "Optional[List[Union[str, Dict]]]"
ANNOTATIONS = [
    dict(
        host="str",
        port="int",
        username="str",
        password="str",
        use_ssl="bool",
        use_tls="bool",
        default_sender=OS_,
        template_dir=OS_,
    ),
    dict(
        to=RS,
        subject="str",
        body=OS_,
        html=OS_,
        cc=OL,
        bcc=OL,
        sender=OS_,
        sender_name=OS_,
        attachments=ATT,
        reply_to=OS_,
        **{"return": "None"},
    ),
    dict(
        to=RS,
        subject="str",
        template_name="str",
        context="Optional[dict]",
        cc=OL,
        bcc=OL,
        sender=OS_,
        sender_name=OS_,
        attachments=ATT,
        reply_to=OS_,
        **{"return": "None"},
    ),
    dict(
        to=RS,
        subject="str",
        body=OS_,
        html=OS_,
        cc=OL,
        sender=OS_,
        sender_name=OS_,
        attachments=ATT,
        reply_to=OS_,
        **{"return": "MIMEMultipart"},
    ),
    dict(msg="MIMEMultipart", filepath="str", **{"return": "None"}),
    dict(msg="MIMEMultipart", item="Dict", **{"return": "None"}),
    dict(to=RS, cc=OL, bcc=OL, **{"return": "List[str]"}),
    dict(msg="MIMEMultipart", recipients="List[str]", sender="str", **{"return": "None"}),
    dict(template_dir=OS_),
    dict(template_name="str", context="dict", **{"return": "Optional[str]"}),
    dict(template_string="str", context="dict", **{"return": "str"}),
    dict(directory="str", **{"return": "None"}),
    {"return": "Environment"},
]
DOC_FIRST_LINES = [
    "初始化邮件发送器。",
    "发送邮件。",
    "使用模板发送邮件。",
    None,
    "Attach a file from a file path.",
    "Attach binary data.",
    None,
    None,
    None,
    "Render a template by name.",
    "Render an inline Jinja2 string with the given context.",
    "Add an additional template search directory (prepended for priority).",
    "Access the underlying Jinja2 Environment for advanced usage.",
]
DEFAULTS = (
    [(True, False, None, None), (None,) * 8, (None,) * 7] + [None] * 5 + [(None,)] + [None] * 4
)


def documented_signature(oracle, annotations, drop_self=False):
    sig = inspect.signature(oracle)
    params = [
        p.replace(annotation=annotations.get(p.name, p.empty)) for p in sig.parameters.values()
    ][drop_self:]
    return sig.replace(parameters=params, return_annotation=annotations.get("return", sig.empty))


@pytest.mark.parametrize("idx", range(len(FUNCS)), ids=FUNC_IDS)
def test_function_attributes(idx):
    cls, name, func, oracle = FUNCS[idx]
    assert (func.__name__, func.__qualname__, func.__module__) == (
        name,
        f"{cls.__name__}.{name}",
        cls.__module__,
    )
    assert func.__defaults__ == DEFAULTS[idx]
    assert list(func.__annotations__.items()) == list(ANNOTATIONS[idx].items())
    first = DOC_FIRST_LINES[idx]
    if first is None:
        assert func.__doc__ is None
    else:
        assert func.__doc__.strip().splitlines()[0] == first
    assert gc.is_tracked(func)
    func.probe_attribute = [idx]
    try:
        assert func.__dict__["probe_attribute"] == [idx]
    finally:
        del func.probe_attribute
    assert "probe_attribute" not in func.__dict__


@pytest.mark.parametrize("idx", range(len(OPS)), ids=OP_IDS)
def test_binding_kind_and_signature(idx):
    name, cls, oracle, method, _ = OPS[idx]
    func, raw = getattr(cls, name), cls.__dict__[name]
    inst = cls.__new__(cls)
    expected = documented_signature(oracle, ANNOTATIONS[idx])
    assert inspect.signature(func) == expected
    if method:
        assert raw is func and not isinstance(raw, staticmethod)
        bound = getattr(inst, name)
        assert inspect.ismethod(bound) and bound.__func__ is func and bound.__self__ is inst
        assert inspect.signature(bound) == documented_signature(oracle, ANNOTATIONS[idx], True)
    else:
        assert isinstance(raw, staticmethod) and raw.__func__ is func
        assert getattr(inst, name) is func
        assert inspect.signature(getattr(inst, name)) == expected


def test_static_method_same_through_instance_and_class():
    inst = mailer()
    assert (
        inst._collect_recipients("a", ["b"], "c")
        == EasyMailer._collect_recipients("a", ["b"], "c")
        == ["a", "b", "c"]
    )


def _unwrapped(text):
    """pydoc's text without its margins and line breaks: from 3.13 it puts a
    long signature one parameter per line, with a trailing comma."""
    return re.sub(r"\s+", "", text.replace(" |", "")).replace(",)", ")")


def test_pydoc_shows_signatures_and_docstrings():
    text = pydoc.render_doc(EasyMailer, renderer=pydoc.plaintext)
    flat = _unwrapped(text)
    for idx, (name, _cls, oracle, _method, _) in enumerate(OPS[:3]):  # pydoc skips _private
        assert _unwrapped(name + str(documented_signature(oracle, ANNOTATIONS[idx]))) in flat
        assert DOC_FIRST_LINES[idx] in text
    assert (
        _unwrapped("EasyMailer" + str(documented_signature(o_init, ANNOTATIONS[0], True))) in flat
    )
    assert "简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。" in text
    assert (
        EasyMailer.__doc__.splitlines()[1].strip()
        == "简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。"
    )


@pytest.mark.parametrize(
    "cls, names",
    [
        (
            EasyMailer,
            [
                "__init__",
                "send",
                "send_template",
                "_build_message",
                "_attach_file",
                "_attach_binary",
                "_collect_recipients",
                "_do_send",
            ],
        ),
        (TemplateEngine, ["__init__", "render", "render_string", "add_template_dir", "env"]),
    ],
    ids=["EasyMailer", "TemplateEngine"],
)
def test_class_namespace(cls, names):
    # What `type` makes of the documented namespace (it keeps __qualname__ out of __dict__).
    namespace = {
        "__module__": cls.__module__,
        "__qualname__": cls.__name__,
        "__doc__": cls.__doc__,
        **{n: cls.__dict__[n] for n in names},
    }
    reference = type(cls.__name__, (), namespace)
    assert list(cls.__dict__) == list(reference.__dict__)
    assert list(cls.__dict__)[: len(names) + 2] == ["__module__", "__doc__", *names]
    assert cls.__qualname__ == cls.__name__ and cls.__bases__ == (object,)
    assert type(cls) is type
