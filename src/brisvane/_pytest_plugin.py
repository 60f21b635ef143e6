"""pytest fixtures for code that sends mail with brisvane.

Registered through the ``pytest11`` entry point.  Importing this module costs
nothing beyond pytest itself: the mailer, aiosmtpd and trustme are imported by
the fixtures when a test asks for them.

- ``mail_outbox``: every ``EasyMailer`` delivery during the test is recorded
  instead of sent; the fixture is the list of recorded mails.
- ``smtp_server``: a running ``brisvane.testing.SMTPTestServer``.  Its mode
  (``"ssl"`` by default, ``"starttls"`` or ``"plain"``) and other options come
  from ``@pytest.mark.smtp_server("starttls", accept_any_login=True)`` or from
  an indirect parameter: ``@pytest.mark.parametrize("smtp_server", ["ssl",
  "plain"], indirect=True)`` (a mode, or a dict of options).
"""

from __future__ import annotations

import typing

import pytest


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "smtp_server(mode='ssl', **options): the mode ('ssl', 'starttls' or 'plain') and "
        "options of the smtp_server fixture (see brisvane.testing.SMTPTestServer)",
    )


@pytest.fixture
def mail_outbox() -> typing.Iterator[list[typing.Any]]:
    """The mails every EasyMailer would have sent during this test, in order."""
    from brisvane.mailer import EasyMailer
    from brisvane.testing import capture

    with capture(EasyMailer) as outbox:
        yield outbox


def _server_options(request: pytest.FixtureRequest) -> dict[str, typing.Any]:
    """The SMTPTestServer keywords asked for by the marker and the parameter."""
    options: dict[str, typing.Any] = {}
    marker = request.node.get_closest_marker("smtp_server")
    if marker is not None:
        if marker.args:
            options["mode"] = marker.args[0]
        options.update(marker.kwargs)
    param = getattr(request, "param", None)
    if isinstance(param, str):
        options["mode"] = param
    elif isinstance(param, dict):
        options.update(param)
    return options


@pytest.fixture
def smtp_server(request: pytest.FixtureRequest) -> typing.Iterator[typing.Any]:
    """A real SMTP server on loopback for this test (implicit TLS unless asked)."""
    from brisvane.testing import SMTPTestServer

    with SMTPTestServer(**_server_options(request)) as server:
        yield server
