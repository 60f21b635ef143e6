"""``brisvane send``: one mail through ``EasyMailer`` itself."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Any, cast

from brisvane import providers
from brisvane.cli import _ui

__all__ = ["run"]


def _template_exists(mailer: Any, name: str) -> bool:
    from jinja2 import TemplateNotFound

    env = mailer._template_engine.env
    for suffix in (".html", ".txt"):
        try:
            env.get_template(name + suffix)
        except TemplateNotFound:
            continue
        return True
    return False


def _setting(value: Any, name: str) -> Any:
    return value if value not in (None, "") else os.environ.get(f"BRISVANE_{name}") or None


def run(args: Any, out: _ui.Output) -> int:
    from brisvane import _session, delivery
    from brisvane.mailer import EasyMailer

    host = _setting(args.host, "HOST")
    user = _setting(args.user, "USER")
    mode = _setting(args.mode, "MODE") or "ssl"
    if not host or not user:
        out.say("cli.send.no_server")
        return 1
    if args.template and (args.body is not None or args.body_file or args.html_file):
        out.say("cli.send.template_and_body")
        return 1
    if not (args.template or args.body is not None or args.body_file or args.html_file):
        out.say("cli.send.no_body")
        return 1
    if mode not in _session.MODES:
        out.say("cli.send.bad_mode", mode=mode, modes=", ".join(_session.MODES))
        return 1
    port_text = _setting(args.port, "PORT")
    if port_text is not None and not (str(port_text).isdecimal() and 0 < int(port_text) < 65536):
        out.say("cli.send.bad_port", port=port_text)
        return 1
    mode = cast(_session.Mode, mode)
    port = int(port_text) if port_text else _ui.default_port(host, user, mode)
    try:
        body = args.body
        if args.body_file:
            body = Path(args.body_file).read_text(encoding="utf-8")
        html = Path(args.html_file).read_text(encoding="utf-8") if args.html_file else None
        context = _ui.load_context(args.context)
        for attachment in args.attach or ():
            # a local mistake, said before any connection is made
            if not Path(attachment).is_file():
                raise FileNotFoundError(out.text("cli.send.no_attachment", path=attachment))
    except (OSError, ValueError) as exc:
        out.line(_ui.error_text(exc))
        return 1
    # the variable named, else BRISVANE_PASSWORD when it is set, else a prompt
    default_env = "BRISVANE_PASSWORD" if "BRISVANE_PASSWORD" in os.environ else None
    password = _ui.read_password(out, args.password_env or default_env, user)
    if password is None:
        return 1

    mailer = EasyMailer(
        host,
        port,
        user,
        password,
        use_ssl=mode == "ssl",
        use_tls=mode == "starttls",
        default_sender=args.sender,
        template_dir=args.template_dir,
    )
    if args.template and not _template_exists(mailer, args.template):
        out.say("cli.preview.not_found", name=args.template)
        return 1
    delivery.configure(mailer, timeout=args.timeout)
    common = dict(
        cc=args.cc or None,
        bcc=args.bcc or None,
        sender_name=args.sender_name,
        attachments=list(args.attach) if args.attach else None,
        reply_to=args.reply_to,
    )
    recipients = args.to if len(args.to) > 1 else args.to[0]
    out.say(
        "cli.send.heading",
        host=host,
        port=port,
        mode=providers.mode_name(mode, out.lang),
        user=user,
    )
    out.start("cli.step.send")
    try:
        if args.template:
            mailer.send_template(recipients, args.subject, args.template, context, **common)
        else:
            mailer.send(recipients, args.subject, body, html, **common)
    except Exception as exc:  # everything the class lets through is reported
        said = _ui.decode(_ui.error_text(exc))
        out.failed(said)
        _ui.record_failure("send", exc, host=host, port=port, mode=mode, user=user)
        if isinstance(exc, OSError) or _ui.match(said) is not None:
            # the server's or the network's answer (smtplib's errors are
            # OSErrors), or one known; a mistake in the mail itself (a header,
            # a template) is said by its own line above
            out.line()
            _ui.explain(out, said, host, user)
        return 1
    count = len(args.to) + len(args.cc or ()) + len(args.bcc or ())
    out.done(out.text("cli.send.sent", count=count))
    return 0
