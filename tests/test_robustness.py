"""What hostile callers reach through the native code: recursion through the
operations, the function type itself, threads ended at interpreter exit,
credentials in login errors.  Every crash reproducer runs in a child process,
so that a crash fails one test instead of ending the run."""

import copy
import subprocess
import sys
import textwrap
import typing
import weakref
from email.mime.multipart import MIMEMultipart

import pytest
from helpers import PASSWORD

from brisvane import EasyMailer, TemplateEngine


def run_python(code: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def assert_clean(result: subprocess.CompletedProcess, expected: str) -> None:
    assert result.returncode == 0, (result.returncode, result.stderr[-2000:])
    assert result.stdout.strip().splitlines()[-1] == expected, result.stdout


# --- lists that change while an operation walks them ------------------------

# Each changes a list while send walks it: another thread, or Python code that
# the walk itself runs (a replaced email.utils function, an attachment step).
LIST_CHANGES = {
    "another thread": """
        stop = False
        def grow():
            i = 0
            while not stop:
                shared.append(f"用户{i} <u{i}@example.com>")
                i += 1
                if len(shared) > 200:
                    del shared[:150]
        worker = threading.Thread(target=grow)
        worker.start()
        end = time.monotonic() + 1.5
        while time.monotonic() < end:
            m.send(shared, "s", body="b", cc=shared)
        stop = True
        worker.join()
    """,
    "getaddresses": """
        real = email.utils.getaddresses
        def getaddresses(values):
            shared.clear()
            shared.extend([object(), "x" * 10])
            gc.collect()
            return real(values)
        email.utils.getaddresses = getaddresses
        try:
            m.send(shared, "s", body="b")
        except TypeError:
            pass
    """,
    "attachment step": """
        items = [{"filename": "a.txt", "data": b"x"} for _ in range(5)]
        m._attach_binary = lambda msg, item: (items.clear(), gc.collect())
        m.send("a@example.com", "s", body="b", attachments=items)
    """,
}


@pytest.mark.parametrize("change", LIST_CHANGES.values(), ids=LIST_CHANGES.keys())
def test_list_changed_during_send(change):
    result = run_python(f"""
        import email.utils, gc, threading, time
        from brisvane import EasyMailer
        m = EasyMailer("h", 465, "u", "p")
        m._do_send = lambda msg, recipients, sender: msg.as_string()
        shared = [f"用户{{i}} <u{{i}}@example.com>" for i in range(50)]
        {textwrap.indent(textwrap.dedent(change), " " * 8).strip()}
        print("done")
    """)
    assert_clean(result, "done")


# --- recursion through the package's own functions ---------------------------

LOOPS = {
    "build_message is send": "m._build_message = m.send; m.send('a@example.com', 's')",
    "do_send is send": "m._do_send = lambda msg, rcpt, s: m.send('a@example.com', 's');"
    "m.send('a@example.com', 's')",
    "send calls send_template": "m.send = lambda *a, **k: m.send_template('a@example.com', "
    "'s', 'x'); m.send_template('a@example.com', 's', 'x')",
    "environment calls render": "e = TemplateEngine(); "
    "e._env = type('Env', (), {'get_template': "
    "lambda self, n: TemplateEngine.render(e, n, {})})(); "
    "e.render('x', {})",
}


@pytest.mark.parametrize("loop", LOOPS.values(), ids=LOOPS.keys())
def test_recursion_through_operations_raises_recursion_error(loop):
    result = run_python(f"""
        from brisvane import EasyMailer, TemplateEngine
        m = EasyMailer("h", 465, "u", "p")
        try:
            {loop}
        except RecursionError:
            print("RecursionError")
    """)
    assert_clean(result, "RecursionError")


# --- the function type --------------------------------------------------------

FUNCTIONS = [
    EasyMailer.send,
    EasyMailer.__init__,
    EasyMailer.__dict__["_attach_file"].__func__,
    TemplateEngine.render,
]


def test_function_type_cannot_be_instantiated_or_changed():
    result = run_python("""
        from brisvane import EasyMailer
        kind = type(EasyMailer.send)
        for attempt in (lambda: kind(), lambda: kind.__new__(kind)):
            try:
                print(repr(attempt()))
            except TypeError:
                pass
        print(repr(EasyMailer.send).startswith("<function EasyMailer.send at "))
    """)
    assert_clean(result, "True")


def test_function_object_made_through_an_assigned_new_is_harmless():
    # 3.9 has no immutable heap types: a __new__ assigned to the type makes an
    # object that no table filled; every attribute of it must stay safe.
    result = run_python("""
        import inspect
        from brisvane import EasyMailer
        kind = type(EasyMailer.send)
        try:
            kind.__new__ = staticmethod(lambda cls: object.__new__(cls))
            empty = kind()
        except TypeError:
            print("refused")
        else:
            for name in ("__name__", "__doc__", "__defaults__", "__annotations__",
                         "__signature__", "__globals__", "__dict__"):
                getattr(empty, name)
            repr(empty)
            for attempt in (empty, lambda: inspect.signature(empty)):
                try:
                    attempt()
                except (TypeError, ValueError):
                    pass
            print("refused" if __import__("sys").version_info >= (3, 10) else "harmless")
    """)
    assert_clean(result, "refused" if sys.version_info >= (3, 10) else "harmless")


def test_function_type_is_final_and_immutable_where_the_interpreter_allows():
    kind = type(EasyMailer.send)
    if sys.version_info >= (3, 10):  # 3.9 has no immutable heap types
        with pytest.raises(TypeError):
            kind.__repr__ = lambda self: "x"
        with pytest.raises(TypeError):
            kind.__call__ = None
    with pytest.raises(TypeError):

        class Sub(kind):  # noqa: F841  (the type is final, like CPython's function)
            pass


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_weak_references(function):
    ref = weakref.ref(function)
    assert ref() is function
    mailer = EasyMailer("h", 465, "u", "p")
    method = weakref.WeakMethod(mailer.send)
    assert method() == mailer.send
    del mailer
    assert method() is None


@pytest.mark.parametrize(
    "function",
    [
        EasyMailer.send,
        EasyMailer.send_template,
        EasyMailer.__init__,
        EasyMailer._do_send,
        EasyMailer._build_message,
        TemplateEngine.render,
    ],
)
def test_globals_resolve_the_annotations(function):
    assert function.__globals__ is sys.modules[function.__module__].__dict__
    hints = typing.get_type_hints(function)
    assert list(hints) == list(function.__annotations__)
    if "to" in hints:
        assert hints["to"] == typing.Union[str, typing.List[str]]  # noqa: UP006 (as annotated)


@pytest.mark.parametrize("function", FUNCTIONS, ids=lambda f: f.__qualname__)
def test_copy_gives_the_function_itself(function):
    assert copy.copy(function) is function
    assert copy.deepcopy(function) is function
    assert copy.deepcopy({"f": function})["f"] is function


# --- the with helper's look-up of __enter__ and __exit__ ----------------------


def _stub_module(connection_class):
    return type("StubSmtplib", (), {"SMTP": connection_class, "SMTP_SSL": connection_class})


class _Connection:
    def __init__(self, *args, **kwargs):
        pass

    def login(self, user, password):
        pass

    def sendmail(self, sender, recipients, text):
        pass


def test_with_block_binds_a_staticmethod_enter_once(monkeypatch):
    import brisvane.mailer as mailer_module

    seen = []

    class Connection(_Connection):
        @staticmethod
        def __enter__():
            seen.append("enter")
            return Connection.instance

        def __exit__(self, *exc):
            seen.append(exc)

    Connection.instance = Connection()
    monkeypatch.setattr(mailer_module, "smtplib", _stub_module(Connection))
    EasyMailer("h", 1, "u", "p", use_ssl=False)._do_send(MIMEMultipart(), ["a@example.com"], "s")
    assert seen == ["enter", (None, None, None)]


def test_with_block_ignores_methods_defined_on_a_metaclass(monkeypatch):
    import brisvane.mailer as mailer_module

    class Meta(type):
        def __enter__(cls):
            return cls

        def __exit__(cls, *exc):
            return None

    class Connection(_Connection, metaclass=Meta):
        pass

    monkeypatch.setattr(mailer_module, "smtplib", _stub_module(Connection))
    with pytest.raises((TypeError, AttributeError)):
        with Connection("h", 1):
            pass
    with pytest.raises(TypeError, match="context manager protocol"):
        EasyMailer("h", 1, "u", "p", use_ssl=False)._do_send(None, ["a@example.com"], "s")


# --- daemon threads inside an operation when the interpreter exits -----------

# Where the thread is when the interpreter ends it: in login (inside the
# connection's with block), in __exit__ (while an exception is being handled),
# in template rendering.
EXIT_POINTS = {
    "login": ("login", "mailer.send('a@example.com', 's', body='b')"),
    "exit handling an error": ("exit", "mailer.send('a@example.com', 's', body='b')"),
    "template rendering": (
        "render",
        "mailer.send_template('a@example.com', '{{ spin() }}', 'none', {'spin': spin})",
    ),
}


@pytest.mark.parametrize("point", EXIT_POINTS.values(), ids=EXIT_POINTS.keys())
def test_daemon_thread_in_an_operation_at_exit_ends_cleanly(point):
    where, call = point
    result = run_python(f"""
        import threading, time
        import brisvane.mailer as module
        from brisvane import EasyMailer

        started = threading.Event()

        def spin(*args):
            started.set()
            while True:  # gives the GIL up and takes it back, again and again
                time.sleep(0.001)

        class Connection:
            def __init__(self, *args, **kwargs): pass
            def __enter__(self): return self
            def __exit__(self, *exc):
                if "{where}" == "exit": spin()
            def login(self, user, password):
                if "{where}" == "exit": raise PermissionError("refused")
                spin()
            def sendmail(self, *args): pass

        module.smtplib = type("Stub", (), {{"SMTP": Connection, "SMTP_SSL": Connection}})
        mailer = EasyMailer("h", 1, "u", "p")
        for _ in range(4):
            threading.Thread(target=lambda: {call}, daemon=True).start()
        started.wait(10)
        time.sleep(0.05)
        print("exiting")
    """)
    assert_clean(result, "exiting")


def test_daemon_thread_in_a_finalizer_run_by_an_operation_at_exit_ends_cleanly():
    # The message's last reference goes when send returns; its __del__ is
    # still running (from a C++ destructor) when the interpreter exits.
    result = run_python("""
        import threading, time
        from email.mime.multipart import MIMEMultipart
        import brisvane.mailer as module
        from brisvane import EasyMailer

        started = threading.Event()

        class Message(MIMEMultipart):
            def __del__(self):
                started.set()
                while True:
                    time.sleep(0.001)

        module.MIMEMultipart = Message
        mailer = EasyMailer("h", 1, "u", "p")
        mailer._do_send = lambda msg, recipients, sender: None
        for _ in range(4):
            threading.Thread(target=lambda: mailer.send("a@example.com", "s", body="b"),
                             daemon=True).start()
        started.wait(10)
        time.sleep(0.05)
        print("exiting")
    """)
    assert_clean(result, "exiting")


# --- credentials never appear in the login step's errors ----------------------


@pytest.mark.parametrize("password", ["pässwörd-42", "密码-秘密", PASSWORD + "\u00e9"])
def test_non_ascii_password_is_not_in_the_unicode_error(smtp_each_mode, password):
    mailer = smtp_each_mode.mailer(password=password)
    with pytest.raises(UnicodeEncodeError) as caught:
        mailer.send("to@example.com", "s", body="b")
    error = caught.value
    texts = [repr(error), str(error), repr(error.args), repr(error.object)]
    for secret in (password, password[-6:], password.encode("utf-8").hex()):
        assert not any(secret in text for text in texts), texts
    assert error.args == (
        "ascii",
        "\ufffd",
        0,
        1,
        "ordinal not in range(128)",
    )  # as the Python path
    assert error.__context__ is None and error.__cause__ is None
    assert smtp_each_mode.messages == []
