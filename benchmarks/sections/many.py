"""3c. Sending to many (brisvane.bulk.send_many) through a server 20 ms away, and on loopback."""

from __future__ import annotations

import gc
import json
import smtplib
import ssl
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from pathlib import Path

import baselines
from goals import BULK_JOURNAL, BULK_PARALLEL, BULK_PEERS, BULK_RAW
from report import Section, fmt_num, fmt_ratio, table
from timing import alternate, environment, medians, paired_ratio, rotating

from . import PASSWORD, RCPT, USER, log
from .e2e import HOST, _loopback_server

HERE = Path(__file__).resolve().parent.parent
DELAY_MS = 20
PARALLEL = 4


@contextmanager
def _delayed(port: int) -> Iterator[int]:
    """delay_proxy.py in front of `port`: yields the proxy's port."""
    proxy = subprocess.Popen(
        [sys.executable, str(HERE / "delay_proxy.py"), str(port), str(DELAY_MS)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.DEVNULL,  # connections still open at its end are cancelled, noisily
        text=True,
    )
    assert proxy.stdin is not None and proxy.stdout is not None
    try:
        yield json.loads(proxy.stdout.readline())["port"]
    finally:
        proxy.stdin.close()
        try:
            proxy.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proxy.kill()
            proxy.wait()


def _rows(mails: int) -> Iterator[dict]:
    return ({"to": RCPT, "subject": f"Notice {i}", "body": f"Hello {i}.\n"} for i in range(mails))


def _split(mails: int, ways: int) -> list[int]:
    return [mails // ways + (i < mails % ways) for i in range(ways)]


def _in_threads(fn: Callable[[int], None], mails: int, ways: int) -> None:
    threads = [threading.Thread(target=fn, args=(n,)) for n in _split(mails, ways)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def _variants(port: int, tmp: Path, wide: int, narrow: int) -> dict[str, Callable[[], float]]:
    """Each variant sends its mails and returns mails per second."""
    from brisvane import bulk
    from brisvane.mailer import EasyMailer

    mailer = EasyMailer(HOST, port, USER, PASSWORD)
    runs = iter(range(1 << 30))

    def timed(fn: Callable[[], object], mails: int) -> Callable[[], float]:
        def sample() -> float:
            start = time.perf_counter()
            fn()
            return mails / (time.perf_counter() - start)

        return sample

    def many(connections: int, mails: int, journal: bool) -> Callable[[], object]:
        def go() -> None:
            path = tmp / f"run-{next(runs)}.db" if journal else None
            report = bulk.send_many(mailer, _rows(mails), connections=connections, journal=path)
            assert report.counts["sent"] == mails, report.counts

        return go

    def raw() -> None:
        with smtplib.SMTP_SSL(HOST, port, context=ssl.create_default_context()) as server:
            server.login(USER, PASSWORD)
            for i in range(narrow):
                msg = baselines.build_message(
                    USER, RCPT, f"Notice {i}", f"Hello {i}.\n", None, None, None, None, None, None
                )
                recipients = baselines.collect_recipients(RCPT, None, None)
                server.sendmail(USER, recipients, msg.as_string())

    out = {
        f"connections={PARALLEL}, journal": timed(many(PARALLEL, wide, True), wide),
        f"connections={PARALLEL}": timed(many(PARALLEL, wide, False), wide),
        "connections=1": timed(many(1, narrow, False), narrow),
        "smtplib, one connection": timed(raw, narrow),
    }
    try:
        import yagmail

        def yag(n: int) -> None:
            client = yagmail.SMTP(USER, PASSWORD, host=HOST, port=port, smtp_ssl=True)
            for i in range(n):
                client.send(to=RCPT, subject=f"Notice {i}", contents=f"Hello {i}.\n")
            client.close()

        out[f"yagmail, {PARALLEL} threads"] = timed(lambda: _in_threads(yag, wide, PARALLEL), wide)
    except ImportError:  # pragma: no cover - peer missing
        pass
    try:
        from redmail import EmailSender

        def red(n: int) -> None:
            sender = EmailSender(
                host=HOST,
                port=port,
                username=USER,
                password=PASSWORD,
                use_starttls=False,
                cls_smtp=smtplib.SMTP_SSL,
            )
            with sender:
                for i in range(n):
                    sender.send(
                        subject=f"Notice {i}", sender=USER, receivers=[RCPT], text=f"Hello {i}.\n"
                    )

        out[f"redmail, {PARALLEL} threads"] = timed(lambda: _in_threads(red, wide, PARALLEL), wide)
    except ImportError:  # pragma: no cover - peer missing
        pass
    return out


def _probe(port: int, mails: int, journal: Path) -> dict:
    found = subprocess.run(
        [sys.executable, str(HERE / "many_probe.py"), str(port), str(mails), str(journal)],
        check=True,
        capture_output=True,
        text=True,
        cwd=HERE,
    )
    return json.loads(found.stdout.splitlines()[-1])


def run(quick: bool) -> Section:
    reps = 1 if quick else 2
    wide = (120 if quick else 1000) // reps  # mails per sample at 4 connections
    narrow = (40 if quick else 250) // reps  # at one connection
    loopback = (500, 2000) if quick else (2000, 10000)
    out = Section("", {})
    with tempfile.TemporaryDirectory(prefix="brisvane-bench-") as name:
        tmp = Path(name)
        ca_path = str(tmp / "ca.pem")
        with _loopback_server(ca_path) as ports, environment(SSL_CERT_FILE=ca_path):
            with _delayed(ports["ssl"]) as far:
                variants = _variants(far, tmp, wide, narrow)
                log(f"bulk: {', '.join(variants)}; {DELAY_MS} ms each way")
                warm = _variants(far, tmp, 8, 4)
                for fn in warm.values():
                    fn()
                rates = alternate(variants, reps, rotating, before=gc.collect)
            log(f"bulk: loopback, {' and '.join(map(str, loopback))} mails with a journal")
            probes = {n: _probe(ports["plain"], n, tmp / f"probe-{n}.db") for n in loopback}
    med = medians(rates)
    wide_key, journal_key = f"connections={PARALLEL}", f"connections={PARALLEL}, journal"
    checks = [
        (BULK_PARALLEL, wide_key, "connections=1"),
        (BULK_RAW, "connections=1", "smtplib, one connection"),
        (BULK_JOURNAL, journal_key, wide_key),
    ]
    rows = []
    for goal, a, b in checks:
        ratio = paired_ratio(rates, a, b)
        outcome = goal.judge("bulk", f"{a} vs {b}", ratio)
        out.outcomes.append(outcome)
        rows.append([f"{a} ÷ {b}", fmt_ratio(ratio, True), goal.target, outcome.mark])
    named = [k for k in rates if k.startswith(("yagmail", "redmail"))]
    peers = {k: paired_ratio(rates, journal_key, k) for k in named}
    if peers:
        outcome = BULK_PEERS.judge("bulk", f"{journal_key} vs the peers", peers)
        out.outcomes.append(outcome)
        for k, ratio in peers.items():
            rows.append([f"{journal_key} ÷ {k}", fmt_ratio(ratio, True), "> 1", outcome.mark])
    small, large = loopback
    flat = probes[large]["peak_mib"] / probes[small]["peak_mib"]
    out.markdown = (
        f"## 3c. Sending to many: implicit TLS through a proxy adding {DELAY_MS} ms each way, "
        f"{wide * reps} mails per variant at {PARALLEL} connections, {narrow * reps} at one "
        f"(mails/s, median of {reps} rounds)\n\n"
        + table(["variant", "mails/s"], [[k, fmt_num(v, 1)] for k, v in med.items()])
        + "\n\n"
        + table(["ratio", "measured (spread)", "target", "met"], rows)
        + f"\n\nPlain loopback, two connections, with a journal: {small:,} and {large:,} mails: "
        + ", ".join(
            f"{fmt_num(p['mails_per_s'])} mails/s, {fmt_num(p['cpu_us'])} µs CPU per mail, "
            f"peak RSS {p['peak_mib']:.1f} MiB"
            for p in probes.values()
        )
        + f" (peak memory {flat:.3f}× from {small:,} to {large:,} rows)."
    )
    out.data = {
        "mails_per_s": med,
        "samples": rates,
        "delay_ms": DELAY_MS,
        "loopback": probes,
        "memory_growth": flat,
    }
    return out
