"""Send plain-text, HTML and Jinja2-templated mail over SMTP.

A mail in three lines::

    from brisvane import EasyMailer

    mailer = EasyMailer("smtp.example.com", 465, "me@example.com", "app-password")
    mailer.send("you@example.com", "Hello", body="Hi there!")
"""

__all__ = [
    "EasyMailer",
    "MissingVariableError",
    "TemplateEngine",
    "__version__",
    "calendar_invite",
    "inline_image",
]
_ITEMS = ("inline_image", "calendar_invite")


def __getattr__(name):
    # The classes live in the compiled modules; importing them is deferred to
    # first use so that `import brisvane` stays cheap (and free of Jinja2).
    if name == "EasyMailer":
        from brisvane.mailer import EasyMailer

        return EasyMailer
    if name == "TemplateEngine":
        from brisvane.template import TemplateEngine

        return TemplateEngine
    if name in _ITEMS:
        from brisvane import _items

        return getattr(_items, name)
    if name == "MissingVariableError":
        from brisvane._builtins import MissingVariableError

        return MissingVariableError
    if name == "__version__":
        # One version, in pyproject.toml; the installed metadata carries it,
        # read once on first use (importlib.metadata is not cheap to import).
        from importlib.metadata import version

        globals()["__version__"] = found = version("brisvane")
        return found
    raise AttributeError(f"module 'brisvane' has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | set(__all__))
