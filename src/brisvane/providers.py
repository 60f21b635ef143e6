"""Submission settings of common mail providers, as data.

One row per provider: its SMTP hosts, the ports and TLS modes it documents
for clients, the address domains that belong to it, and what it takes as
the password.  ``brisvane check`` picks the port and mode from here,
``brisvane explain`` names the provider's advice, and the README's provider
table is :func:`markdown_table` of these rows (a test keeps them equal).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Optional

from brisvane import _messages
from brisvane._session import Mode

__all__ = ["PROVIDERS", "Provider", "describe_settings", "find", "markdown_table", "mode_name"]

# the name of each mode, for a person
_MODE_NAMES: dict[Mode, str] = {
    "ssl": "cli.mode.ssl",
    "starttls": "cli.mode.starttls",
    "plain": "cli.mode.plain",
}


def mode_name(mode: Mode, lang: Optional[str] = None) -> str:
    """``implicit TLS``, ``STARTTLS`` or ``plain (no TLS)``, in `lang`."""
    return _messages.text(_MODE_NAMES[mode], lang)


@dataclass(frozen=True)
class Provider:
    key: str
    # display names: English, Chinese
    name: tuple[str, str]
    hosts: tuple[str, ...]
    # (port, mode), the preferred first
    settings: tuple[tuple[int, Mode], ...]
    domains: tuple[str, ...] = ()
    # the text on what it takes as the password
    password: str = ""
    # the provider's own page on the password to use, if any
    link: Optional[str] = None
    # the limits it publishes for one account, if any: connections open at
    # once, and mails per second (``brisvane.bulk.send_many`` keeps within them)
    max_connections: Optional[int] = None
    max_rate: Optional[float] = None

    def password_note(self, lang: Optional[str] = None) -> str:
        return _messages.text(self.password, lang)

    def display_name(self, lang: Optional[str] = None) -> str:
        return self.name[1] if _messages.language(lang) == "zh" else self.name[0]


PROVIDERS: tuple[Provider, ...] = (
    Provider(
        "gmail",
        ("Gmail", "Gmail"),
        ("smtp.gmail.com",),
        ((465, "ssl"), (587, "starttls")),
        ("gmail.com", "googlemail.com"),
        "cli.provider.gmail",
        "https://support.google.com/accounts/answer/185833",
    ),
    Provider(
        "qq",
        ("QQ Mail", "QQ 邮箱"),
        ("smtp.qq.com",),
        ((465, "ssl"), (587, "starttls")),
        ("qq.com",),
        "cli.provider.qq",
    ),
    Provider(
        "163",
        ("163 Mail", "163 邮箱"),
        ("smtp.163.com",),
        ((465, "ssl"),),
        ("163.com",),
        "cli.provider.163",
    ),
    Provider(
        "126",
        ("126 Mail", "126 邮箱"),
        ("smtp.126.com",),
        ((465, "ssl"),),
        ("126.com",),
        "cli.provider.126",
    ),
    Provider(
        "microsoft",
        ("Outlook.com, Microsoft 365", "Outlook.com、Microsoft 365"),
        ("smtp-mail.outlook.com", "smtp.office365.com"),
        ((587, "starttls"),),
        ("outlook.com", "hotmail.com", "live.com"),
        "cli.provider.microsoft",
        "https://aka.ms/smtp_auth_disabled",
        # Exchange Online's limits for SMTP submission: 3 connections at
        # once, 30 messages a minute
        max_connections=3,
        max_rate=0.5,
    ),
    Provider(
        "icloud",
        ("iCloud Mail", "iCloud 邮件"),
        ("smtp.mail.me.com",),
        ((587, "starttls"),),
        ("icloud.com", "me.com", "mac.com"),
        "cli.provider.icloud",
    ),
)


def find(host: str = "", user: str = "") -> Optional[Provider]:
    """The provider of an SMTP host, else of the login address's domain."""
    host = host.lower().rstrip(".")
    domain = user.rpartition("@")[2].lower()
    for provider in PROVIDERS:
        if host in provider.hosts:
            return provider
    for provider in PROVIDERS:
        if domain and domain in provider.domains:
            return provider
    return None


def describe_settings(provider: Provider, lang: Optional[str] = None) -> str:
    """``465 implicit TLS, or 587 STARTTLS``."""
    parts = [f"{port} {mode_name(mode, lang)}" for port, mode in provider.settings]
    return _messages.text("cli.or", lang).join(parts)


def markdown_table(lang: Optional[str] = None) -> str:
    """The README's table of providers, in `lang`."""
    zh = _messages.language(lang) == "zh"
    rows = [
        (
            "| 服务商 | 主机 | 端口与模式 | 密码 |"
            if zh
            else "| Provider | Host | Port and mode | Password |"
        ),
        "|---|---|---|---|",
    ]
    for p in PROVIDERS:
        hosts = ("、" if zh else ", ").join(f"`{h}`" for h in p.hosts)
        note = p.password_note(lang)
        if p.link:
            note += f"（[说明]({p.link})）" if zh else f" ([how]({p.link}))"
        rows.append(f"| {p.display_name(lang)} | {hosts} | {describe_settings(p, lang)} | {note} |")
    return "\n".join(rows) + "\n"
