"""The table of known server answers, row by row, from recorded answers;
and the provider table of the READMEs, which is that data."""

from __future__ import annotations

import re
import smtplib
import ssl
from pathlib import Path

import pytest

from brisvane import providers
from brisvane.cli import _ui, check, explain, main

ROOT = Path(__file__).resolve().parent.parent
QQ_GBK = "Error: 请使用授权码登录。详情请看: http://service.mail.qq.com/detail/0/53".encode(
    "gb18030"
)

# (row, the answer as a client shows it, the SMTP host it came from)
RECORDED = [
    ("qq_auth_code", str(smtplib.SMTPAuthenticationError(535, QQ_GBK)), ""),
    ("qq_auth_code", b"535 " + QQ_GBK, ""),
    (
        "qq_auth_code",
        "535 Login Fail. Please enter your authorization code to login. More information "
        "in https://service.mail.qq.com/detail/0/53",
        "",
    ),
    (
        "qq_auth_code",
        "(535, b'Login fail. Account is abnormal, service is not open, password is "
        "incorrect, login frozen, or login frequency is limited.')",
        "smtp.qq.com",
    ),
    (
        "from_not_login",
        str(
            smtplib.SMTPSenderRefused(
                501, b"mail from address must be same as authorization user.", "other@example.com"
            )
        ),
        "",
    ),
    ("from_not_login", "(553, b'Mail from must equal authorized user')", "smtp.163.com"),
    (
        "netease_spam",
        "(554, b'DT:SPM 163 smtp14,EsCowAD3XmVnZ2Vl1c8xAA--.1S2 1700000000,please see "
        "http://mail.163.com/help/help_spam_16.htm?ip=203.0.113.9&hostid=smtp14')",
        "",
    ),
    (
        "gmail_app_password",
        "(534, b'5.7.9 Application-specific password required. For more "
        "information, go to\\n5.7.9  https://support.google.com/mail/?p="
        "InvalidSecondFactor d9-20020a05600c - gsmtp')",
        "",
    ),
    (
        "gmail_web_login",
        "(534, b'5.7.14 <https://accounts.google.com/signin/continue?sarp=1> Please "
        "log in via your web browser and\\n5.7.14 then try again.')",
        "",
    ),
    (
        "gmail_bad_credentials",
        "(535, b'5.7.8 Username and Password not accepted. For more "
        "information, go to\\n5.7.8  https://support.google.com/mail/?p="
        "BadCredentials d2-20020a170902 - gsmtp')",
        "",
    ),
    (
        "microsoft_auth_disabled",
        "(535, b'5.7.139 Authentication unsuccessful, SmtpClientAuthentication"
        " is disabled for the Tenant. Visit https://aka.ms/smtp_auth_disabled "
        "for more information. [SN7PR04CA0001.namprd04.prod.outlook.com]')",
        "",
    ),
    (
        "microsoft_bad_credentials",
        "(535, b'5.7.139 Authentication unsuccessful, the user credentials were incorrect. "
        "[AM0PR02CA0001.eurprd02.prod.outlook.com]')",
        "",
    ),
    (
        "microsoft_not_authenticated",
        "530 5.7.57 Client not authenticated to send mail. "
        "[BN9PR03CA0001.namprd03.prod.outlook.com]",
        "",
    ),
    (
        "microsoft_bad_credentials",
        "535 5.7.3 Authentication unsuccessful [SN4PR0201CA0001.namprd02.prod.outlook.com]",
        "",
    ),
    ("netease_auth", "(535, b'Error: authentication failed')", "smtp.163.com"),
    ("netease_auth", "(535, b'Error: authentication failed')", "smtp.126.com"),
    ("gmail_bad_credentials", "535 authentication failed", "smtp.gmail.com"),
    ("microsoft_bad_credentials", "535 authentication failed", "smtp.office365.com"),
    ("no_auth", "SMTPNotSupportedError: SMTP AUTH extension not supported by server.", ""),
    ("no_starttls", "SMTPNotSupportedError: STARTTLS extension not supported by server.", ""),
    (
        "tls_on_plain_port",
        "SSLError: [SSL: WRONG_VERSION_NUMBER] wrong version number (_ssl.c:1006)",
        "",
    ),
    ("greeting_timeout", "TimeoutError: timed out waiting for the greeting after 10 s", ""),
    (
        "cert_expired",
        "SSLCertVerificationError: (1, '[SSL: CERTIFICATE_VERIFY_FAILED] certificate "
        "verify failed: certificate has expired (_ssl.c:1006)')",
        "",
    ),
    (
        "cert_hostname",
        "[SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed: Hostname mismatch, "
        "certificate is not valid for 'smtp.example.com'. (_ssl.c:1006)",
        "",
    ),
    (
        "cert_untrusted",
        "[SSL: CERTIFICATE_VERIFY_FAILED] certificate verify failed: self-signed "
        "certificate (_ssl.c:1006)",
        "",
    ),
    ("refused", "ConnectionRefusedError: [Errno 111] Connection refused", ""),
    ("dns", "gaierror: [Errno -2] Name or service not known", ""),
    ("dns", "UnicodeError: encoding with 'idna' codec failed (UnicodeError: label too long)", ""),
    ("timeout", "TimeoutError: timed out", ""),
    ("disconnected", "SMTPServerDisconnected: Connection unexpectedly closed", ""),
    ("bad_credentials", "(535, b'5.7.8 Authentication credentials invalid')", ""),
    (
        "temporary",
        "(421, b'4.7.0 Try again later, closing connection. d9-20020a05600c - gsmtp')",
        "",
    ),
    # as check and send show an answer (and keep it for explain)
    ("temporary", "SMTPDataError: 451 4.7.1 Try again later", ""),
]


@pytest.mark.parametrize("key, answer, host", RECORDED)
def test_recorded_answer_names_its_cause(key, answer, host):
    found = providers.find(host)
    row = explain.match(explain.decode(answer), found.key if found else None)
    assert row is not None and row.key == key


def test_every_row_is_the_answer_to_a_recorded_one():
    rows = set()
    for _, answer, host in RECORDED:
        found = providers.find(host)
        rows.add(explain.match(explain.decode(answer), found.key if found else None))
    assert rows == set(explain.ANSWERS)


def test_every_row_has_its_texts_in_both_languages():
    for row in explain.ANSWERS:
        for part in ("cause", "fix"):
            english, chinese = (
                _ui._messages.text(f"cli.answer.{row.key}.{part}", lang) for lang in ("en", "zh")
            )
            assert english and chinese and english != chinese


@pytest.mark.parametrize(
    "given",
    [
        str(smtplib.SMTPAuthenticationError(535, QQ_GBK)),  # the library's text: a bytes literal
        QQ_GBK,  # raw bytes, as from a log file
        QQ_GBK.decode("utf-8", "surrogateescape"),  # a GBK argument in a UTF-8 locale
    ],
)
def test_server_text_in_gbk_is_decoded(given):
    assert "请使用授权码登录" in explain.decode(given)


@pytest.mark.parametrize(
    "answer, shown",
    [
        (
            "(550, b'5.1.1 <nobody@example.com>: Recipient address rejected: User unknown')",
            "Recipient address rejected",
        ),
        # a 4xx number inside a 5xx answer is no temporary failure
        (
            "SMTPSenderRefused: (550, b'5.7.1 rejected: 421 lines over the limit', "
            "'a@example.com')",
            "421 lines over the limit",
        ),
    ],
)
def test_unknown_answer_is_shown_not_guessed(capsys, answer, shown):
    assert main(["explain", "--lang", "en", answer]) == 1
    out = capsys.readouterr().out
    assert "not one brisvane knows" in out and shown in out
    assert "5xx code is final" in out and "Cause:" not in out


def test_provider_advice_with_the_explanation(capsys):
    assert (
        main(
            [
                "explain",
                "--lang",
                "en",
                "--host",
                "smtp.163.com",
                "535 Error: authentication failed",
            ]
        )
        == 0
    )
    out = capsys.readouterr().out
    assert "163 Mail: the authorization code (授权码)" in out


@pytest.mark.parametrize(
    "code, message, named",
    [
        (10, "certificate has expired", "certificate expired"),
        (
            62,
            "Hostname mismatch, certificate is not valid for 'x'.",
            "certificate is for another host name",
        ),
        (18, "self-signed certificate", "certificate not trusted"),
        (20, "unable to get local issuer certificate", "certificate not trusted"),
    ],
)
def test_certificate_failures_are_named(code, message, named):
    error = ssl.SSLCertVerificationError(1, message)
    error.verify_code, error.verify_message = code, message
    assert check._tls_failure(_ui.Output("en"), error).startswith(named)


@pytest.mark.parametrize("readme, lang", [("README.md", "en"), ("README.zh-CN.md", "zh")])
def test_readme_provider_table_is_the_data(readme, lang):
    text = (ROOT / readme).read_text(encoding="utf-8")
    assert providers.markdown_table(lang) in text
    # and no other provider rows beside it
    header = providers.markdown_table(lang).splitlines()[0]
    start = text.index(header)
    table = re.match(r"(\|.*\n)+", text[start:]).group(0)
    assert table == providers.markdown_table(lang)


def test_provider_found_by_host_or_address():
    assert providers.find("SMTP.QQ.COM.").key == "qq"
    assert providers.find("mail.example.com", "me@163.com").key == "163"
    assert providers.find("mail.example.com", "me@example.com") is None
    assert check.default_port("smtp.office365.com", "", "starttls") == 587
