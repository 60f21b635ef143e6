"""``brisvane send-many``: one templated mail per row of a CSV or JSON Lines
file, through :func:`brisvane.bulk.send_many`, with a journal to resume from."""

from __future__ import annotations

import csv
import json
import os
import sys
from collections.abc import Iterator
from email.utils import getaddresses
from pathlib import Path
from typing import Any, Optional, cast

from brisvane import providers
from brisvane.cli import _ui

__all__ = ["run"]

# columns that are the row's own, not the template's
_OWN = ("to", "key", "list_unsubscribe", "subject", "cc", "bcc")


def _read(path: Path) -> Iterator[tuple[int, dict[str, Any]]]:
    """The rows of a ``.jsonl`` (one object a line) or CSV file (a header
    line, then one row a line), numbered from 1; read as they are used."""
    with open(path, encoding="utf-8-sig", newline="") as f:
        if path.suffix.lower() in (".jsonl", ".ndjson", ".json"):
            number = 0
            for line in f:
                if not line.strip():
                    continue
                number += 1
                row = json.loads(line)
                if not isinstance(row, dict):
                    raise ValueError(_ui.visible(f"{path}:{number}: not a JSON object"))
                yield number, row
        else:
            for number, found in enumerate(csv.DictReader(f), 1):
                yield number, {k: v for k, v in found.items() if k is not None}


def _addresses(value: Any) -> list[str]:
    if value in (None, ""):
        return []
    if isinstance(value, list):
        return [str(v) for v in value]
    return [a.strip() for a in str(value).split(",") if a.strip()]


def _bad_address(address: str) -> bool:
    found = getaddresses([address])
    if len(found) != 1:
        return True
    addr = found[0][1]
    local, at, domain = addr.rpartition("@")
    return not (at and local and "." in domain and " " not in addr)


def _row(number: int, row: dict[str, Any], args: Any) -> dict[str, Any]:
    """The arguments of send_template for one row of the file."""
    to = _addresses(row.get("to"))
    context = {k: v for k, v in row.items() if k not in _OWN}
    out: dict[str, Any] = {
        "to": to if len(to) != 1 else to[0],
        "subject": args.subject if args.subject is not None else str(row.get("subject") or ""),
        "template_name": args.template,
        "context": context,
    }
    if row.get("key") not in (None, ""):
        out["key"] = str(row["key"])  # else a hash of the row
    for name in ("cc", "bcc"):
        if row.get(name):
            out[name] = _addresses(row[name])
    if row.get("list_unsubscribe"):
        value = row["list_unsubscribe"]
        out["list_unsubscribe"] = value if isinstance(value, list) else str(value).split()
    for name in ("sender", "sender_name", "reply_to"):
        if getattr(args, name, None):
            out[name] = getattr(args, name)
    return out


def _variables(mailer: Any, args: Any) -> set[str]:
    """The names the template files and the subject use."""
    from jinja2 import TemplateNotFound, meta

    env = mailer._template_engine.env
    names: set[str] = set()
    for suffix in (".html", ".txt"):
        try:
            source = env.loader.get_source(env, args.template + suffix)[0]
        except TemplateNotFound:
            continue
        names |= meta.find_undeclared_variables(env.parse(source))
    if args.subject:
        names |= meta.find_undeclared_variables(env.parse(args.subject))
    return names - {"occurred_at"}


def _dry_run(mailer: Any, args: Any, out: _ui.Output) -> int:
    from brisvane import bulk

    used = _variables(mailer, args)
    composer = bulk._Composer(mailer)
    problems = rows = 0
    for number, row in _read(Path(args.rows)):
        rows += 1
        found: list[str] = []
        to = _addresses(row.get("to"))
        if not to:
            found.append(out.text("cli.many.no_to"))
        for address in to + _addresses(row.get("cc")) + _addresses(row.get("bcc")):
            if _bad_address(address):
                found.append(out.text("cli.many.bad_address", address=address))
        for name in sorted(used):
            if name in _OWN and name != "subject":
                continue
            if row.get(name) in (None, ""):
                found.append(out.text("cli.many.missing", name=name))
        if not found:
            try:
                composer.compose(_row(number, row, args))
            except Exception as exc:  # what the class says of this row
                found.append(_ui.error_text(exc))
        for finding in found:
            problems += 1
            out.finding(out.text("cli.many.problem", row=number, finding=finding))
    out.say("cli.many.dry_run", rows=rows, problems=problems)
    return 1 if problems else 0


def _count(path: Path) -> int:
    return sum(1 for _ in _read(path))


class _Plain:
    """Progress as plain lines: one for each mail not sent, and a count every tenth."""

    def __init__(self, out: _ui.Output, total: int) -> None:
        self.out, self.total, self.done = out, total, 0
        self.step = max(1, total // 10)

    def __call__(self, result: Any) -> None:
        self.done += 1
        if result.state not in ("sent",) and result.recipients:
            self.out.line(
                f"  {self.done}/{self.total} {result.state} {', '.join(result.recipients)}: ",
                result.answer,
            )
        elif self.done % self.step == 0 or self.done == self.total:
            self.out.say("cli.many.progress", done=self.done, total=self.total)

    def close(self) -> None:
        pass


class _Bar:
    """A live bar with the rate and the time left (rich, on a terminal only)."""

    def __init__(self, out: _ui.Output, total: int) -> None:
        # (the cli extra: a checker without it installed is not to fail here)
        from rich.progress import (  # type: ignore[import-not-found, unused-ignore]
            BarColumn,
            MofNCompleteColumn,
            Progress,
            TaskProgressColumn,
            TextColumn,
            TimeRemainingColumn,
        )

        self.progress = Progress(
            TextColumn("{task.description}"),
            BarColumn(),
            MofNCompleteColumn(),
            TaskProgressColumn(),
            TextColumn("{task.fields[rate]}"),
            TimeRemainingColumn(),
            transient=False,
        )
        self.task = self.progress.add_task(out.text("cli.step.send"), total=total, rate="")
        self.progress.start()

    def __call__(self, result: Any) -> None:
        task = self.progress.tasks[0]
        speed = task.speed
        rate = f"{speed:.1f}/s" if speed else ""
        self.progress.update(self.task, advance=1, rate=rate)

    def close(self) -> None:
        self.progress.stop()


def _progress(out: _ui.Output, total: int) -> Any:
    if out.stream.isatty() and not os.environ.get("BRISVANE_PLAIN_PROGRESS"):
        try:
            return _Bar(out, total)
        except ImportError:
            pass
    return _Plain(out, total)


def run(args: Any, out: _ui.Output) -> int:
    from brisvane import _session, bulk, delivery
    from brisvane.cli.send import _setting, _template_exists
    from brisvane.mailer import EasyMailer

    path = Path(args.rows)
    if not path.is_file():
        out.say("cli.many.no_rows", path=str(path))
        return 1
    host = _setting(args.host, "HOST") or ("localhost" if args.dry_run else None)
    user = _setting(args.user, "USER") or ("dry-run@localhost" if args.dry_run else None)
    mode = _setting(args.mode, "MODE") or "ssl"
    if not host or not user:
        out.say("cli.send.no_server")
        return 1
    if mode not in _session.MODES:
        out.say("cli.send.bad_mode", mode=mode, modes=", ".join(_session.MODES))
        return 1
    mode = cast(_session.Mode, mode)
    port = int(args.port) if args.port else _ui.default_port(host, user, mode)
    password: Optional[str] = ""
    if not args.dry_run:
        default_env = "BRISVANE_PASSWORD" if "BRISVANE_PASSWORD" in os.environ else None
        password = _ui.read_password(out, args.password_env or default_env, user)
        if password is None:
            return 1
    mailer = EasyMailer(
        host,
        port,
        user,
        password or "",
        use_ssl=mode == "ssl",
        use_tls=mode == "starttls",
        default_sender=args.sender,
        template_dir=args.template_dir,
    )
    if not _template_exists(mailer, args.template):
        out.say("cli.preview.not_found", name=args.template)
        return 1
    try:
        if args.dry_run:
            return _dry_run(mailer, args, out)
        total = _count(path)
    except (OSError, ValueError, csv.Error) as exc:
        out.line(_ui.error_text(exc))
        return 1
    delivery.configure(mailer, timeout=args.timeout)
    out.say(
        "cli.send.heading",
        host=host,
        port=port,
        mode=providers.mode_name(mode, out.lang),
        user=user,
    )
    shown = _progress(out, total)
    try:
        report = bulk.send_many(
            mailer,
            (_row(number, row, args) for number, row in _read(path)),
            connections=args.connections,
            rate=args.rate,
            journal=args.journal,
            progress=shown,
        )
    except KeyboardInterrupt:
        shown.close()
        out.say("cli.many.stopped", journal=args.journal or "-")
        raise
    except Exception as exc:
        shown.close()
        said = _ui.decode(_ui.error_text(exc))
        out.failed(said)
        _ui.record_failure("send-many", exc, host=host, port=port, mode=mode, user=user)
        if isinstance(exc, OSError) or _ui.match(said) is not None:
            out.line()
            _ui.explain(out, said, host, user)
        return 1
    shown.close()
    counts = report.counts
    out.say(
        "cli.many.summary",
        sent=counts["sent"],
        refused=counts["refused"],
        failed=counts["failed"],
        unknown=counts["unknown"],
        pending=counts["pending"],
        seconds=report.duration,
        rate=report.mails_per_second,
    )
    if report.resumed:
        out.say("cli.many.resumed", count=report.resumed)
    if report.stopped == "interrupted":
        out.say("cli.many.interrupted", journal=args.journal or "-")
    elif report.stopped == "abort_ratio":
        out.say("cli.many.aborted")
    if counts["unknown"]:
        out.say("cli.many.unknown", count=counts["unknown"])
    if args.report:
        report.to_csv(args.report)
        out.say("cli.many.report", path=args.report)
    sys.stdout.flush()
    return 0 if counts["sent"] == report.total else 1
