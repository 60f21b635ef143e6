"""The steps of one SMTP session, as ``EasyMailer._do_send`` performs them.

Open a connection for a mode, secure it (STARTTLS), authenticate, submit,
close: each step is a function of its own, so that a delivery that keeps a
connection across mails, or a diagnosis that runs the steps one at a time,
uses exactly the steps of the class's own delivery.  The order and the calls
on :mod:`smtplib` are those of the class: a TLS context with certificate
verification (``ssl.create_default_context()``), login with the configured
account, ``sendmail`` of ``msg.as_string()``.

Where the connections here differ from the library's, it is against hostile
or broken servers: a timeout bounds each whole command and its reply (not
each read), a reply has a size no real server reaches, and a failed login
leaves no secret in the variables of the frames on its traceback.
"""

from __future__ import annotations

import base64
import itertools
import logging
import os
import smtplib
import socket
import ssl
import sys
import threading
import time
import traceback
import weakref
from typing import Any, Callable, Literal, Optional, Protocol, Union

from brisvane import _messages

# The SMTP conversation of every connection made here, at DEBUG (the secrets of
# AUTH left out); nothing is shown until the application configures logging.
logging.getLogger("brisvane").addHandler(logging.NullHandler())
transcript = logging.getLogger("brisvane.smtp")

# (a union of single literals: the same type, and a union at run time too)
Mode = Union[Literal["ssl"], Literal["starttls"], Literal["plain"]]
MODES: tuple[Mode, ...] = ("ssl", "starttls", "plain")
# The port each mode is usually offered on (submission over implicit TLS,
# submission with STARTTLS, and the relay port, where plain text is the rule).
DEFAULT_PORTS: dict[Mode, int] = {"ssl": 465, "starttls": 587, "plain": 25}
# The keyword arguments of EasyMailer that choose each mode.
MODE_ARGUMENTS: dict[Mode, str] = {
    "ssl": "",
    "starttls": ", use_ssl=False, use_tls=True",
    "plain": ", use_ssl=False",
}

# An SASL answer: called with no argument for the initial response, then
# with each decoded server challenge; returns the (ASCII) text to send.
Responder = Callable[..., str]


class Mechanism(Protocol):
    """An SASL mechanism for :func:`authenticate`, such as XOAUTH2."""

    name: str

    def start(self, username: str) -> Responder:
        """The responder for one authentication of `username`."""
        ...


def mode_of(mailer: Any) -> Mode:
    """The mode the mailer's configuration asks for, tested as the class does
    (``use_ssl`` first, ``use_tls`` only when it is false)."""
    if mailer.use_ssl:
        return "ssl"
    return "starttls" if mailer.use_tls else "plain"


def tls_context() -> ssl.SSLContext:
    """A new client context that verifies the server's certificate."""
    return ssl.create_default_context()


def _trust_setting() -> tuple[object, ...]:
    """What ``ssl.create_default_context()`` reads from outside the process:
    the CA file (its path, size and time of change) and directory it loads,
    named by the environment or built in, and the key log file."""
    paths = ssl.get_default_verify_paths()
    cafile = os.environ.get(paths.openssl_cafile_env) or paths.openssl_cafile
    try:
        found = os.stat(cafile)
        stamp: tuple[int, int] = (found.st_mtime_ns, found.st_size)
    except (OSError, ValueError):
        stamp = (0, -1)
    capath = os.environ.get(paths.openssl_capath_env) or paths.openssl_capath
    return cafile, stamp, capath, os.environ.get("SSLKEYLOGFILE")


_shared: Optional[tuple[tuple[object, ...], ssl.SSLContext]] = None
_shared_lock = threading.Lock()


def shared_tls_context() -> ssl.SSLContext:
    """The context :func:`tls_context` would make now, made once for each
    trust setting and shared by the connections of the process (never change
    it).  Loading the CA bundle for each mail costs time, and threads still
    loading it while the interpreter exits can meet OpenSSL's own clean-up;
    ``SSL_CERT_FILE`` and ``SSL_CERT_DIR`` are still read at each call."""
    global _shared
    setting = _trust_setting()
    with _shared_lock:
        if _shared is None or _shared[0] != setting:
            _shared = (setting, tls_context())
        return _shared[1]


# Told each part of opening a connection as it completes, with the socket:
# "tcp" (connected), "tls" (implicit TLS only: the handshake is done).
Observer = Callable[[str, Any], None]

# A line of a reply, as the library limits it; and the size of a whole reply,
# far beyond any real server's (RFC 5321 lines have at most 512 octets, and
# the longest replies, EHLO's, have a few dozen lines).
MAX_LINE: int = getattr(smtplib, "_MAXLINE", 8192)
MAX_REPLY_LINES = 500
MAX_REPLY_BYTES = 64 * 1024


class ReplyTooLong(smtplib.SMTPResponseException):
    """A reply of more than :data:`MAX_REPLY_LINES` lines or
    :data:`MAX_REPLY_BYTES` octets; the connection is closed."""

    def __init__(self, code: int = 500, msg: Optional[str] = None) -> None:
        if msg is None:
            msg = _messages.text(
                "session.reply_too_long", lines=MAX_REPLY_LINES, kib=MAX_REPLY_BYTES // 1024
            )
        super().__init__(code, msg)


class SMTP(smtplib.SMTP):
    """A plain connection (upgraded by :func:`secure` for STARTTLS).

    It records whether DATA was sent since the last submission started:
    before it, the server holds no part of the mail, so a submission that
    failed can safely be made again on another connection.

    Its timeout bounds each step as a whole: a command with its reply (the
    greeting, the message data with the answer to it), however slowly the
    server sends the reply; the library's bounds each read.  A step out of
    time fails as a read out of time does in the library
    (``SMTPServerDisconnected`` from a ``socket.timeout``)."""

    data_started = False
    observer: Optional[Observer] = None
    # when the step in progress runs out of time (None: no timeout, or
    # between steps), and what was read after the last reply, on which socket
    _deadline: Optional[float] = None
    _unread = bytearray()
    _unread_of: Any = None

    def __init__(self, *args: Any, observer: Optional[Observer] = None, **kwargs: Any) -> None:
        # set before the base class connects from its constructor
        self.observer = observer
        super().__init__(*args, **kwargs)

    # (the library's own hook, not in its type stubs)
    def _get_socket(self, host: str, port: int, timeout: float) -> Any:
        sock = super()._get_socket(host, port, timeout)  # type: ignore[misc]
        if self.observer is not None:
            self.observer("tcp", sock)
        return sock

    # the server's greeting, as the library reads it on connecting
    greeting = b""

    def connect(self, host: str = "localhost", port: int = 0, source_address: Any = None) -> Any:
        self._deadline = None  # the greeting is a step of its own
        code, msg = super().connect(host, port, source_address)
        self.greeting = msg
        return code, msg

    # Called just before the message data (and its end) goes out: from then on
    # the server may take the mail whatever happens to the connection.
    before_data_end: Optional[Callable[[], None]] = None
    # the last reply read: (code, text)
    last_reply: tuple[int, bytes] = (0, b"")
    # 1: the DATA command is going out; 2: it was sent, the message data comes next
    _data_step = 0
    # the last reply asked for an AUTH answer, which the transcript leaves out
    _secret_next = False

    def data(self, msg: Any) -> tuple[int, bytes]:
        self.data_started = True
        self._data_step = 1
        try:
            return super().data(msg)
        finally:
            self._data_step = 0

    def _step_timeout(self) -> Optional[float]:
        timeout = self.timeout
        if isinstance(timeout, (int, float)) and not isinstance(timeout, bool):
            return float(timeout)
        return None  # the library's default: each read as the socket has it

    def _start_step(self) -> None:
        timeout = self._step_timeout()
        self._deadline = None if timeout is None else time.monotonic() + timeout
        if timeout is not None and self.sock is not None:
            self.sock.settimeout(timeout)

    def send(self, s: Any) -> None:
        # every command (and the message data) starts a step, ended by its reply
        if self._data_step == 2:
            if self.before_data_end is not None:
                self.before_data_end()
            transcript.debug("C: <message data, %d octets>", len(s))
        elif transcript.isEnabledFor(logging.DEBUG):
            transcript.debug("C: %s", self._shown(s))
        self._secret_next = False
        self._start_step()
        super().send(s)
        if self._data_step == 1:
            self._data_step = 2

    def _shown(self, s: Any) -> str:
        """A command as the transcript shows it: AUTH's credentials, and each
        answer to a challenge, replaced by ``***``."""
        line = s.decode("ascii", "backslashreplace") if isinstance(s, bytes) else str(s)
        line = line.rstrip("\r\n")
        if self._secret_next:
            return "***"
        words = line.split(" ", 2)
        if words[0].upper() == "AUTH" and len(words) > 2:
            return f"{words[0]} {words[1]} ***"
        return line

    def unread(self) -> bool:
        """True when the server sent more than the last reply."""
        return self.sock is not None and self._unread_of is self.sock and bool(self._unread)

    def _readline(self) -> bytes:
        """The next line of the reply (at most MAX_LINE + 1 octets, as the
        library reads it; what the server sent before its end at the end of
        the connection), each wait bounded by what is left of the step."""
        sock = self.sock
        if sock is None:
            return b""
        if self._unread_of is not sock:
            # a new connection, or TLS begun: nothing read before counts
            self._unread, self._unread_of = bytearray(), sock
        pending = self._unread
        while True:
            end = pending.find(b"\n", 0, MAX_LINE + 1)
            if end >= 0 or len(pending) > MAX_LINE:
                cut = end + 1 if end >= 0 else MAX_LINE + 1
                line = bytes(pending[:cut])
                del pending[:cut]
                return line
            if self._deadline is not None:
                left = self._deadline - time.monotonic()
                if left <= 0:
                    raise socket.timeout("timed out")
                sock.settimeout(left)
            chunk = sock.recv(4096)
            if not chunk:
                line = bytes(pending)
                pending.clear()
                return line
            pending += chunk

    def getreply(self) -> tuple[int, bytes]:
        """The library's reading of a reply, in the step's time and with the
        reply's size bounded: a longer one raises :class:`ReplyTooLong`."""
        if self._deadline is None:
            self._start_step()  # the greeting: no command began the step
        lines: list[bytes] = []
        size = 0
        try:
            while True:
                try:
                    line = self._readline()
                except OSError as exc:
                    self.close()
                    # the read's error as its context, as the library has it
                    raise smtplib.SMTPServerDisconnected(  # noqa: B904
                        "Connection unexpectedly closed: " + str(exc)
                    )
                if not line:
                    self.close()
                    raise smtplib.SMTPServerDisconnected("Connection unexpectedly closed")
                if self.debuglevel > 0:
                    self._print_debug("reply:", repr(line))  # type: ignore[attr-defined]
                if len(line) > MAX_LINE:
                    self.close()
                    raise smtplib.SMTPResponseException(500, "Line too long.")
                size += len(line)
                if len(lines) >= MAX_REPLY_LINES or size > MAX_REPLY_BYTES:
                    self.close()
                    raise ReplyTooLong()
                lines.append(line[4:].strip(b" \t\r\n"))
                # a broken code ends the reply: no continuation is read
                try:
                    code = int(line[:3])
                except ValueError:
                    code = -1
                    break
                if line[3:4] != b"-":
                    break
        finally:
            self._deadline = None
            timeout = self._step_timeout()
            if timeout is not None and self.sock is not None:
                self.sock.settimeout(timeout)
        text = b"\n".join(lines)
        self.last_reply = (code, text)
        self._secret_next = code == 334
        if transcript.isEnabledFor(logging.DEBUG):
            transcript.debug("S: %d %s", code, text.decode("utf-8", "backslashreplace"))
        return code, text


class SMTP_SSL(SMTP, smtplib.SMTP_SSL):
    """An implicit-TLS connection."""

    def _get_socket(self, host: str, port: int, timeout: float) -> Any:
        if self.observer is None:
            return super()._get_socket(host, port, timeout)
        # the library's own two steps, told apart: connect, then the handshake
        sock = smtplib.SMTP._get_socket(self, host, port, timeout)  # type: ignore[attr-defined]
        self.observer("tcp", sock)
        try:
            sock = self.context.wrap_socket(sock, server_hostname=self._host)  # type: ignore[attr-defined]
        except BaseException:
            sock.close()
            raise
        self.observer("tls", sock)
        return sock


Connection = SMTP


def open_connection(
    host: str,
    port: int,
    mode: Mode,
    *,
    timeout: Optional[float] = None,
    context: Optional[ssl.SSLContext] = None,
    observer: Optional[Observer] = None,
) -> Connection:
    """Connect and read the greeting.  `timeout` (seconds) bounds every later
    network step on this connection as well; None keeps the library default.
    `context` is used for implicit TLS; the shared one when None.
    `observer`, when given, is told as each part of opening completes."""
    if mode not in MODES:
        raise ValueError(f"mode must be one of {MODES}, not {mode!r}")
    extra: dict[str, Any] = {} if timeout is None else {"timeout": timeout}
    if observer is not None:
        extra["observer"] = observer
    if mode == "ssl":
        return SMTP_SSL(host, port, context=context or shared_tls_context(), **extra)
    return SMTP(host, port, **extra)


def secure(server: smtplib.SMTP, mode: Mode, context: Optional[ssl.SSLContext] = None) -> None:
    """Upgrade a STARTTLS connection (the shared context when None);
    nothing in the other modes."""
    if mode == "starttls":
        server.starttls(context=context or shared_tls_context())


def _b64(text: str) -> str:
    return base64.b64encode(text.encode("ascii")).decode("ascii")


def _sasl(server: smtplib.SMTP, name: str, respond: Responder) -> None:
    """SMTP AUTH with an SASL mechanism (RFC 4954), as ``smtplib.SMTP.auth``
    does it: the initial response, then an answer to each challenge (at most
    five).  Written out because smtplib before 3.10 cannot send an empty
    answer, which XOAUTH2 needs after a refusal."""
    code, reply = server.docmd("AUTH", f"{name} {_b64(respond())}")
    for _ in range(5):
        if code != 334:
            break
        code, reply = server.docmd(_b64(respond(base64.decodebytes(reply))))
    if code not in (235, 503):
        raise smtplib.SMTPAuthenticationError(code, reply)


def authenticate(
    server: smtplib.SMTP,
    username: str,
    password: Optional[str] = None,
    mechanism: Optional[Mechanism] = None,
) -> None:
    """Log in with `username` and `password`, or with `mechanism`; neither
    given means no authentication (a relay that takes mail without it).

    A secret that is not ASCII makes the library raise ``UnicodeEncodeError``
    carrying the whole credential text; it is raised again without it.  A
    failure leaves no secret on its traceback: the frames of the login
    below this one are cleared (reporters that record the variables of each
    frame would store it), and this one drops its own."""
    if mechanism is None and password is None:
        return
    before = sys.exc_info()[1]
    try:
        if mechanism is None:
            server.login(username, password)  # type: ignore[arg-type]
        else:
            server.ehlo_or_helo_if_needed()
            if not server.has_extn("auth"):
                raise smtplib.SMTPNotSupportedError("SMTP AUTH extension not supported by server.")
            _sasl(server, mechanism.name, mechanism.start(username))
    except UnicodeEncodeError as exc:
        safe = UnicodeEncodeError(exc.encoding, "\ufffd", 0, 1, exc.reason)
    except BaseException as exc:
        del password
        _forget(exc, before)
        raise
    else:
        return
    finally:
        # the library keeps the account on the connection while it logs in
        vars(server).pop("user", None)
        vars(server).pop("password", None)
    del password
    # Raised outside the handler, so that the original is not its context.
    raise safe from None


def _forget(exc: BaseException, before: Optional[BaseException]) -> None:
    """Clear the variables of every finished frame on the traceback of `exc`
    and of the errors chained to it since `before` (the error being handled
    when the login began, whose frames are the caller's)."""
    seen: set[int] = set()
    chain: list[Optional[BaseException]] = [exc]
    while chain:
        error = chain.pop()
        if error is None or error is before or id(error) in seen:
            continue
        seen.add(id(error))
        traceback.clear_frames(error.__traceback__)  # (a running frame is left alone)
        chain += [error.__cause__, error.__context__]


def submit(
    server: smtplib.SMTP, msg: Any, sender: str, recipients: list[str]
) -> dict[str, tuple[int, bytes]]:
    """Flatten the message and submit it; the recipients the server refused
    (the whole submission raises when it refused them all)."""
    if isinstance(server, SMTP):
        server.data_started = False
    text = msg.as_string()
    return server.sendmail(sender, recipients, text)


def close(server: smtplib.SMTP) -> None:
    """Say QUIT and close; a connection already lost is just closed."""
    try:
        server.quit()
    except (smtplib.SMTPException, OSError):
        server.close()


def connect(
    host: str,
    port: int,
    mode: Mode,
    username: str,
    password: Optional[str] = None,
    *,
    mechanism: Optional[Mechanism] = None,
    timeout: Optional[float] = None,
) -> Connection:
    """Open, secure and authenticate one connection, closing it again when
    a step fails."""
    try:
        server = open_connection(host, port, mode, timeout=timeout)
        try:
            secure(server, mode)
            authenticate(server, username, password, mechanism)
        except BaseException:
            close(server)
            raise
        return server
    finally:
        del password  # this frame is on the traceback of a failure


# --- the delivery installed on a mailer ----------------------------------------
#
# ``send`` looks ``_do_send`` up on the instance at every call.  Every delivery
# other than the class's own (a test capture, a connection kept for a block,
# the configured options) is put there by install() and taken away by
# remove(), never by assigning or deleting the attribute by hand.  The
# deliveries of one target form a stack, so that blocks may end in any order:
# each remove() takes away exactly its own delivery, the newest one left is in
# charge, and with none left the target has again what it had before the first
# (nothing, or a value other code assigned).  On a class, a delivery takes the
# sends of every instance, their own deliveries included, except those that
# the same owner installed on an instance since (a capture of one mailer
# inside a capture of the class keeps its own outbox).

SEAM = "_do_send"


class Delivery(Protocol):
    """A delivery installed on a mailer: called as the class's ``_do_send``
    is, with the message, the envelope recipients and the envelope sender.
    Any plain object with this call will do (it is referred to weakly)."""

    def __call__(self, msg: Any, recipients: list[str], sender: str) -> None: ...


class Installed:
    """One delivery on one target (a mailer, or a mailer class), as
    :func:`install` or :func:`installed` gave it.  `owner` names who installed
    it; None for a ``_do_send`` that other code assigned."""

    __slots__ = ("delivery", "order", "owner", "target")

    def __init__(self, target: Any, delivery: Delivery, owner: Optional[str], order: int) -> None:
        self.target = target
        self.delivery = delivery
        self.owner = owner
        self.order = order

    def __repr__(self) -> str:
        return f"<Installed {self.delivery!r} by {self.owner}>"


_MISSING: Any = object()


class _Stack:
    """What one target had before its first delivery, and its deliveries, oldest first."""

    def __init__(self, before: Any, layers: list[Installed]) -> None:
        self.before = before
        self.layers = layers


class _OnClass:
    """The class attribute while deliveries are installed on a class: a data
    descriptor, so that it wins over an instance's own ``_do_send``, whose
    assignment and deletion it passes on to the instance."""

    def __init__(self, cls: type, stack: _Stack) -> None:
        self.cls = cls
        self.stack = stack

    def __get__(self, instance: Any, owner: Optional[type] = None) -> Any:
        try:
            top = self.stack.layers[-1]
        except IndexError:  # removed under a caller that had already found it
            return _class_function(self.cls).__get__(instance, owner)
        if instance is None:
            delivery = top.delivery
            return lambda mailer, msg, recipients, sender: delivery(msg, recipients, sender)
        own = installed(instance)
        if own is not None and own.owner == top.owner and own.order > top.order:
            return own.delivery
        return top.delivery

    def __set__(self, instance: Any, value: Any) -> None:
        vars(instance)[SEAM] = value

    def __delete__(self, instance: Any) -> None:
        try:
            del vars(instance)[SEAM]
        except KeyError:
            raise AttributeError(SEAM) from None


_lock = threading.RLock()
# Held by code that looks a target's delivery up and replaces it as one step
# (install() and remove() take it again: it is reentrant).
changing = _lock
_order = itertools.count()
# owner and order of every delivery installed, held weakly: a mailer's own
# delivery often refers to the mailer
_known: weakref.WeakKeyDictionary[Any, tuple[str, int]] = weakref.WeakKeyDictionary()
# The stacks that the target's attribute cannot tell by itself: every class
# with a delivery, and a mailer with more than one, or with a value from before.
_stacks: dict[int, _Stack] = {}


def _stack(target: Any) -> _Stack:
    stack = _stacks.get(id(target))
    if stack is not None:
        return stack
    if isinstance(target, type):
        return _Stack(vars(target).get(SEAM, _MISSING), [])
    current = installed(target)
    if current is None:
        return _Stack(_MISSING, [])
    if current.owner is None:
        return _Stack(current.delivery, [])
    return _Stack(_MISSING, [current])


def _apply(target: Any, stack: _Stack) -> None:
    """Make the target's attribute what the stack says, and keep the stack
    where the attribute alone would not tell it."""
    key = id(target)
    if isinstance(target, type):
        if stack.layers:
            if _stacks.get(key) is not stack:
                _stacks[key] = stack
                setattr(target, SEAM, _OnClass(target, stack))
            return
        _stacks.pop(key, None)
        if stack.before is _MISSING:
            delattr(target, SEAM)
        else:
            setattr(target, SEAM, stack.before)
        return
    own = vars(target)
    if stack.layers:
        own[SEAM] = stack.layers[-1].delivery
    elif stack.before is _MISSING:
        own.pop(SEAM, None)
    else:
        own[SEAM] = stack.before
    if len(stack.layers) > 1 or (stack.layers and stack.before is not _MISSING):
        _stacks[key] = stack
    else:
        _stacks.pop(key, None)


def install(target: Any, delivery: Delivery, owner: str) -> Installed:
    """Put `delivery` in charge of the sends of `target` (a mailer, or a mailer
    class for every instance) until :func:`remove` is given what this returns."""
    with _lock:
        stack = _stack(target)
        layer = Installed(target, delivery, owner, next(_order))
        _known[delivery] = (owner, layer.order)
        stack.layers.append(layer)
        _apply(target, stack)
        return layer


def installed(target: Any) -> Optional[Installed]:
    """The delivery in charge of `target` by its own attribute: for a mailer,
    its own ``_do_send`` (a class's delivery is not looked at), for a class,
    the newest one installed on it; None when there is none."""
    with _lock:
        if isinstance(target, type):
            stack = _stacks.get(id(target))
            return stack.layers[-1] if stack is not None and stack.layers else None
        current = vars(target).get(SEAM, _MISSING)
        if current is _MISSING:
            return None
        try:
            owner, order = _known[current]
        except (KeyError, TypeError):  # TypeError: a value that cannot be referred to weakly
            return Installed(target, current, None, -1)
        return Installed(target, current, owner, order)


def remove(layer: Installed) -> None:
    """Take the delivery of `layer` away from its target, wherever it stands
    among the target's deliveries; nothing when it is gone already."""
    with _lock:
        stack = _stack(layer.target)
        kept = [other for other in stack.layers if other.order != layer.order]
        if len(kept) == len(stack.layers):
            return
        stack.layers[:] = kept
        _apply(layer.target, stack)


def _class_function(cls: type) -> Any:
    for klass in cls.__mro__:
        stack = _stacks.get(id(klass))
        if stack is not None and stack.before is not _MISSING:
            return stack.before
        if stack is None and SEAM in vars(klass):
            return vars(klass)[SEAM]
    raise AttributeError(SEAM)


def class_function(cls: type) -> Any:
    """The ``_do_send`` that instances of `cls` have when nothing is installed
    (the class's own function), whatever is installed on the class now."""
    with _lock:
        return _class_function(cls)
