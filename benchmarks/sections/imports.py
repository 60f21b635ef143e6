"""5. Import time: the wall time of a fresh process that imports one thing."""

from __future__ import annotations

import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

from report import Section, fmt_num, table
from timing import alternate

from . import log

START = "interpreter start (`pass`)"
IMPORTS = {
    START: "pass",
    "`import brisvane`": "import brisvane",
    "`import brisvane.mailer`": "import brisvane.mailer",
    "`import smtplib, email.mime.multipart`": "import smtplib, email.mime.multipart",
    "`import jinja2`": "import jinja2",
    "what brisvane.mailer loads (smtplib, ssl, mimetypes, email.mime.*, jinja2)": (
        "import smtplib, ssl, mimetypes, email.mime.multipart, email.mime.text, "
        "email.mime.base, jinja2"
    ),
    "`import yagmail`": "import yagmail",
    "`import redmail`": "import redmail",
}


def _wall_time(stmt: str, env: dict[str, str]) -> Callable[[], float]:
    def sample() -> float:
        start = time.perf_counter()
        subprocess.run(
            [sys.executable, "-c", stmt],
            check=True,
            env=env,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        return time.perf_counter() - start

    return sample


def run(quick: bool) -> Section:
    runs = 5 if quick else 11
    # Bytecode caches are written and used, as after an ordinary install.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    failed: dict[str, list[str]] = {}
    log("imports")
    for k, stmt in IMPORTS.items():  # warm-up: fill the page cache and bytecode caches
        out = subprocess.run([sys.executable, "-c", stmt], capture_output=True, env=env)
        if out.returncode != 0:
            failed[k] = out.stderr.decode(errors="replace").strip().splitlines()[-1:]
    times = alternate(
        {k: _wall_time(stmt, env) for k, stmt in IMPORTS.items() if k not in failed}, runs
    )
    start_ms = statistics.median(times[START]) * 1e3
    rows: list[list[str]] = []
    result: dict[str, dict] = {}
    for k in IMPORTS:
        if k in failed:
            rows.append([k, "n/a", "n/a"])
            result[k] = {"error": failed[k]}
            continue
        med = statistics.median(times[k]) * 1e3
        rows.append([k, fmt_num(med, 1), fmt_num(med - start_ms, 1)])
        result[k] = {
            "wall_ms": med,
            "over_start_ms": med - start_ms,
            "samples_ms": [t * 1e3 for t in times[k]],
        }
    md = f"## 5. Import time: fresh process wall time (ms, median of {runs})\n\n" + table(
        ["import", "wall", "over interpreter start"], rows
    )
    return Section(md, result)
