"""Benchmarks of brisvane against plain-Python baselines, the standard library and peers.

    python benchmarks/run.py [--quick] [--only SECTION] [--json PATH]

Prints Markdown tables of medians and ratios and writes the same figures as
JSON (default: benchmarks/results.json).  Every ratio is measured side by
side in the same run: the variants of one row run in alternation, after a
warm-up, several times over, and the table shows the median of each.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import json
import os
import platform
import re
import smtplib
import ssl
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import baselines  # noqa: E402

USER = "bench@example.com"
PASSWORD = "bench-password"
RCPT = "rcpt@example.com"


def log(*args):
    print(*args, file=sys.stderr, flush=True)


# --------------------------------------------------------------------------
# Measurement
# --------------------------------------------------------------------------


def _calibrate(timer: timeit.Timer, target: float) -> int:
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= target / 4 or number >= 1 << 24:
            return max(1, int(number * target / max(elapsed, 1e-9)))
        number *= 4


def side_by_side(stmts: dict, namespace: dict, reps: int, target: float) -> dict:
    """Seconds per call of each statement: runs alternate, order reversed every repetition.

    The loop count is calibrated once on the first statement and used for all,
    so every variant runs the same number of calls per sample.  The cyclic
    garbage collector stays on (as in a real program) and is run before each
    sample, so that no variant pays for another's garbage.
    """
    namespace = dict(namespace, _gc=gc)
    timers = {k: timeit.Timer(s, setup="_gc.enable()", globals=namespace)
              for k, s in stmts.items()}
    first = next(iter(timers.values()))
    number = _calibrate(first, target)
    for t in timers.values():  # warm-up
        t.timeit(max(1, number // 4))
    samples = {k: [] for k in timers}
    keys = list(timers)
    for r in range(reps):
        for k in keys if r % 2 == 0 else reversed(keys):
            gc.collect()
            samples[k].append(timers[k].timeit(number) / number)
    return {"number": number, "reps": reps, "samples": samples,
            "median": {k: statistics.median(v) for k, v in samples.items()}}


class Ratio(float):
    """A median ratio that remembers the quartiles of the per-repetition ratios."""

    lo: float
    hi: float


def paired_ratio(samples: dict, a: str, b: str):
    """Median over repetitions of a's figure divided by b's from the same repetition."""
    if a not in samples or b not in samples:
        return None
    ratios = sorted(x / y for x, y in zip(samples[a], samples[b]))
    r = Ratio(statistics.median(ratios))
    if len(ratios) >= 4:
        q = statistics.quantiles(ratios, n=4)
        r.lo, r.hi = q[0], q[2]
    else:
        r.lo, r.hi = ratios[0], ratios[-1]
    return r


def ratio(a, b):
    return a / b if a is not None and b not in (None, 0) else None


def fmt_ratio(r, spread=False):
    if r is None:
        return "n/a"
    text = f"{r:.3f}×"
    if spread and isinstance(r, Ratio):
        text += f" ({r.lo:.2f}–{r.hi:.2f})"
    return text


def fmt_num(x, digits=0):
    if x is None:
        return "n/a"
    return f"{x:,.{digits}f}"


def table(headers, rows):
    out = ["| " + " | ".join(headers) + " |", "|" + "|".join("---" for _ in headers) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(out)


GOALS: list = []


def _spread(v):
    return [v.lo, v.hi] if isinstance(v, Ratio) else None


def goal(section, what, value, target, met):
    spread = ({k: _spread(x) for k, x in value.items()} if isinstance(value, dict)
              else _spread(value))
    GOALS.append({"section": section, "what": what, "value": value, "target": target,
                  "interquartile": spread, "met": bool(met) if met is not None else None})
    return "yes" if met else ("n/a" if met is None else "**no**")


# --------------------------------------------------------------------------
# 1. Native layer
# --------------------------------------------------------------------------


def bench_native(quick: bool) -> tuple[str, dict]:
    from brisvane.mailer import EasyMailer
    from brisvane.template import TemplateEngine

    def noop_build(to, subject, body, html, cc, sender, sender_name, attachments, reply_to):
        return None

    def noop_collect(to, cc, bcc):
        return None

    def noop_send(msg, recipients, sender):
        return None

    native = EasyMailer("127.0.0.1", 25, USER, PASSWORD, use_ssl=False)
    python = baselines.PySendMailer(USER)
    unchecked = baselines.PyUncheckedSendMailer(USER)
    for obj in (native, python, unchecked):
        obj._build_message = noop_build
        obj._collect_recipients = noop_collect
        obj._do_send = noop_send

    engine = TemplateEngine()
    env = engine.env
    py_engine = baselines.PyTemplateEngine(env)

    ns = dict(
        native=native, python=python, unchecked=unchecked, EasyMailer=EasyMailer, PyCollect=baselines.PyCollect,
        engine=engine, py_engine=py_engine, env=env,
        to=RCPT, subject="Hello", body="Hello there", html="<p>Hello there</p>",
        cc=["cc@example.com"], bcc=["bcc@example.com"], sender="me@example.com",
        sender_name="Me", attachments=[], reply_to="reply@example.com",
        l1=["a@example.com", "b@example.com"], l2=["c@example.com"], l3=["d@example.com"],
        tpl="Hello {{ name }}!", ctx={"name": "World"},
    )
    assert engine.render_string(ns["tpl"], ns["ctx"]) == py_engine.render_string(ns["tpl"], ns["ctx"])
    assert EasyMailer._collect_recipients(ns["l1"], ns["l2"], ns["l3"]) == \
        baselines.PyCollect._collect_recipients(ns["l1"], ns["l2"], ns["l3"])

    send_call = ("{}.send(to=to, subject=subject, body=body, html=html, cc=cc, bcc=bcc, "
                 "sender=sender, sender_name=sender_name, attachments=attachments, "
                 "reply_to=reply_to)")
    reps = 7 if quick else 21
    target = 0.01
    log("native: send")
    send = side_by_side({"brisvane": send_call.format("native"),
                         "python": send_call.format("python"),
                         "unchecked": send_call.format("unchecked")}, ns, reps, target)
    log("native: _collect_recipients")
    collect = side_by_side({"brisvane": "EasyMailer._collect_recipients(l1, l2, l3)",
                            "python": "PyCollect._collect_recipients(l1, l2, l3)"},
                           ns, reps, target)
    log("native: render_string")
    render = side_by_side({"brisvane": "engine.render_string(tpl, ctx)",
                           "python": "py_engine.render_string(tpl, ctx)",
                           "jinja2": "env.from_string(tpl).render(**ctx)"},
                          ns, reps, target * 2)

    rows = []
    result = {}
    for name, data, base, label, target_ratio, kind in (
        ("send (every argument by keyword, no-op hooks)", send, "python",
         "Python function", 0.8, "binding"),
        ("send (every argument by keyword, no-op hooks)", send, "unchecked",
         "Python function without its checks (for information)", None, "binding"),
        ("_collect_recipients (three short lists)", collect, "python",
         "Python function", 0.8, "binding"),
        ("render_string (one variable)", render, "python", "Python function", None, "jinja2"),
        ("render_string (one variable)", render, "jinja2", "Jinja2 directly", 1.05, "jinja2"),
    ):
        m = data["median"]
        r = paired_ratio(data["samples"], "brisvane", base)
        met = goal("native", f"{name} vs {label}", r, f"<= {target_ratio}",
                   r <= target_ratio) if target_ratio else "—"
        rows.append([name, fmt_num(m["brisvane"] * 1e9), label, fmt_num(m[base] * 1e9),
                     fmt_ratio(r), f"≤ {target_ratio:.2f}×" if target_ratio else "—", met])
        result[f"{name} vs {label}"] = {
            "brisvane_ns": m["brisvane"] * 1e9, "baseline": label,
            "baseline_ns": m[base] * 1e9, "ratio": r, "goal": target_ratio,
            "calls_per_sample": data["number"], "reps": data["reps"],
        }
    md = "## 1. Native layer cost (ns per call, median)\n\n" + table(
        ["call", "brisvane", "baseline", "baseline ns", "ratio", "goal", "met"], rows)
    return md, result


# --------------------------------------------------------------------------
# 2. Composition
# --------------------------------------------------------------------------

_BOUNDARY = re.compile(r"={15}\d+==")
_DATE = re.compile(r"^Date: .*$", re.M)


def _normalise(text):
    return _DATE.sub("Date: -", _BOUNDARY.sub("BOUNDARY", text))


def _compose_cases() -> dict:
    """The messages composed in sections 2 and 2b: `_build_message` arguments by name."""
    blob = os.urandom(100 * 1024)
    base = dict(to=RCPT, subject="Monthly report", html=None, cc=None, sender=None,
                sender_name=None, attachments=None, reply_to=None,
                body="Hello,\n\nplease find this month's figures below.\n\n" + "line\n" * 40)
    return {
        "text only": dict(base),
        "text + HTML": dict(base, html="<p>Hello,</p><p>please find the figures below.</p>"
                            + "<p>line</p>" * 40),
        "10 attachments of 100 KB (bytes)": dict(
            base, attachments=[{"filename": f"part{i:02d}.bin", "data": blob}
                               for i in range(10)]),
    }


def bench_compose(quick: bool) -> tuple[str, dict]:
    from brisvane.mailer import EasyMailer

    mailer = EasyMailer("127.0.0.1", 25, USER, PASSWORD, use_ssl=False)
    cases = _compose_cases()
    reps = 7 if quick else 21
    target = 0.02
    rows, result = [], {}
    for name, args in cases.items():
        same = _normalise(mailer._build_message(**args).as_string()) == \
            _normalise(baselines.build_message(USER, **args).as_string())
        ns = dict(mailer=mailer, build=baselines.build_message, USER=USER, args=args)
        log(f"compose: {name}")
        data = side_by_side({"brisvane": "mailer._build_message(**args).as_string()",
                             "stdlib": "build(USER, **args).as_string()"}, ns, reps, target)
        m = data["median"]
        r = paired_ratio(data["samples"], "brisvane", "stdlib")
        met = goal("compose", name, r, "<= 1.02", r <= 1.02)
        rows.append([name, fmt_num(m["brisvane"] * 1e6, 1), fmt_num(m["stdlib"] * 1e6, 1),
                     fmt_ratio(r), "yes" if same else "**no**", "≤ 1.02×", met])
        result[name] = {"brisvane_us": m["brisvane"] * 1e6, "stdlib_us": m["stdlib"] * 1e6,
                        "ratio": r, "same_output": same, "goal": 1.02,
                        "calls_per_sample": data["number"], "reps": reps}
    md = "## 2. Composition: `_build_message` + `as_string()` (µs per message, median)\n\n" + \
        table(["message", "brisvane", "stdlib directly", "ratio", "same output", "goal", "met"],
              rows)
    return md, result


def bench_capture(quick: bool) -> tuple[str, dict]:
    """``send`` inside ``brisvane.testing.capture`` against composing the same mail."""
    from brisvane.mailer import EasyMailer
    from brisvane.testing import capture

    mailer = EasyMailer("127.0.0.1", 25, USER, PASSWORD, use_ssl=False)
    cases = _compose_cases()
    reps = 7 if quick else 21
    target = 0.02
    rows, result = [], {}
    with capture(mailer) as outbox:
        for name, args in cases.items():
            send_args = dict(args, bcc=None)
            ns = dict(mailer=mailer, args=args, send_args=send_args, outbox=outbox)
            log(f"capture: {name}")
            data = side_by_side({
                "capture": "mailer.send(**send_args); outbox.clear()",
                "compose": "mailer._build_message(**args).as_string()",
                "build": "mailer._build_message(**args)",
            }, ns, reps, target)
            m = data["median"]
            r = paired_ratio(data["samples"], "capture", "compose")
            r_build = paired_ratio(data["samples"], "capture", "build")
            met = goal("capture", name, r, "<= 1.05", r <= 1.05)
            rows.append([name, fmt_num(m["capture"] * 1e6, 1), fmt_num(m["compose"] * 1e6, 1),
                         fmt_ratio(r), fmt_num(m["build"] * 1e6, 1), fmt_ratio(r_build),
                         "≤ 1.05×", met])
            result[name] = {"capture_us": m["capture"] * 1e6, "compose_us": m["compose"] * 1e6,
                            "build_us": m["build"] * 1e6, "ratio": r, "ratio_to_build": r_build,
                            "goal": 1.05, "calls_per_sample": data["number"], "reps": reps}
    md = "## 2b. Capture: `send` inside `brisvane.testing.capture` (µs per message, median)\n\n" + \
        table(["message", "captured send", "compose + flatten", "ratio", "build only",
               "ratio to build", "goal", "met"], rows)
    return md, result


# --------------------------------------------------------------------------
# 3. End to end
# --------------------------------------------------------------------------


def _senders(mode, port):
    """The callables that send one mail in `mode`: brisvane, the floor and the peers."""
    from brisvane.mailer import EasyMailer

    host = "127.0.0.1"
    subject = "Benchmark"
    body = "Hello from the benchmark.\n"
    out = {}

    mailer = EasyMailer(host, port, USER, PASSWORD, use_ssl=mode == "ssl",
                        use_tls=mode == "starttls")
    out["brisvane"] = lambda: mailer.send(to=RCPT, subject=subject, body=body)
    out["smtplib floor"] = lambda: baselines.send_raw(host, port, mode, USER, PASSWORD, RCPT,
                                                      subject, body)
    try:
        import yagmail

        yag = yagmail.SMTP(USER, PASSWORD, host=host, port=port, smtp_ssl=mode == "ssl",
                           smtp_starttls=mode == "starttls")

        def send_yag():
            yag.send(to=RCPT, subject=subject, contents=body)
            yag.close()  # one connection per mail, like the others

        out["yagmail"] = send_yag
    except Exception as e:  # pragma: no cover - peer missing
        out["yagmail"] = e
    try:
        from redmail import EmailSender

        red = EmailSender(host=host, port=port, username=USER, password=PASSWORD,
                          use_starttls=mode == "starttls",
                          cls_smtp=smtplib.SMTP_SSL if mode == "ssl" else smtplib.SMTP)
        out["redmail"] = lambda: red.send(subject=subject, sender=USER, receivers=[RCPT],
                                          text=body)
    except Exception as e:  # pragma: no cover - peer missing
        out["redmail"] = e
    return out


@contextlib.contextmanager
def _loopback_server(ca_path: str):
    """The SMTP server of smtp_server.py in another process, writing its CA to
    `ca_path`: yields its ports by mode; afterwards SSL_CERT_FILE is as it was
    and the server stopped."""
    server = subprocess.Popen([sys.executable, str(HERE / "smtp_server.py"), ca_path],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    old_cert = os.environ.get("SSL_CERT_FILE")
    try:
        line = server.stdout.readline()
        if not line:
            raise RuntimeError("the SMTP server process did not start")
        yield json.loads(line)
    finally:
        if old_cert is None:
            os.environ.pop("SSL_CERT_FILE", None)
        else:
            os.environ["SSL_CERT_FILE"] = old_cert
        server.stdin.close()
        try:
            server.wait(timeout=15)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


def bench_e2e(quick: bool) -> tuple[str, dict]:
    total = 50 if quick else 200
    rounds = 10 if quick else 20
    per_round = total // rounds
    tmp = tempfile.mkdtemp(prefix="brisvane-bench-")
    ca_path = os.path.join(tmp, "ca.pem")
    rows, result = [], {}
    with _loopback_server(ca_path) as ports:
        os.environ["SSL_CERT_FILE"] = ca_path
        for mode in ("plain", "starttls", "ssl"):
            senders = _senders(mode, ports[mode])
            usable = {}
            notes = {}
            for name, fn in senders.items():
                if isinstance(fn, Exception):
                    notes[name] = f"n/a ({type(fn).__name__})"
                    continue
                try:
                    for _ in range(3):  # warm-up
                        fn()
                    usable[name] = fn
                except Exception as e:
                    if name in ("brisvane", "smtplib floor"):
                        raise
                    notes[name] = f"n/a ({type(e).__name__}: {e})"[:120]
            log(f"e2e: {mode} ({', '.join(usable)})")
            rates = {k: [] for k in usable}
            keys = list(usable)
            for r in range(rounds):
                order = keys[r % len(keys):] + keys[:r % len(keys)]
                for k in order:
                    fn = usable[k]
                    start = time.perf_counter()
                    for _ in range(per_round):
                        fn()
                    rates[k].append(per_round / (time.perf_counter() - start))
            med = {k: statistics.median(v) for k, v in rates.items()}
            b, floor = med["brisvane"], med["smtplib floor"]
            r_floor = paired_ratio(rates, "brisvane", "smtplib floor")
            peers = {p: med.get(p) for p in ("yagmail", "redmail")}
            peer_ratios = {p: paired_ratio(rates, "brisvane", p) for p in peers}
            ahead = all(v is None or v > 1.0 for v in peer_ratios.values())
            met_floor = goal("e2e", f"{mode}: vs smtplib floor", r_floor, ">= 0.95",
                             r_floor >= 0.95)
            met_peers = goal("e2e", f"{mode}: ahead of yagmail and redmail",
                             peer_ratios, "> 1.0", ahead)
            rows.append([mode, fmt_num(b), fmt_num(floor), fmt_ratio(r_floor)] +
                        [notes.get(p) or f"{fmt_num(peers[p])} ({fmt_ratio(peer_ratios[p])})"
                         for p in ("yagmail", "redmail")] + [met_floor, met_peers])
            result[mode] = {"messages_per_s": med, "samples": rates,
                            "ratio_to_floor": r_floor,
                            "ratio_to_peers": peer_ratios,
                            "notes": notes, "sends_per_variant": per_round * rounds}
    md = (f"## 3. End to end: {per_round * rounds} sends per variant and mode, loopback "
          f"aiosmtpd in another process (messages/s, median of {rounds} rounds)\n\n" +
          table(["mode", "brisvane", "smtplib floor", "ratio to floor",
                 "yagmail (brisvane ÷ peer)", "redmail (brisvane ÷ peer)",
                 "≥ 0.95× floor", "ahead of peers"], rows))
    return md, result


# --------------------------------------------------------------------------
# 3b. One connection for a batch (brisvane.delivery.connection)
# --------------------------------------------------------------------------

# the CA file OpenSSL reads by default (Debian: the ca-certificates bundle)
SYSTEM_BUNDLE = ssl.get_default_verify_paths().openssl_cafile


def _batch_senders(port, mails):
    """Callables that each send `mails` mails over implicit TLS."""
    from brisvane import delivery
    from brisvane.mailer import EasyMailer

    host, subject, body = "127.0.0.1", "Benchmark", "Hello from the benchmark.\n"
    mailer = EasyMailer(host, port, USER, PASSWORD)
    out = {}

    def per_mail():
        for _ in range(mails):
            mailer.send(to=RCPT, subject=subject, body=body)

    def batch():
        with delivery.connection(mailer):
            for _ in range(mails):
                mailer.send(to=RCPT, subject=subject, body=body)

    def raw():
        # the floor: the same composition, one connection, a bare sendmail loop
        with smtplib.SMTP_SSL(host, port, context=ssl.create_default_context()) as server:
            server.login(USER, PASSWORD)
            for _ in range(mails):
                msg = baselines.build_message(USER, RCPT, subject, body, None, None, None, None,
                                              None, None)
                recipients = baselines.collect_recipients(RCPT, None, None)
                server.sendmail(USER, recipients, msg.as_string())

    out["connection()"] = batch
    out["one connection per mail"] = per_mail
    out["smtplib, one connection"] = raw
    try:
        import yagmail

        def yag():
            # yagmail's own reuse: one SMTP object for every mail
            client = yagmail.SMTP(USER, PASSWORD, host=host, port=port, smtp_ssl=True)
            for _ in range(mails):
                client.send(to=RCPT, subject=subject, contents=body)
            client.close()

        out["yagmail, one object"] = yag
    except Exception as e:  # pragma: no cover - peer missing
        out["yagmail, one object"] = e
    try:
        from redmail import EmailSender

        def red():
            # redmail's own reuse: sends inside its `with` block share a connection
            sender = EmailSender(host=host, port=port, username=USER, password=PASSWORD,
                                 use_starttls=False, cls_smtp=smtplib.SMTP_SSL)
            with sender:
                for _ in range(mails):
                    sender.send(subject=subject, sender=USER, receivers=[RCPT], text=body)

        out["redmail, with block"] = red
    except Exception as e:  # pragma: no cover - peer missing
        out["redmail, with block"] = e
    return out


def bench_batch(quick: bool) -> tuple[str, dict]:
    mails = 50 if quick else 200
    reps = 3 if quick else 5
    tmp = tempfile.mkdtemp(prefix="brisvane-bench-")
    ca_path = os.path.join(tmp, "ca.pem")
    bundle_path = os.path.join(tmp, "bundle.pem")
    with _loopback_server(ca_path) as ports:
        port = ports["ssl"]
        # a CA file as large as the system's, as a real user's verification costs
        system = Path(SYSTEM_BUNDLE).read_text() if Path(SYSTEM_BUNDLE).exists() else ""
        Path(bundle_path).write_text(system + Path(ca_path).read_text())
        certificates = (system + Path(ca_path).read_text()).count("BEGIN CERTIFICATE")
        os.environ["SSL_CERT_FILE"] = bundle_path
        senders = _batch_senders(port, mails)
        usable, notes = {}, {}
        for name, fn in senders.items():
            if isinstance(fn, Exception):
                notes[name] = f"n/a ({type(fn).__name__})"
                continue
            usable[name] = fn
        log(f"batch: implicit TLS, {mails} mails, {certificates} certificates in the CA file")
        keys = list(usable)
        for name in keys:  # warm-up, and a peer that fails is left out
            try:
                _batch_senders(port, 3)[name]()
            except Exception as e:
                if name == "connection()":
                    raise
                notes[name] = f"n/a ({type(e).__name__}: {e})"[:120]
                del usable[name]
        keys = list(usable)
        rates = {k: [] for k in keys}
        cpu = {k: [] for k in keys}
        for r in range(reps):
            for k in keys[r % len(keys):] + keys[:r % len(keys)]:
                gc.collect()
                wall, proc = time.perf_counter(), time.process_time()
                usable[k]()
                rates[k].append(mails / (time.perf_counter() - wall))
                cpu[k].append((time.process_time() - proc) / mails * 1e6)
    med = {k: statistics.median(v) for k, v in rates.items()}
    med_cpu = {k: statistics.median(v) for k, v in cpu.items()}
    ratios = {k: paired_ratio(rates, "connection()", k) for k in keys if k != "connection()"}
    targets = {"one connection per mail": (">= 10", 10.0),
               "smtplib, one connection": (">= 0.9", 0.9),
               "yagmail, one object": ("> 1.0", 1.0000001),
               "redmail, with block": ("> 1.0", 1.0000001)}
    rows = []
    for k in ["connection()"] + [k for k in targets if k in keys or k in notes]:
        if k in notes:
            rows.append([k, notes[k], "", "", "", ""])
            continue
        if k == "connection()":
            rows.append([k, fmt_num(med[k]), fmt_num(med_cpu[k]), "", "", ""])
            continue
        target, bound = targets[k]
        met = goal("batch", f"connection() vs {k}", ratios[k], target, ratios[k] >= bound)
        rows.append([k, fmt_num(med[k]), fmt_num(med_cpu[k]), fmt_ratio(ratios[k], True),
                     target, met])
    md = (f"## 3b. One connection for a batch: {mails} mails over implicit TLS, a CA file of "
          f"{certificates} certificates (messages/s and client CPU µs per mail, median of "
          f"{reps} runs)\n\n" +
          table(["variant", "messages/s", "CPU µs/mail", "connection() ÷ variant", "target",
                 "met"], rows))
    return md, {"messages_per_s": med, "cpu_us_per_mail": med_cpu, "samples": rates,
                "cpu_samples": cpu, "ratios": ratios, "notes": notes, "mails": mails,
                "certificates": certificates}


# --------------------------------------------------------------------------
# 4. Memory
# --------------------------------------------------------------------------


def bench_memory(quick: bool) -> tuple[str, dict]:
    reps = 2 if quick else 3
    tmp = tempfile.mkdtemp(prefix="brisvane-bench-")
    path = os.path.join(tmp, "large.bin")
    with open(path, "wb") as f:
        f.write(os.urandom(20 * 1024 * 1024))
    rows, result = [], {}
    try:
        for form in ("file", "bytes"):
            log(f"memory: {form}")
            peaks = {"brisvane": [], "stdlib": []}
            lengths = {}
            for r in range(reps):
                for variant in (("brisvane", "stdlib") if r % 2 == 0 else ("stdlib", "brisvane")):
                    out = subprocess.run(
                        [sys.executable, str(HERE / "memory_probe.py"), variant, form, path],
                        capture_output=True, text=True, check=True)
                    data = json.loads(out.stdout)
                    peaks[variant].append(data["maxrss_kib"] / 1024)
                    lengths[variant] = data["length"]
            med = {k: statistics.median(v) for k, v in peaks.items()}
            r = paired_ratio(peaks, "brisvane", "stdlib")
            met = goal("memory", f"20 MB attachment, {form} form", r, "<= 1.05", r <= 1.05)
            rows.append([f"one 20 MB attachment ({form})", fmt_num(med["brisvane"], 1),
                         fmt_num(med["stdlib"], 1), fmt_ratio(r), "≤ 1.05×", met])
            result[form] = {"brisvane_mib": med["brisvane"], "stdlib_mib": med["stdlib"],
                            "ratio": r, "samples_mib": peaks, "flattened_length": lengths,
                            "goal": 1.05}
    finally:
        os.unlink(path)
        os.rmdir(tmp)
    md = ("## 4. Memory: peak RSS of a fresh process that builds and flattens the mail "
          "(MiB, median)\n\n" +
          table(["message", "brisvane", "stdlib directly", "ratio", "goal", "met"], rows))
    return md, result


# --------------------------------------------------------------------------
# 5. Import time
# --------------------------------------------------------------------------

IMPORTS = {
    "interpreter start (`pass`)": "pass",
    "`import brisvane`": "import brisvane",
    "`import brisvane.mailer`": "import brisvane.mailer",
    "`import smtplib, email.mime.multipart`": "import smtplib, email.mime.multipart",
    "`import jinja2`": "import jinja2",
    "what brisvane.mailer loads (smtplib, ssl, mimetypes, email.mime.*, jinja2)":
        "import smtplib, ssl, mimetypes, email.mime.multipart, email.mime.text, "
        "email.mime.base, jinja2",
    "`import yagmail`": "import yagmail",
    "`import redmail`": "import redmail",
}


def bench_imports(quick: bool) -> tuple[str, dict]:
    runs = 5 if quick else 11
    # Bytecode caches are written and used, as after an ordinary install.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONDONTWRITEBYTECODE"}
    times = {k: [] for k in IMPORTS}
    failed = {}
    log("imports")
    for k, stmt in IMPORTS.items():  # warm-up: fill the page cache and bytecode caches
        out = subprocess.run([sys.executable, "-c", stmt], capture_output=True, env=env)
        if out.returncode != 0:
            failed[k] = out.stderr.decode(errors="replace").strip().splitlines()[-1:]
    keys = [k for k in IMPORTS if k not in failed]
    for r in range(runs):
        for k in keys if r % 2 == 0 else reversed(keys):
            start = time.perf_counter()
            subprocess.run([sys.executable, "-c", IMPORTS[k]], check=True, env=env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            times[k].append(time.perf_counter() - start)
    start_ms = statistics.median(times["interpreter start (`pass`)"]) * 1e3
    rows, result = [], {}
    for k in IMPORTS:
        if k in failed:
            rows.append([k, "n/a", "n/a"])
            result[k] = {"error": failed[k]}
            continue
        med = statistics.median(times[k]) * 1e3
        rows.append([k, fmt_num(med, 1), fmt_num(med - start_ms, 1)])
        result[k] = {"wall_ms": med, "over_start_ms": med - start_ms,
                     "samples_ms": [t * 1e3 for t in times[k]]}
    md = (f"## 5. Import time: fresh process wall time (ms, median of {runs})\n\n" +
          table(["import", "wall", "over interpreter start"], rows))
    return md, result


# --------------------------------------------------------------------------


def machine():
    import brisvane

    return {
        "platform": platform.platform(),
        "machine": platform.machine(),
        "processor": platform.processor() or "unknown",
        "cpu_count": os.cpu_count(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "brisvane": brisvane.__version__,
        "load_average": list(os.getloadavg()),
    }


def performance_section(info, quick):
    lines = ["## Performance", "",
             f"Machine: `{info['platform']}`, {info['cpu_count']} CPUs "
             f"({info['machine']}), {info['implementation']} {info['python']}; "
             f"brisvane {info['brisvane']}" + ("; quick run" if quick else "") + ".",
             f"Load average (1, 5, 15 min) at start: "
             f"{', '.join(f'{x:.2f}' for x in info['load_average'])}; at end: "
             f"{', '.join(f'{x:.2f}' for x in os.getloadavg())}.", "",
             "Each ratio is the median, over repetitions, of brisvane's figure divided by "
             "the baseline's from the same repetition (the variants of a row alternate).", ""]
    rows = []
    for g in GOALS:
        v = g["value"]
        if isinstance(v, dict):
            shown = ", ".join(f"{k} {fmt_ratio(x, True)}" for k, x in v.items())
        else:
            shown = fmt_ratio(v, True)
        rows.append([g["section"], g["what"], shown, g["target"],
                     "met" if g["met"] else "**missed**"])
    lines.append(table(["section", "goal", "measured (interquartile range)", "target", ""],
                       rows))
    missed = [g for g in GOALS if g["met"] is False]
    lines += ["", f"{len(GOALS) - len(missed)} of {len(GOALS)} goals met."]
    return "\n".join(lines)


SECTIONS = {"native": bench_native, "compose": bench_compose, "capture": bench_capture,
            "e2e": bench_e2e, "batch": bench_batch, "memory": bench_memory,
            "imports": bench_imports}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions and sends")
    parser.add_argument("--only", action="append", choices=SECTIONS, metavar="SECTION",
                        help="run only this section (repeatable): " + ", ".join(SECTIONS))
    parser.add_argument("--json", default=str(HERE / "results.json"), metavar="PATH",
                        help="where to write the figures (default: benchmarks/results.json)")
    args = parser.parse_args(argv)

    started = time.perf_counter()
    info = machine()
    results = {"machine": info, "quick": args.quick}
    sections = []
    for key, fn in SECTIONS.items():
        if args.only and key not in args.only:
            continue
        md, data = fn(args.quick)
        results[key] = data
        sections.append(md)
        print(md + "\n", flush=True)
    perf = performance_section(info, args.quick)
    print(perf, flush=True)
    results["goals"] = GOALS
    results["seconds"] = time.perf_counter() - started
    Path(args.json).write_text(json.dumps(results, indent=2, ensure_ascii=False) + "\n",
                               encoding="utf-8")
    log(f"wrote {args.json} ({results['seconds']:.0f} s)")


if __name__ == "__main__":
    main()
