"""What each built-in template takes: the variables it cannot do without
and the optional ones.  A built-in rendered without a required variable
raises :class:`MissingVariableError` (its first line calls
:func:`brisvane_required`), instead of a mail with a hole where the value
should be.  A user's own templates keep Jinja2's rule: a missing name renders
as nothing."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any, NamedTuple, Union

import jinja2

from brisvane._messages import text


class Variables(NamedTuple):
    # each group is satisfied by any one of its names
    required: tuple[tuple[str, ...], ...]
    optional: tuple[str, ...]


# The variables every built-in reads (added by send_template: occurred_at).
COMMON = ("locale", "product_name", "greeting", "footer", "logo", "occurred_at")

BUILTINS: dict[str, Variables] = {
    "notification": Variables((("title", "message"),), ("action_url", "action_label")),
    "verification_code": Variables((("code",), ("valid_minutes",)), ("purpose",)),
    "action_link": Variables((("title",), ("message",), ("link",), ("label",)), ("expires",)),
    "alert": Variables((("severity",), ("summary",)), ("details", "source")),
}


class MissingVariableError(jinja2.UndefinedError):
    """A built-in template was rendered without a variable it needs."""

    def __init__(self, template: str, missing: tuple[str, ...]) -> None:
        self.template = template
        self.missing = missing
        super().__init__(
            text(
                "builtins.missing",
                template=template,
                missing=" / ".join(missing),
                takes=describe(template),
            )
        )


def _given(value: Any) -> bool:
    if value is None or isinstance(value, jinja2.Undefined):
        return False
    return not isinstance(value, str) or bool(value.strip())


def missing(
    template: str, context: Union[Mapping[str, Any], jinja2.runtime.Context]
) -> list[tuple[str, ...]]:
    """The required groups of the built-in `template` that `context` leaves
    unset (absent, None or blank text)."""
    return [
        group
        for group in BUILTINS[template].required
        if not any(_given(context.get(name)) for name in group)
    ]


def describe(template: str) -> str:
    """The variables of the built-in `template`, as the error names them."""
    variables = BUILTINS[template]
    required = ", ".join(" / ".join(group) for group in variables.required)
    optional = ", ".join(variables.optional + COMMON)
    return text("builtins.takes", required=required, optional=optional)


@jinja2.pass_context
def brisvane_required(context: jinja2.runtime.Context, template: str) -> str:
    """The check a built-in makes first: every required variable is set."""
    gaps = missing(template, context)
    if gaps:
        raise MissingVariableError(template, gaps[0])
    return ""
