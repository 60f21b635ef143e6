"""The one measurement loop: variants in alternation, and the ratios taken from it.

Every section measures its variants through `alternate`: each repetition runs
every variant once, in an order that changes from one repetition to the next,
so that a change of machine load falls on all variants alike.  A ratio is the
median of the per-repetition ratios (`paired_ratio`).
"""

from __future__ import annotations

import gc
import os
import statistics
import timeit
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from typing import TypeVar

T = TypeVar("T")

Order = Callable[[Sequence[str], int], Sequence[str]]


def reversing(keys: Sequence[str], rep: int) -> Sequence[str]:
    """The given order in even repetitions, the reverse in odd ones."""
    return keys if rep % 2 == 0 else keys[::-1]


def rotating(keys: Sequence[str], rep: int) -> Sequence[str]:
    """The given order rotated by one more place each repetition."""
    shift = rep % len(keys)
    return [*keys[shift:], *keys[:shift]]


def alternate(
    variants: Mapping[str, Callable[[], T]],
    reps: int,
    order: Order = reversing,
    before: Callable[[], object] | None = None,
) -> dict[str, list[T]]:
    """One sample of each variant per repetition, `reps` times, in `order`.

    `before`, when given, runs before every sample and outside it (the
    sections that measure in this process collect garbage there, so that no
    variant pays for another's).
    """
    keys = list(variants)
    samples: dict[str, list[T]] = {k: [] for k in keys}
    for rep in range(reps):
        for k in order(keys, rep):
            if before is not None:
                before()
            samples[k].append(variants[k]())
    return samples


def _calibrate(timer: timeit.Timer, target: float) -> int:
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target / 4 or number >= 1 << 24:
            return max(1, int(number * target / max(elapsed, 1e-9)))
        number *= 4


def side_by_side(
    stmts: Mapping[str, str], namespace: Mapping[str, object], reps: int, target: float
) -> dict:
    """Seconds per call of each statement: runs alternate, order reversed every repetition.

    The loop count is calibrated once on the first statement and used for all,
    so every variant runs the same number of calls per sample.  The cyclic
    garbage collector stays on (as in a real program) and is run before each
    sample, so that no variant pays for another's garbage.
    """
    namespace = dict(namespace, _gc=gc)
    timers = {k: timeit.Timer(s, setup="_gc.enable()", globals=namespace) for k, s in stmts.items()}
    number = _calibrate(next(iter(timers.values())), target)
    for t in timers.values():  # warm-up
        t.timeit(max(1, number // 4))

    def per_call(t: timeit.Timer) -> Callable[[], float]:
        return lambda: t.timeit(number) / number

    samples = alternate({k: per_call(t) for k, t in timers.items()}, reps, before=gc.collect)
    return {
        "number": number,
        "reps": reps,
        "samples": samples,
        "median": medians(samples),
    }


def medians(samples: Mapping[str, Sequence[float]]) -> dict[str, float]:
    return {k: statistics.median(v) for k, v in samples.items()}


class Ratio(float):
    """A median ratio that remembers the quartiles of the per-repetition ratios."""

    lo: float
    hi: float


def paired_ratio(samples: Mapping[str, Sequence[float]], a: str, b: str) -> Ratio | None:
    """Median over repetitions of a's figure divided by b's from the same repetition."""
    if a not in samples or b not in samples:
        return None
    ratios = sorted(x / y for x, y in zip(samples[a], samples[b]))
    r = Ratio(statistics.median(ratios))
    if len(ratios) >= 4:
        q = statistics.quantiles(ratios, n=4)
        r.lo, r.hi = q[0], q[2]
    else:
        r.lo, r.hi = ratios[0], ratios[-1]
    return r


@contextmanager
def environment(**values: str) -> Iterator[None]:
    """Set environment variables for the block; afterwards each is as it was (or unset)."""
    saved = {k: os.environ.get(k) for k in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for k, old in saved.items():
            if old is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = old
