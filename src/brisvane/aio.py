"""Sending from asyncio code: :class:`AsyncEasyMailer`.

The mail is the one ``EasyMailer`` would send: an ``EasyMailer`` held inside
composes it (every argument check, the templates, folding, attachment names),
in a worker thread; the message is turned into its DATA bytes there too, in
slices that leave the interpreter to the event loop between them, and the
attachments' base64 is made with the interpreter released.  The event loop
itself only talks SMTP, through aiosmtplib, with the steps of the class's
delivery: the certificate and host name verified, implicit TLS, STARTTLS (a
server that does not offer it is refused) or plain, the login, then the
submission to every To, Cc and Bcc address.  Failures are the standard
library's ``smtplib`` exceptions, with the server's code and text.

Needs the ``async`` extra: ``pip install "brisvane[async]"``.
"""

from __future__ import annotations

import asyncio
import base64
import contextlib
import logging
import smtplib
import ssl
import threading
from collections.abc import AsyncIterator
from typing import TYPE_CHECKING, Any, Optional, Union

from brisvane import _messages, _session
from brisvane._wire import wire

if TYPE_CHECKING:
    import aiosmtplib

    from brisvane.mailer import EasyMailer

__all__ = ["AsyncEasyMailer", "Pool"]

log = logging.getLogger("brisvane.aio")
# smtplib's own texts, for the same refusals
_NO_STARTTLS = "STARTTLS extension not supported by server."
_NO_AUTH = "SMTP AUTH extension not supported by server."
_OWNER = __name__
Refused = dict[str, tuple[int, bytes]]

# One mail is composed at a time in the process: composition needs the
# interpreter, and a thread that waits for it waits behind every thread
# composing (an event loop's waits behind all of them, not one).
_composing = threading.Lock()


def _aiosmtplib() -> Any:
    try:
        import aiosmtplib
    except ImportError:
        raise ImportError(_messages.text("extra.missing", extra="async")) from None
    return aiosmtplib


class _Handoff:
    """The delivery of the held mailer: what the class hands to delivery
    (message, envelope recipients, envelope sender), kept for the thread
    that composed it."""

    def __init__(self) -> None:
        self._local = threading.local()

    def __call__(self, msg: Any, recipients: list[str], sender: str) -> None:
        self._local.taken = (msg, list(recipients), sender)

    def take(self) -> Optional[tuple[Any, list[str], str]]:
        taken = getattr(self._local, "taken", None)
        self._local.taken = None
        return taken


class _Mail:
    """One composed mail: its DATA bytes and envelope."""

    def __init__(self, chunks: list[bytes], recipients: list[str], sender: str) -> None:
        self.chunks = chunks
        self.recipients = recipients
        self.sender = sender
        self.data_sent = False  # the final ".\r\n" was written


# --- errors: aiosmtplib's as smtplib's, in one place --------------------------------


def _bytes(text: str) -> bytes:
    return text.encode("utf-8", "backslashreplace")


# A timeout is TimeoutError, which asyncio's is too from 3.11 on; before,
# it is both.
_TimeoutError: type[TimeoutError] = TimeoutError
if not issubclass(asyncio.TimeoutError, TimeoutError):  # made so, as the checkers see one class
    _TimeoutError = type("TimeoutError", (TimeoutError, asyncio.TimeoutError), {})


def _as_smtplib(exc: BaseException) -> BaseException:
    """The standard library's exception for an aiosmtplib one (others as
    they are)."""
    a = _aiosmtplib()
    if not isinstance(exc, a.SMTPException):
        return exc
    text = str(exc.args[-1] if exc.args else exc)
    if isinstance(exc, a.SMTPTimeoutError):
        return _TimeoutError(text)
    if isinstance(exc, a.SMTPConnectError) and isinstance(exc.__cause__, OSError):
        return exc.__cause__
    if isinstance(exc, a.SMTPServerDisconnected):
        return smtplib.SMTPServerDisconnected(text)
    if isinstance(exc, a.SMTPNotSupported) or "not supported by server" in text:
        return smtplib.SMTPNotSupportedError(text)
    code, message = getattr(exc, "code", -1), _bytes(getattr(exc, "message", text))
    if isinstance(exc, a.SMTPAuthenticationError):
        return smtplib.SMTPAuthenticationError(code, message)
    if isinstance(exc, a.SMTPSenderRefused):
        return smtplib.SMTPSenderRefused(code, message, exc.sender)
    if isinstance(exc, a.SMTPDataError):
        return smtplib.SMTPDataError(code, message)
    if isinstance(exc, a.SMTPHeloError):
        return smtplib.SMTPHeloError(code, message)
    if isinstance(exc, a.SMTPResponseException):
        return smtplib.SMTPResponseException(code, message)
    return smtplib.SMTPException(text)


def _checkpoint() -> None:
    """Raise a cancellation that a completed await swallowed: on 3.11,
    ``asyncio.wait_for`` (which aiosmtplib uses) can return a reply that
    completed as the task was cancelled; a cancelled task must not go on."""
    task = asyncio.current_task()
    cancelling = getattr(task, "cancelling", None)
    if cancelling is not None and cancelling() > 0:
        raise asyncio.CancelledError()


# --- one connection ---------------------------------------------------------------


class _Connection:
    """A logged-in aiosmtplib client and the mails it carried."""

    def __init__(self, client: aiosmtplib.SMTP) -> None:
        self.client = client
        self.sent = 0

    def discard(self) -> None:
        """Close at once, in whatever state the session is: no QUIT, and no
        TLS close_notify a stalled peer would never answer."""
        transport = self.client.transport
        with contextlib.suppress(Exception):
            if isinstance(transport, asyncio.WriteTransport):
                transport.abort()
            self.client.close()

    async def quit(self) -> None:
        """QUIT, then close the socket at once: a TLS close that waits for
        the peer could outlive the event loop and leave it open."""
        with contextlib.suppress(Exception):
            await self.client.quit()
        self.discard()


class AsyncEasyMailer:
    """An ``EasyMailer`` for asyncio code: the same constructor arguments,
    checks and errors, ``await mailer.send(...)`` and
    ``await mailer.send_template(...)`` with the same parameters, and the
    same mail.

    `timeout` bounds every network step (connecting, the TLS handshake, each
    command, writing the message), in seconds; ``None`` for none.  `login`
    false skips the login (a relay that takes mail without it); `auth` an
    SASL mechanism such as ``delivery.xoauth2(token_provider)``.
    """

    def __init__(
        self,
        host: str,
        port: int,
        username: str,
        password: str,
        use_ssl: bool = True,
        use_tls: bool = False,
        default_sender: Optional[str] = None,
        template_dir: Optional[str] = None,
        *,
        timeout: Optional[float] = 60.0,
        login: bool = True,
        auth: Optional[_session.Mechanism] = None,
    ) -> None:
        from brisvane.delivery import _check_timeout
        from brisvane.mailer import EasyMailer

        self.mailer: EasyMailer = EasyMailer(
            host=host,
            port=port,
            username=username,
            password=password,
            use_ssl=use_ssl,
            use_tls=use_tls,
            default_sender=default_sender,
            template_dir=template_dir,
        )
        _check_timeout(timeout)
        if auth is not None and not (
            callable(getattr(auth, "start", None)) and hasattr(auth, "name")
        ):
            raise TypeError(_messages.text("delivery.auth", type=type(auth).__name__))
        self.timeout = timeout
        self.login = bool(login)
        self.auth = auth
        self._handoff = _Handoff()
        _session.install(self.mailer, self._handoff, _OWNER)
        self._context: Optional[ssl.SSLContext] = None
        self._pool: Optional[Pool] = None

    def __repr__(self) -> str:
        m = self.mailer
        return f"<AsyncEasyMailer {m.username!r} at {m.host}:{m.port} ({_session.mode_of(m)})>"

    # --- the two operations ---------------------------------------------------------

    async def send(
        self,
        to: Union[str, list[str]],
        subject: str,
        body: Optional[str] = None,
        html: Optional[str] = None,
        cc: Optional[Union[str, list[str]]] = None,
        bcc: Optional[Union[str, list[str]]] = None,
        sender: Optional[str] = None,
        sender_name: Optional[str] = None,
        attachments: Optional[list[Union[str, dict[str, Any]]]] = None,
        reply_to: Optional[str] = None,
    ) -> None:
        """Send a mail, as ``EasyMailer.send``."""
        args = (to, subject, body, html, cc, bcc, sender, sender_name, attachments, reply_to)
        await self._send("send", args)

    async def send_template(
        self,
        to: Union[str, list[str]],
        subject: str,
        template_name: str,
        context: Optional[dict[str, Any]] = None,
        cc: Optional[Union[str, list[str]]] = None,
        bcc: Optional[Union[str, list[str]]] = None,
        sender: Optional[str] = None,
        sender_name: Optional[str] = None,
        attachments: Optional[list[Union[str, dict[str, Any]]]] = None,
        reply_to: Optional[str] = None,
    ) -> None:
        """Send a templated mail, as ``EasyMailer.send_template``."""
        args = (to, subject, template_name, context, cc, bcc, sender, sender_name)
        await self._send("send_template", (*args, attachments, reply_to))

    def connection(
        self,
        connections: int = 1,
        max_per_connection: Optional[int] = None,
        min_interval: float = 0.0,
    ) -> contextlib.AbstractAsyncContextManager[Pool]:
        """``async with mailer.connection(...) as pool:`` every mail this
        mailer sends inside the block, from any task, goes over up to
        `connections` logged-in connections, each mail on a free one; a
        connection is renewed after `max_per_connection` mails, mails start
        at least `min_interval` seconds apart, and every connection says QUIT
        when the block ends."""
        from brisvane.delivery import _check_min_interval

        if not _positive(connections):
            raise ValueError(_messages.text("aio.connections", value=connections))
        if max_per_connection is not None and not _positive(max_per_connection):
            raise ValueError(_messages.text("aio.max_per_connection", value=max_per_connection))
        _check_min_interval(min_interval)
        return self._connection(connections, max_per_connection, float(min_interval))

    @contextlib.asynccontextmanager
    async def _connection(
        self, connections: int, max_per_connection: Optional[int], min_interval: float
    ) -> AsyncIterator[Pool]:
        if self._pool is not None:  # a block inside a block shares the outer one
            yield self._pool
            return
        pool = Pool(self, connections, max_per_connection, min_interval)
        self._pool = pool
        try:
            yield pool
        finally:
            self._pool = None
            await pool.close()

    # --- composing, off the loop ----------------------------------------------------

    def _compose(self, operation: str, args: tuple[Any, ...]) -> Optional[_Mail]:
        # the class's own operation, its delivery the handoff
        getattr(self.mailer, operation)(*args)
        taken = self._handoff.take()
        if taken is None:  # recorded by a layer above (a capture)
            return None
        msg, recipients, sender = taken
        return _Mail(wire(msg), recipients, sender)

    def _compose_in_turn(self, operation: str, args: tuple[Any, ...]) -> Optional[_Mail]:
        # in a worker thread
        with _composing:
            return self._compose(operation, args)

    async def _send(self, operation: str, args: tuple[Any, ...]) -> None:
        if _light(operation, args):
            mail = self._compose(operation, args)  # well under a millisecond: here
        else:
            mail = await asyncio.to_thread(self._compose_in_turn, operation, args)
            _checkpoint()
        if mail is None:
            return
        if self._pool is not None:
            await self._pool.deliver(mail)
            return
        connection = await self._open()
        try:
            await self._transact(connection, mail)
        except (smtplib.SMTPResponseException, smtplib.SMTPRecipientsRefused):
            # refused, the session reset: say QUIT as the class does
            if connection.client.is_connected:
                await connection.quit()
            raise
        except BaseException as exc:
            connection.discard()
            _unknown_if_sent(mail, exc)
            raise
        await connection.quit()

    # --- the session steps ----------------------------------------------------------

    async def _tls_context(self) -> ssl.SSLContext:
        # made once, off the loop: loading the CA bundle takes milliseconds
        if self._context is None:
            self._context = await asyncio.to_thread(_session.shared_tls_context)
        return self._context

    async def _open(self) -> _Connection:
        """Connect, secure and log in, as the class does."""
        a = _aiosmtplib()
        m = self.mailer
        mode = _session.mode_of(m)
        context = await self._tls_context() if mode != "plain" else None
        client = a.SMTP(
            hostname=m.host,
            port=m.port,
            use_tls=mode == "ssl",
            start_tls=False,
            tls_context=context,
            timeout=self.timeout,
        )
        connection = _Connection(client)
        try:
            await client.connect()
            await client.ehlo()
            if mode == "starttls":
                if not client.supports_extension("starttls"):
                    raise smtplib.SMTPNotSupportedError(
                        "STARTTLS extension not supported by server."
                    )
                await client.starttls(tls_context=context)
            if self.auth is not None:
                await self._sasl(client)
            elif self.login:
                password = m.password
                await client.login(m.username, password)
            _checkpoint()
        except BaseException as exc:
            connection.discard()
            error = _as_smtplib(exc)
            if error is exc:
                raise
            raise error from None
        return connection

    async def _sasl(self, client: aiosmtplib.SMTP) -> None:
        """SMTP AUTH with the SASL mechanism `auth` (as the class's Python
        delivery does it)."""
        assert self.auth is not None
        respond = self.auth.start(self.mailer.username)

        def b64(text: str) -> bytes:
            return base64.b64encode(text.encode("ascii"))

        await client._ehlo_or_helo_if_needed()
        if not client.supports_extension("auth"):
            raise smtplib.SMTPNotSupportedError("SMTP AUTH extension not supported by server.")
        reply = await client.execute_command(
            b"AUTH", self.auth.name.encode("ascii"), b64(respond())
        )
        for _ in range(5):
            if reply.code != 334:
                break
            answer = respond(base64.decodebytes(reply.message.encode("ascii")))
            reply = await client.execute_command(b64(answer))
        if reply.code not in (235, 503):
            raise smtplib.SMTPAuthenticationError(reply.code, _bytes(reply.message))

    async def _transact(self, connection: _Connection, mail: _Mail) -> Refused:
        """MAIL, RCPT for every recipient, DATA, as smtplib's sendmail does
        them (a refused step reset with RSET, or the connection closed on a
        421); the refused recipients."""
        a = _aiosmtplib()
        client = connection.client
        try:
            reply = await client.execute_command(b"MAIL", b"FROM:" + _angle(mail.sender))
            if reply.code != 250:
                await _reset_or_close(client, reply.code)
                raise smtplib.SMTPSenderRefused(reply.code, _bytes(reply.message), mail.sender)
            refused: Refused = {}
            for recipient in mail.recipients:
                reply = await client.execute_command(b"RCPT", b"TO:" + _angle(recipient))
                if reply.code not in (250, 251):
                    refused[recipient] = (reply.code, _bytes(reply.message))
                    if reply.code == 421:
                        client.close()
                        raise smtplib.SMTPRecipientsRefused(refused)
            if len(refused) == len(mail.recipients):
                await _reset_or_close(client, 0)
                raise smtplib.SMTPRecipientsRefused(refused)
            code, message = await _data(client, mail, self.timeout)
            if code != 250:
                await _reset_or_close(client, code)
                raise smtplib.SMTPDataError(code, _bytes(message))
            _checkpoint()
        except a.SMTPException as exc:
            raise _as_smtplib(exc) from None
        connection.sent += 1
        return refused


# A mail whose text and in-memory attachments come to less than this, with no
# file to read, is composed on the event loop: that takes a few hundred
# microseconds, less than handing it to a worker thread and back.
_LIGHT = 64 * 1024


def _light(operation: str, args: tuple[Any, ...]) -> bool:
    attachments = args[-2]
    size = 0
    if attachments is not None:
        if not isinstance(attachments, list):
            return False
        for item in attachments:
            data = item.get("data") if isinstance(item, dict) else None
            if not isinstance(data, (bytes, str)):
                return False  # a file to read, or something to look at closely
            size += len(data)
    if operation == "send":
        size += sum(len(text) for text in args[2:4] if isinstance(text, str))
    else:
        # a template's own size is not known before it renders: only a small context
        context = args[3]
        if context is not None and (not isinstance(context, dict) or len(context) > 50):
            return False
    return size < _LIGHT


def _positive(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 1


def _angle(address: str) -> bytes:
    # quoteaddr, as smtplib writes the envelope addresses
    return smtplib.quoteaddr(address).encode("ascii")


async def _reset_or_close(client: aiosmtplib.SMTP, code: int) -> None:
    if code == 421:
        client.close()
        return
    try:
        await client.rset()
    except Exception:
        client.close()


async def _data(client: aiosmtplib.SMTP, mail: _Mail, timeout: Optional[float]) -> tuple[int, str]:
    """DATA with the message as its bytes already are (CRLF line ends, the
    periods doubled, the final ".\\r\\n"): aiosmtplib's own ``data`` would
    pass over the whole message again on the event loop."""
    a = _aiosmtplib()
    protocol = client.protocol
    lock = None if protocol is None else protocol._command_lock
    if protocol is None or lock is None:
        raise a.SMTPServerDisconnected("Connection lost")
    async with lock:
        protocol._response_pending = True
        protocol.write(b"DATA\r\n")
        start = await protocol.read_response(timeout=timeout)
        if start.code != 354:
            return start.code, start.message
        protocol._response_pending = True
        for chunk in mail.chunks:
            protocol.write(chunk)
            await asyncio.wait_for(protocol._drain_helper(), timeout)
        mail.data_sent = True
        reply = await protocol.read_response(timeout=timeout)
    return reply.code, reply.message


def _unknown_if_sent(mail: _Mail, exc: BaseException) -> None:
    if mail.data_sent:
        log.warning(
            "the mail to %s was sent in full but its answer was lost (%s): "
            "it may have been delivered; it is not sent again",
            ", ".join(mail.recipients),
            type(exc).__name__,
        )


class Pool:
    """The connections of one ``mailer.connection(...)`` block.

    ``results`` lists, per mail sent in the block and in the order they were
    accepted, the recipients the server refused (address: (code, reply));
    ``unknown`` lists the recipients of each mail whose data was sent in full
    and whose answer never came (cancelled, timed out, disconnected): it may
    have been delivered and is not sent again; ``connections`` counts the
    connections opened."""

    def __init__(
        self,
        mailer: AsyncEasyMailer,
        connections: int,
        max_per_connection: Optional[int],
        min_interval: float,
    ) -> None:
        self.mailer = mailer
        self.results: list[Refused] = []
        self.unknown: list[list[str]] = []
        self.connections = 0
        self._max = max_per_connection
        self._interval = min_interval
        self._free = asyncio.Semaphore(connections)
        self._idle: list[_Connection] = []
        self._pace = asyncio.Lock()
        self._next = 0.0
        self._closed = False

    def __repr__(self) -> str:
        return f"<Pool: {len(self.results)} mails over {self.connections} connections>"

    async def _wait_turn(self) -> None:
        if not self._interval:
            return
        loop = asyncio.get_running_loop()
        async with self._pace:
            delay = self._next - loop.time()
            if delay > 0:
                await asyncio.sleep(delay)
            self._next = loop.time() + self._interval

    async def _take(self) -> tuple[_Connection, bool]:
        if self._idle:
            return self._idle.pop(), True
        connection = await self.mailer._open()
        self.connections += 1
        return connection, False

    async def _give_back(self, connection: _Connection) -> None:
        if self._closed or (self._max is not None and connection.sent >= self._max):
            await connection.quit()
        else:
            self._idle.append(connection)

    async def deliver(self, mail: _Mail) -> None:
        await self._free.acquire()
        try:
            await self._wait_turn()
            for attempt in (1, 2):
                connection, reused = await self._take()
                try:
                    refused = await self.mailer._transact(connection, mail)
                except smtplib.SMTPServerDisconnected as exc:
                    connection.discard()
                    if reused and not mail.data_sent and attempt == 1:
                        continue  # the server closed an idle connection: once more, anew
                    self._lost(mail, exc)
                    raise
                except (smtplib.SMTPResponseException, smtplib.SMTPRecipientsRefused):
                    # refused, the session reset (or closed on a 421)
                    if connection.client.is_connected:
                        await self._give_back(connection)
                    raise
                except BaseException as exc:
                    connection.discard()
                    self._lost(mail, exc)
                    raise
                await self._give_back(connection)
                self.results.append(refused)
                return
        finally:
            self._free.release()

    def _lost(self, mail: _Mail, exc: BaseException) -> None:
        if mail.data_sent:
            self.unknown.append(mail.recipients)
        _unknown_if_sent(mail, exc)

    async def close(self) -> None:
        """QUIT every idle connection (a busy one says QUIT when its mail ends)."""
        self._closed = True
        idle, self._idle = self._idle, []
        await asyncio.gather(*(c.quit() for c in idle))
