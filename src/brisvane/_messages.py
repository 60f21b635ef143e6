"""Every text a person reads from the Python layer, in English and Chinese.

One table, keyed by ``"capability.what"``; each entry holds the English text
and the Chinese text, both ``str.format`` templates with the same fields.
Modules ask for a text with :func:`text`; the language is the one given, else
``BRISVANE_LANG``, else the process locale (Chinese for any ``zh`` locale,
English otherwise).
"""

from __future__ import annotations

import os

# key: (English, Chinese)
MESSAGES: dict[str, tuple[str, str]] = {
    # shared
    "extra.missing": (
        "brisvane[{extra}] is not installed: pip install 'brisvane[{extra}]'",
        "未安装 brisvane[{extra}]：请执行 pip install 'brisvane[{extra}]'",
    ),
    # delivery
    "delivery.mailer": (
        "expected an EasyMailer, got {type}",
        "需要 EasyMailer 对象，实际得到 {type}",
    ),
    "delivery.timeout": (
        "timeout must be a positive number of seconds or None, not {value!r}",
        "timeout 必须是正的秒数或 None，而不是 {value!r}",
    ),
    "delivery.max_per_connection": (
        "max_per_connection must be a positive integer or None, not {value!r}",
        "max_per_connection 必须是正整数或 None，而不是 {value!r}",
    ),
    "delivery.min_interval": (
        "min_interval must be a number of seconds >= 0, not {value!r}",
        "min_interval 必须是大于等于 0 的秒数，而不是 {value!r}",
    ),
    "delivery.auth": (
        "auth must be an SASL mechanism such as xoauth2(token_provider), not {type}",
        "auth 必须是 SASL 认证机制（例如 xoauth2(token_provider)），而不是 {type}",
    ),
    "delivery.token_provider": (
        "token_provider must be a callable that returns an access token, not {type}",
        "token_provider 必须是返回访问令牌的可调用对象，而不是 {type}",
    ),
    "delivery.token": (
        "the token provider must return the access token as str, not {type}",
        "令牌提供函数必须以 str 返回访问令牌，而不是 {type}",
    ),
    # testing
    "testing.capture_target": (
        "capture() takes an EasyMailer or the EasyMailer class, not {got}",
        "capture() 需要一个 EasyMailer 实例或 EasyMailer 类，而不是 {got}",
    ),
    "testing.mode": (
        "unknown mode {mode!r}: use one of {modes}",
        "未知的模式 {mode!r}：请使用 {modes} 之一",
    ),
    "testing.step": (
        "unknown step {step!r}: use one of {steps}",
        "未知的步骤 {step!r}：请使用 {steps} 之一",
    ),
    "testing.not_started": (
        "the SMTP test server is not running: call start() or use it in a with block",
        "SMTP 测试服务器未运行：请先调用 start()，或在 with 语句中使用它",
    ),
}

LANGUAGES = ("en", "zh")


def language(preferred: str | None = None) -> str:
    """``"zh"`` or ``"en"``: `preferred` when given, else from the environment."""
    for value in (
        preferred,
        os.environ.get("BRISVANE_LANG"),
        os.environ.get("LC_ALL"),
        os.environ.get("LC_MESSAGES"),
        os.environ.get("LANG"),
    ):
        if value:
            return "zh" if value.lower().replace("_", "-").startswith("zh") else "en"
    return "en"


def text(key: str, lang: str | None = None, /, **fields: object) -> str:
    """The text `key` in `lang` (see :func:`language`), its fields filled in."""
    english, chinese = MESSAGES[key]
    template = chinese if language(lang) == "zh" else english
    return template.format(**fields)
