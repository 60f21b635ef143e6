from collections.abc import Iterable
from email.mime.multipart import MIMEMultipart
from typing import Any, Optional, Union

from brisvane.template import TemplateEngine

# A recipient is one address string (never split), or a list of them.
_Recipients = Union[str, list[str]]
# An attachment is a file path, or {"filename": str, "data": bytes, "content_type": str}
# with "content_type" optional; with a "cid" (brisvane.inline_image) the item is a picture
# the HTML shows as <img src="cid:...">, and a "text/calendar; method=..." item
# (brisvane.calendar_invite) is an invitation calendar readers answer.
_Attachment = Union[str, dict[str, Any]]

class EasyMailer:
    """简易邮件发送工具,支持纯文本、HTML格式以及基于模板的邮件发送。"""

    host: str
    port: int
    username: str
    password: str
    use_ssl: bool
    use_tls: bool
    default_sender: str
    _template_engine: TemplateEngine
    def __init__(
        self,
        host: str,
        port: Union[int, float],
        username: str,
        password: str,
        use_ssl: object = True,
        use_tls: object = False,
        default_sender: Optional[str] = None,
        template_dir: Optional[str] = None,
    ) -> None:
        """初始化邮件发送器。"""

    def send(
        self,
        to: _Recipients,
        subject: str,
        body: Optional[str] = None,
        html: Optional[str] = None,
        cc: Optional[_Recipients] = None,
        bcc: Optional[_Recipients] = None,
        sender: Optional[str] = None,
        sender_name: Optional[str] = None,
        attachments: Optional[list[_Attachment]] = None,
        reply_to: Optional[str] = None,
    ) -> None:
        """发送邮件。"""

    def send_template(
        self,
        to: _Recipients,
        subject: str,
        template_name: str,
        context: Optional[dict[str, Any]] = None,
        cc: Optional[_Recipients] = None,
        bcc: Optional[_Recipients] = None,
        sender: Optional[str] = None,
        sender_name: Optional[str] = None,
        attachments: Optional[list[_Attachment]] = None,
        reply_to: Optional[str] = None,
    ) -> None:
        """使用模板发送邮件。"""

    def _build_message(
        self,
        to: _Recipients,
        subject: str,
        body: Optional[str],
        html: Optional[str],
        cc: Optional[_Recipients],
        sender: Optional[str],
        sender_name: Optional[str],
        attachments: Optional[list[_Attachment]],
        reply_to: Optional[str],
    ) -> MIMEMultipart: ...
    @staticmethod
    def _attach_file(msg: MIMEMultipart, filepath: str) -> None:
        """Attach a file from a file path."""

    @staticmethod
    def _attach_binary(msg: MIMEMultipart, item: dict[str, Any]) -> None:
        """Attach binary data."""

    @staticmethod
    def _collect_recipients(
        to: Union[str, Iterable[str]],
        cc: Optional[Union[str, Iterable[str]]],
        bcc: Optional[Union[str, Iterable[str]]],
    ) -> list[str]: ...
    def _do_send(self, msg: MIMEMultipart, recipients: list[str], sender: str) -> None: ...
