from brisvane._builtins import MissingVariableError as MissingVariableError
from brisvane._items import calendar_invite as calendar_invite
from brisvane._items import inline_image as inline_image
from brisvane.mailer import EasyMailer as EasyMailer
from brisvane.template import TemplateEngine as TemplateEngine

__version__: str
__all__ = [
    "EasyMailer",
    "MissingVariableError",
    "TemplateEngine",
    "__version__",
    "calendar_invite",
    "inline_image",
]
