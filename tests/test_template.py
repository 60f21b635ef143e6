"""TemplateEngine: search order, lookups through module globals, rendering
results, escaping and the Jinja2 calls it makes."""

import pathlib

import jinja2
import pytest

import brisvane.template as tmod
from brisvane.template import TemplateEngine

DEFAULT = str(tmod._DEFAULT_TEMPLATE_DIR)


def write(directory, name, text):
    path = pathlib.Path(directory) / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(text, encoding="utf-8")
    return path


def searchpath(engine):
    return list(engine.env.loader.searchpath)


# --- module constants and class surface ---------------------------------------


def test_default_template_dir_is_templates_beside_module():
    d = tmod._DEFAULT_TEMPLATE_DIR
    assert type(d) is type(pathlib.Path())
    assert d.name == "templates"
    assert d == pathlib.Path(tmod.__file__).parent / "templates"
    assert d.is_dir()


def test_class_docstring_exact():
    assert TemplateEngine.__doc__ == (
        "\n    Jinja2-based template renderer.\n\n"
        "    Templates are looked up in the following order:\n"
        "    1. User-provided template directory (if given).\n"
        "    2. Built-in templates directory (brisvane/templates).\n    "
    )


# --- search order --------------------------------------------------------------


@pytest.mark.parametrize("args", [(), (None,), ("",)], ids=["none-given", "None", "empty"])
def test_without_caller_dir_only_builtin_dir(args):
    engine = TemplateEngine(*args)
    assert searchpath(engine) == [DEFAULT]
    assert all(type(p) is str for p in engine.env.loader.searchpath)


def test_caller_dir_kept_verbatim_before_builtin():
    engine = TemplateEngine("relative/../not-there")
    assert searchpath(engine) == ["relative/../not-there", DEFAULT]


def test_added_dirs_go_in_front_last_first_duplicates_kept(tmp_path):
    engine = TemplateEngine("caller")
    assert engine.add_template_dir("A") is None
    engine.add_template_dir("B")
    engine.add_template_dir("A")
    assert searchpath(engine) == ["A", "B", "A", "caller", DEFAULT]


def test_added_dir_wins_over_caller_dir(tmp_path):
    write(tmp_path / "caller", "t.txt", "caller")
    write(tmp_path / "extra", "t.txt", "extra")
    assert TemplateEngine(str(tmp_path / "caller")).render("t.txt", {}) == "caller"
    engine = TemplateEngine(str(tmp_path / "caller"))
    engine.add_template_dir(str(tmp_path / "extra"))
    engine.add_template_dir(str(tmp_path / "missing-dir"))
    assert engine.render("t.txt", {}) == "extra"


def test_add_template_dir_does_not_reset_loaded_templates(tmp_path):
    write(tmp_path / "caller", "t.txt", "caller")
    write(tmp_path / "extra", "t.txt", "extra")
    engine = TemplateEngine(str(tmp_path / "caller"))
    env = engine.env
    assert engine.render("t.txt", {}) == "caller"
    engine.add_template_dir(str(tmp_path / "extra"))
    assert engine.env is env
    assert engine.render("t.txt", {}) == "caller"  # cached by Jinja2, not rebuilt


def test_caller_dir_wins_over_builtin_dir(tmp_path, monkeypatch):
    builtin = tmp_path / "builtin"
    write(builtin, "both.html", "from builtin")
    write(builtin, "only.html", "builtin only {{ x }}")
    write(tmp_path / "mine", "both.html", "from caller")
    monkeypatch.setattr(tmod, "_DEFAULT_TEMPLATE_DIR", builtin)
    engine = TemplateEngine(str(tmp_path / "mine"))
    assert searchpath(engine) == [str(tmp_path / "mine"), str(builtin)]
    assert engine.render("both.html", {}) == "from caller"
    assert engine.render("only.html", {"x": 1}) == "builtin only 1"


def test_nonexistent_dirs_accepted(tmp_path):
    engine = TemplateEngine(str(tmp_path / "nope"))
    engine.add_template_dir(str(tmp_path / "nope2"))
    assert engine.render("x.html", {}) is None


# --- module globals looked up at each call -------------------------------------


def test_default_dir_rebinding_takes_effect_on_next_construction(tmp_path, monkeypatch):
    monkeypatch.setattr(tmod, "_DEFAULT_TEMPLATE_DIR", "plain-text-dir")
    assert searchpath(TemplateEngine()) == ["plain-text-dir"]
    monkeypatch.setattr(tmod, "_DEFAULT_TEMPLATE_DIR", tmp_path)
    assert searchpath(TemplateEngine()) == [str(tmp_path)]


def test_environment_and_loader_called_exactly(monkeypatch):
    calls = []

    class Loader:
        def __init__(self, *args, **kwargs):
            calls.append(("loader", args, kwargs))
            self.searchpath = args[0]

    class Env:
        def __init__(self, *args, **kwargs):
            calls.append(("env", args, kwargs))
            self.loader = kwargs.get("loader")

    monkeypatch.setattr(tmod, "FileSystemLoader", Loader)
    monkeypatch.setattr(tmod, "Environment", Env)
    engine = TemplateEngine("dir")
    (name1, args1, kw1), (name2, args2, kw2) = calls
    assert (name1, args1, kw1) == ("loader", (["dir", DEFAULT],), {})
    assert type(args1[0]) is list
    assert name2 == "env" and args2 == ()
    assert list(kw2) == ["loader", "autoescape"]
    assert kw2["loader"] is engine.env.loader
    escape = kw2["autoescape"]
    assert [escape(n) for n in ("a.html", "a.TXT", "a.htm", "x", None)] == [
        True,
        False,
        True,
        True,
        True,
    ]
    assert isinstance(engine.env, Env)
    engine.add_template_dir("front")
    assert args1[0] == ["front", "dir", DEFAULT]


@pytest.mark.parametrize("name", ["Environment", "FileSystemLoader", "_DEFAULT_TEMPLATE_DIR"])
def test_deleted_global_gives_name_error_in_constructor(monkeypatch, name):
    monkeypatch.delattr(tmod, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        TemplateEngine()


def test_deleted_template_not_found_global_on_miss(monkeypatch):
    engine = TemplateEngine()
    monkeypatch.delattr(tmod, "TemplateNotFound")
    with pytest.raises(NameError, match="^name 'TemplateNotFound' is not defined$"):
        engine.render("missing.html", {})


def test_template_not_found_rebinding_used_by_handler(monkeypatch):
    engine = TemplateEngine()

    class Other(Exception):
        pass

    monkeypatch.setattr(tmod, "TemplateNotFound", Other)
    with pytest.raises(jinja2.TemplateNotFound):
        engine.render("missing.html", {})


# --- rendering -------------------------------------------------------------------


@pytest.fixture
def tdir(tmp_path):
    write(tmp_path, "hello.txt", "Hello {{ name }}!")
    write(tmp_path, "page.html", "<p>{{ name }}</p>")
    write(tmp_path, "safe.txt", "{{ name|safe }}")
    write(tmp_path, "inc.html", "[{% include 'nowhere.html' %}]")
    write(tmp_path, "ext.html", "{% extends 'nowhere.html' %}")
    write(tmp_path, "child.html", "{% extends 'base.html' %}{% block b %}C{% endblock %}")
    write(tmp_path, "base.html", "<{% block b %}{% endblock %}>")
    write(tmp_path, "bad.html", "{% if %}")
    write(tmp_path, "sub/deep.txt", "deep {{ n }}")
    return tmp_path


@pytest.fixture
def engine(tdir):
    return TemplateEngine(str(tdir))


def test_render_by_name(engine):
    assert engine.render("hello.txt", {"name": "Ann"}) == "Hello Ann!"
    assert engine.render("child.html", {}) == "<C>"
    assert engine.render("sub/deep.txt", {"n": 3}) == "deep 3"


@pytest.mark.parametrize("name", ["missing.html", "inc.html", "ext.html", "sub/none.txt"])
def test_render_not_found_is_none(engine, name):
    assert engine.render(name, {}) is None


def test_render_string_missing_include_raises(engine):
    with pytest.raises(jinja2.TemplateNotFound):
        engine.render_string("{% include 'nowhere.html' %}", {})
    assert engine.render_string("{% include 'hello.txt' %}", {"name": "B"}) == "Hello B!"


def test_syntax_errors_propagate(engine):
    with pytest.raises(jinja2.TemplateSyntaxError):
        engine.render("bad.html", {})
    with pytest.raises(jinja2.TemplateSyntaxError):
        engine.render_string("{% for %}", {})


@pytest.mark.parametrize("name, escaped", [("page.html", True), ("hello.txt", False)])
def test_autoescape_by_template_name(engine, name, escaped):
    out = engine.render(name, {"name": "<a & b>"})
    assert ("&lt;a &amp; b&gt;" in out) is escaped and ("<a & b>" in out) is not escaped


def test_autoescape_strings_and_safe(engine):
    assert engine.render_string("{{ v }}", {"v": "<b>&"}) == "&lt;b&gt;&amp;"
    assert engine.render("safe.txt", {"name": "<b>"}) == "<b>"


def test_context_never_mutated(engine):
    ctx = {"name": "x", "items": [1]}
    snapshot = {"name": "x", "items": [1]}
    engine.render("hello.txt", ctx)
    engine.render_string("{% set name = 'y' %}{{ name }}", ctx)
    engine.render("missing.html", ctx)
    assert ctx == snapshot and list(ctx) == ["name", "items"]


@pytest.mark.parametrize("method,arg", [("render", "hello.txt"), ("render_string", "x")])
def test_non_string_key_type_error(engine, method, arg):
    ctx = {"name": "a", 1: "b"}
    with pytest.raises(TypeError, match="keywords must be strings"):
        getattr(engine, method)(arg, ctx)
    assert ctx == {"name": "a", 1: "b"}


def test_other_exceptions_propagate(engine):
    engine.env.filters["boom"] = lambda v: (_ for _ in ()).throw(ZeroDivisionError("boom"))
    with pytest.raises(ZeroDivisionError, match="boom"):
        engine.render_string("{{ 1|boom }}", {})
    engine.env.undefined = jinja2.StrictUndefined
    with pytest.raises(jinja2.UndefinedError):
        engine.render_string("{{ nope }}", {})


# --- stand-in templates: result type and exceptions from rendering ---------------


class StrSub(str):
    pass


class FakeTemplate:
    def __init__(self, result=None, exc=None):
        self.result, self.exc, self.kwargs = result, exc, None

    def render(self, *args, **kwargs):
        assert args == ()
        self.kwargs = kwargs
        if self.exc is not None:
            raise self.exc
        return self.result


class NotFoundSub(jinja2.TemplateNotFound):
    pass


def fake_env(monkeypatch, engine, template):
    monkeypatch.setattr(engine.env, "get_template", lambda name: template)
    monkeypatch.setattr(engine.env, "from_string", lambda source: template)


@pytest.mark.parametrize(
    "value,tname", [(StrSub("x"), "StrSub"), (5, "int"), (b"x", "bytes"), (["x"], "list")]
)
@pytest.mark.parametrize("method", ["render", "render_string"])
def test_non_str_result_type_error(monkeypatch, engine, method, value, tname):
    fake_env(monkeypatch, engine, FakeTemplate(value))
    with pytest.raises(TypeError, match=f"^Expected str, got {tname}$"):
        getattr(engine, method)("x", {})


@pytest.mark.parametrize("method", ["render", "render_string"])
def test_str_and_none_results_pass_through(monkeypatch, engine, method):
    t = FakeTemplate("plain")
    fake_env(monkeypatch, engine, t)
    ctx = {"a": 1}
    assert getattr(engine, method)("x", ctx) == "plain"
    assert t.kwargs == ctx and t.kwargs is not ctx
    t.result = None
    assert getattr(engine, method)("x", {}) is None


@pytest.mark.parametrize(
    "exc", [jinja2.TemplateNotFound("x"), NotFoundSub("x"), jinja2.TemplatesNotFound(["a", "b"])]
)
def test_not_found_subclass_during_render_is_none(monkeypatch, engine, exc):
    fake_env(monkeypatch, engine, FakeTemplate(exc=exc))
    assert engine.render("x", {}) is None
    with pytest.raises(type(exc)):
        engine.render_string("x", {})


@pytest.mark.parametrize("exc", [KeyError("k"), RuntimeError("r"), jinja2.TemplateError("t")])
def test_other_render_exceptions_propagate(monkeypatch, engine, exc):
    fake_env(monkeypatch, engine, FakeTemplate(exc=exc))
    with pytest.raises(type(exc)):
        engine.render("x", {})


# --- env property and add_template_dir failures ----------------------------------


def test_env_property_same_object_read_only(engine):
    assert engine.env is engine.env
    assert isinstance(engine.env, jinja2.Environment)
    assert isinstance(engine.env.loader, jinja2.FileSystemLoader)
    with pytest.raises(AttributeError):
        engine.env = jinja2.Environment()
    assert list(vars(engine)) == ["_env"]


def test_add_template_dir_without_searchpath(engine):
    engine.env.loader = jinja2.DictLoader({})
    with pytest.raises(AttributeError):
        engine.add_template_dir("x")


@pytest.mark.parametrize(
    "call",
    [
        lambda e: e.add_template_dir(pathlib.Path("x")),
        lambda e: e.add_template_dir(None),
        lambda e: e.render(None, {}),
        lambda e: e.render("x", None),
        lambda e: e.render_string("x", type("D", (dict,), {})()),
        lambda e: TemplateEngine(pathlib.Path("x")),
    ],
)
def test_argument_type_checks(engine, call):
    with pytest.raises(TypeError, match="^Argument '.*' has incorrect type"):
        call(engine)


# --- class surface and argument matching ------------------------------------------


def test_class_surface():
    assert TemplateEngine.__bases__ == (object,) and type(TemplateEngine) is type
    assert TemplateEngine.__qualname__ == "TemplateEngine"
    names = [n for n in vars(TemplateEngine) if n not in ("__dict__", "__weakref__")]
    assert names == [
        "__module__",
        "__doc__",
        "__init__",
        "render",
        "render_string",
        "add_template_dir",
        "env",
    ]
    prop = vars(TemplateEngine)["env"]
    assert type(prop) is property and prop.fset is None and prop.fdel is None
    assert prop.fget.__qualname__ == "TemplateEngine.env"
    assert (
        prop.__doc__
        == prop.fget.__doc__
        == ("Access the underlying Jinja2 Environment for advanced usage.")
    )
    assert TemplateEngine.__init__.__doc__ is None
    assert TemplateEngine.__init__.__defaults__ == (None,)
    assert TemplateEngine.add_template_dir.__doc__ == (
        "Add an additional template search directory (prepended for priority)."
    )
    assert TemplateEngine.render.__doc__ == (
        "\n        Render a template by name.\n\n        Returns the rendered string, or None"
        " if the template does not exist.\n        "
    )
    assert TemplateEngine.render_string.__doc__ == (
        "\n        Render an inline Jinja2 string with the given context.\n        "
    )


@pytest.mark.parametrize(
    "name,annotations",
    [
        ("__init__", [("template_dir", "Optional[str]")]),
        ("render", [("template_name", "str"), ("context", "dict"), ("return", "Optional[str]")]),
        ("render_string", [("template_string", "str"), ("context", "dict"), ("return", "str")]),
        ("add_template_dir", [("directory", "str"), ("return", "None")]),
    ],
)
def test_annotations(name, annotations):
    fn = getattr(TemplateEngine, name)
    assert list(fn.__annotations__.items()) == annotations
    assert fn.__qualname__ == f"TemplateEngine.{name}" and fn.__module__ == "brisvane.template"


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda e: e.render("x"), "render() takes exactly 3 positional arguments (2 given)"),
        (
            lambda e: e.render_string("x", {}, 1),
            "render_string() takes exactly 3 positional arguments (4 given)",
        ),
        (
            lambda e: e.add_template_dir(),
            "add_template_dir() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda e: TemplateEngine("a", "b"),
            "__init__() takes at most 2 positional arguments (3 given)",
        ),
        (
            lambda e: e.render("x", {}, bogus=1),
            "render() got an unexpected keyword argument 'bogus'",
        ),
        (
            lambda e: e.render("x", {}, template_name="y"),
            "render() got multiple values for keyword argument 'template_name'",
        ),
        (
            lambda e: e.add_template_dir(None),
            "Argument 'directory' has incorrect type (expected str, got NoneType)",
        ),
        (
            lambda e: e.render(StrSub("x"), {}),
            "Argument 'template_name' has incorrect type (expected str, got StrSub). "
            "Subclasses of built-in types are rejected; pass a plain str",
        ),
    ],
)
def test_argument_messages(engine, call, message):
    with pytest.raises(TypeError) as info:
        call(engine)
    assert str(info.value) == message


def test_keyword_arguments_accepted(engine):
    assert engine.render(context={"name": "K"}, template_name="hello.txt") == "Hello K!"
    assert engine.render_string(template_string="{{ a }}", context={"a": 1}) == "1"
    assert TemplateEngine(template_dir=None).env.loader.searchpath == [DEFAULT]


def test_missing_env_attribute_propagates(engine):
    del engine._env
    with pytest.raises(AttributeError):
        engine.render("hello.txt", {})
