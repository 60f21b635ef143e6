"""How often a process crashes when it exits while daemon threads still send over TLS.

    python benchmarks/exit_crash_rate.py [--runs N] [--threads K] [--linger SECONDS]
                                         [--only VARIANT ...]

Each run is a fresh process that starts K daemon threads sending mail over
implicit TLS to the loopback server of smtp_server.py (or, for "stdlib
context", only making client contexts), waits `linger` seconds and returns
from its main module, so that the interpreter exits under the threads.  The
client verifies the server with a CA file as large as the system's (the
system bundle plus the test CA, through ``SSL_CERT_FILE``), so that each
context it makes loads the whole bundle, as a real user's does.

OpenSSL registers its own clean-up to run at exit (``OPENSSL_cleanup``); a
thread that is still loading a bundle then (``X509_STORE_set_default_paths``)
can touch what the clean-up freed.  The variants:

- native: ``EasyMailer.send`` (one connection and one TLS context per mail);
- configure: ``brisvane.delivery.configure`` (one connection per mail, the
  context shared by the process);
- connection: ``brisvane.delivery.connection`` (one connection per thread);
- stdlib smtplib: ``smtplib.SMTP_SSL`` with ``ssl.create_default_context()``
  per mail, the standard library's own way;
- stdlib context: ``ssl.create_default_context()`` in a loop, no network.

A run counts as a crash when the process ends by a signal or with a status
other than 0.  The variants run in rotation; the table gives the crashes, the
signals seen and the mails (or contexts) done before the exit began.
"""

from __future__ import annotations

import argparse
import collections
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

USER = "bench@example.com"
PASSWORD = "bench-password"
RCPT = "rcpt@example.com"
VARIANTS = ("native", "configure", "connection", "stdlib smtplib", "stdlib context")


def child(variant: str, port: int, threads: int, linger: float) -> None:
    """The body of one run: daemon threads sending until the interpreter exits."""
    import smtplib
    import ssl
    import threading

    from brisvane import EasyMailer, delivery

    host = "127.0.0.1"
    sent = [0]

    def mailer() -> EasyMailer:
        return EasyMailer(host, port, USER, PASSWORD)

    def native() -> None:
        m = mailer()
        while True:
            m.send(RCPT, "exit", body="b")
            sent[0] += 1

    def configure() -> None:
        m = mailer()
        delivery.configure(m, timeout=10)
        while True:
            m.send(RCPT, "exit", body="b")
            sent[0] += 1

    def connection() -> None:
        m = mailer()
        with delivery.connection(m, max_per_connection=5):
            while True:
                m.send(RCPT, "exit", body="b")
                sent[0] += 1

    def stdlib_smtplib() -> None:
        while True:
            with smtplib.SMTP_SSL(host, port, context=ssl.create_default_context()) as server:
                server.login(USER, PASSWORD)
                server.sendmail(USER, [RCPT], "Subject: exit\r\n\r\nb\r\n")
            sent[0] += 1

    def stdlib_context() -> None:
        while True:
            ssl.create_default_context()
            sent[0] += 1

    body = {
        "native": native,
        "configure": configure,
        "connection": connection,
        "stdlib smtplib": stdlib_smtplib,
        "stdlib context": stdlib_context,
    }[variant]
    for _ in range(threads):
        threading.Thread(target=body, daemon=True).start()
    time.sleep(linger)
    print(sent[0], flush=True)  # what was done before the exit began


def outcome(code: int) -> str:
    if code < 0:
        try:
            return signal.Signals(-code).name
        except ValueError:
            return f"signal {-code}"
    return "clean" if code == 0 else f"status {code}"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=60, help="runs per variant (default 60)")
    parser.add_argument("--threads", type=int, default=4, help="daemon threads per run")
    parser.add_argument("--linger", type=float, default=0.3, help="seconds before exiting")
    parser.add_argument("--only", action="append", choices=VARIANTS, help="some variants only")
    parser.add_argument("--child", nargs=2, metavar=("VARIANT", "PORT"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]), args.threads, args.linger)
        return

    from run import SYSTEM_BUNDLE, _loopback_server

    variants = args.only or list(VARIANTS)
    tmp = tempfile.mkdtemp(prefix="brisvane-exit-")
    ca_path = os.path.join(tmp, "ca.pem")
    bundle_path = os.path.join(tmp, "bundle.pem")
    results: dict[str, collections.Counter[str]] = {v: collections.Counter() for v in variants}
    done_before_exit: dict[str, list[int]] = {v: [] for v in variants}
    began = time.monotonic()
    with _loopback_server(ca_path) as ports:
        system = Path(SYSTEM_BUNDLE).read_text() if Path(SYSTEM_BUNDLE).exists() else ""
        Path(bundle_path).write_text(system + Path(ca_path).read_text())
        certificates = Path(bundle_path).read_text().count("BEGIN CERTIFICATE")
        env = dict(os.environ, SSL_CERT_FILE=bundle_path)
        for run in range(args.runs):
            order = variants[run % len(variants) :] + variants[: run % len(variants)]
            for variant in order:
                command = [
                    sys.executable,
                    __file__,
                    "--child",
                    variant,
                    str(ports["ssl"]),
                    "--threads",
                    str(args.threads),
                    "--linger",
                    str(args.linger),
                ]
                done = subprocess.run(command, env=env, capture_output=True, timeout=60)
                results[variant][outcome(done.returncode)] += 1
                if done.stdout.strip().isdigit():
                    done_before_exit[variant].append(int(done.stdout))
            print(f"run {run + 1}/{args.runs}", file=sys.stderr, flush=True)

    print(
        f"\n{args.runs} runs per variant, {args.threads} daemon threads, exit after "
        f"{args.linger:g} s, a CA file of {certificates} certificates "
        f"({time.monotonic() - began:.0f} s in all)\n"
    )
    print("| Variant | Crashes | Rate | Done before the exit (median) | Outcomes |")
    print("|---|---|---|---|---|")
    for variant in variants:
        counts = results[variant]
        runs = sum(counts.values())
        crashes = runs - counts["clean"]
        shown = ", ".join(f"{what}: {n}" for what, n in counts.most_common())
        typical = statistics.median(done_before_exit[variant] or [0])
        rate = f"{100 * crashes / runs:.0f} %"
        print(f"| {variant} | {crashes}/{runs} | {rate} | {typical:g} | {shown} |")


if __name__ == "__main__":
    main()
