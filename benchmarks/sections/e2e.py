"""3. End to end over loopback, and 3b. one connection for a batch, against the floor and peers."""

from __future__ import annotations

import gc
import json
import smtplib
import ssl
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Collection, Iterator, Mapping
from contextlib import contextmanager
from pathlib import Path
from typing import Union

import baselines
from goals import BATCH_PEERS, BATCH_PER_MAIL, BATCH_RAW, E2E_FLOOR, E2E_PEERS, Goal
from report import Section, fmt_num, fmt_ratio, table
from timing import alternate, environment, medians, paired_ratio, rotating

from . import PASSWORD, RCPT, USER, log

HERE = Path(__file__).resolve().parent.parent
HOST = "127.0.0.1"
SUBJECT = "Benchmark"
BODY = "Hello from the benchmark.\n"

# the CA file OpenSSL reads by default (Debian: the ca-certificates bundle)
SYSTEM_BUNDLE = ssl.get_default_verify_paths().openssl_cafile

# A variant that sends; or the exception that kept it from being made (a peer missing).
Send = Callable[[], object]
Sender = Union[Send, Exception]


@contextmanager
def _loopback_server(ca_path: str) -> Iterator[dict[str, int]]:
    """The SMTP server of smtp_server.py in another process, writing its CA to
    `ca_path`: yields its ports by mode; afterwards the server is stopped."""
    server = subprocess.Popen(
        [sys.executable, str(HERE / "smtp_server.py"), ca_path],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert server.stdin is not None and server.stdout is not None
    try:
        line = server.stdout.readline()
        if not line:
            raise RuntimeError("the SMTP server process did not start")
        yield json.loads(line)
    finally:
        server.stdin.close()
        try:
            server.wait(timeout=15)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def _senders(mode: str, port: int) -> dict[str, Sender]:
    """The callables that send one mail in `mode`: brisvane, the floor and the peers."""
    from brisvane.mailer import EasyMailer

    out: dict[str, Sender] = {}
    mailer = EasyMailer(
        HOST, port, USER, PASSWORD, use_ssl=mode == "ssl", use_tls=mode == "starttls"
    )
    out["brisvane"] = lambda: mailer.send(to=RCPT, subject=SUBJECT, body=BODY)
    out["smtplib floor"] = lambda: baselines.send_raw(
        HOST, port, mode, USER, PASSWORD, RCPT, SUBJECT, BODY
    )
    try:
        import yagmail

        yag = yagmail.SMTP(
            USER,
            PASSWORD,
            host=HOST,
            port=port,
            smtp_ssl=mode == "ssl",
            smtp_starttls=mode == "starttls",
        )

        def send_yag() -> None:
            yag.send(to=RCPT, subject=SUBJECT, contents=BODY)
            yag.close()  # one connection per mail, like the others

        out["yagmail"] = send_yag
    except Exception as e:  # pragma: no cover - peer missing
        out["yagmail"] = e
    try:
        from redmail import EmailSender

        red = EmailSender(
            host=HOST,
            port=port,
            username=USER,
            password=PASSWORD,
            use_starttls=mode == "starttls",
            cls_smtp=smtplib.SMTP_SSL if mode == "ssl" else smtplib.SMTP,
        )
        out["redmail"] = lambda: red.send(subject=SUBJECT, sender=USER, receivers=[RCPT], text=BODY)
    except Exception as e:  # pragma: no cover - peer missing
        out["redmail"] = e
    return out


def _three_times(name: str, fn: Send) -> None:
    for _ in range(3):
        fn()


def _usable(
    senders: Mapping[str, Sender],
    warm_up: Callable[[str, Send], None],
    required: Collection[str],
) -> tuple[dict[str, Send], dict[str, str]]:
    """The variants that can be measured, each warmed up, and why the others cannot.

    A variant that could not be made (a peer missing) or fails its warm-up is
    left out with a note; a failure of a `required` one ends the run.
    """
    usable: dict[str, Send] = {}
    notes: dict[str, str] = {}
    for name, fn in senders.items():
        if isinstance(fn, Exception):
            notes[name] = f"n/a ({type(fn).__name__})"
            continue
        try:
            warm_up(name, fn)
        except Exception as e:
            if name in required:
                raise
            notes[name] = f"n/a ({type(e).__name__}: {e})"[:120]
            continue
        usable[name] = fn
    return usable, notes


def _sends_per_second(fn: Send, sends: int) -> Callable[[], float]:
    def sample() -> float:
        start = time.perf_counter()
        for _ in range(sends):
            fn()
        return sends / (time.perf_counter() - start)

    return sample


def run_e2e(quick: bool) -> Section:
    total = 50 if quick else 200
    rounds = 10 if quick else 20
    per_round = total // rounds
    out = Section("", {})
    rows = []
    with tempfile.TemporaryDirectory(prefix="brisvane-bench-") as tmp:
        ca_path = str(Path(tmp) / "ca.pem")
        with _loopback_server(ca_path) as ports, environment(SSL_CERT_FILE=ca_path):
            for mode in ("plain", "starttls", "ssl"):
                usable, notes = _usable(
                    _senders(mode, ports[mode]), _three_times, ("brisvane", "smtplib floor")
                )
                log(f"e2e: {mode} ({', '.join(usable)})")
                rates = alternate(
                    {k: _sends_per_second(fn, per_round) for k, fn in usable.items()},
                    rounds,
                    rotating,
                )
                med = medians(rates)
                r_floor = paired_ratio(rates, "brisvane", "smtplib floor")
                peers = {p: med.get(p) for p in ("yagmail", "redmail")}
                peer_ratios = {p: paired_ratio(rates, "brisvane", p) for p in peers}
                floor = E2E_FLOOR.judge("e2e", f"{mode}: vs smtplib floor", r_floor)
                ahead = E2E_PEERS.judge("e2e", f"{mode}: ahead of yagmail and redmail", peer_ratios)
                out.outcomes += [floor, ahead]
                rows.append(
                    [mode, fmt_num(med["brisvane"]), fmt_num(med["smtplib floor"])]
                    + [fmt_ratio(r_floor)]
                    + [
                        notes.get(p) or f"{fmt_num(peers[p])} ({fmt_ratio(peer_ratios[p])})"
                        for p in ("yagmail", "redmail")
                    ]
                    + [floor.mark, ahead.mark]
                )
                out.data[mode] = {
                    "messages_per_s": med,
                    "samples": rates,
                    "ratio_to_floor": r_floor,
                    "ratio_to_peers": peer_ratios,
                    "notes": notes,
                    "sends_per_variant": per_round * rounds,
                }
    out.markdown = (
        f"## 3. End to end: {per_round * rounds} sends per variant and mode, loopback "
        f"aiosmtpd in another process (messages/s, median of {rounds} rounds)\n\n"
        + table(
            [
                "mode",
                "brisvane",
                "smtplib floor",
                "ratio to floor",
                "yagmail (brisvane ÷ peer)",
                "redmail (brisvane ÷ peer)",
                f"{E2E_FLOOR.short} floor",
                "ahead of peers",
            ],
            rows,
        )
    )
    return out


# --------------------------------------------------------------------------
# 3b. One connection for a batch (brisvane.delivery.connection)
# --------------------------------------------------------------------------

# the variants held against `connection()`, each with its goal, in the table's order
BATCH_GOALS: dict[str, Goal] = {
    "one connection per mail": BATCH_PER_MAIL,
    "smtplib, one connection": BATCH_RAW,
    "yagmail, one object": BATCH_PEERS,
    "redmail, with block": BATCH_PEERS,
}


def _batch_senders(port: int, mails: int) -> dict[str, Sender]:
    """Callables that each send `mails` mails over implicit TLS."""
    from brisvane import delivery
    from brisvane.mailer import EasyMailer

    mailer = EasyMailer(HOST, port, USER, PASSWORD)
    out: dict[str, Sender] = {}

    def per_mail() -> None:
        for _ in range(mails):
            mailer.send(to=RCPT, subject=SUBJECT, body=BODY)

    def batch() -> None:
        with delivery.connection(mailer):
            for _ in range(mails):
                mailer.send(to=RCPT, subject=SUBJECT, body=BODY)

    def raw() -> None:
        # the floor: the same composition, one connection, a bare sendmail loop
        with smtplib.SMTP_SSL(HOST, port, context=ssl.create_default_context()) as server:
            server.login(USER, PASSWORD)
            for _ in range(mails):
                msg = baselines.build_message(
                    USER, RCPT, SUBJECT, BODY, None, None, None, None, None, None
                )
                recipients = baselines.collect_recipients(RCPT, None, None)
                server.sendmail(USER, recipients, msg.as_string())

    out["connection()"] = batch
    out["one connection per mail"] = per_mail
    out["smtplib, one connection"] = raw
    try:
        import yagmail

        def yag() -> None:
            # yagmail's own reuse: one SMTP object for every mail
            client = yagmail.SMTP(USER, PASSWORD, host=HOST, port=port, smtp_ssl=True)
            for _ in range(mails):
                client.send(to=RCPT, subject=SUBJECT, contents=BODY)
            client.close()

        out["yagmail, one object"] = yag
    except Exception as e:  # pragma: no cover - peer missing
        out["yagmail, one object"] = e
    try:
        from redmail import EmailSender

        def red() -> None:
            # redmail's own reuse: sends inside its `with` block share a connection
            sender = EmailSender(
                host=HOST,
                port=port,
                username=USER,
                password=PASSWORD,
                use_starttls=False,
                cls_smtp=smtplib.SMTP_SSL,
            )
            with sender:
                for _ in range(mails):
                    sender.send(subject=SUBJECT, sender=USER, receivers=[RCPT], text=BODY)

        out["redmail, with block"] = red
    except Exception as e:  # pragma: no cover - peer missing
        out["redmail, with block"] = e
    return out


def _rate_and_cpu(fn: Send, mails: int) -> Callable[[], tuple[float, float]]:
    """A sample of one batch: messages per second, and client CPU µs per mail."""

    def sample() -> tuple[float, float]:
        wall, proc = time.perf_counter(), time.process_time()
        fn()
        return mails / (time.perf_counter() - wall), (time.process_time() - proc) / mails * 1e6

    return sample


def run_batch(quick: bool) -> Section:
    mails = 50 if quick else 200
    reps = 3 if quick else 5
    with tempfile.TemporaryDirectory(prefix="brisvane-bench-") as tmp:
        ca_path, bundle_path = Path(tmp) / "ca.pem", Path(tmp) / "bundle.pem"
        with _loopback_server(str(ca_path)) as ports, environment(SSL_CERT_FILE=str(bundle_path)):
            port = ports["ssl"]
            # a CA file as large as the system's, as a real user's verification costs
            system = Path(SYSTEM_BUNDLE).read_text() if Path(SYSTEM_BUNDLE).exists() else ""
            bundle_path.write_text(system + ca_path.read_text())
            certificates = bundle_path.read_text().count("BEGIN CERTIFICATE")
            log(f"batch: implicit TLS, {mails} mails, {certificates} certificates in the CA file")

            def warm_up(name: str, _: Send) -> None:
                fn = _batch_senders(port, 3)[name]
                if isinstance(fn, Exception):
                    raise fn
                fn()

            usable, notes = _usable(_batch_senders(port, mails), warm_up, ("connection()",))
            samples = alternate(
                {k: _rate_and_cpu(fn, mails) for k, fn in usable.items()},
                reps,
                rotating,
                before=gc.collect,
            )
    keys = list(usable)
    rates = {k: [rate for rate, _ in v] for k, v in samples.items()}
    cpu = {k: [us for _, us in v] for k, v in samples.items()}
    med, med_cpu = medians(rates), medians(cpu)
    ratios = {k: paired_ratio(rates, "connection()", k) for k in keys if k != "connection()"}
    out = Section("", {})
    rows: list[list[str]] = [
        ["connection()", fmt_num(med["connection()"]), fmt_num(med_cpu["connection()"]), "", "", ""]
    ]
    for k, goal in BATCH_GOALS.items():
        if k in notes:
            rows.append([k, notes[k], "", "", "", ""])
        elif k in keys:
            outcome = goal.judge("batch", f"connection() vs {k}", ratios[k])
            out.outcomes.append(outcome)
            rows.append(
                [
                    k,
                    fmt_num(med[k]),
                    fmt_num(med_cpu[k]),
                    fmt_ratio(ratios[k], True),
                    goal.target,
                    outcome.mark,
                ]
            )
    out.markdown = (
        f"## 3b. One connection for a batch: {mails} mails over implicit TLS, a CA file of "
        f"{certificates} certificates (messages/s and client CPU µs per mail, median of "
        f"{reps} runs)\n\n"
        + table(
            ["variant", "messages/s", "CPU µs/mail", "connection() ÷ variant", "target", "met"],
            rows,
        )
    )
    out.data = {
        "messages_per_s": med,
        "cpu_us_per_mail": med_cpu,
        "samples": rates,
        "cpu_samples": cpu,
        "ratios": ratios,
        "notes": notes,
        "mails": mails,
        "certificates": certificates,
    }
    return out
