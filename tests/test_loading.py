"""Loading the compiled modules: once-only initialisation, namespaces, import failures."""

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

MODULES = {"mailer": brisvane.mailer, "template": brisvane.template}
REINIT = "Module '{}' has already been imported. Re-initialisation is not supported."
SUBINTERP = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def run_python(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True, text=True, timeout=timeout,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"the child interpreter hung for {timeout}s running:\n{code}")


@pytest.mark.parametrize("short", MODULES)
def test_second_module_object_is_refused(short):
    module = MODULES[short]
    spec = importlib.util.find_spec(f"brisvane.{short}")
    with pytest.raises(RuntimeError) as info:
        clone = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(clone)
    assert str(info.value) == REINIT.format(short)
    assert sys.modules[f"brisvane.{short}"] is module
    assert brisvane.mailer.EasyMailer("h", 1, "u", "p", False).port == 1


@pytest.mark.parametrize("short", MODULES)
def test_executing_the_loaded_module_again_does_nothing(short):
    module = MODULES[short]
    before = dict(vars(module))
    assert module.__spec__.loader.exec_module(module) is None
    after = vars(module)
    assert list(after) == list(before)
    assert all(after[name] is value for name, value in before.items())


@pytest.mark.parametrize("short", MODULES)
def test_second_interpreter_is_refused(short):
    result = run_python(f"""
        import _testcapi
        import brisvane.{short}
        print(_testcapi.run_in_subinterp("import brisvane.{short}"))
    """, timeout=15)
    assert result.stdout.strip() == "-1", result.stderr
    assert f"ImportError: {SUBINTERP}" in result.stderr


@pytest.mark.parametrize("short", MODULES)
def test_module_attributes_come_from_the_spec(short):
    module = MODULES[short]
    spec = importlib.util.find_spec(f"brisvane.{short}")
    assert module.__name__ == f"brisvane.{short}"
    assert module.__file__ == spec.origin == module.__spec__.origin
    assert module.__loader__ is module.__spec__.loader
    assert module.__package__ == "brisvane"
    assert not hasattr(module, "__path__")
    assert module.__doc__ is None


NAMESPACES = {
    "mailer": [
        ("smtplib", smtplib), ("ssl", ssl), ("mimetypes", mimetypes), ("datetime", datetime),
        ("MIMEMultipart", email.mime.multipart.MIMEMultipart),
        ("MIMEText", email.mime.text.MIMEText), ("MIMEBase", email.mime.base.MIMEBase),
        ("encoders", email.encoders), ("formataddr", email.utils.formataddr),
        ("formatdate", email.utils.formatdate), ("List", typing.List),
        ("Optional", typing.Optional), ("Union", typing.Union), ("Dict", typing.Dict),
        ("Path", pathlib.Path), ("TemplateEngine", brisvane.template.TemplateEngine),
        ("EasyMailer", brisvane.mailer.EasyMailer),
    ],
    "template": [
        ("Path", pathlib.Path), ("Optional", typing.Optional),
        ("Environment", jinja2.Environment), ("FileSystemLoader", jinja2.FileSystemLoader),
        ("TemplateNotFound", jinja2.TemplateNotFound),
        ("_DEFAULT_TEMPLATE_DIR", brisvane.template._DEFAULT_TEMPLATE_DIR),
        ("TemplateEngine", brisvane.template.TemplateEngine),
    ],
}


@pytest.mark.parametrize("short", MODULES)
def test_namespace_values(short):
    module = MODULES[short]
    for name, value in NAMESPACES[short]:
        assert getattr(module, name) is value, name


@pytest.mark.parametrize("short", MODULES)
def test_namespace_order_in_a_fresh_process(short):
    # In a fresh process: other tests rebind (and so reorder) module globals.
    result = run_python(f"""
        import json, brisvane.{short} as m
        print(json.dumps(list(vars(m))))
    """)
    assert result.returncode == 0, result.stderr
    names = json.loads(result.stdout)
    public = [name for name in names if not name.startswith("__")]
    assert public == [name for name, _ in NAMESPACES[short]]
    assert names[: len(names) - len(public)] == [n for n in names if n.startswith("__")]


def test_package_import_is_lazy():
    result = run_python("""
        import sys, brisvane
        loaded = [n for n in ("jinja2", "brisvane.mailer", "brisvane.template") if n in sys.modules]
        print(loaded, isinstance(brisvane.__version__, str))
        from brisvane import EasyMailer, TemplateEngine
        import brisvane.mailer, brisvane.template
        print(EasyMailer is brisvane.mailer.EasyMailer,
              TemplateEngine is brisvane.template.TemplateEngine)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:2] == ["[] True", "True True"]


def test_no_version_warning_on_the_interpreter_it_was_built_for():
    result = run_python("""
        import warnings
        warnings.simplefilter("error")
        import brisvane.mailer, brisvane.template
    """)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("first", ["brisvane.mailer", "brisvane.template"])
def test_without_jinja2_neither_module_imports(first):
    second = "brisvane.template" if first == "brisvane.mailer" else "brisvane.mailer"
    result = run_python(f"""
        import sys
        sys.modules["jinja2"] = None
        for name in ("{first}", "{second}"):
            try:
                __import__(name)
            except ImportError as exc:
                print(name, "ImportError", type(exc).__name__)
            else:
                print(name, "imported")
        print(sorted(n for n in sys.modules if n.startswith("brisvane.")))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"{first} ImportError ModuleNotFoundError", f"{second} ImportError ModuleNotFoundError", "[]"]


def test_missing_jinja2_name_fails_the_import():
    result = run_python("""
        import sys, types
        fake = types.ModuleType("jinja2")
        fake.Environment = fake.FileSystemLoader = object
        sys.modules["jinja2"] = fake
        try:
            import brisvane.template
        except ImportError as exc:
            print(type(exc).__name__, str(exc))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ImportError cannot import name TemplateNotFound"


def test_from_import_falls_back_to_a_loaded_submodule():
    result = run_python("""
        import sys, types
        fake = types.ModuleType("jinja2")
        fake.Environment = fake.FileSystemLoader = object
        sys.modules["jinja2"] = fake
        sys.modules["jinja2.TemplateNotFound"] = marker = types.ModuleType("marker")
        import brisvane.template
        print(brisvane.template.TemplateNotFound is marker)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "True"


@pytest.mark.parametrize("name", ["staticmethod", "open"])
def test_missing_builtin_at_load(name):
    result = run_python(f"""
        import builtins, brisvane, smtplib, ssl, mimetypes, email.mime.multipart
        saved = builtins.{name}
        del builtins.{name}
        try:
            import brisvane.mailer
        except NameError as exc:
            print(exc)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"name '{name}' is not defined"


def test_builtins_are_taken_when_the_module_loads():
    result = run_python("""
        import builtins, sys, tempfile
        from email.mime.multipart import MIMEMultipart
        real_open = builtins.open
        used = []
        class Marked(staticmethod):
            pass
        def recording_open(*args, **kwargs):
            used.append(args)
            return real_open(*args, **kwargs)
        builtins.staticmethod, builtins.open = Marked, recording_open
        import brisvane.mailer
        builtins.staticmethod, builtins.open = staticmethod, real_open
        E = brisvane.mailer.EasyMailer
        print([type(vars(E)[n]).__name__ for n in ("_attach_file", "_attach_binary",
                                                    "_collect_recipients", "send")])
        with tempfile.NamedTemporaryFile(suffix=".txt") as f:
            f.write(b"data"); f.flush()
            E._attach_file(MIMEMultipart(), f.name)
            print(any(a and str(a[0]) == f.name for a in used))
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["['Marked', 'Marked', 'Marked', 'function']", "True"]


def test_replacing_builtin_open_later_does_not_affect_attachments(tmp_path, monkeypatch):
    path = tmp_path / "report.txt"
    path.write_bytes(b"quarterly numbers\n")

    def refusing_open(*args, **kwargs):
        raise AssertionError("builtins.open was looked up at call time")

    msg = email.mime.multipart.MIMEMultipart()
    mimetypes.guess_type("warm-up.txt")  # the type table is read with builtins.open
    monkeypatch.setattr(builtins, "open", refusing_open)
    assert brisvane.mailer.EasyMailer._attach_file(msg, str(path)) is None
    monkeypatch.undo()
    (part,) = msg.get_payload()
    assert part.get_payload(decode=True) == b"quarterly numbers\n"
    assert part["Content-Disposition"] == "attachment; filename=report.txt"
