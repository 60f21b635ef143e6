"""Hostile values for every parameter of every operation: the result is a
return value or an ordinary Python exception, never a crash, and the object
stays usable afterwards.  Nothing here touches the network."""

from email.mime.multipart import MIMEMultipart

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import brisvane.mailer as mailer_module
from brisvane import EasyMailer, TemplateEngine

EXAMPLES = 150
FUZZ = settings(
    max_examples=EXAMPLES,
    deadline=None,
    derandomize=False,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)


class Boom(Exception):
    pass


def _raise(*args, **kwargs):
    raise Boom("hostile")


DUNDERS = [
    "__bool__",
    "__str__",
    "__repr__",
    "__format__",
    "__iter__",
    "__index__",
    "__int__",
    "__float__",
    "__eq__",
    "__hash__",
    "__len__",
    "__fspath__",
    "__getitem__",
    "__contains__",
]
RAISING = {d: type(f"Raises{d.strip('_').title()}", (), {d: _raise}) for d in DUNDERS}


class StrSub(str):
    pass


class BadStr(str):
    __str__ = __hash__ = __eq__ = __iter__ = __len__ = __getitem__ = _raise
    encode = _raise


class ListSub(list):
    pass


class BadList(list):
    __iter__ = __len__ = __getitem__ = _raise


class DictSub(dict):
    pass


class BadDict(dict):
    __getitem__ = __iter__ = __len__ = __contains__ = __setitem__ = _raise
    get = keys = items = values = copy = _raise


def generator(fail):
    yield "a@example.com"
    if fail:
        raise Boom("mid-iteration")
    yield "b@example.com"


HUGE = "x" * (1 << 20)
SCALARS = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.integers(min_value=2**64),
    st.floats(allow_nan=True, allow_infinity=True),
    st.complex_numbers(),
    st.binary(max_size=20),
    st.text(max_size=20),
    st.sampled_from(
        [
            "\ud800",
            "a\udfffb",
            "\x00",
            "a\x00b@example.com",
            "\ud800" * 1000,
            "\x00" * 1000,
            "",
            "a@example.com",
            "{{",
            "{{ x }}",
        ]
    ),
    st.integers(0, 0).map(lambda _: HUGE),
)
HOSTILE = st.one_of(
    SCALARS,
    st.sampled_from(sorted(RAISING)).map(lambda d: RAISING[d]()),
    st.builds(StrSub, st.text(max_size=10)),
    st.builds(lambda: BadStr("a@example.com")),
    st.builds(ListSub, st.lists(SCALARS, max_size=3)),
    st.lists(SCALARS, max_size=3),
    st.builds(lambda: BadList(["a@example.com"])),
    st.builds(DictSub, st.dictionaries(st.text(max_size=8), SCALARS, max_size=3)),
    st.dictionaries(
        st.sampled_from(["filename", "data", "content_type", "x"]), SCALARS, max_size=3
    ),
    st.builds(lambda: BadDict(filename="f", data=b"d")),
    st.builds(generator, st.booleans()),
    st.just(object()),
    st.just(type),
    st.just((1, 2)),
    st.just({"a"}),
)


def maybe(good):
    """The good value most of the time, else something hostile."""
    return st.one_of(st.just(good), st.just(good), HOSTILE)


class StubSMTP:
    """A connection whose every step returns or raises a drawn value."""

    def __init__(self, *args, **kwargs):
        self.behaviour = StubSMTP.behaviour
        self._step("connect")

    def _step(self, name):
        kind, value = self.behaviour.get(name, ("return", None))
        if kind == "raise":
            raise Boom(name)
        return value

    def __enter__(self):
        value = self._step("enter")
        return self if value is None else value

    def __exit__(self, *exc):
        return self._step("exit")

    def starttls(self, **kwargs):
        return self._step("starttls")

    def login(self, username, password):
        return self._step("login")

    def sendmail(self, sender, recipients, text):
        return self._step("sendmail")


class StubModule:
    SMTP = SMTP_SSL = StubSMTP

    @staticmethod
    def create_default_context(*args, **kwargs):
        return StubSMTP.behaviour.get("context", ("return", None))[1]


@pytest.fixture(scope="module", autouse=True)
def no_network():
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(mailer_module, "smtplib", StubModule)
        mp.setattr(mailer_module, "ssl", StubModule)
        StubSMTP.behaviour = {}
        yield


@pytest.fixture(scope="module")
def world(tmp_path_factory):
    root = tmp_path_factory.mktemp("fuzz")
    (root / "t.html").write_text("<p>{{ n }}</p>")
    (root / "t.txt").write_text("{{ n }}")
    (root / "a.txt").write_bytes(b"data")
    return root


GOOD_BUILD = dict(
    to="to@example.com",
    subject="Subject",
    body="body",
    html="<p>h</p>",
    cc=None,
    sender=None,
    sender_name=None,
    attachments=None,
    reply_to=None,
)


def still_works(mailer=None, engine=None):
    if mailer is not None:
        assert (mailer.host, mailer.port, mailer.username) == ("h", 465, "u@example.com")
        text = mailer._build_message(**GOOD_BUILD).as_string()
        assert "Subject: Subject" in text and "To: to@example.com" in text
        assert EasyMailer._collect_recipients("a", ["b"], None) == ["a", "b"]
    if engine is not None:
        assert engine.render_string("{{ a }}-{{ b }}", {"a": 1, "b": "&"}) == "1-&amp;"


def attempt(call, *objects):
    try:
        call()
    except SystemError as e:  # a native call that failed without setting an error
        pytest.fail(f"SystemError: {e!r}")
    except Exception:
        pass
    still_works(*objects)


def draw(data, good):
    return {name: data.draw(maybe(value), label=name) for name, value in good.items()}


def new_mailer(world):
    m = EasyMailer("h", 465, "u@example.com", "pw", template_dir=str(world))
    m._do_send = lambda msg, recipients, sender: msg.as_string()
    return m


@FUZZ
@given(data=st.data())
def test_init(world, data):
    kw = draw(
        data,
        dict(
            host="h",
            port=465,
            username="u",
            password="pw",
            use_ssl=True,
            use_tls=False,
            default_sender=None,
            template_dir=str(world),
        ),
    )
    attempt(lambda: EasyMailer(**kw))
    still_works(new_mailer(world))


@FUZZ
@given(data=st.data(), how=st.sampled_from(["send", "send_template"]))
def test_send_and_send_template(world, data, how):
    m = new_mailer(world)
    common = dict(
        to="to@example.com",
        subject="S {{ n }}",
        cc=None,
        bcc=None,
        sender=None,
        sender_name=None,
        attachments=[str(world / "a.txt")],
        reply_to=None,
    )
    if how == "send":
        kw = draw(data, dict(common, body="b", html="<p>h</p>"))
    else:
        kw = draw(data, dict(common, template_name="t", context={"n": 1}))
        if data.draw(st.booleans(), label="hostile context"):
            kw["context"] = data.draw(
                st.dictionaries(HOSTILE.filter(_hashable), HOSTILE, max_size=3), label="context"
            )
    attempt(lambda: getattr(m, how)(**kw), m)


def _hashable(value):
    try:
        hash(value)
        return True
    except Exception:
        return False


@FUZZ
@given(data=st.data())
def test_build_message(world, data):
    m = new_mailer(world)
    kw = draw(
        data,
        dict(
            GOOD_BUILD,
            cc=["c@example.com"],
            sender="s@example.com",
            sender_name="名字",
            attachments=[{"filename": "f", "data": b"d"}],
            reply_to="r@example.com",
        ),
    )
    attempt(lambda: m._build_message(**kw).as_string(), m)


@FUZZ
@given(data=st.data(), which=st.sampled_from(["file", "binary"]))
def test_attach(world, data, which):
    msg = data.draw(maybe(MIMEMultipart()), label="msg")
    if which == "file":
        path = data.draw(maybe(str(world / "a.txt")), label="filepath")
        attempt(lambda: EasyMailer._attach_file(msg, path))
    else:
        item = draw(data, dict(filename="报告.pdf", data=b"%PDF", content_type="text/plain"))
        item = data.draw(st.one_of(st.just(item), HOSTILE), label="item")
        attempt(lambda: EasyMailer._attach_binary(msg, item))
    still_works(new_mailer(world))


@FUZZ
@given(data=st.data())
def test_collect_recipients(world, data):
    kw = draw(data, dict(to=["a@example.com"], cc="c@example.com", bcc=["b@example.com"]))
    try:
        result = EasyMailer._collect_recipients(**kw)
    except Exception:
        pass
    else:
        assert isinstance(result, list)
    still_works(new_mailer(world))


STEPS = ["connect", "enter", "exit", "starttls", "login", "sendmail", "context"]


class Msg:
    def __init__(self, text):
        self.text = text

    def as_string(self):
        if self.text is Boom:
            raise Boom("as_string")
        return self.text


@FUZZ
@given(data=st.data(), mode=st.sampled_from([(True, False), (False, True), (False, False)]))
def test_do_send_with_stand_ins(world, data, mode):
    m = EasyMailer("h", 465, "u@example.com", "pw", use_ssl=mode[0], use_tls=mode[1])
    StubSMTP.behaviour = {
        step: data.draw(
            st.one_of(
                st.just(("return", None)),
                st.just(("raise", None)),
                HOSTILE.map(lambda v: ("return", v)),
            ),
            label=step,
        )
        for step in STEPS
    }
    kw = draw(
        data,
        dict(msg=Msg("Subject: x\r\n\r\nb"), recipients=["a@example.com"], sender="s@example.com"),
    )
    if data.draw(st.booleans(), label="failing as_string"):
        kw["msg"] = Msg(data.draw(st.one_of(st.just(Boom), HOSTILE), label="text"))
    try:
        attempt(lambda: m._do_send(**kw))
    finally:
        StubSMTP.behaviour = {}
    assert m._do_send(Msg("Subject: x\r\n\r\nb"), ["a@example.com"], "s@example.com") is None


@FUZZ
@given(data=st.data(), op=st.sampled_from(["init", "render", "render_string", "add_dir"]))
def test_template_engine(world, data, op):
    engine = TemplateEngine(str(world))
    context = data.draw(
        st.one_of(maybe({"n": 1}), st.dictionaries(HOSTILE.filter(_hashable), HOSTILE, max_size=3)),
        label="context",
    )
    if op == "init":
        attempt(lambda: TemplateEngine(data.draw(maybe(str(world)), label="template_dir")))
    elif op == "render":
        attempt(
            lambda: engine.render(data.draw(maybe("t.html"), label="name"), context), None, engine
        )
        assert engine.render("t.html", {"n": 2}) == "<p>2</p>"
    elif op == "render_string":
        attempt(
            lambda: engine.render_string(data.draw(maybe("{{ n }}"), label="s"), context),
            None,
            engine,
        )
    else:
        attempt(
            lambda: engine.add_template_dir(data.draw(maybe(str(world)), label="dir")), None, engine
        )
        assert engine.render("t.txt", {"n": 3}) == "3"
    still_works(None, engine)


# --- every catalogued hostile value at every parameter, deterministically ----

CATALOGUE = [
    lambda: None,
    lambda: 0,
    lambda: -1,
    lambda: 2**70,
    lambda: float("nan"),
    lambda: float("inf"),
    lambda: b"to@example.com",
    lambda: StrSub("a@example.com"),
    lambda: ListSub(["a@example.com"]),
    lambda: DictSub(filename="f", data=b""),
    lambda: generator(False),
    lambda: generator(True),
    lambda: BadStr("a@example.com"),
    lambda: BadList(["a"]),
    lambda: BadDict(filename="f"),
    lambda: HUGE,
    lambda: "\ud800",
    lambda: "a\x00b",
    lambda: object(),
    *[(lambda c=c: c()) for c in RAISING.values()],
]


def operations(world):
    m = new_mailer(world)
    engine = TemplateEngine(str(world))
    common = dict(
        to=["to@example.com"],
        subject="S",
        cc=["c@example.com"],
        bcc=["b@example.com"],
        sender="s@example.com",
        sender_name="名",
        attachments=[str(world / "a.txt"), {"filename": "f", "data": b"d"}],
        reply_to="r@example.com",
    )
    build = {k: v for k, v in common.items() if k != "bcc"}
    return {
        "__init__": (
            EasyMailer,
            dict(
                host="h",
                port=465,
                username="u",
                password="pw",
                use_ssl=False,
                use_tls=True,
                default_sender="d@x",
                template_dir=str(world),
            ),
            m,
        ),
        "send": (m.send, dict(common, body="b", html="<p>h</p>"), m),
        "send_template": (m.send_template, dict(common, template_name="t", context={"n": 1}), m),
        "_build_message": (m._build_message, dict(build, body="b", html="h"), m),
        "_attach_file": (
            EasyMailer._attach_file,
            dict(msg=MIMEMultipart(), filepath=str(world / "a.txt")),
            m,
        ),
        "_attach_binary": (
            EasyMailer._attach_binary,
            dict(
                msg=MIMEMultipart(),
                item={"filename": "f.txt", "data": b"d", "content_type": "text/plain"},
            ),
            m,
        ),
        "_collect_recipients": (
            EasyMailer._collect_recipients,
            dict(to="a", cc=["c"], bcc=["b"]),
            m,
        ),
        "_do_send": (
            m.__class__._do_send.__get__(m),
            dict(msg=Msg("Subject: x\r\n\r\nb"), recipients=["a@example.com"], sender="s@x"),
            m,
        ),
        "TemplateEngine": (TemplateEngine, dict(template_dir=str(world)), None),
        "render": (engine.render, dict(template_name="t.html", context={"n": 1}), engine),
        "render_string": (
            engine.render_string,
            dict(template_string="{{ n }}", context={"n": 1}),
            engine,
        ),
        "add_template_dir": (engine.add_template_dir, dict(directory=str(world)), engine),
    }


def variants(good):
    """Each parameter replaced by each hostile value, also inside lists and dicts."""
    for name, value in good.items():
        for make in CATALOGUE:
            yield name, lambda make=make: make()
            if isinstance(value, list):
                yield name, lambda make=make, value=value: [*value[:1], make()]
            if isinstance(value, dict):
                for key in value:
                    yield name, lambda make=make, key=key, value=value: {**value, key: make()}
                if name == "context":
                    yield name, lambda make=make: {make(): 1} if _hashable(make()) else {}


OPERATIONS = [
    "__init__",
    "send",
    "send_template",
    "_build_message",
    "_attach_file",
    "_attach_binary",
    "_collect_recipients",
    "_do_send",
    "TemplateEngine",
    "render",
    "render_string",
    "add_template_dir",
]


@pytest.mark.parametrize("op", OPERATIONS)
def test_every_parameter_every_hostile_value(world, op):
    call, good, owner = operations(world)[op]
    assert call(**good) is None or op not in ("send", "_do_send")
    for name, make in variants(good):
        attempt(lambda name=name, make=make: call(**dict(good, **{name: make()})))
        if isinstance(owner, EasyMailer):
            still_works(owner)
        elif owner is not None:
            still_works(None, owner)
