"""Benchmarks of brisvane against plain-Python baselines, the standard library and peers.

    python benchmarks/run.py [--quick] [--only SECTION] [--json PATH]

Prints Markdown tables of medians and ratios and writes the same figures as
JSON (default: benchmarks/results.json).  Every ratio is measured side by
side in the same run: the variants of one row run in alternation, after a
warm-up, several times over, and the table shows the median of each.

The measurement loop is in timing.py, the goals in goals.py, the formatting
in report.py, and each section in its own module of sections/.
"""

from __future__ import annotations

import argparse
import json
import time
from collections.abc import Callable, Sequence
from pathlib import Path

from report import Section, machine, performance_section
from sections import aio, compose, e2e, imports, log, many, memory, native

HERE = Path(__file__).resolve().parent

SECTIONS: dict[str, Callable[[bool], Section]] = {
    "native": native.run,
    "compose": compose.run_compose,
    "capture": compose.run_capture,
    "e2e": e2e.run_e2e,
    "batch": e2e.run_batch,
    "bulk": many.run,
    "aio": aio.run,
    "memory": memory.run,
    "imports": imports.run,
}


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions and sends")
    parser.add_argument(
        "--only",
        action="append",
        choices=SECTIONS,
        metavar="SECTION",
        help="run only this section (repeatable): " + ", ".join(SECTIONS),
    )
    parser.add_argument(
        "--json",
        default=str(HERE / "results.json"),
        metavar="PATH",
        help="where to write the figures (default: benchmarks/results.json)",
    )
    args = parser.parse_args(argv)

    started = time.perf_counter()
    info = machine()
    results: dict = {"machine": info, "quick": args.quick}
    outcomes = []
    for key, run in SECTIONS.items():
        if args.only and key not in args.only:
            continue
        section = run(args.quick)
        results[key] = section.data
        outcomes += section.outcomes
        print(section.markdown + "\n", flush=True)
    print(performance_section(info, args.quick, outcomes), flush=True)
    results["goals"] = [o.as_json() for o in outcomes]
    results["seconds"] = time.perf_counter() - started
    Path(args.json).write_text(
        json.dumps(results, indent=2, ensure_ascii=False) + "\n", encoding="utf-8"
    )
    log(f"wrote {args.json} ({results['seconds']:.0f} s)")


if __name__ == "__main__":
    main()
