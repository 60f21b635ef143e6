"""4. Memory: the peak RSS of a fresh process that builds and flattens one large mail."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
from collections.abc import Callable
from pathlib import Path

from goals import MEMORY
from report import Section, fmt_num, fmt_ratio, table
from timing import alternate, medians, paired_ratio

from . import log

PROBE = Path(__file__).resolve().parent.parent / "memory_probe.py"


def _probe(variant: str, form: str, path: str) -> Callable[[], dict]:
    """A sample: the probe's figures (peak RSS in KiB, flattened length) for one variant."""

    def sample() -> dict:
        out = subprocess.run(
            [sys.executable, str(PROBE), variant, form, path],
            capture_output=True,
            text=True,
            check=True,
        )
        return json.loads(out.stdout)

    return sample


def run(quick: bool) -> Section:
    reps = 2 if quick else 3
    out = Section("", {})
    rows = []
    with tempfile.TemporaryDirectory(prefix="brisvane-bench-") as tmp:
        path = os.path.join(tmp, "large.bin")
        with open(path, "wb") as f:
            f.write(os.urandom(20 * 1024 * 1024))
        for form in ("file", "bytes"):
            log(f"memory: {form}")
            probes = alternate({v: _probe(v, form, path) for v in ("brisvane", "stdlib")}, reps)
            peaks = {k: [d["maxrss_kib"] / 1024 for d in v] for k, v in probes.items()}
            lengths = {k: v[-1]["length"] for k, v in probes.items()}
            med = medians(peaks)
            r = paired_ratio(peaks, "brisvane", "stdlib")
            outcome = MEMORY.judge("memory", f"20 MB attachment, {form} form", r)
            out.outcomes.append(outcome)
            rows.append(
                [
                    f"one 20 MB attachment ({form})",
                    fmt_num(med["brisvane"], 1),
                    fmt_num(med["stdlib"], 1),
                    fmt_ratio(r),
                    MEMORY.mark,
                    outcome.mark,
                ]
            )
            out.data[form] = {
                "brisvane_mib": med["brisvane"],
                "stdlib_mib": med["stdlib"],
                "ratio": r,
                "samples_mib": peaks,
                "flattened_length": lengths,
                "goal": MEMORY.bound,
            }
    out.markdown = (
        "## 4. Memory: peak RSS of a fresh process that builds and flattens the mail "
        "(MiB, median)\n\n"
        + table(["message", "brisvane", "stdlib directly", "ratio", "goal", "met"], rows)
    )
    return out
