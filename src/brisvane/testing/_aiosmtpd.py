"""The aiosmtpd classes behind SMTPTestServer, imported when a server starts:
sessions that obey the server's fault switches."""

from __future__ import annotations

import asyncio
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP

from brisvane.testing.server import STEPS

if TYPE_CHECKING:
    from brisvane.testing.server import SMTPTestServer


class FaultySMTP(SMTP):
    def __init__(self, owner: SMTPTestServer, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._owner = owner
        self._greeted = False

    async def _fault(self, step: str) -> bool:
        """Apply the fault set for `step`; True when the step must not run."""
        fault = self._owner._take(step)
        if fault is None:
            return False
        if fault.kind == "stall":
            await asyncio.sleep(fault.seconds)
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
