"""Loading the compiled modules: once-only initialisation, one interpreter,
module attributes, namespaces, import failures and builtins taken at load."""

import builtins
import email.encoders
import email.mime.base
import email.mime.multipart
import email.mime.text
import email.utils
import importlib.util
import json
import mimetypes
import pathlib
import smtplib
import ssl
import subprocess
import sys
import textwrap
import typing
from datetime import datetime

import jinja2
import pytest

import brisvane
import brisvane.mailer
import brisvane.template

SHORT = ["mailer", "template"]
REINIT = "Module '{}' has already been imported. Re-initialisation is not supported."
SUBINTERP = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)


def module(short):
    return {"mailer": brisvane.mailer, "template": brisvane.template}[short]


def run_python(code, timeout=60):
    """Run code in a fresh interpreter; a hang is a failure, not a stuck suite."""
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"child interpreter hung for {timeout}s running:\n{code}")


# --- once-only initialisation ------------------------------------------------------


@pytest.mark.parametrize("short", SHORT)
def test_second_module_object_refused(short):
    original = module(short)
    found = importlib.util.find_spec(f"brisvane.{short}")
    clone = importlib.util.module_from_spec(found)
    assert clone is not original
    with pytest.raises(RuntimeError) as info:
        found.loader.exec_module(clone)
    assert str(info.value) == REINIT.format(short)
    assert type(info.value) is RuntimeError
    assert sys.modules[f"brisvane.{short}"] is original
    # the loaded module keeps working
    assert brisvane.mailer.EasyMailer("h", 25, "u", "p", False).port == 25
    assert brisvane.template.TemplateEngine().render_string("{{ 1 + 1 }}", {}) == "2"


@pytest.mark.parametrize("short", SHORT)
def test_second_module_object_refused_every_time(short):
    found = importlib.util.find_spec(f"brisvane.{short}")
    for _ in range(2):
        with pytest.raises(RuntimeError, match="Re-initialisation is not supported"):
            found.loader.exec_module(importlib.util.module_from_spec(found))


@pytest.mark.parametrize("short", SHORT)
def test_exec_again_on_loaded_module_does_nothing(short):
    mod = module(short)
    before = dict(vars(mod))
    assert mod.__spec__.loader.exec_module(mod) is None
    assert list(vars(mod)) == list(before)
    assert all(vars(mod)[k] is v for k, v in before.items())


# --- one interpreter per process -----------------------------------------------------


@pytest.mark.parametrize(
    "first,sub",
    [
        ("brisvane.mailer", "brisvane.mailer"),
        ("brisvane.template", "brisvane.template"),
        ("brisvane.mailer", "brisvane.template"),
        ("brisvane.template", "brisvane.mailer"),
    ],
)
def test_import_in_second_interpreter_refused(first, sub):
    result = run_python(
        f"""
        import _testcapi
        import {first}
        print(_testcapi.run_in_subinterp("import {sub}"), flush=True)
        import {first} as again
        print(type(again).__name__)
    """,
        timeout=20,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["-1", "module"], result.stderr
    assert f"ImportError: {SUBINTERP}" in result.stderr


@pytest.mark.parametrize("short", SHORT)
def test_import_in_second_interpreter_before_main(short):
    # the main interpreter is the one the module belongs to, whoever asks first
    result = run_python(
        f"""
        import _testcapi
        print(_testcapi.run_in_subinterp("import brisvane.{short}"), flush=True)
        import brisvane.{short}
        print("main ok")
    """,
        timeout=20,
    )
    assert result.stdout.split("\n")[0] == "-1", result.stderr
    assert f"ImportError: {SUBINTERP}" in result.stderr
    assert result.returncode == 0 and "main ok" in result.stdout, result.stderr


def test_second_interpreter_error_is_catchable_inside_it():
    inner = textwrap.dedent(f"""
        try:
            import brisvane.template
        except ImportError as exc:
            assert str(exc) == {SUBINTERP!r}, str(exc)
        else:
            raise AssertionError("imported in a second interpreter")
    """)
    result = run_python(
        f"""
        import _testcapi, brisvane.template
        print(_testcapi.run_in_subinterp({inner!r}))
    """,
        timeout=20,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "0", result.stderr


# --- module attributes and namespaces -------------------------------------------------


@pytest.mark.parametrize("short", SHORT)
def test_module_attributes_from_finder(short):
    mod = module(short)
    found = importlib.util.find_spec(f"brisvane.{short}")
    assert mod.__name__ == f"brisvane.{short}"
    assert mod.__file__ == found.origin
    assert mod.__loader__ is mod.__spec__.loader
    assert type(mod.__loader__) is type(found.loader)
    assert mod.__package__ == "brisvane"
    assert not hasattr(mod, "__path__")
    assert mod.__doc__ is None
    assert pathlib.Path(mod.__file__).parent == pathlib.Path(brisvane.__file__).parent


NAMESPACES = {
    "mailer": [
        ("smtplib", smtplib),
        ("ssl", ssl),
        ("mimetypes", mimetypes),
        ("datetime", datetime),
        ("MIMEMultipart", email.mime.multipart.MIMEMultipart),
        ("MIMEText", email.mime.text.MIMEText),
        ("MIMEBase", email.mime.base.MIMEBase),
        ("encoders", email.encoders),
        ("formataddr", email.utils.formataddr),
        ("formatdate", email.utils.formatdate),
        ("List", typing.List),  # noqa: UP006 (the name the module imports)
        ("Optional", typing.Optional),
        ("Union", typing.Union),
        ("Dict", typing.Dict),  # noqa: UP006 (the name the module imports)
        ("Path", pathlib.Path),
        ("TemplateEngine", brisvane.template.TemplateEngine),
        ("EasyMailer", brisvane.mailer.EasyMailer),
    ],
    "template": [
        ("Path", pathlib.Path),
        ("Optional", typing.Optional),
        ("Environment", jinja2.Environment),
        ("FileSystemLoader", jinja2.FileSystemLoader),
        ("TemplateNotFound", jinja2.TemplateNotFound),
        ("_DEFAULT_TEMPLATE_DIR", brisvane.template._DEFAULT_TEMPLATE_DIR),
        ("TemplateEngine", brisvane.template.TemplateEngine),
    ],
}


@pytest.mark.parametrize("short", SHORT)
def test_namespace_values(short):
    for name, value in NAMESPACES[short]:
        assert getattr(module(short), name) is value, name
    assert type(brisvane.mailer.datetime) is type  # the class, not the module


@pytest.mark.parametrize("short", SHORT)
def test_namespace_order_in_fresh_process(short):
    result = run_python(f"""
        import json, brisvane.{short} as m
        print(json.dumps(list(vars(m))))
    """)
    assert result.returncode == 0, result.stderr
    names = json.loads(result.stdout)
    dunder = [n for n in names if n.startswith("__")]
    assert names[: len(dunder)] == dunder
    assert names[len(dunder) :] == [n for n, _ in NAMESPACES[short]]


# --- the package and import failures ----------------------------------------------------


def test_package_import_is_lazy_and_exports_classes():
    result = run_python("""
        import sys, brisvane
        print([n for n in ("jinja2", "brisvane.mailer", "brisvane.template") if n in sys.modules])
        print(type(brisvane.__version__).__name__, bool(brisvane.__version__))
        from brisvane import EasyMailer, TemplateEngine
        import brisvane.mailer, brisvane.template
        print(EasyMailer is brisvane.mailer.EasyMailer,
              TemplateEngine is brisvane.template.TemplateEngine)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["[]", "str True", "True True"]


@pytest.mark.parametrize("order", [["mailer", "template"], ["template", "mailer"]])
def test_without_jinja2_neither_module_imports(order):
    result = run_python(f"""
        import sys
        sys.modules["jinja2"] = None
        for short in {order!r}:
            try:
                __import__("brisvane." + short)
            except ImportError as exc:
                print(short, "ImportError")
            else:
                print(short, "imported")
        print(sorted(n for n in sys.modules if n.startswith("brisvane.")))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"{order[0]} ImportError",
        f"{order[1]} ImportError",
        "[]",
    ]


def test_missing_jinja2_name_fails_the_import():
    result = run_python("""
        import sys, types
        fake = types.ModuleType("jinja2")
        fake.Environment = fake.FileSystemLoader = object
        sys.modules["jinja2"] = fake
        for name in ("brisvane.template", "brisvane.mailer"):
            try:
                __import__(name)
            except ImportError as exc:
                print(type(exc).__name__, exc)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["ImportError cannot import name TemplateNotFound"] * 2


# --- builtins taken when the module loads ------------------------------------------------


def test_builtin_open_replaced_later_is_not_used(tmp_path, monkeypatch):
    path = tmp_path / "report.txt"
    path.write_bytes(b"quarterly numbers\n")

    def refusing_open(*args, **kwargs):
        raise AssertionError("builtins.open looked up at call time")

    msg = email.mime.multipart.MIMEMultipart()
    mimetypes.guess_type("warm-up.txt")  # mimetypes itself reads its tables with open
    monkeypatch.setattr(builtins, "open", refusing_open)
    assert brisvane.mailer.EasyMailer._attach_file(msg, str(path)) is None
    monkeypatch.undo()
    (part,) = msg.get_payload()
    assert part.get_payload(decode=True) == b"quarterly numbers\n"


def test_builtins_replaced_before_load_are_kept():
    result = run_python("""
        import builtins, tempfile
        from email.mime.multipart import MIMEMultipart
        real_open, used = builtins.open, []
        class Marked(staticmethod):
            pass
        def recording_open(*args, **kwargs):
            used.append(str(args[0]))
            return real_open(*args, **kwargs)
        builtins.staticmethod, builtins.open = Marked, recording_open
        import brisvane.mailer
        builtins.staticmethod, builtins.open = staticmethod, real_open
        E = brisvane.mailer.EasyMailer
        print([type(vars(E)[n]).__name__ for n in ("_attach_file", "_collect_recipients", "send")])
        with tempfile.NamedTemporaryFile(suffix=".txt") as f:
            f.write(b"data"); f.flush()
            E._attach_file(MIMEMultipart(), f.name)
            print(f.name in used)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["['Marked', 'Marked', 'function']", "True"]


@pytest.mark.parametrize("name", ["staticmethod", "open"])
def test_missing_builtin_at_load(name):
    result = run_python(f"""
        import builtins, brisvane.template
        del builtins.{name}
        try:
            import brisvane.mailer
        except NameError as exc:
            print(exc)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"name '{name}' is not defined"
