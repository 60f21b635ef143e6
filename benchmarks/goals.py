"""Every goal of the benchmarks, in one table, and the check that the READMEs show them.

    python benchmarks/goals.py            # print the goals table of benchmarks/README.md
    python benchmarks/goals.py --check    # exit 1 if a README shows other goals
    python benchmarks/goals.py --write    # rewrite the table in benchmarks/README.md

The sections of run.py judge their figures with these goals, the run's
"Performance" section lists the outcomes, benchmarks/README.md holds the table
generated from them, and the goal column of the README's performance table is
checked against them.
"""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Literal

from timing import Ratio

HERE = Path(__file__).resolve().parent

_WORDS = {"<=": "at most", ">=": "at least"}
_SIGNS = {"<=": "≤", ">=": "≥"}


@dataclass(frozen=True)
class Goal:
    """brisvane's figure divided by a baseline's, held against a bound."""

    title: str  # the row of the README's goals table that shows it
    op: Literal["<=", ">=", ">"]
    bound: float
    against: str  # what brisvane is measured against, as the README says it
    unit: str = "×"  # of the bound: a ratio, or " ms" for a figure of brisvane's alone

    @property
    def target(self) -> str:
        """The bound as the report and the JSON state it: ``<= 0.8``."""
        return f"{self.op} {self.bound}"

    @property
    def mark(self) -> str:
        """The bound in a section's table: ``≤ 0.80×``."""
        return (
            f"{_SIGNS[self.op]} {self.bound:.2f}{self.unit}" if self.op in _SIGNS else self.target
        )

    @property
    def short(self) -> str:
        """The bound in the README's performance table: ``≤ 0.8×``, ``ahead of both peers``."""
        if self.op == ">" and self.bound == 1:
            return f"ahead of {self.against}"
        return f"{_SIGNS.get(self.op, self.op)} {self.bound:g}{self.unit}"

    @property
    def words(self) -> str:
        """The goal in a sentence: ``at most 0.8× the Python baseline``."""
        if self.op == ">" and self.bound == 1:
            return f"ahead of {self.against}"
        return f"{_WORDS.get(self.op, self.op)} {self.bound:g}{self.unit} {self.against}"

    def met(self, value: float | Mapping[str, float | None] | None) -> bool:
        """Whether a ratio meets the goal; for several ratios, whether every measured one does."""
        if isinstance(value, Mapping):
            return all(v is None or self._holds(v) for v in value.values())
        if value is None:
            raise ValueError(f"no figure to hold against {self.target}")
        return self._holds(value)

    def _holds(self, value: float) -> bool:
        if self.op == "<=":
            return value <= self.bound
        if self.op == ">=":
            return value >= self.bound
        return value > self.bound

    def judge(
        self, section: str, what: str, value: float | Mapping[str, float | None] | None
    ) -> Outcome:
        return Outcome(section, what, value, self, self.met(value))


NATIVE_BINDING = Goal(
    "Native layer, binding-bound calls (`send`, `_collect_recipients`)",
    "<=",
    0.8,
    "the Python baseline",
)
NATIVE_JINJA2 = Goal(
    "Native layer, Jinja2-bound call (`render_string`)", "<=", 1.05, "calling Jinja2 directly"
)
COMPOSE = Goal("Composition", "<=", 1.02, "the standard library")
CAPTURE = Goal("Capture", "<=", 1.05, "composing the same message")
E2E_FLOOR = Goal("End to end", ">=", 0.95, "the smtplib floor")
E2E_PEERS = Goal("End to end", ">", 1.0, "both peers")
BATCH_PER_MAIL = Goal("One connection for a batch", ">=", 10, "one connection per mail")
BATCH_RAW = Goal(
    "One connection for a batch", ">=", 0.9, "the raw smtplib loop over one connection"
)
BATCH_PEERS = Goal("One connection for a batch", ">", 1.0, "both peers")
MEMORY = Goal("Memory", "<=", 1.05, "the standard library")
BULK_PARALLEL = Goal("Sending to many", ">=", 3.5, "`connections=1`, with 4 connections")
BULK_RAW = Goal("Sending to many", ">=", 0.95, "a raw smtplib loop over one connection")
BULK_JOURNAL = Goal("Sending to many", ">=", 0.95, "the same run without a journal")
BULK_PEERS = Goal("Sending to many", ">", 1.0, "both peers at the same concurrency")
AIO_POOL = Goal(
    "From asyncio code", ">=", 0.9, "aiosmtplib used directly with 4 clients (a pool of 4)"
)
AIO_PEERS = Goal("From asyncio code", ">", 1.0, "fastapi-mail at the same concurrency")
AIO_SINGLE = Goal("From asyncio code", ">=", 0.9, "one aiosmtplib `send` (a single `send`)")
AIO_LAG = Goal(
    "From asyncio code", "<=", 10, "of event-loop lag while 20 MB attachments go out", " ms"
)

GOALS: tuple[Goal, ...] = (
    NATIVE_BINDING,
    NATIVE_JINJA2,
    COMPOSE,
    CAPTURE,
    E2E_FLOOR,
    E2E_PEERS,
    BATCH_PER_MAIL,
    BATCH_RAW,
    BATCH_PEERS,
    MEMORY,
    BULK_PARALLEL,
    BULK_RAW,
    BULK_JOURNAL,
    BULK_PEERS,
    AIO_POOL,
    AIO_PEERS,
    AIO_SINGLE,
    AIO_LAG,
)


def _spread(v: object) -> list[float] | None:
    return [v.lo, v.hi] if isinstance(v, Ratio) else None


@dataclass(frozen=True)
class Outcome:
    """One figure of a run held against its goal."""

    section: str
    what: str
    value: float | Mapping[str, float | None] | None
    goal: Goal
    met: bool

    @property
    def mark(self) -> str:
        return "yes" if self.met else "**no**"

    def as_json(self) -> dict:
        v = self.value
        spread = {k: _spread(x) for k, x in v.items()} if isinstance(v, Mapping) else _spread(v)
        return {
            "section": self.section,
            "what": self.what,
            "value": v,
            "target": self.goal.target,
            "interquartile": spread,
            "met": self.met,
        }


# --------------------------------------------------------------------------
# The READMEs
# --------------------------------------------------------------------------

README = HERE / "README.md"
TOP_README = HERE.parent / "README.md"
_BEGIN = "<!-- goals: generated from benchmarks/goals.py -->"
_END = "<!-- end of goals -->"

# The rows of the README's performance table that show a goal, by the start of
# their first cell, and the goals their last cell states (in this order).
TOP_README_ROWS: Mapping[str, Sequence[Goal]] = {
    "`send` call": (NATIVE_BINDING,),
    "`_collect_recipients`": (NATIVE_BINDING,),
    "`render_string`": (NATIVE_JINJA2,),
    "compose + flatten": (COMPOSE,),
    "end to end, messages/s vs": (E2E_FLOOR,),
    "end to end vs the peers": (E2E_PEERS,),
    "peak memory": (MEMORY,),
    "one connection for a batch": (BATCH_PER_MAIL, BATCH_RAW, BATCH_PEERS),
    "sending to many": (BULK_PARALLEL, BULK_RAW, BULK_JOURNAL, BULK_PEERS),
    "from asyncio code": (AIO_POOL, AIO_PEERS, AIO_SINGLE, AIO_LAG),
}


def _unique(items: Sequence[str]) -> list[str]:
    return list(dict.fromkeys(items))


def goals_table() -> str:
    """The goals table of benchmarks/README.md: one row per title, its goals in words."""
    rows: dict[str, list[str]] = {}
    for g in GOALS:
        rows.setdefault(g.title, []).append(g.words)
    lines = ["| Section | Goal |", "|---|---|"]
    lines += [f"| {title} | {', '.join(_unique(words))} |" for title, words in rows.items()]
    return "\n".join(lines)


def _with_table(text: str) -> str:
    begin, end = text.index(_BEGIN) + len(_BEGIN), text.index(_END)
    return text[:begin] + "\n" + goals_table() + "\n" + text[end:]


def top_readme_problems(text: str) -> list[str]:
    """Rows of the README's performance table whose goal column states other goals."""
    section = text.split("\n## Performance\n", 1)[1].split("\n## ", 1)[0]
    problems, seen = [], set()
    for line in section.splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        for start, goals in TOP_README_ROWS.items():
            if line.startswith("|") and cells[0].startswith(start):
                seen.add(start)
                expected = ", ".join(_unique([g.short for g in goals]))
                if not re.match(re.escape(expected) + r"(?=$|[:,;( ])", cells[-1]):
                    problems.append(f"{cells[0]!r}: the goal is {expected!r}, not {cells[-1]!r}")
    problems += [f"no row starting {s!r}" for s in TOP_README_ROWS if s not in seen]
    return problems


def main(argv: Sequence[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description="the benchmarks' goals table")
    action = parser.add_mutually_exclusive_group()
    action.add_argument("--check", action="store_true", help="exit 1 if a README differs")
    action.add_argument("--write", action="store_true", help="rewrite benchmarks/README.md")
    args = parser.parse_args(argv)
    if not (args.check or args.write):
        print(goals_table())
        return 0
    text = README.read_text(encoding="utf-8")
    if args.write:
        README.write_text(_with_table(text), encoding="utf-8")
        return 0
    problems = top_readme_problems(TOP_README.read_text(encoding="utf-8"))
    if _with_table(text) != text:
        problems.insert(0, f"{README.name}: the goals table differs; run goals.py --write")
    for p in problems:
        print(p, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
