"""The table of texts a person reads: both languages with the same fields,
and every key found whole where it is used."""

from __future__ import annotations

import ast
import re
import string
from pathlib import Path

from brisvane import _messages
from brisvane.cli import _ui

SOURCE = Path(__file__).resolve().parent.parent / "src" / "brisvane"


def fields(template: str) -> set[tuple[str, str, str]]:
    """The replacement fields of a template: name, conversion, format."""
    return {
        (name, conversion or "", spec or "")
        for _, name, spec, conversion in string.Formatter().parse(template)
        if name is not None
    }


def test_both_languages_with_the_same_fields():
    unlike = [
        key
        for key, (english, chinese) in _messages.MESSAGES.items()
        if not (english.strip() and chinese.strip()) or fields(english) != fields(chinese)
    ]
    assert unlike == []


def test_every_key_is_written_whole_where_it_is_used():
    literals = set()
    for path in SOURCE.rglob("*.py"):
        if path.name != "_messages.py":
            tree = ast.parse(path.read_text(encoding="utf-8"))
            literals |= {
                node.value
                for node in ast.walk(tree)
                if isinstance(node, ast.Constant) and isinstance(node.value, str)
            }
    answers = {text for row in _ui.ANSWERS for text in (row.cause, row.fix)}
    keys = set(_messages.MESSAGES)
    assert keys - literals - answers == set()  # no text without its use
    families = "|".join({re.escape(key.split(".")[0]) for key in keys})
    shaped = {s for s in literals if re.fullmatch(rf"(?:{families})(?:\.[a-z0-9_]+)+", s)}
    assert (shaped | answers) - keys == set()  # no use without its text
