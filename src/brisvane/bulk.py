"""Send many personalised mails: paced, over several connections, resumable.

:func:`send_many` reads its rows lazily, composes each one with the mailer's
own ``send`` or ``send_template`` (the class's composition, argument checks
and template rendering, taken at the class's delivery seam), and delivers it
over connections of its own, made with the session steps of
:mod:`brisvane._session`.

The journal is modelled on a mail queue: each mail's state is written before
and after each step of its transaction, in SQLite's write-ahead log, which a
killed process leaves consistent.  A mail is ``pending`` until the end of its
data is about to go out; it is ``unknown`` from that moment until the server's
answer is read, then ``sent``, ``refused`` (the server said no for good) or
``failed`` (the row could not be composed, or every try failed).  Running the
same rows with the same journal again sends what is still pending; an
``unknown`` mail may have arrived, so it is sent again only when asked, with
the ``Message-ID`` it had the first time.
"""

from __future__ import annotations

import collections
import csv
import hashlib
import heapq
import itertools
import json
import logging
import os
import re
import smtplib
import sqlite3
import threading
import time
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field
from email.utils import make_msgid, parseaddr
from typing import Any, Callable, Optional, Union, cast

from brisvane import _messages, _session, delivery, providers

__all__ = ["STATES", "MailResult", "Report", "parse_rate", "send_many"]

log = logging.getLogger("brisvane.bulk")

STATES = ("pending", "sent", "refused", "failed", "unknown")
_FINAL = frozenset({"sent", "refused", "failed"})
# abort_ratio is judged once this many mails had their answer in the run
ABORT_AFTER = 20
# each network step of a connection, when configure() gave no timeout
DEFAULT_TIMEOUT = 60.0
_OWNER = __name__
_RATE = re.compile(r"\s*([0-9]*\.?[0-9]+)\s*/\s*(s|sec|second|m|min|minute|h|hour)\s*", re.I)
_PER = {"s": 1.0, "m": 60.0, "h": 3600.0}

Refused = dict[str, tuple[int, str]]


def parse_rate(rate: Union[str, float, None]) -> Optional[float]:
    """Mails per second from ``"30/min"``, ``"5/s"``, ``"100/h"`` or a number
    (per second); None for None."""
    if rate is None:
        return None
    value: Optional[float] = None
    if isinstance(rate, str):
        found = _RATE.fullmatch(rate)
        if found is not None:
            value = float(found.group(1)) / _PER[found.group(2)[0].lower()]
        else:
            try:
                value = float(rate)
            except ValueError:
                value = None
    elif isinstance(rate, (int, float)) and not isinstance(rate, bool):
        value = float(rate)
    if value is None or not 0 < value < float("inf"):
        raise ValueError(_messages.text("bulk.rate", value=rate))
    return value


# --- the report ---------------------------------------------------------------


@dataclass
class MailResult:
    """One row's outcome: its key, envelope recipients, state, the server's
    last answer (or the error that stopped it) and the recipients refused."""

    key: str
    recipients: list[str]
    state: str
    answer: str = ""
    refused: Refused = field(default_factory=dict)


class Report:
    """What :func:`send_many` did with every row.

    ``counts`` has the number of rows in each state (rows that an earlier run
    with the journal finished are counted in their state, and in ``resumed``);
    ``duration`` is in seconds and ``mails_per_second`` counts the mails sent
    in this run; ``stopped`` is None, ``"abort_ratio"`` or ``"interrupted"``.
    Iterating gives a :class:`MailResult` per row, in the order of the rows
    (read back from the journal, when there is one, so that a run of a
    million rows holds none of them in memory)."""

    def __init__(self) -> None:
        self.counts: dict[str, int] = dict.fromkeys(STATES, 0)
        self.resumed = 0
        self.duplicates = 0
        self.duration = 0.0
        self.sent_now = 0
        self.connections = 0
        self.stopped: Optional[str] = None
        self.journal: Optional[str] = None
        self._run = 0
        self._kept: list[_Job] = []

    @property
    def mails_per_second(self) -> float:
        return self.sent_now / self.duration if self.duration > 0 else 0.0

    @property
    def total(self) -> int:
        return sum(self.counts.values())

    def __iter__(self) -> Iterator[MailResult]:
        if self.journal is None:
            for job in self._kept:
                yield job.result()
            return
        db = sqlite3.connect(self.journal)
        try:
            rows = db.execute(
                "SELECT key, recipients, state, answer, refused FROM mails"
                " WHERE run = ? ORDER BY seq",
                (self._run,),
            )
            for key, recipients, state, answer, refused in rows:
                yield MailResult(
                    key,
                    json.loads(recipients),
                    state,
                    answer,
                    {a: (c, t) for a, (c, t) in json.loads(refused).items()},
                )
        finally:
            db.close()

    def to_csv(self, path: Union[str, os.PathLike[str]]) -> None:
        """One line per row: key, recipients, state, answer, refused."""
        with open(path, "w", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(["key", "recipients", "state", "answer", "refused"])
            for r in self:
                refused = "; ".join(f"{a}: {c} {t}" for a, (c, t) in r.refused.items())
                writer.writerow([r.key, ", ".join(r.recipients), r.state, r.answer, refused])

    def __repr__(self) -> str:
        counts = ", ".join(f"{k} {v}" for k, v in self.counts.items() if v)
        return f"<Report: {counts or 'no mails'} in {self.duration:.1f} s>"


# --- the journal --------------------------------------------------------------

_SCHEMA = """
CREATE TABLE IF NOT EXISTS mails (
    key TEXT PRIMARY KEY,
    state TEXT NOT NULL,
    recipients TEXT NOT NULL DEFAULT '[]',
    message_id TEXT,
    answer TEXT NOT NULL DEFAULT '',
    refused TEXT NOT NULL DEFAULT '{}',
    attempts INTEGER NOT NULL DEFAULT 0,
    run INTEGER NOT NULL DEFAULT 0,
    seq INTEGER NOT NULL DEFAULT 0,
    updated REAL NOT NULL DEFAULT 0
);
CREATE INDEX IF NOT EXISTS mails_by_run ON mails (run, seq);
CREATE TABLE IF NOT EXISTS runs (id INTEGER PRIMARY KEY AUTOINCREMENT, started REAL NOT NULL);
"""
_VERSION = 1


class _Journal:
    """The states of the mails, one SQLite file in WAL mode, each write its
    own transaction (durable once it returns, whatever happens to the
    process).  The file is locked for the run: a second run on it fails."""

    def __init__(self, path: str) -> None:
        self.path = path
        self.lock = threading.Lock()
        try:
            db = sqlite3.connect(path, timeout=1.0, isolation_level=None, check_same_thread=False)
        except sqlite3.Error as exc:
            raise ValueError(_messages.text("bulk.journal_open", path=path, error=exc)) from None
        self.db = db
        try:
            db.execute("PRAGMA locking_mode=EXCLUSIVE")
            db.execute("PRAGMA journal_mode=WAL")
            db.execute("PRAGMA synchronous=NORMAL")
            version = db.execute("PRAGMA user_version").fetchone()[0]
            if version not in (0, _VERSION):
                raise ValueError(_messages.text("bulk.journal_version", path=path))
            db.executescript(_SCHEMA)
            db.execute(f"PRAGMA user_version={_VERSION}")
            self.run = int(
                db.execute("INSERT INTO runs (started) VALUES (?)", (time.time(),)).lastrowid or 0
            )
        except sqlite3.OperationalError as exc:
            db.close()
            if "locked" in str(exc):
                raise RuntimeError(_messages.text("bulk.journal_busy", path=path)) from None
            raise ValueError(_messages.text("bulk.journal_open", path=path, error=exc)) from None
        except sqlite3.DatabaseError as exc:
            db.close()
            raise ValueError(_messages.text("bulk.journal_open", path=path, error=exc)) from None
        except BaseException:
            db.close()
            raise

    def look(self, key: str) -> Optional[tuple[str, Optional[str], int]]:
        """state, Message-ID and run of `key`; None when it is not there."""
        with self.lock:
            row = self.db.execute(
                "SELECT state, message_id, run FROM mails WHERE key = ?", (key,)
            ).fetchone()
        return None if row is None else (row[0], row[1], row[2])

    def seen(self, key: str, seq: int) -> None:
        with self.lock:
            self.db.execute("UPDATE mails SET run = ?, seq = ? WHERE key = ?", (self.run, seq, key))

    def begin(self, job: _Job) -> None:
        with self.lock:
            self.db.execute(
                "INSERT INTO mails (key, state, recipients, message_id, answer, refused, run, seq,"
                " updated) VALUES (?, ?, ?, ?, ?, '{}', ?, ?, ?) ON CONFLICT (key) DO UPDATE SET"
                " state = excluded.state, recipients = excluded.recipients, message_id ="
                " excluded.message_id, answer = excluded.answer, refused = '{}', run ="
                " excluded.run, seq = excluded.seq, updated = excluded.updated",
                (
                    job.key,
                    job.state,
                    json.dumps(job.recipients),
                    job.message_id,
                    job.answer,
                    self.run,
                    job.seq,
                    time.time(),
                ),
            )

    def write(self, job: _Job) -> None:
        with self.lock:
            self.db.execute(
                "UPDATE mails SET state = ?, answer = ?, refused = ?, attempts = ?, updated = ?"
                " WHERE key = ?",
                (
                    job.state,
                    job.answer,
                    json.dumps(job.refused),
                    job.attempts,
                    time.time(),
                    job.key,
                ),
            )

    def close(self) -> None:
        with self.lock:
            self.db.close()


# --- one mail -----------------------------------------------------------------


class _Job:
    """One row on its way: the composed mail and its state."""

    __slots__ = (
        "answer",
        "attempts",
        "free_retry",
        "key",
        "message_id",
        "msg",
        "recipients",
        "refused",
        "sender",
        "seq",
        "state",
    )

    def __init__(self, key: str, seq: int) -> None:
        self.key = key
        self.seq = seq
        self.msg: Any = None
        self.recipients: list[str] = []
        self.sender = ""
        self.message_id: Optional[str] = None
        self.state = "pending"
        self.answer = ""
        self.refused: Refused = {}
        self.attempts = 0
        self.free_retry = True

    def result(self) -> MailResult:
        return MailResult(self.key, list(self.recipients), self.state, self.answer, self.refused)


def _canonical(value: Any) -> Any:
    if isinstance(value, Mapping):
        return sorted([str(k), _canonical(v)] for k, v in value.items())
    if isinstance(value, (list, tuple)):
        return [_canonical(v) for v in value]
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"sha256": hashlib.sha256(value).hexdigest()}
    if value is None or isinstance(value, (str, int, float, bool)):
        return value
    return repr(value)


def row_key(row: Mapping[str, Any]) -> str:
    """The row's ``key`` when it has one, else a hash of its content."""
    key = row.get("key")
    if key is not None:
        if isinstance(key, bool) or not isinstance(key, (str, int)) or key == "":
            raise ValueError(_messages.text("bulk.key", value=key))
        return str(key)
    content = {k: v for k, v in row.items() if k != "key"}
    text = json.dumps(_canonical(content), ensure_ascii=False, separators=(",", ":"))
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:32]


_UNSAFE = re.compile("[\r\n\x00]")
# a header line holds at most 998 characters (RFC 5322)
_MAX_HEADER = 998 - len("List-Unsubscribe: ")


def unsubscribe_headers(value: Any) -> dict[str, str]:
    """``List-Unsubscribe`` (and ``List-Unsubscribe-Post`` for an https or
    http URL, RFC 8058) from a URL, a ``mailto:`` or a list of both."""
    values = [value] if isinstance(value, str) else value
    if not isinstance(values, (list, tuple)) or not values:
        raise TypeError(_messages.text("bulk.unsubscribe_type", type=type(value).__name__))
    uris = []
    web = False
    for uri in values:
        if not isinstance(uri, str):
            raise TypeError(_messages.text("bulk.unsubscribe_type", type=type(uri).__name__))
        if _UNSAFE.search(uri):
            raise ValueError(_messages.text("bulk.unsubscribe_break", value=uri))
        scheme = uri.partition(":")[0].lower()
        if scheme not in ("https", "http", "mailto") or any(c in uri for c in " <>,\t"):
            raise ValueError(_messages.text("bulk.unsubscribe_uri", value=uri))
        web = web or scheme != "mailto"
        uris.append(f"<{uri}>")
    header = ", ".join(uris)
    if len(header) > _MAX_HEADER:
        raise ValueError(_messages.text("bulk.unsubscribe_long", limit=_MAX_HEADER))
    headers = {"List-Unsubscribe": header}
    if web:
        headers["List-Unsubscribe-Post"] = "List-Unsubscribe=One-Click"
    return headers


class _Composer:
    """Composes a row with the mailer's own ``send`` or ``send_template``: a
    delivery installed for the one call takes what the class hands to
    delivery (message, envelope recipients, envelope sender).  A send of the
    same mailer from another thread meanwhile goes where it went before."""

    def __init__(self, mailer: Any) -> None:
        self.mailer = mailer
        self.thread = 0
        self.taken: Optional[tuple[Any, list[str], str]] = None
        self.previous: Any = None

    def __call__(self, msg: Any, recipients: list[str], sender: str) -> None:
        if threading.get_ident() != self.thread:
            self.previous(msg, recipients, sender)
            return
        self.taken = (msg, recipients, sender)

    def compose(self, row: Mapping[str, Any]) -> tuple[Any, list[str], str]:
        arguments = {k: v for k, v in row.items() if k not in ("key", "list_unsubscribe")}
        with _session.changing:
            before = _session.installed(self.mailer)
            self.previous = (
                before.delivery
                if before is not None
                else _session.class_function(type(self.mailer)).__get__(self.mailer)
            )
            layer = _session.install(self.mailer, self, _OWNER)
        self.thread, self.taken = threading.get_ident(), None
        try:
            if "template_name" in arguments:
                self.mailer.send_template(**arguments)
            else:
                self.mailer.send(**arguments)
        finally:
            self.thread = 0
            _session.remove(layer)
        taken, self.taken = self.taken, None
        if taken is None:
            raise RuntimeError(_messages.text("bulk.not_composed"))
        msg, recipients, sender = taken
        if row.get("list_unsubscribe") is not None:
            for name, value in unsubscribe_headers(row["list_unsubscribe"]).items():
                msg[name] = value
        return msg, list(recipients), sender


# --- what feeds the connections -----------------------------------------------


class _Feed:
    """The mails for the connections: the rows read so far (a bounded queue,
    so that the rows are read as fast as they are sent, never all at once),
    and the mails waiting for their next try."""

    def __init__(self, capacity: int) -> None:
        self.cond = threading.Condition()
        self.queue: collections.deque[_Job] = collections.deque()
        self.later: list[tuple[float, int, _Job]] = []
        self.capacity = capacity
        self.taken = 0
        self.closed = False
        self.stopped = False
        self._order = itertools.count()

    def put(self, job: _Job) -> bool:
        with self.cond:
            while len(self.queue) >= self.capacity and not self.stopped:
                self.cond.wait()
            if self.stopped:
                return False
            self.queue.append(job)
            self.cond.notify_all()
            return True

    def get(self) -> Optional[_Job]:
        with self.cond:
            while True:
                if self.stopped:
                    return None
                now = time.monotonic()
                if self.later and self.later[0][0] <= now:
                    self.taken += 1
                    return heapq.heappop(self.later)[2]
                if self.queue:
                    self.taken += 1
                    self.cond.notify_all()
                    return self.queue.popleft()
                if self.closed and not self.later and not self.taken:
                    return None
                self.cond.wait(self.later[0][0] - now if self.later else None)

    def again(self, job: _Job, delay: float) -> None:
        """Give a mail taken back, to be tried after `delay` seconds."""
        with self.cond:
            heapq.heappush(self.later, (time.monotonic() + delay, next(self._order), job))
            self.taken -= 1
            self.cond.notify_all()

    def done(self) -> None:
        with self.cond:
            self.taken -= 1
            self.cond.notify_all()

    def close(self) -> None:
        with self.cond:
            self.closed = True
            self.cond.notify_all()

    def stop(self) -> None:
        with self.cond:
            self.stopped = True
            self.cond.notify_all()

    def left(self) -> list[_Job]:
        with self.cond:
            return list(self.queue) + [job for _, _, job in self.later]


class _Pace:
    """One rate for every connection: a mail starts at most every
    1/rate seconds (a token bucket that holds one token)."""

    def __init__(self, rate: Optional[float]) -> None:
        self.interval = 1.0 / rate if rate else 0.0
        self.next = 0.0
        self.lock = threading.Lock()

    def wait(self, halt: threading.Event) -> bool:
        """False when the run was halted while waiting."""
        if not self.interval:
            return not halt.is_set()
        with self.lock:
            now = time.monotonic()
            at = max(now, self.next)
            self.next = at + self.interval
        return not halt.wait(at - now) if at > now else not halt.is_set()


def _too_many(exc: BaseException) -> bool:
    """An answer that says the account has too many connections open."""
    code = getattr(exc, "smtp_code", None)
    texts = [getattr(exc, "smtp_error", b"")]
    if isinstance(exc, smtplib.SMTPRecipientsRefused):
        texts += [text for _, text in exc.recipients.values()]
        code = next((c for c, _ in exc.recipients.values()), code)
    said = b" ".join(t for t in texts if isinstance(t, bytes)).decode("utf-8", "replace").lower()
    return code == 432 or "4.3.2" in said or "too many" in said


def _answer(exc: BaseException) -> str:
    code, text = getattr(exc, "smtp_code", None), getattr(exc, "smtp_error", None)
    if isinstance(code, int) and isinstance(text, bytes):
        return f"{code} {text.decode('utf-8', 'replace')}"
    if isinstance(exc, smtplib.SMTPRecipientsRefused) and exc.recipients:
        c, t = next(iter(exc.recipients.values()))
        return f"{c} {t.decode('utf-8', 'replace')}"
    return f"{type(exc).__name__}: {exc}"


def _refusals(refused: Mapping[str, tuple[int, bytes]]) -> Refused:
    return {a: (c, t.decode("utf-8", "replace")) for a, (c, t) in refused.items()}


# --- the run ------------------------------------------------------------------


class _Run:
    def __init__(
        self,
        mailer: Any,
        connections: int,
        max_per_connection: int,
        rate: Optional[float],
        retries: int,
        journal: Optional[_Journal],
        abort_ratio: Optional[float],
        progress: Optional[Callable[[MailResult], object]],
        resend_unknown: bool,
        backoff: float,
    ) -> None:
        self.mailer = mailer
        self.max_per_connection = max_per_connection
        self.retries = retries
        self.journal = journal
        self.abort_ratio = abort_ratio
        self.progress = progress
        self.resend_unknown = resend_unknown
        self.backoff = backoff
        self.pace = _Pace(rate)
        # connections still working, and threads still running
        self.active = connections
        self.running = connections
        # the caller gave up waiting (a second Ctrl-C): the last thread closes the journal
        self.abandoned = False
        self.feed = _Feed(2 * connections + 2)
        self.halt = threading.Event()
        self.lock = threading.Lock()
        self.report = Report()
        self.error: Optional[BaseException] = None
        self.answered = 0
        self.permanent = 0
        current = _session.installed(mailer)
        self.options = delivery._Options()
        if current is not None and current.owner == delivery._CONFIGURED:
            self.options = cast(delivery._Configured, current.delivery).options
        self.timeout = self.options.timeout or DEFAULT_TIMEOUT

    # -- states

    def _record(self, job: _Job, state: str, answer: str = "") -> None:
        """Write a mail's new state (the journal first), count it, and tell
        the log and the progress callback when it is final."""
        old, job.state, job.answer = job.state, state, answer or job.answer
        if self.journal is not None:
            self.journal.write(job)
        final = state in _FINAL or state == "unknown"
        with self.lock:
            counts = self.report.counts
            counts[old] -= 1
            counts[state] += 1
            if state == "sent":
                self.report.sent_now += 1
            if final:
                job.msg = None
                if self.progress is not None:
                    self.progress(job.result())
        if final:
            log.info("%s %s to %s: %s", state, job.key, ", ".join(job.recipients), job.answer)

    def _judge(self, job: _Job) -> None:
        """Count an answer of the server, and stop the run when the share of
        permanent failures passes abort_ratio."""
        if self.abort_ratio is None:
            return
        with self.lock:
            self.answered += 1
            self.permanent += job.state in ("refused", "failed")
            stop = (
                self.answered >= ABORT_AFTER
                and self.permanent / self.answered > self.abort_ratio
                and self.report.stopped is None
            )
            if stop:
                self.report.stopped = "abort_ratio"
        if stop:
            log.warning("stopping: %d of %d mails failed for good", self.permanent, self.answered)
            self.stop()

    def stop(self) -> None:
        self.halt.set()
        self.feed.stop()

    # -- connections

    def _connect(self) -> _session.Connection:
        server = delivery._connect(self.mailer, self.options, self.timeout)
        with self.lock:
            self.report.connections += 1
        return server

    def _lower(self) -> bool:
        """One connection fewer for the rest of the run; False when this is
        the last one (it stays)."""
        with self.lock:
            if self.active <= 1:
                return False
            self.active -= 1
            left = self.active
        log.warning("the server has too many connections open: %d from now on", left)
        return True

    def work(self) -> None:
        server: Optional[_session.Connection] = None
        used = 0
        failures = 0
        stays = True  # False once this connection was given up for good
        try:
            while True:
                job = self.feed.get()
                if job is None:
                    return
                if server is not None and (
                    used >= self.max_per_connection or delivery._stale(server)
                ):
                    _session.close(server)
                    server = None
                if server is None:
                    try:
                        server = self._connect()
                    except Exception as exc:
                        self.feed.again(job, 0.0)  # untouched: for any connection
                        if _too_many(exc):
                            if self._lower():
                                stays = False
                                return
                            self.halt.wait(self.backoff)
                            continue
                        failures += 1
                        if delivery.is_transient(exc) and failures <= self.retries:
                            self.halt.wait(self.backoff * 2 ** (failures - 1))
                            continue
                        if delivery.is_transient(exc) and self._lower():
                            stays = False  # the others go on
                            return
                        self.error = self.error or exc
                        self.stop()
                        return
                    failures, used = 0, 0
                if not self.pace.wait(self.halt):
                    self.feed.done()  # left pending
                    return
                used += 1
                outcome = self._transact(server, job, used > 1)
                if outcome != "keep":
                    server = None
                if outcome == "leave" and self._lower():
                    stays = False
                    return
        except BaseException as exc:  # a bug, or the journal's disk: stop the run
            self.error = self.error or exc
            self.stop()
        finally:
            if server is not None:
                _session.close(server)
            with self.lock:
                if stays:
                    self.active -= 1
                self.running -= 1
                last = self.running == 0
            if last and self.abandoned and self.journal is not None:
                self.journal.close()

    def _transact(self, server: _session.Connection, job: _Job, reused: bool) -> str:
        """Send one mail: "keep" the connection, "drop" it (gone), or
        "leave": the server has too many connections."""
        journal = self.journal
        ended = []

        def data_end() -> None:
            ended.append(True)
            job.state = "unknown"  # in the journal; counted once the answer is known
            if journal is not None:
                journal.write(job)

        server.before_data_end = data_end
        job.attempts += 1
        try:
            refused = _session.submit(server, job.msg, job.sender, job.recipients)
        except Exception as exc:
            job.state = "pending"
            return self._failed(server, job, exc, bool(ended), reused)
        finally:
            server.before_data_end = None
        job.state = "pending"
        job.refused = _refusals(refused)
        code, text = server.last_reply
        self._record(job, "sent", f"{code} {text.decode('utf-8', 'replace')}")
        self._judge(job)
        self.feed.done()
        return "keep"

    def _failed(
        self, server: _session.Connection, job: _Job, exc: Exception, ended: bool, reused: bool
    ) -> str:
        kept = (
            server.sock is not None
            and isinstance(
                exc,
                (smtplib.SMTPRecipientsRefused, smtplib.SMTPSenderRefused, smtplib.SMTPDataError),
            )
            and getattr(exc, "smtp_code", 0) != 421
        )
        if kept:
            try:
                server.rset()  # a clean session for the next mail
            except (smtplib.SMTPException, OSError):
                kept = False
        if not kept:
            server.close()
        outcome = "keep" if kept else "drop"
        if ended and not isinstance(exc, smtplib.SMTPDataError):
            # the server had the whole mail, and its answer was never read
            self._record(job, "unknown", _answer(exc))
            self.feed.done()
            return outcome
        if isinstance(exc, smtplib.SMTPRecipientsRefused):
            job.refused = _refusals(exc.recipients)
        if reused and job.free_retry and not server.data_started and delivery._retryable(exc):
            # dropped between two mails: once more at once, on a new connection
            job.free_retry, job.attempts = False, job.attempts - 1
            self.feed.again(job, 0.0)
            return outcome
        if _too_many(exc):
            outcome = "leave"
        if delivery.is_transient(exc) and job.attempts <= self.retries:
            self._record(job, "pending", _answer(exc))
            log.info("trying %s again: %s", job.key, job.answer)
            self.feed.again(job, self.backoff * 2 ** (job.attempts - 1))
            return outcome
        answered = isinstance(exc, (smtplib.SMTPResponseException, smtplib.SMTPRecipientsRefused))
        permanent = answered and not delivery.is_transient(exc)
        self._record(job, "refused" if permanent else "failed", _answer(exc))
        self._judge(job)
        self.feed.done()
        return outcome

    # -- the rows

    def admit(self, row: Any, seq: int, composer: _Composer, seen: set[str]) -> None:
        """Read one row: skip it when it is done, else compose it, journal it
        as pending and hand it to the connections."""
        if not isinstance(row, Mapping):
            raise TypeError(_messages.text("bulk.row", type=type(row).__name__))
        key = row_key(row)
        job = _Job(key, seq)
        journal, report = self.journal, self.report
        found = None
        if journal is None:
            duplicate = key in seen
            seen.add(key)
        else:
            found = journal.look(key)
            duplicate = found is not None and found[2] == journal.run
        if duplicate:
            with self.lock:
                report.duplicates += 1
            log.info("skipped %s: the same row came before", key)
            return
        if journal is not None and found is not None:
            state, job.message_id = found[0], found[1]
            if state in _FINAL or (state == "unknown" and not self.resend_unknown):
                journal.seen(key, seq)
                with self.lock:
                    report.counts[state] += 1
                    report.resumed += 1
                    if self.progress is not None:
                        self.progress(MailResult(key, [], state))
                return
        with self.lock:
            report.counts["pending"] += 1
        if journal is None:
            report._kept.append(job)
        try:
            # rendering happens here, before the key is final: a template
            # adds "occurred_at" to the row's own context
            job.msg, job.recipients, job.sender = composer.compose(row)
        except Exception as exc:
            if journal is not None:
                journal.begin(job)
            self._record(job, "failed", f"{type(exc).__name__}: {exc}")
            return
        if job.message_id is None:
            domain = parseaddr(job.sender)[1].rpartition("@")[2] or "localhost"
            job.message_id = make_msgid(domain=domain)
        if "Message-ID" not in job.msg:
            job.msg["Message-ID"] = job.message_id
        if journal is not None:
            journal.begin(job)
        if not self.feed.put(job):
            job.msg = None  # the run stopped: left pending


def _check(name: str, value: Any, minimum: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
        raise ValueError(_messages.text("bulk.count", name=name, minimum=minimum, value=value))
    return value


def send_many(
    mailer: Any,
    mails: Iterable[Mapping[str, Any]],
    *,
    connections: int = 1,
    max_per_connection: int = 100,
    rate: Union[str, float, None] = None,
    retries: int = 3,
    journal: Union[str, os.PathLike[str], None] = None,
    abort_ratio: Optional[float] = None,
    progress: Optional[Callable[[MailResult], object]] = None,
    resend_unknown: bool = False,
    backoff: float = 1.0,
) -> Report:
    """Send one mail per row of `mails` and report on each.

    Each row is the keyword arguments of one ``mailer.send`` (or, with
    ``template_name``, of one ``mailer.send_template``), plus an optional
    ``key`` (a stable id of the row; else a hash of its content) and
    ``list_unsubscribe`` (a URL, a ``mailto:`` or a list of both).  Rows are
    read as they are sent, never all at once.

    Up to `connections` logged-in connections work in parallel, each renewed
    after `max_per_connection` mails; `rate` (``"30/min"``, ``"5/s"``, or mails
    per second) is shared by all of them.  Where the mailer's provider
    publishes limits (Microsoft 365: 3 connections, 30 mails a minute) they
    cap both.  An answer that the account has too many connections lowers
    the number for the rest of the run.  Transient failures are tried again
    up to `retries` times, after `backoff` seconds and twice as long each
    time; `abort_ratio` stops the run when that share of the mails answered
    (from the twentieth on) failed for good, leaving the rest pending.

    With `journal` (a file path), every mail's state is kept there: running
    the same rows again sends only what is not done.  A mail whose data was
    sent but whose answer was never read is ``unknown``; it is sent again
    only with `resend_unknown`, with the same ``Message-ID``.  `progress` is
    called with the :class:`MailResult` of each row as it is done.  A Ctrl-C
    lets the mails being sent finish and returns the report (``stopped ==
    "interrupted"``); a second one raises ``KeyboardInterrupt`` at once.

    Failures to connect or log in that trying again does not cure stop the
    run and are raised; the journal stays right.
    """
    delivery._check_mailer(mailer)
    for klass in type(mailer).__mro__:
        if _session.installed(klass) is not None:
            raise RuntimeError(_messages.text("bulk.class_delivery"))
    connections = _check("connections", connections, 1)
    max_per_connection = _check("max_per_connection", max_per_connection, 1)
    retries = _check("retries", retries, 0)
    per_second = parse_rate(rate)
    if abort_ratio is not None and (
        isinstance(abort_ratio, bool)
        or not isinstance(abort_ratio, (int, float))
        or not 0 <= abort_ratio < 1
    ):
        raise ValueError(_messages.text("bulk.abort_ratio", value=abort_ratio))
    if isinstance(backoff, bool) or not isinstance(backoff, (int, float)) or not backoff >= 0:
        raise ValueError(_messages.text("bulk.backoff", value=backoff))
    if progress is not None and not callable(progress):
        raise TypeError(_messages.text("bulk.progress", type=type(progress).__name__))
    found = providers.find(str(mailer.host), str(mailer.username))
    if found is not None:
        if found.max_connections is not None and connections > found.max_connections:
            log.info("%s allows %d connections", found.key, found.max_connections)
            connections = found.max_connections
        if found.max_rate is not None and (per_second is None or per_second > found.max_rate):
            per_second = found.max_rate
    rows = iter(mails)
    opened = _Journal(os.fspath(journal)) if journal is not None else None
    run = _Run(
        mailer,
        connections,
        max_per_connection,
        per_second,
        retries,
        opened,
        abort_ratio,
        progress,
        bool(resend_unknown),
        float(backoff),
    )
    report = run.report
    if opened is not None:
        report.journal, report._run = opened.path, opened.run
    started = time.monotonic()
    threads = [
        threading.Thread(target=run.work, name=f"brisvane-bulk-{i}", daemon=True)
        for i in range(connections)
    ]
    for thread in threads:
        thread.start()
    composer = _Composer(mailer)
    seen: set[str] = set()
    try:
        try:
            for seq, row in enumerate(rows):
                if run.halt.is_set():
                    break
                run.admit(row, seq, composer, seen)
        except KeyboardInterrupt:
            report.stopped = report.stopped or "interrupted"
            log.warning("interrupted: finishing the mails being sent")
            run.halt.set()
            run.feed.stop()
        except BaseException as exc:
            run.error = run.error or exc
            run.stop()
        run.feed.close()
        for thread in threads:
            while thread.is_alive():
                thread.join(0.1)
    except KeyboardInterrupt:
        run.stop()
        with run.lock:
            run.abandoned = run.running > 0
        raise
    finally:
        report.duration = time.monotonic() - started
        if opened is not None and not run.abandoned:
            opened.close()
    if run.error is not None:
        raise run.error
    return report
