"""The sections of the run, one module each; every one returns a `report.Section`."""

from __future__ import annotations

import sys

USER = "bench@example.com"
PASSWORD = "bench-password"
RCPT = "rcpt@example.com"


def log(*args: object) -> None:
    """Progress, on standard error (the tables go to standard output)."""
    print(*args, file=sys.stderr, flush=True)
