"""The Markdown of a run: figures, tables, and the closing "Performance" section.

Formatting only: nothing here measures, records or changes any state.
"""

from __future__ import annotations

import os
import platform
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field

from goals import Outcome
from timing import Ratio


@dataclass
class Section:
    """What one section of the run gives back: its table, its figures, its goals' outcomes."""

    markdown: str
    data: dict
    outcomes: list[Outcome] = field(default_factory=list)


def fmt_ratio(r: float | None, spread: bool = False) -> str:
    if r is None:
        return "n/a"
    text = f"{r:.3f}×"
    if spread and isinstance(r, Ratio):
        text += f" ({r.lo:.2f}–{r.hi:.2f})"
    return text


def fmt_num(x: float | None, digits: int = 0) -> str:
    if x is None:
        return "n/a"
    return f"{x:,.{digits}f}"


def table(headers: Sequence[str], rows: Iterable[Sequence[object]]) -> str:
    out = ["| " + " | ".join(headers) + " |", "|" + "|".join("---" for _ in headers) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


def machine() -> dict:
    import brisvane

    return {
        "platform": platform.platform(),
        "machine": platform.machine(),
        "processor": platform.processor() or "unknown",
        "cpu_count": os.cpu_count(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "brisvane": brisvane.__version__,
        "load_average": list(os.getloadavg()),
    }


def performance_section(info: dict, quick: bool, outcomes: Sequence[Outcome]) -> str:
    lines = [
        "## Performance",
        "",
        f"Machine: `{info['platform']}`, {info['cpu_count']} CPUs "
        f"({info['machine']}), {info['implementation']} {info['python']}; "
        f"brisvane {info['brisvane']}" + ("; quick run" if quick else "") + ".",
        f"Load average (1, 5, 15 min) at start: "
        f"{', '.join(f'{x:.2f}' for x in info['load_average'])}; at end: "
        f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}.",
        "",
        "Each ratio is the median, over repetitions, of brisvane's figure divided by "
        "the baseline's from the same repetition (the variants of a row alternate).",
        "",
    ]
    rows = []
    for o in outcomes:
        v = o.value
        if isinstance(v, Mapping):
            shown = ", ".join(f"{k} {fmt_ratio(x, True)}" for k, x in v.items())
        elif o.goal.unit != "×":  # a figure of brisvane's own, such as milliseconds
            shown = f"{v:.1f}{o.goal.unit}"
            shown += f" ({v.lo:.1f}–{v.hi:.1f})" if isinstance(v, Ratio) else ""
        else:
            shown = fmt_ratio(v, True)
        rows.append([o.section, o.what, shown, o.goal.target, "met" if o.met else "**missed**"])
    lines.append(table(["section", "goal", "measured (interquartile range)", "target", ""], rows))
    missed = [o for o in outcomes if not o.met]
    lines += ["", f"{len(outcomes) - len(missed)} of {len(outcomes)} goals met."]
    return "\n".join(lines)
