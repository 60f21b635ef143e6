"""The aiosmtpd classes behind SMTPTestServer, imported when a server starts:
sessions that obey the server's fault switches."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP

from brisvane.testing.server import STEPS, Command

if TYPE_CHECKING:
    from brisvane.testing.server import SMTPTestServer


class FaultySMTP(SMTP):
    """One connection: its commands logged in the server's ``sessions``."""

    def __init__(self, owner: SMTPTestServer, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._owner = owner
        self._greeted = False
        self._close_after = False
        self.mails = 0  # taken on this connection
        log: list[Command] = []
        with owner._lock:
            owner.sessions.append(log)
        for verb, method in list(self._smtp_methods.items()):
            self._smtp_methods[verb] = self._logged(log, verb, method)

    def _logged(self, log: list[Command], verb: str, method: Any) -> Any:
        async def run(arg: Any) -> None:
            log.append(Command(self._tls_protocol is not None, verb, arg))
            await method(arg)

        return run

    async def _fault(self, step: str) -> bool:
        """Apply the fault set for `step`; True when the step must not run."""
        fault = self._owner._take(step, self.mails)
        if fault is None:
            return False
        if fault.kind == "stall":
            await asyncio.sleep(fault.seconds)
            return False
        if fault.kind == "drop" and fault.answered:
            self._close_after = True
            return False
        if fault.kind == "reply":
            await SMTP.push(self, f"{fault.code} {fault.text}")
            if fault.code != 421:
                return True
        if self.transport is not None:
            self.transport.close()
        return True

    async def push(self, status: Any) -> None:
        if not self._greeted:  # the first line of a session is its greeting
            self._greeted = True
            if await self._fault("connect"):
                return
        await super().push(status)


def _checked(verb: str) -> Callable[..., Any]:
    # the original handler of `verb`, run unless the step's fault says otherwise
    original = getattr(SMTP, "smtp_" + verb)
    step = "EHLO" if verb == "HELO" else verb

    async def handle(self: Any, arg: Any) -> None:
        if not await self._fault(step):
            await original(self, arg)
        if self._close_after and self.transport is not None:
            self.transport.close()

    handle.__name__ = "smtp_" + verb
    handle.__doc__ = original.__doc__
    for name in ("__smtp_syntax__", "__smtp_syntax_extended__", "__smtp_syntax_when__"):
        if hasattr(original, name):
            setattr(handle, name, getattr(original, name))
    return handle


for _verb in (*STEPS[1:], "HELO"):
    setattr(FaultySMTP, "smtp_" + _verb, _checked(_verb))
del _verb


class FaultyController(Controller):
    def __init__(self, owner: SMTPTestServer, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._owner = owner

    def factory(self) -> Any:
        return FaultySMTP(self._owner, self.handler, **self.SMTP_kwargs)
