from contextlib import AbstractContextManager
from email.message import EmailMessage
from typing import Any, NamedTuple, Optional, Union

from brisvane.mailer import EasyMailer
from brisvane._scripted import ScriptedServer as ScriptedServer, drip as drip, endless as endless

__all__ = [
    "MODES", "STEPS", "Address", "Attachment", "Login", "SMTPTestServer", "SentMail", "capture",
    "certificate_authority",
]

MODES: tuple[str, ...]
STEPS: tuple[str, ...]

class Address(NamedTuple):
    name: str
    address: str

class Attachment(NamedTuple):
    filename: Optional[str]
    content_type: str
    data: bytes

class Login(NamedTuple):
    mechanism: str
    login: bytes
    password: bytes

class SentMail:
    mail_from: str
    rcpt_tos: list[str]
    def __init__(self, mail_from: str, rcpt_tos: list[str], content: bytes) -> None: ...
    @property
    def content(self) -> bytes: ...
    def __eq__(self, other: object) -> bool: ...
    __hash__: None  # type: ignore[assignment]
    @property
    def message(self) -> EmailMessage: ...
    @property
    def subject(self) -> Optional[str]: ...
    @property
    def from_(self) -> Optional[Address]: ...
    @property
    def to(self) -> list[Address]: ...
    @property
    def cc(self) -> list[Address]: ...
    @property
    def reply_to(self) -> list[Address]: ...
    @property
    def text(self) -> Optional[str]: ...
    @property
    def html(self) -> Optional[str]: ...
    @property
    def attachments(self) -> list[Attachment]: ...

def capture(
    target: Union[EasyMailer, type[EasyMailer]],
) -> AbstractContextManager[list[SentMail]]: ...
def certificate_authority() -> Any: ...

class SMTPTestServer:
    mode: str
    username: str
    password: str
    accept_any_login: bool
    host: str
    port: int
    trust: bool
    messages: list[SentMail]
    logins: list[Login]
    def __init__(
        self,
        mode: str = "ssl",
        *,
        username: str = "user@example.com",
        password: str = "password",
        accept_any_login: bool = False,
        host: str = "127.0.0.1",
        port: int = 0,
        trust: bool = True,
    ) -> None: ...
    @property
    def use_ssl(self) -> bool: ...
    @property
    def use_tls(self) -> bool: ...
    @property
    def ca_file(self) -> str: ...
    def start(self) -> SMTPTestServer: ...
    def stop(self) -> None: ...
    def __enter__(self) -> SMTPTestServer: ...
    def __exit__(self, *exc_info: object) -> None: ...
    def mailer(self, **overrides: Any) -> EasyMailer: ...
    def reset(self) -> None: ...
    def refuse_login(self, refuse: bool = True) -> None: ...
    def refuse_recipients(
        self, *addresses: str, code: int = 550, text: str = "5.1.1 Recipient address rejected"
    ) -> None: ...
    def reply(
        self, step: str, code: int, text: str = "Error injected by the test", *,
        times: Optional[int] = None,
    ) -> None: ...
    def drop(self, step: str, *, times: Optional[int] = None) -> None: ...
    def stall(self, step: str, seconds: float, *, times: Optional[int] = None) -> None: ...
