"""The throw-away certificate authority of the test servers, trusted by the
process while at least one of them runs."""

from __future__ import annotations

import atexit
import os
import shutil
import ssl
import tempfile
import threading
from typing import Any

from brisvane import _messages


def _require() -> None:
    try:
        import aiosmtpd  # noqa: F401
        import trustme  # noqa: F401
    except ImportError as error:
        raise ModuleNotFoundError(
            _messages.text("extra.missing", None, extra="testing"), name=error.name
        ) from error


class _Authority:
    """One throw-away CA per process, and the reference-counted trust in it.

    The CA file lives until the process ends; trusting it (``SSL_CERT_FILE``)
    lasts only while at least one trusting server runs.
    """

    lock = threading.Lock()
    ca: Any = None
    leaf: Any = None
    directory: str | None = None
    trusting = 0
    saved: str | None = None

    @classmethod
    def ca_file(cls) -> str:
        with cls.lock:
            if cls.ca is None:
                _require()
                import trustme

                cls.ca = trustme.CA()
                cls.leaf = cls.ca.issue_cert("localhost", "127.0.0.1", "::1")
            if cls.directory is None:
                cls.directory = tempfile.mkdtemp(prefix="brisvane-test-ca-")
                atexit.register(shutil.rmtree, cls.directory, ignore_errors=True)
                cls.ca.cert_pem.write_to_path(os.path.join(cls.directory, "ca.pem"))
            return os.path.join(cls.directory, "ca.pem")

    @classmethod
    def server_context(cls) -> ssl.SSLContext:
        cls.ca_file()
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        cls.leaf.configure_cert(context)
        return context

    @classmethod
    def trust(cls) -> None:
        path = cls.ca_file()
        with cls.lock:
            if cls.trusting == 0:
                cls.saved = os.environ.get("SSL_CERT_FILE")
                # ssl.create_default_context() reads it at every call
                os.environ["SSL_CERT_FILE"] = path
            cls.trusting += 1

    @classmethod
    def untrust(cls) -> None:
        with cls.lock:
            cls.trusting -= 1
            if cls.trusting == 0:
                if cls.saved is None:
                    os.environ.pop("SSL_CERT_FILE", None)
                else:
                    os.environ["SSL_CERT_FILE"] = cls.saved


def certificate_authority() -> Any:
    """The process's throw-away ``trustme.CA`` that issues the servers' certificates.

    For tests of certificate handling: ``certificate_authority().issue_cert(...)``.
    """
    _Authority.ca_file()
    return _Authority.ca
