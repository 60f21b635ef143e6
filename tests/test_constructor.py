"""EasyMailer construction: conversions, check order, stored configuration
and the TemplateEngine it creates."""

import enum
import pathlib
import sys
from decimal import Decimal
from fractions import Fraction

import pytest

import brisvane.mailer as mmod
from brisvane.mailer import EasyMailer
from brisvane.template import TemplateEngine

BOTH = "use_ssl and use_tls cannot both be True."
SUBCLASS_NOTE = ". Subclasses of built-in types are rejected; pass a plain str"


REQUIRED = ("host", "port", "username", "password")


def make(**kwargs):
    """Construct with valid required arguments, any of them overridable by keyword."""
    base = dict(host="smtp.example.com", port=465, username="user@example.com", password="pw")
    args = [kwargs.pop(k, base[k]) for k in REQUIRED]
    return EasyMailer(*args, **kwargs)


def type_msg(name, expected, got):
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


class Port(enum.IntEnum):
    SSL = 465


class HasInt:
    def __int__(self):
        return 2525


class Truthy:
    def __init__(self, value=True, exc=None):
        self.value, self.exc = value, exc

    def __bool__(self):
        if self.exc:
            raise self.exc
        return self.value


class MyStr(str):
    pass


@pytest.fixture
def engines(monkeypatch):
    """Record every TemplateEngine creation made by the constructor."""
    calls = []

    def recorder(*args, **kwargs):
        calls.append((args, kwargs))
        return ("engine", args)

    monkeypatch.setattr(mmod, "TemplateEngine", recorder)
    return calls


# --- port ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value,expected",
    [
        (465, 465),
        (465.0, 465),
        (465.9, 465),
        (-1.5, -1),
        (True, 1),
        (False, 0),
        (Port.SSL, 465),
        (2**70, 2**70),
        (Decimal("587.9"), 587),
        (Fraction(51, 2), 25),
        (HasInt(), 2525),
    ],
)
def test_port_converted_to_exact_int(value, expected):
    m = make(port=value)
    assert type(m.port) is int and m.port == expected


@pytest.mark.parametrize(
    "value,tname",
    [
        ("465", "str"),
        (None, "NoneType"),
        (b"465", "bytes"),
        ([465], "list"),
        (MyStr("465"), "MyStr"),
    ],
)
def test_port_without_numeric_conversion_rejected(value, tname):
    with pytest.raises(TypeError) as info:
        make(port=value)
    assert str(info.value) == type_msg("port", "int", tname)


def test_complex_port_rejected():
    # Up to 3.9 complex has integer and float conversions that raise, so it is
    # rejected by int(); from 3.10 it has none, so by the type check.
    expected = (
        type_msg("port", "int", "complex")
        if sys.version_info >= (3, 10)
        else "can't convert complex to int"
    )
    with pytest.raises(TypeError) as info:
        make(port=1j)
    assert str(info.value) == expected


@pytest.mark.parametrize("value,exc", [(float("nan"), ValueError), (float("inf"), OverflowError)])
def test_port_conversion_errors_propagate(value, exc):
    with pytest.raises(exc):
        make(port=value)


# --- use_ssl / use_tls --------------------------------------------------------------


@pytest.mark.parametrize(
    "value,expected",
    [
        (1, True),
        ("no", True),
        ([0], True),
        (Truthy(True), True),
        (0, False),
        ("", False),
        (None, False),
        ([], False),
        (Truthy(False), False),
    ],
)
def test_flags_stored_as_bool(value, expected):
    ssl = make(use_ssl=value)
    assert ssl.use_ssl is expected and ssl.use_tls is False
    tls = make(use_ssl=False, use_tls=value)
    assert tls.use_tls is expected and tls.use_ssl is False


def test_defaults_and_use_tls_none():
    m = make()
    assert m.use_ssl is True and m.use_tls is False
    assert make(use_tls=None).use_tls is False
    m = make(use_ssl=False, use_tls=False)
    assert (m.use_ssl, m.use_tls) == (False, False)


@pytest.mark.parametrize("kw", ["use_ssl", "use_tls"])
def test_raising_truth_test_propagates(kw):
    with pytest.raises(ZeroDivisionError):
        make(**{kw: Truthy(exc=ZeroDivisionError("truth"))})


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(use_tls=True),
        dict(use_ssl=True, use_tls=True),
        dict(use_ssl=1, use_tls="yes"),
        dict(use_ssl=[0], use_tls=Truthy(True)),
    ],
)
def test_both_flags_true_rejected_without_engine(engines, kwargs):
    with pytest.raises(ValueError) as info:
        make(**kwargs)
    assert str(info.value) == BOTH
    assert engines == []


# --- check order -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((None, "465", None, None), dict(template_dir=1), type_msg("port", "int", "str")),
        ((None, 465.0, None, None), dict(use_ssl=Truthy(exc=KeyError("k"))), None),
        (
            (None, 465, None, None),
            dict(default_sender=1, template_dir=2),
            type_msg("host", "str", "NoneType"),
        ),
        (("h", 465, None, None), dict(default_sender=1), type_msg("username", "str", "NoneType")),
        (("h", 465, "u", b"p"), dict(default_sender=1), type_msg("password", "str", "bytes")),
        (
            ("h", 465, "u", "p"),
            dict(default_sender=1, template_dir=2),
            type_msg("default_sender", "str", "int"),
        ),
        (("h", 465, "u", "p"), dict(template_dir=2), type_msg("template_dir", "str", "int")),
        (
            ("h", 465, "u", "p"),
            dict(template_dir=pathlib.Path("x")),
            type_msg("template_dir", "str", type(pathlib.Path("x")).__name__),
        ),
    ],
)
def test_check_order(engines, args, kwargs, message):
    if message is None:
        with pytest.raises(KeyError):
            EasyMailer(*args, **kwargs)
    else:
        with pytest.raises(TypeError) as info:
            EasyMailer(*args, **kwargs)
        assert str(info.value) == message
    assert engines == []


def test_type_errors_beat_tls_conflict(engines):
    with pytest.raises(TypeError, match="'host'"):
        EasyMailer(1, 465, "u", "p", True, True)


@pytest.mark.parametrize("field,index", [("host", 0), ("username", 2), ("password", 3)])
def test_str_subclass_rejected_with_note(field, index):
    args = ["h", 465, "u", "p"]
    args[index] = MyStr("x")
    with pytest.raises(TypeError) as info:
        EasyMailer(*args)
    assert str(info.value) == type_msg(field, "str", "MyStr") + SUBCLASS_NOTE


def test_str_subclass_default_sender_rejected():
    with pytest.raises(TypeError) as info:
        make(default_sender=MyStr("d"))
    assert str(info.value) == type_msg("default_sender", "str", "MyStr") + SUBCLASS_NOTE


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        (("h", 465), {}, "__init__() takes at least 5 positional arguments (3 given)"),
        (
            ("h", 465, "u", "p", 1, 0, None, None, "extra"),
            {},
            "__init__() takes at most 9 positional arguments (10 given)",
        ),
        (
            ("h", 465, "u", "p"),
            dict(bogus=1),
            "__init__() got an unexpected keyword argument 'bogus'",
        ),
        (
            ("h", 465, "u", "p"),
            dict(host="h"),
            "__init__() got multiple values for keyword argument 'host'",
        ),
    ],
)
def test_argument_count_and_keywords(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        EasyMailer(*args, **kwargs)
    assert str(info.value) == message


# --- stored configuration ---------------------------------------------------------------


def test_attributes_and_their_order():
    m = EasyMailer(
        "smtp.x", 587.0, "u@x", "pw", use_ssl=0, use_tls=1, default_sender="d@x", template_dir="tpl"
    )
    assert list(vars(m)) == [
        "host",
        "port",
        "username",
        "password",
        "use_ssl",
        "use_tls",
        "default_sender",
        "_template_engine",
    ]
    assert (m.host, m.port, m.username, m.password, m.use_ssl, m.use_tls, m.default_sender) == (
        "smtp.x",
        587,
        "u@x",
        "pw",
        False,
        True,
        "d@x",
    )
    assert type(m._template_engine) is TemplateEngine
    assert m._template_engine.env.loader.searchpath[0] == "tpl"


@pytest.mark.parametrize("value,expected", [(None, "u@x"), ("", "u@x"), ("d@x", "d@x"), (" ", " ")])
def test_default_sender_falls_back_to_username(value, expected):
    assert make(username="u@x", default_sender=value).default_sender == expected


def test_positional_form_matches_keywords():
    m = EasyMailer("h", 25, "u", "p", False, False, "s", None)
    assert (m.use_ssl, m.use_tls, m.default_sender) == (False, False, "s")


# --- TemplateEngine use ---------------------------------------------------------------------


@pytest.mark.parametrize("template_dir", [None, "", "some/dir"])
def test_engine_called_with_template_dir_positionally(engines, template_dir):
    m = make(template_dir=template_dir)
    assert engines == [((template_dir,), {})]
    assert m._template_engine == ("engine", (template_dir,))


def test_engine_default_template_dir_is_none(engines):
    make()
    assert engines == [((None,), {})]


def test_engine_errors_propagate(monkeypatch):
    def failing(template_dir):
        raise OSError("engine failed")

    monkeypatch.setattr(mmod, "TemplateEngine", failing)
    with pytest.raises(OSError, match="^engine failed$"):
        make()


def test_engine_rebinding_read_at_each_call(monkeypatch):
    first = make()._template_engine
    assert type(first) is TemplateEngine
    monkeypatch.setattr(mmod, "TemplateEngine", lambda d: "replacement")
    assert make()._template_engine == "replacement"
    monkeypatch.undo()
    assert type(make()._template_engine) is TemplateEngine


def test_deleted_engine_name_error(monkeypatch):
    monkeypatch.delattr(mmod, "TemplateEngine")
    with pytest.raises(NameError, match="^name 'TemplateEngine' is not defined$"):
        make()


def test_init_surface():
    init = EasyMailer.__init__
    assert init.__defaults__ == (True, False, None, None)
    assert init.__qualname__ == "EasyMailer.__init__" and init.__module__ == "brisvane.mailer"
    assert init.__annotations__ == {
        "host": "str",
        "port": "int",
        "username": "str",
        "password": "str",
        "use_ssl": "bool",
        "use_tls": "bool",
        "default_sender": "Optional[str]",
        "template_dir": "Optional[str]",
    }
    assert list(init.__annotations__) == [
        "host",
        "port",
        "username",
        "password",
        "use_ssl",
        "use_tls",
        "default_sender",
        "template_dir",
    ]


# --- class surface ------------------------------------------------------------------------

OPERATIONS = [
    "__init__",
    "send",
    "send_template",
    "_build_message",
    "_attach_file",
    "_attach_binary",
    "_collect_recipients",
    "_do_send",
]
STATIC = {"_attach_file", "_attach_binary", "_collect_recipients"}


def test_class_namespace_order_and_kinds():
    assert EasyMailer.__bases__ == (object,) and type(EasyMailer) is type
    assert EasyMailer.__qualname__ == "EasyMailer" and EasyMailer.__module__ == "brisvane.mailer"
    names = [n for n in vars(EasyMailer) if n not in ("__dict__", "__weakref__")]
    assert names == ["__module__", "__doc__"] + OPERATIONS
    for name in OPERATIONS:
        raw = vars(EasyMailer)[name]
        assert isinstance(raw, staticmethod) == (name in STATIC), name
        fn = raw.__func__ if name in STATIC else raw
        assert fn.__qualname__ == f"EasyMailer.{name}" and fn.__module__ == "brisvane.mailer"


@pytest.mark.parametrize(
    "name,defaults,has_doc",
    [
        ("send", (None,) * 8, True),
        ("send_template", (None,) * 7, True),
        ("_build_message", None, False),
        ("_attach_file", None, True),
        ("_attach_binary", None, True),
        ("_collect_recipients", None, False),
        ("_do_send", None, False),
    ],
)
def test_operation_defaults_and_docstrings(name, defaults, has_doc):
    fn = getattr(EasyMailer, name)
    assert fn.__defaults__ == defaults
    assert (fn.__doc__ is not None) == has_doc


def test_docstring_first_lines():
    assert EasyMailer.__doc__.startswith(
        "\n    简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。\n"
    )
    assert "使用示例：" in EasyMailer.__doc__
    assert EasyMailer.__init__.__doc__.startswith("\n        初始化邮件发送器。\n")
    assert "参数说明：" in EasyMailer.__init__.__doc__


def test_do_send_annotation_order():
    assert list(EasyMailer._do_send.__annotations__.items()) == [
        ("msg", "MIMEMultipart"),
        ("recipients", "List[str]"),
        ("sender", "str"),
        ("return", "None"),
    ]
