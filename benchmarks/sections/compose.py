"""2. Composition against the standard library, and 2b. a captured send against composing."""

from __future__ import annotations

import os
import re

import baselines
from goals import CAPTURE, COMPOSE
from report import Section, fmt_num, fmt_ratio, table
from timing import paired_ratio, side_by_side

from . import PASSWORD, RCPT, USER, log

_BOUNDARY = re.compile(r"={15}\d+==")
_DATE = re.compile(r"^Date: .*$", re.M)


def _normalise(text: str) -> str:
    return _DATE.sub("Date: -", _BOUNDARY.sub("BOUNDARY", text))


INVITATION = (
    b"BEGIN:VCALENDAR\r\nVERSION:2.0\r\nPRODID:-//Example//Bench//EN\r\nMETHOD:REQUEST\r\n"
    b"BEGIN:VEVENT\r\nUID:bench@example.com\r\nDTSTAMP:20261209T080000Z\r\n"
    b"DTSTART:20261210T020000Z\r\nDTEND:20261210T030000Z\r\nSUMMARY:Quarterly review\r\n"
    b"ORGANIZER:mailto:me@example.com\r\nATTENDEE;RSVP=TRUE:mailto:you@example.com\r\n"
    b"END:VEVENT\r\nEND:VCALENDAR\r\n"
)


def _cases() -> dict[str, dict]:
    """The messages composed in sections 2 and 2b: `_build_message` arguments by name."""
    blob = os.urandom(100 * 1024)
    image = b"\x89PNG\r\n\x1a\n" + os.urandom(50 * 1024 - 8)
    base = dict(
        to=RCPT,
        subject="Monthly report",
        html=None,
        cc=None,
        sender=None,
        sender_name=None,
        attachments=None,
        reply_to=None,
        body="Hello,\n\nplease find this month's figures below.\n\n" + "line\n" * 40,
    )
    return {
        "text only": dict(base),
        "text + HTML": dict(
            base, html="<p>Hello,</p><p>please find the figures below.</p>" + "<p>line</p>" * 40
        ),
        "10 attachments of 100 KB (bytes)": dict(
            base,
            attachments=[{"filename": f"part{i:02d}.bin", "data": blob} for i in range(10)],
        ),
        "text + HTML + 3 inline images of 50 KB": dict(
            base,
            html="".join(f'<p>Figure {i}</p><img src="cid:figure{i}">' for i in range(3)),
            attachments=[
                {
                    "filename": f"figure{i}.png",
                    "data": image,
                    "content_type": "image/png",
                    "cid": f"figure{i}",
                }
                for i in range(3)
            ],
        ),
        "text + calendar invitation": dict(
            base,
            attachments=[
                {
                    "filename": "invite.ics",
                    "data": INVITATION,
                    "content_type": "text/calendar; method=REQUEST",
                }
            ],
        ),
    }


def run_compose(quick: bool) -> Section:
    from brisvane.mailer import EasyMailer

    mailer = EasyMailer("127.0.0.1", 25, USER, PASSWORD, use_ssl=False)
    reps = 7 if quick else 21
    target = 0.02
    out = Section("", {})
    rows = []
    for name, args in _cases().items():
        same = _normalise(mailer._build_message(**args).as_string()) == _normalise(
            baselines.build_message(USER, **args).as_string()
        )
        ns = dict(mailer=mailer, build=baselines.build_message, USER=USER, args=args)
        log(f"compose: {name}")
        data = side_by_side(
            {
                "brisvane": "mailer._build_message(**args).as_string()",
                "stdlib": "build(USER, **args).as_string()",
            },
            ns,
            reps,
            target,
        )
        m = data["median"]
        r = paired_ratio(data["samples"], "brisvane", "stdlib")
        outcome = COMPOSE.judge("compose", name, r)
        out.outcomes.append(outcome)
        rows.append(
            [
                name,
                fmt_num(m["brisvane"] * 1e6, 1),
                fmt_num(m["stdlib"] * 1e6, 1),
                fmt_ratio(r),
                "yes" if same else "**no**",
                COMPOSE.mark,
                outcome.mark,
            ]
        )
        out.data[name] = {
            "brisvane_us": m["brisvane"] * 1e6,
            "stdlib_us": m["stdlib"] * 1e6,
            "ratio": r,
            "same_output": same,
            "goal": COMPOSE.bound,
            "calls_per_sample": data["number"],
            "reps": reps,
        }
    out.markdown = (
        "## 2. Composition: `_build_message` + `as_string()` (µs per message, median)\n\n"
        + table(
            ["message", "brisvane", "stdlib directly", "ratio", "same output", "goal", "met"], rows
        )
    )
    return out


def run_capture(quick: bool) -> Section:
    """``send`` inside ``brisvane.testing.capture`` against composing the same mail."""
    from brisvane.mailer import EasyMailer
    from brisvane.testing import capture

    mailer = EasyMailer("127.0.0.1", 25, USER, PASSWORD, use_ssl=False)
    reps = 7 if quick else 21
    target = 0.02
    out = Section("", {})
    rows = []
    with capture(mailer) as outbox:
        for name, args in _cases().items():
            send_args = dict(args, bcc=None)
            ns = dict(mailer=mailer, args=args, send_args=send_args, outbox=outbox)
            log(f"capture: {name}")
            data = side_by_side(
                {
                    "capture": "mailer.send(**send_args); outbox.clear()",
                    "compose": "mailer._build_message(**args).as_string()",
                    "build": "mailer._build_message(**args)",
                },
                ns,
                reps,
                target,
            )
            m = data["median"]
            r = paired_ratio(data["samples"], "capture", "compose")
            r_build = paired_ratio(data["samples"], "capture", "build")
            outcome = CAPTURE.judge("capture", name, r)
            out.outcomes.append(outcome)
            rows.append(
                [
                    name,
                    fmt_num(m["capture"] * 1e6, 1),
                    fmt_num(m["compose"] * 1e6, 1),
                    fmt_ratio(r),
                    fmt_num(m["build"] * 1e6, 1),
                    fmt_ratio(r_build),
                    CAPTURE.mark,
                    outcome.mark,
                ]
            )
            out.data[name] = {
                "capture_us": m["capture"] * 1e6,
                "compose_us": m["compose"] * 1e6,
                "build_us": m["build"] * 1e6,
                "ratio": r,
                "ratio_to_build": r_build,
                "goal": CAPTURE.bound,
                "calls_per_sample": data["number"],
                "reps": reps,
            }
    out.markdown = (
        "## 2b. Capture: `send` inside `brisvane.testing.capture` (µs per message, median)\n\n"
        + table(
            [
                "message",
                "captured send",
                "compose + flatten",
                "ratio",
                "build only",
                "ratio to build",
                "goal",
                "met",
            ],
            rows,
        )
    )
    return out
