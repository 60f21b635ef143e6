"""The suite's test account and two loopback helpers, shared by the test
modules (fixtures live in conftest.py and the shipped plugin)."""

from __future__ import annotations

import os
import socket

USERNAME = "sender@example.com"
PASSWORD = "s3cret-app-password"
# the access token the XOAUTH2 servers of the suite accept
TOKEN = "ya29.test-access-token"


def free_port() -> int:
    """A port nothing listens on (taken from the kernel, then released)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def open_fds() -> set:
    return set(os.listdir("/proc/self/fd"))
