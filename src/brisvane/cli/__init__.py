"""The ``brisvane`` command: check a server, explain its refusal, send (one
mail, or one per row of a file), preview and lint templates.  ``main(argv)``
returns the exit status: 0 on success, 1 on a finding or a failure."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import Any, NoReturn, Optional

from brisvane import _messages

__all__ = ["main"]


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # a usage error is a failure like any other: status 1
        self.print_usage(sys.stderr)
        self.exit(1, f"{self.prog}: {message}\n")


def _port(value: str) -> int:
    if not (value.isascii() and value.isdigit()) or not 0 < int(value) < 65536:
        raise argparse.ArgumentTypeError(_messages.text("cli.arg.port", None, value=value))
    return int(value)


# The longest timeout taken: a day is more than any step of a session needs,
# and far below what the clocks of sockets and threads can count.
_MAX_SECONDS = 86400


def _seconds(value: str) -> float:
    try:
        seconds = float(value)
    except ValueError:
        seconds = 0.0
    if not 0 < seconds < float("inf"):  # nan, inf, negative, not a number
        raise argparse.ArgumentTypeError(_messages.text("cli.arg.seconds", None, value=value))
    if seconds > _MAX_SECONDS:
        raise argparse.ArgumentTypeError(
            _messages.text("cli.arg.seconds_too_long", None, value=value, limit=_MAX_SECONDS)
        )
    return seconds


def _lang_of(argv: Sequence[str]) -> Optional[str]:
    for i, arg in enumerate(argv):
        if arg == "--lang" and i + 1 < len(argv):
            return argv[i + 1]
        if arg.startswith("--lang="):
            return arg.split("=", 1)[1]
    return None


def build_parser(lang: Optional[str] = None) -> argparse.ArgumentParser:
    from brisvane import _session

    def t(key: str) -> str:
        return _messages.text(key, lang).replace("%", "%%")

    common = _Parser(add_help=False)
    common.add_argument("--lang", choices=("zh", "en"), help=t("cli.help.lang"))
    parser = _Parser(prog="brisvane", description=t("cli.help.description"), parents=[common])
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def command(name: str, key: str) -> argparse.ArgumentParser:
        return commands.add_parser(name, help=t(key), description=t(key), parents=[common])

    def connection(p: argparse.ArgumentParser, required: bool) -> None:
        p.add_argument("--port", type=_port, help=t("cli.help.port"))
        p.add_argument(
            "--mode",
            choices=_session.MODES + (("auto",) if required else ()),
            help=t("cli.help.mode" if required else "cli.help.send_mode"),
        )
        p.add_argument("--user", required=required, help=t("cli.help.user"))
        p.add_argument("--password-env", metavar="NAME", help=t("cli.help.password_env"))
        p.add_argument("--timeout", type=_seconds, default=10.0, help=t("cli.help.timeout"))

    check = command("check", "cli.help.check")
    check.add_argument("host", metavar="HOST", help=t("cli.help.host"))
    connection(check, True)

    explain = command("explain", "cli.help.explain")
    explain.add_argument("text", metavar="TEXT", nargs="*", help=t("cli.help.explain_text"))
    explain.add_argument("--last", action="store_true", help=t("cli.help.last"))
    explain.add_argument("--host", help=t("cli.help.explain_host"))
    explain.add_argument("--user", help=t("cli.help.explain_user"))

    send = command("send", "cli.help.send")
    send.add_argument("--host", help=t("cli.help.send_host"))
    connection(send, False)
    send.add_argument(
        "--to", action="append", required=True, metavar="ADDRESS", help=t("cli.help.to")
    )
    send.add_argument("--cc", action="append", metavar="ADDRESS", help=t("cli.help.cc"))
    send.add_argument("--bcc", action="append", metavar="ADDRESS", help=t("cli.help.bcc"))
    send.add_argument("--subject", required=True, help=t("cli.help.subject"))
    body = send.add_mutually_exclusive_group()
    body.add_argument("--body", metavar="TEXT", help=t("cli.help.body"))
    body.add_argument("--body-file", metavar="FILE", help=t("cli.help.body_file"))
    send.add_argument("--html-file", metavar="FILE", help=t("cli.help.html_file"))
    send.add_argument("--attach", action="append", metavar="PATH", help=t("cli.help.attach"))
    send.add_argument("--template", metavar="NAME", help=t("cli.help.template"))
    send.add_argument("--context", metavar="JSON_OR_FILE", help=t("cli.help.context"))
    send.add_argument("--template-dir", metavar="DIR", help=t("cli.help.template_dir"))
    send.add_argument("--from", dest="sender", metavar="ADDRESS", help=t("cli.help.from"))
    send.add_argument(
        "--from-name", dest="sender_name", metavar="NAME", help=t("cli.help.from_name")
    )
    send.add_argument("--reply-to", metavar="ADDRESS", help=t("cli.help.reply_to"))

    many = command("send-many", "cli.help.send_many")
    many.add_argument("--rows", required=True, metavar="FILE", help=t("cli.help.rows"))
    many.add_argument("--template", required=True, metavar="NAME", help=t("cli.help.template"))
    many.add_argument("--subject", metavar="TEXT", help=t("cli.help.many_subject"))
    many.add_argument("--template-dir", metavar="DIR", help=t("cli.help.template_dir"))
    many.add_argument("--host", help=t("cli.help.send_host"))
    connection(many, False)
    many.add_argument("--from", dest="sender", metavar="ADDRESS", help=t("cli.help.from"))
    many.add_argument(
        "--from-name", dest="sender_name", metavar="NAME", help=t("cli.help.from_name")
    )
    many.add_argument("--reply-to", metavar="ADDRESS", help=t("cli.help.reply_to"))
    many.add_argument("--journal", metavar="FILE", help=t("cli.help.journal"))
    many.add_argument(
        "--connections", type=int, default=1, metavar="N", help=t("cli.help.connections")
    )
    many.add_argument("--rate", metavar="RATE", help=t("cli.help.rate"))
    many.add_argument("--report", metavar="FILE", help=t("cli.help.report"))
    many.add_argument("--dry-run", action="store_true", help=t("cli.help.dry_run"))

    preview = command("preview", "cli.help.preview")
    preview.add_argument("name", metavar="NAME", help=t("cli.help.name"))
    preview.add_argument("--template-dir", metavar="DIR", help=t("cli.help.template_dir"))
    preview.add_argument("--context", metavar="JSON_OR_FILE", help=t("cli.help.context"))
    preview.add_argument("--locale", metavar="LOCALE", help=t("cli.help.locale"))
    preview.add_argument("--subject", metavar="TEXT", help=t("cli.help.preview_subject"))
    preview.add_argument(
        "--to", default="recipient@example.com", metavar="ADDRESS", help=t("cli.help.preview_to")
    )
    preview.add_argument("--out", default=".", metavar="DIR", help=t("cli.help.out"))
    preview.add_argument("--open", action="store_true", help=t("cli.help.open"))
    preview.add_argument(
        "--image", action="append", default=[], metavar="CID=FILE", help=t("cli.help.image")
    )

    lint = command("lint", "cli.help.lint")
    lint.add_argument("dirs", metavar="DIR", nargs="*", help=t("cli.help.dirs"))
    lint.add_argument("--context", metavar="JSON_OR_FILE", help=t("cli.help.lint_context"))
    lint.add_argument("--builtin", action="store_true", help=t("cli.help.builtin"))
    lint.add_argument(
        "--image", action="append", default=[], metavar="CID=FILE", help=t("cli.help.image")
    )
    return parser


def _run(args: Any, lang: Optional[str]) -> int:
    from brisvane.cli import _ui

    out = _ui.Output(lang)
    if args.command == "check":
        from brisvane.cli import check

        return check.run(args, out)
    if args.command == "explain":
        from brisvane.cli import explain

        return explain.run(args, out)
    if args.command == "send":
        from brisvane.cli import send

        return send.run(args, out)
    if args.command == "send-many":
        from brisvane.cli import send_many

        return send_many.run(args, out)
    from brisvane.cli import templates

    if args.command == "preview":
        return templates.run_preview(args, out)
    return templates.run_lint(args, out)


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run one command; the exit status."""
    argv = list(sys.argv[1:] if argv is None else argv)
    for stream in (sys.stdout, sys.stderr):
        # a console without Chinese (or a server's odd bytes) must not stop
        # the report, nor the help
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="replace")
    lang = _lang_of(argv)
    parser = build_parser(lang)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exc:
        return exc.code if isinstance(exc.code, int) else 1
    if args.command is None:
        parser.print_help()
        return 1
    try:
        return _run(args, args.lang or lang)
    except KeyboardInterrupt:
        return 1
    except BrokenPipeError:
        # the reader went away (`brisvane lint | head`): nothing more to show;
        # send the rest of stdout, flushed at exit, nowhere
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)
        except (OSError, ValueError):
            pass
        return 1
    except Exception as exc:  # anything left: one line, not a traceback
        from brisvane.cli import _ui

        _ui.Output(args.lang or lang, sys.stderr).line(
            f"brisvane {args.command}: ", _ui.error_text(exc)
        )
        return 1
