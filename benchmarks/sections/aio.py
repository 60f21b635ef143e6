"""3d. From asyncio code (brisvane.aio.AsyncEasyMailer): throughput, one send, event-loop lag.

Every variant runs on one event loop of this process, kept for the section, so
that what a mailer keeps between sends (its TLS context) is kept as in an
application.  The loopback server is the one of section 3, in another process.
"""

from __future__ import annotations

import asyncio
import gc
import os
import ssl
import statistics
import tempfile
import time
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

import baselines
from goals import AIO_LAG, AIO_PEERS, AIO_POOL, AIO_SINGLE
from report import Section, fmt_num, fmt_ratio, table
from timing import Ratio, alternate, environment, medians, paired_ratio, rotating

from . import PASSWORD, RCPT, USER, log
from .e2e import HOST, _loopback_server

PARALLEL = 4
SUBJECT = "Notice {}"
BODY = "Hello {}.\n"
ATTACHMENT_BYTES = 20_000_000
LARGE_MAILS = 3
TICK = 0.001

Run = Callable[[], Awaitable[object]]


def _message(i: int) -> Any:
    """The standard library's message for mail `i`, as the floor composes it."""
    return baselines.build_message(
        USER,
        RCPT,
        SUBJECT.format(i),
        BODY.format(i),
        None,
        None,
        None,
        None,
        None,
        None,
    )


def _split(mails: int, ways: int) -> list[range]:
    bounds = [mails * k // ways for k in range(ways + 1)]
    return [range(a, b) for a, b in zip(bounds, bounds[1:])]


class _Variants:
    """The coroutine factories of every variant, against the implicit-TLS port."""

    def __init__(self, port: int) -> None:
        self.port = port
        self.brisvane: Any = None
        try:
            from brisvane.aio import AsyncEasyMailer

            self.brisvane = AsyncEasyMailer(HOST, port, USER, PASSWORD)
        except ImportError:  # pragma: no cover - brisvane.aio's extra missing
            pass
        self.fastmail: Any = None
        try:
            from fastapi_mail import ConnectionConfig, FastMail

            config = ConnectionConfig(
                MAIL_USERNAME=USER,
                MAIL_PASSWORD=PASSWORD,
                MAIL_FROM=USER,
                MAIL_PORT=port,
                MAIL_SERVER=HOST,
                MAIL_STARTTLS=False,
                MAIL_SSL_TLS=True,
            )
            self.fastmail = FastMail(config)
        except ImportError:  # pragma: no cover - peer missing
            pass

    # -- many mails, 4 at a time ----------------------------------------------

    def brisvane_pool(self, mails: int) -> Run:
        async def run() -> None:
            m = self.brisvane
            async with m.connection(connections=PARALLEL) as pool:
                await asyncio.gather(
                    *(m.send(RCPT, SUBJECT.format(i), body=BODY.format(i)) for i in range(mails))
                )
            assert len(pool.results) == mails, len(pool.results)

        return run

    def aiosmtplib_clients(self, mails: int) -> Run:
        import aiosmtplib

        async def client(numbers: range) -> None:
            smtp = aiosmtplib.SMTP(
                hostname=HOST,
                port=self.port,
                use_tls=True,
                tls_context=ssl.create_default_context(),
            )
            async with smtp:
                await smtp.login(USER, PASSWORD)
                for i in numbers:
                    msg = _message(i)
                    await smtp.sendmail(USER, [RCPT], msg.as_string())

        async def run() -> None:
            await asyncio.gather(*(client(part) for part in _split(mails, PARALLEL)))

        return run

    @staticmethod
    def schema(i: int, attachment: str | None = None) -> Any:
        from fastapi_mail import MessageSchema, MessageType

        return MessageSchema(
            subject=SUBJECT.format(i),
            recipients=[RCPT],
            body=BODY.format(i),
            subtype=MessageType.plain,
            attachments=[attachment] if attachment else [],
        )

    def fastapi_mail_lists(self, mails: int) -> Run:
        async def run() -> None:
            # fastapi-mail's own reuse: a list of messages goes over one connection
            await asyncio.gather(
                *(
                    self.fastmail.send_message([self.schema(i) for i in part])
                    for part in _split(mails, PARALLEL)
                )
            )

        return run

    # -- one mail, one connection -----------------------------------------------

    def brisvane_one(self, mails: int) -> Run:
        async def run() -> None:
            for i in range(mails):
                await self.brisvane.send(RCPT, SUBJECT.format(i), body=BODY.format(i))

        return run

    def aiosmtplib_one(self, mails: int) -> Run:
        import aiosmtplib

        async def run() -> None:
            for i in range(mails):
                await aiosmtplib.send(
                    _message(i),
                    hostname=HOST,
                    port=self.port,
                    username=USER,
                    password=PASSWORD,
                    use_tls=True,
                )

        return run

    # -- large mails -------------------------------------------------------------

    def large(self, name: str, path: str) -> Run:
        """LARGE_MAILS mails with the file at `path` attached, sent concurrently."""
        numbers = range(LARGE_MAILS)

        async def brisvane() -> None:
            m = self.brisvane
            await asyncio.gather(
                *(
                    m.send(RCPT, SUBJECT.format(i), body=BODY.format(i), attachments=[path])
                    for i in numbers
                )
            )

        async def fastapi_mail() -> None:
            await asyncio.gather(
                *(self.fastmail.send_message(self.schema(i, path)) for i in numbers)
            )

        return brisvane if name == "brisvane" else fastapi_mail


async def _lag_while(run: Run) -> float:
    """The longest delay past its due time (ms) that a task sleeping 1 ms at a
    time sees while `run` runs on the same loop."""
    worst = 0.0
    done = False

    async def tick() -> None:
        nonlocal worst
        while not done:
            start = time.perf_counter()
            await asyncio.sleep(TICK)
            worst = max(worst, time.perf_counter() - start - TICK)

    ticker = asyncio.ensure_future(tick())
    await asyncio.sleep(0.02)
    try:
        await run()
    finally:
        done = True
        await ticker
    return worst * 1000


def _spread(samples: list[float]) -> Ratio:
    """The median of `samples`, with their quartiles (their extremes when fewer than 4)."""
    ordered = sorted(samples)
    r = Ratio(statistics.median(ordered))
    if len(ordered) >= 4:
        q = statistics.quantiles(ordered, n=4)
        r.lo, r.hi = q[0], q[2]
    else:
        r.lo, r.hi = ordered[0], ordered[-1]
    return r


def _on(loop: asyncio.AbstractEventLoop, run: Run, mails: int) -> Callable[[], float]:
    def sample() -> float:
        start = time.perf_counter()
        loop.run_until_complete(run())
        return mails / (time.perf_counter() - start)

    return sample


def _lag_on(loop: asyncio.AbstractEventLoop, run: Run) -> Callable[[], float]:
    return lambda: loop.run_until_complete(_lag_while(run))


async def _idle() -> None:
    await asyncio.sleep(0.5)


def run(quick: bool) -> Section:
    mails = 100 if quick else 500
    reps = 2 if quick else 5
    singles, single_rounds = (10, 5) if quick else (25, 10)
    lag_reps = 2 if quick else 5
    out = Section("", {})
    loop = asyncio.new_event_loop()
    with tempfile.TemporaryDirectory(prefix="brisvane-bench-") as name:
        tmp = Path(name)
        ca_path = str(tmp / "ca.pem")
        big = tmp / "data.bin"
        big.write_bytes(os.urandom(ATTACHMENT_BYTES))
        with _loopback_server(ca_path) as ports, environment(SSL_CERT_FILE=ca_path):
            v = _Variants(ports["ssl"])
            many: dict[str, Callable[[int], Run]] = {
                f"aiosmtplib, {PARALLEL} clients": v.aiosmtplib_clients,
            }
            one: dict[str, Callable[[int], Run]] = {"aiosmtplib.send": v.aiosmtplib_one}
            large = []
            if v.brisvane is not None:
                many = {f"AsyncEasyMailer, pool of {PARALLEL}": v.brisvane_pool, **many}
                one = {"AsyncEasyMailer.send": v.brisvane_one, **one}
                large.insert(0, "brisvane")
            if v.fastmail is not None:
                many[f"fastapi-mail, {PARALLEL} lists"] = v.fastapi_mail_lists
                large.append("fastapi-mail")
            log(f"aio: {mails} mails, {', '.join(many)}")
            for make in many.values():  # warm-up
                loop.run_until_complete(make(8)())
            rates = alternate(
                {k: _on(loop, make(mails), mails) for k, make in many.items()},
                reps,
                rotating,
                before=gc.collect,
            )
            log(f"aio: one send at a time, {', '.join(one)}")
            for make in one.values():
                loop.run_until_complete(make(3)())
            single = alternate(
                {k: _on(loop, make(singles), singles) for k, make in one.items()},
                single_rounds,
                rotating,
                before=gc.collect,
            )
            log(f"aio: event-loop lag, {LARGE_MAILS} mails of {ATTACHMENT_BYTES:,} bytes")
            idle = loop.run_until_complete(_lag_while(_idle))
            lags = alternate(
                {k: _lag_on(loop, v.large(k, str(big))) for k in large},
                lag_reps,
                rotating,
                before=gc.collect,
            )
    loop.close()

    med, med_one = medians(rates), medians(single)
    med_lag = {k: _spread(v) for k, v in lags.items()}
    pool_key = f"AsyncEasyMailer, pool of {PARALLEL}"
    rows = []

    def judge(goal: Any, samples: dict, a: str, b: str) -> None:
        ratio = paired_ratio(samples, a, b)
        if ratio is None:
            rows.append([f"{a} ÷ {b}", "n/a", goal.target, ""])
            return
        outcome = goal.judge("aio", f"{a} vs {b}", ratio)
        out.outcomes.append(outcome)
        rows.append([f"{a} ÷ {b}", fmt_ratio(ratio, True), goal.target, outcome.mark])

    judge(AIO_POOL, rates, pool_key, f"aiosmtplib, {PARALLEL} clients")
    judge(AIO_PEERS, rates, pool_key, f"fastapi-mail, {PARALLEL} lists")
    judge(AIO_SINGLE, single, "AsyncEasyMailer.send", "aiosmtplib.send")
    if "brisvane" in med_lag:
        outcome = AIO_LAG.judge("aio", "event-loop lag, large mails", med_lag["brisvane"])
        out.outcomes.append(outcome)
        rows.append(
            [
                f"event-loop lag, {LARGE_MAILS} mails of 20 MB",
                f"{med_lag['brisvane']:.1f} ms ({med_lag['brisvane'].lo:.1f}–"
                f"{med_lag['brisvane'].hi:.1f})",
                AIO_LAG.target,
                outcome.mark,
            ]
        )
    lag_names = {
        "brisvane": "AsyncEasyMailer",
        "fastapi-mail": "fastapi-mail",
    }
    out.markdown = (
        f"## 3d. From asyncio code: implicit TLS on loopback, one event loop "
        f"(mails/s, median of {reps} rounds of {mails} mails; {single_rounds} rounds of "
        f"{singles} single sends; lag: median of {lag_reps} runs)\n\n"
        + table(
            ["variant", "mails/s"],
            [[k, fmt_num(x)] for k, x in med.items()]
            + [[f"{k}, one connection per mail", fmt_num(x)] for k, x in med_one.items()],
        )
        + "\n\n"
        + table(
            ["while sending", "longest delay of a 1 ms timer"],
            [["nothing", f"{idle:.1f} ms"]]
            + [[lag_names[k], f"{x:.1f} ms ({x.lo:.1f}–{x.hi:.1f})"] for k, x in med_lag.items()],
        )
        + "\n\n"
        + table(["ratio", "measured (spread)", "target", "met"], rows)
    )
    out.data = {
        "mails_per_s": med,
        "samples": rates,
        "single_mails_per_s": med_one,
        "single_samples": single,
        "lag_ms": med_lag,
        "lag_samples": lags,
        "idle_lag_ms": idle,
        "mails": mails,
        "attachment_bytes": ATTACHMENT_BYTES,
    }
    return out
