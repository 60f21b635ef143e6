"""1. Native layer: the cost of a call through the binding, against plain Python."""

from __future__ import annotations

from typing import Any

import baselines
from goals import NATIVE_BINDING, NATIVE_JINJA2, Goal
from report import Section, fmt_num, fmt_ratio, table
from timing import paired_ratio, side_by_side

from . import PASSWORD, RCPT, USER, log

SEND = "send (every argument by keyword, no-op hooks)"
COLLECT = "_collect_recipients (three short lists)"
RENDER = "render_string (one variable)"

# (call, baseline variant, its label, the goal or None for information only)
ROWS: tuple[tuple[str, str, str, Goal | None], ...] = (
    (SEND, "python", "Python function", NATIVE_BINDING),
    (SEND, "unchecked", "Python function without its checks (for information)", None),
    (COLLECT, "python", "Python function", NATIVE_BINDING),
    (RENDER, "python", "Python function", None),
    (RENDER, "jinja2", "Jinja2 directly", NATIVE_JINJA2),
)


def run(quick: bool) -> Section:
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
    obj: Any
    for obj in (native, python, unchecked):
        obj._build_message = noop_build
        obj._collect_recipients = noop_collect
        obj._do_send = noop_send

    engine = TemplateEngine()
    env = engine.env
    py_engine = baselines.PyTemplateEngine(env)

    tpl, ctx = "Hello {{ name }}!", {"name": "World"}
    lists = ["a@example.com", "b@example.com"], ["c@example.com"], ["d@example.com"]
    ns = dict(
        native=native,
        python=python,
        unchecked=unchecked,
        EasyMailer=EasyMailer,
        PyCollect=baselines.PyCollect,
        engine=engine,
        py_engine=py_engine,
        env=env,
        to=RCPT,
        subject="Hello",
        body="Hello there",
        html="<p>Hello there</p>",
        cc=["cc@example.com"],
        bcc=["bcc@example.com"],
        sender="me@example.com",
        sender_name="Me",
        attachments=[],
        reply_to="reply@example.com",
        l1=lists[0],
        l2=lists[1],
        l3=lists[2],
        tpl=tpl,
        ctx=ctx,
    )
    assert engine.render_string(tpl, ctx) == py_engine.render_string(tpl, ctx)
    assert EasyMailer._collect_recipients(*lists) == baselines.PyCollect._collect_recipients(*lists)

    send_call = (
        "{}.send(to=to, subject=subject, body=body, html=html, cc=cc, bcc=bcc, "
        "sender=sender, sender_name=sender_name, attachments=attachments, "
        "reply_to=reply_to)"
    )
    reps = 7 if quick else 21
    target = 0.01
    log("native: send")
    send = side_by_side(
        {
            "brisvane": send_call.format("native"),
            "python": send_call.format("python"),
            "unchecked": send_call.format("unchecked"),
        },
        ns,
        reps,
        target,
    )
    log("native: _collect_recipients")
    collect = side_by_side(
        {
            "brisvane": "EasyMailer._collect_recipients(l1, l2, l3)",
            "python": "PyCollect._collect_recipients(l1, l2, l3)",
        },
        ns,
        reps,
        target,
    )
    log("native: render_string")
    render = side_by_side(
        {
            "brisvane": "engine.render_string(tpl, ctx)",
            "python": "py_engine.render_string(tpl, ctx)",
            "jinja2": "env.from_string(tpl).render(**ctx)",
        },
        ns,
        reps,
        target * 2,
    )

    measured = {SEND: send, COLLECT: collect, RENDER: render}
    out = Section("", {})
    rows = []
    for name, base, label, goal in ROWS:
        data = measured[name]
        m = data["median"]
        r = paired_ratio(data["samples"], "brisvane", base)
        met = "—"
        if goal is not None:
            outcome = goal.judge("native", f"{name} vs {label}", r)
            out.outcomes.append(outcome)
            met = outcome.mark
        rows.append(
            [
                name,
                fmt_num(m["brisvane"] * 1e9),
                label,
                fmt_num(m[base] * 1e9),
                fmt_ratio(r),
                goal.mark if goal else "—",
                met,
            ]
        )
        out.data[f"{name} vs {label}"] = {
            "brisvane_ns": m["brisvane"] * 1e9,
            "baseline": label,
            "baseline_ns": m[base] * 1e9,
            "ratio": r,
            "goal": goal.bound if goal else None,
            "calls_per_sample": data["number"],
            "reps": data["reps"],
        }
    out.markdown = "## 1. Native layer cost (ns per call, median)\n\n" + table(
        ["call", "brisvane", "baseline", "baseline ns", "ratio", "goal", "met"], rows
    )
    return out
