"""``brisvane preview`` and ``brisvane lint``: templates rendered through
the mailer's own engine (the search path ``EasyMailer`` uses), and the
message built by the class's own composition."""

from __future__ import annotations

import base64
import re
import webbrowser
from collections.abc import Collection, Iterable, Iterator
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Optional

import jinja2

from brisvane import _messages
from brisvane.cli import _ui
from brisvane.cli._ui import load_context

__all__ = [
    "Report",
    "cid_references",
    "lint_directory",
    "lint_html",
    "lint_text",
    "load_images",
    "run_lint",
    "run_preview",
    "with_images_shown",
]


def _no_delivery(msg: Any, recipients: list[str], sender: str) -> None:
    pass


def _mailer(template_dir: Optional[str]) -> Any:
    from brisvane.mailer import EasyMailer

    # never connects: only its engine and its composition are used, and its
    # delivery (an instance attribute, the class's seam) goes nowhere
    mailer = EasyMailer("localhost", 465, "preview@example.com", "", template_dir=template_dir)
    setattr(mailer, "_do_send", _no_delivery)  # noqa: B010 (a method is replaced on the instance)
    return mailer


def _sample_context(env: Any, name: str) -> dict[str, Any]:
    """``NAME.json`` beside the template, in the first directory of the
    search path that has the template; {} when there is none."""
    for directory in map(Path, env.loader.searchpath):
        if (directory / f"{name}.html").is_file() or (directory / f"{name}.txt").is_file():
            sample = directory / f"{name}.json"
            return load_context(str(sample)) if sample.is_file() else {}
    return {}


# --- inline images --------------------------------------------------------------

# A cid: URL as an attribute or a CSS url() holds it: up to a quote, a blank,
# an angle bracket or a closing parenthesis (none of which a cid may hold).
_CID_URL = re.compile(r"""\bcid:([^"'\s<>()\\]+)""", re.I)


def load_images(values: Iterable[str]) -> list[dict[str, Any]]:
    """``--image CID=FILE``: the inline items, their files read now."""
    from brisvane._items import inline_image

    items = []
    for value in values:
        cid, sep, path = value.partition("=")
        if not (sep and cid and path):
            raise ValueError(_messages.text("cli.image.form", None, value=value))
        items.append(inline_image(path, cid))
    return items


def cid_references(html: str) -> list[str]:
    """The cids `html` refers to, in order, each once."""
    return list(dict.fromkeys(m.group(1) for m in _CID_URL.finditer(html)))


def with_images_shown(html: str, images: Iterable[dict[str, Any]]) -> str:
    """`html` as a mail client shows it: every ``cid:`` reference to one of
    `images` replaced by the image itself (a ``data:`` URL), the others left
    as they are."""
    urls = {
        item["cid"]: f"data:{item['content_type']};base64,"
        + base64.b64encode(item["data"]).decode("ascii")
        for item in images
    }
    return _CID_URL.sub(lambda m: urls.get(m.group(1), m.group(0)), html)


# A template name no file can have: rendered, it is "not found" (None).
_NO_TEMPLATE = "\x00"


def _stamped(mailer: Any, context: dict[str, Any]) -> dict[str, Any]:
    """`context` with the time of the call, as ``send_template`` adds it:
    by the class itself, through a call that renders no template and
    delivers nowhere (a non-empty context gains "occurred_at")."""
    completed = dict(context) or {"": None}
    mailer.send_template("preview@example.com", "", _NO_TEMPLATE, completed)
    if not context:
        del completed[""]
    return completed


def run_preview(args: Any, out: _ui.Output) -> int:
    mailer = _mailer(args.template_dir)
    engine = mailer._template_engine
    try:
        context = (
            load_context(args.context) if args.context else _sample_context(engine.env, args.name)
        )
        images = load_images(args.image)
    except (OSError, ValueError) as exc:
        out.line(_ui.error_text(exc))
        return 1
    if args.locale:
        context["locale"] = args.locale
    context = _stamped(mailer, context)
    try:
        html = engine.render(f"{args.name}.html", dict(context))
        text = engine.render(f"{args.name}.txt", dict(context))
        if html is None and text is None:
            out.say("cli.preview.not_found", name=args.name)
            return 1
        subject = engine.render_string(
            args.subject or str(context.get("subject") or args.name), dict(context)
        )
    except jinja2.TemplateError as exc:
        # a template that does not render: name the file and the line, as lint does
        where = getattr(exc, "filename", None) or getattr(exc, "name", None)
        line = getattr(exc, "lineno", None)
        prefix = f"{where}{f':{line}' if line else ''}: " if where else ""
        out.line(prefix + _ui.error_text(exc))
        return 1
    try:
        msg = mailer._build_message(
            to=args.to,
            subject=subject,
            body=text,
            html=html,
            cc=None,
            sender=None,
            sender_name=None,
            attachments=images or None,
            reply_to=None,
        )
    except (TypeError, ValueError) as exc:  # an image the mail cannot carry
        out.line(_ui.error_text(exc))
        return 1
    shown = None if html is None else with_images_shown(html, images)

    target = Path(args.out)
    out.say("cli.preview.subject", subject=subject)
    written = []
    try:
        target.mkdir(parents=True, exist_ok=True)
        for suffix, content in ((".html", shown), (".txt", text), (".eml", msg.as_string())):
            if content is None:
                continue
            path = target / f"{args.name}{suffix}"
            with open(path, "w", encoding="utf-8", newline="") as f:  # as composed, line ends kept
                f.write(content)
            written.append(path)
            out.say("cli.preview.wrote", path=str(path))
    except OSError as exc:
        out.line(_ui.error_text(exc))
        return 1
    if args.open and html is not None:
        webbrowser.open((target / f"{args.name}.html").resolve().as_uri())
    return 0


# --- lint -----------------------------------------------------------------------


@dataclass
class Report:
    name: str
    findings: list[str] = field(default_factory=list)


class _RecordingUndefined(jinja2.Undefined):
    """An Undefined that notes every use a strict one refuses, and renders
    on so that all of them are found in one pass.  A truth test is not
    counted: ``{% if footer %}`` is how a template marks an optional name."""

    __slots__ = ()
    names: list[str] = []

    def _note(self) -> None:
        if self._undefined_obj is jinja2.utils.missing:
            self.names.append(str(self._undefined_name))
        else:
            self.names.append(self._undefined_message)

    def _fail_with_undefined_error(self, *args: Any, **kwargs: Any) -> Any:
        self._note()
        return type(self)(name=self._undefined_name, obj=self._undefined_obj)

    # the base class binds these to its own method when the class is made:
    # bind them again, so that arithmetic, comparisons, indexing and calls
    # are noted too rather than ending the render at the first of them
    __add__ = __radd__ = __sub__ = __rsub__ = _fail_with_undefined_error
    __mul__ = __rmul__ = __div__ = __rdiv__ = _fail_with_undefined_error
    __truediv__ = __rtruediv__ = _fail_with_undefined_error
    __floordiv__ = __rfloordiv__ = _fail_with_undefined_error
    __mod__ = __rmod__ = __pow__ = __rpow__ = _fail_with_undefined_error
    __pos__ = __neg__ = __call__ = __getitem__ = _fail_with_undefined_error
    __lt__ = __le__ = __gt__ = __ge__ = _fail_with_undefined_error

    def __int__(self) -> int:  # type: ignore[override]
        self._note()
        return 0

    def __float__(self) -> float:  # type: ignore[override]
        self._note()
        return 0.0

    def __str__(self) -> str:
        self._note()
        return ""

    def __iter__(self) -> Any:
        self._note()
        return iter(())

    def __len__(self) -> int:
        self._note()
        return 0


def _recording_undefined(names: list[str]) -> type[jinja2.Undefined]:
    """An Undefined class that notes into `names`."""
    return type("RecordingUndefined", (_RecordingUndefined,), {"__slots__": (), "names": names})


_ENTITY = re.compile(r"&(#[0-9]+|#x[0-9a-f]+|[a-z][a-z0-9]*);", re.IGNORECASE)
# Every pattern below is linear in its input: no two quantifiers can take the
# same run of text, and a tag's attributes are searched within that tag only.
_TAG = re.compile(r"<(img|image|input|link)\b[^>]*", re.I)  # to the tag's end
_REMOTE = r"\s*=\s*(?:[\"']\s*)?(?:https?:)?//"
_SRC = re.compile(r"\bsrc" + _REMOTE, re.I)
_HREF = re.compile(r"\bhref" + _REMOTE, re.I)
_REMOTE_BACKGROUND = re.compile(
    r"\bbackground" + _REMOTE + r"|url\(\s*(?:[\"']\s*)?(?:https?:)?//", re.I
)
_SCRIPT = re.compile(r"<script\b|\bon(?:load|click|error|mouseover)\s*=|javascript:", re.I)
_FONT = re.compile(r"@font-face|@import\b", re.I)
_FORM = re.compile(r"<(?:form|input|select|textarea|button)\b", re.I)
_STYLE_OPEN = re.compile(r"<style\b[^>]*", re.I)  # to the tag's end
_STYLE_CLOSE = re.compile(r"</style\s*>", re.I)
_WIDE_ATTR = re.compile(r"\bwidth\s*=\s*(?:[\"']\s*)?(\d{1,9})(?:px)?[\"'\s>]", re.I)
_WIDE_CSS = re.compile(r"(?<![-\w])(?:min-width|width)\s*:\s*(\d{1,9})px", re.I)


def _styles(html: str) -> Iterator[tuple[int, str]]:
    """Where each ``<style>`` element starts, and its text (to the end of
    `html` when it is not closed)."""
    pos = 0
    while (opened := _STYLE_OPEN.search(html, pos)) is not None:
        if not html.startswith(">", opened.end()):
            return  # a tag left open: no more elements
        closed = _STYLE_CLOSE.search(html, opened.end() + 1)
        end = len(html) if closed is None else closed.start()
        yield opened.start(), html[opened.end() + 1 : end]
        if closed is None:
            return
        pos = closed.end()


def _without_comments(css: str) -> str:
    """`css` without its ``/* ... */`` comments (one left open runs to the end)."""
    kept, pos = [], 0
    while (start := css.find("/*", pos)) != -1:
        kept.append(css[pos:start])
        end = css.find("*/", start + 2)
        if end == -1:
            return "".join(kept)
        pos = end + 2
    kept.append(css[pos:])
    return "".join(kept)


def _style_outside_media(css: str) -> bool:
    """Rules outside ``@media``: styling lost where webmail strips ``<style>``
    (inline it instead).  Rules inside ``@media`` only refine inline styles."""
    depth, outside = 0, ""
    media: list[int] = []
    for token in re.split(r"([{}])", _without_comments(css)):
        if token == "{":
            depth += 1
        elif token == "}":
            depth -= 1
            while media and media[-1] > depth:
                media.pop()
        elif not media and depth == 0 and token.strip().startswith("@media"):
            media.append(depth + 1)
        elif not media:
            outside += token
    return bool(outside.strip())


def lint_html(out: _ui.Output, html: str, images: Collection[str] = ()) -> list[str]:
    """What `html` does that mail clients punish; `images` are the cids of
    the inline images the mail carries."""
    tags = [(m.group(1).lower(), m.group(0)) for m in _TAG.finditer(html)]
    found = {
        "cli.lint.script": _SCRIPT.search(html) is not None,
        "cli.lint.remote_image": _REMOTE_BACKGROUND.search(html) is not None
        or any(name != "link" and _SRC.search(tag) for name, tag in tags),
        "cli.lint.remote_font": _FONT.search(html) is not None
        or any(name == "link" and _HREF.search(tag) for name, tag in tags),
        "cli.lint.form": _FORM.search(html) is not None,
    }
    findings = [out.text(key) for key, present in found.items() if present]
    body_start = re.search(r"<body\b", html, re.I)
    for start, css in _styles(html):
        if body_start is not None and start > body_start.start():
            findings.append(out.text("cli.lint.style_in_body"))
        elif _style_outside_media(css):
            findings.append(out.text("cli.lint.style_block"))
    widths = [int(m.group(1)) for m in _WIDE_ATTR.finditer(html)]
    widths += [int(m.group(1)) for m in _WIDE_CSS.finditer(html)]
    wide = [w for w in widths if w > 600]
    if wide:
        findings.append(out.text("cli.lint.too_wide", width=max(wide)))
    referenced = cid_references(html)
    findings += [out.text("cli.lint.cid_missing", cid=c) for c in referenced if c not in images]
    findings += [out.text("cli.lint.cid_unused", cid=c) for c in images if c not in referenced]
    return list(dict.fromkeys(findings))


def lint_text(out: _ui.Output, text: str) -> list[str]:
    entities = sorted({m.group(0) for m in _ENTITY.finditer(text)})
    return [out.text("cli.lint.entities", entities=" ".join(entities))] if entities else []


def lint_directory(
    out: _ui.Output,
    directory: Path,
    context: Optional[dict[str, Any]] = None,
    images: Collection[str] = (),
) -> list[Report]:
    """One report per template pair in `directory` (names starting with
    ``_`` are layouts and partials, linted through the templates using them)."""
    mailer = _mailer(str(directory))
    engine = mailer._template_engine
    names: list[str] = []
    env = engine.env.overlay(undefined=_recording_undefined(names), cache_size=0)
    stems = sorted(
        {p.stem for p in directory.iterdir() if p.suffix in (".html", ".txt")}
        - {p.stem for p in directory.iterdir() if p.stem.startswith("_")}
    )
    reports = []
    for stem in stems:
        report = Report(stem)
        reports.append(report)
        try:
            json_file = directory / f"{stem}.json"
            sample = (
                context
                if context is not None
                else load_context(str(json_file))
                if json_file.is_file()
                else {}
            )
        except (OSError, ValueError) as exc:
            report.findings.append(_ui.error_text(exc))
            continue
        sample = _stamped(mailer, sample)
        has_html = (directory / f"{stem}.html").is_file()
        if has_html and not (directory / f"{stem}.txt").is_file():
            report.findings.append(out.text("cli.lint.no_text"))
        for suffix in (".html", ".txt"):
            if not (directory / f"{stem}{suffix}").is_file():
                continue
            names.clear()
            try:
                rendered = env.get_template(f"{stem}{suffix}").render(dict(sample))
            except (jinja2.TemplateError, UnicodeDecodeError) as exc:
                # a file that does not render (or is not UTF-8) is a finding; go on
                report.findings.append(f"{stem}{suffix}: {_ui.error_text(exc)}")
                continue
            for name in dict.fromkeys(names):
                report.findings.append(
                    out.text("cli.lint.undefined", file=f"{stem}{suffix}", name=name)
                )
            if suffix == ".html":
                found = lint_html(out, rendered, images)
            else:
                found = lint_text(out, rendered)
            report.findings += [f"{stem}{suffix}: {f}" for f in found]
    return reports


def run_lint(args: Any, out: _ui.Output) -> int:
    try:
        context = load_context(args.context) if args.context else None
        images = [item["cid"] for item in load_images(args.image)]
    except (OSError, ValueError) as exc:
        out.line(_ui.error_text(exc))
        return 1
    directories = [Path(d) for d in args.dirs]
    if args.builtin or not directories:
        from brisvane.template import _DEFAULT_TEMPLATE_DIR

        directories = ([Path(_DEFAULT_TEMPLATE_DIR)] if args.builtin else []) + (directories or [])
        if not directories:
            directories = [Path(".")]
    found = 0
    checked = 0
    for directory in directories:
        if not directory.is_dir():
            out.say("cli.lint.no_dir", dir=str(directory))
            found += 1
            continue
        for report in lint_directory(out, directory, context, images):
            checked += 1
            if report.findings:
                found += len(report.findings)
                out.line(out.paint(out.text("cli.failed"), "fail"), f" {directory / report.name}")
                for finding in report.findings:
                    out.line(f"    {finding}")
            else:
                out.line(out.paint(out.text("cli.ok"), "ok"), f" {directory / report.name}")
    if checked == 0 and found == 0:
        out.say("cli.lint.none")
        return 1
    out.say("cli.lint.summary", templates=checked, findings=found)
    return 1 if found else 0
