"""Every text a person reads from the Python layer, in English and Chinese.

One table, keyed by ``"capability.what"``; each entry holds the English text
and the Chinese text, both ``str.format`` templates with the same fields.
Modules ask for a text with :func:`text`; the language is the one given, else
``BRISVANE_LANG``, else the process locale (Chinese for any ``zh`` locale,
English otherwise).
"""

from __future__ import annotations

import os

# key: (English, Chinese)
MESSAGES: dict[str, tuple[str, str]] = {
    # shared
    "extra.missing": (
        "brisvane[{extra}] is not installed: pip install 'brisvane[{extra}]'",
        "未安装 brisvane[{extra}]：请执行 pip install 'brisvane[{extra}]'",
    ),
}

LANGUAGES = ("en", "zh")


def language(preferred: str | None = None) -> str:
    """``"zh"`` or ``"en"``: `preferred` when given, else from the environment."""
    for value in (
        preferred,
        os.environ.get("BRISVANE_LANG"),
        os.environ.get("LC_ALL"),
        os.environ.get("LC_MESSAGES"),
        os.environ.get("LANG"),
    ):
        if value:
            return "zh" if value.lower().replace("_", "-").startswith("zh") else "en"
    return "en"


def text(key: str, lang: str | None = None, /, **fields: object) -> str:
    """The text `key` in `lang` (see :func:`language`), its fields filled in."""
    english, chinese = MESSAGES[key]
    template = chinese if language(lang) == "zh" else english
    return template.format(**fields)
