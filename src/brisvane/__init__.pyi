from brisvane.mailer import EasyMailer as EasyMailer
from brisvane.template import TemplateEngine as TemplateEngine

__version__: str
__all__ = ["EasyMailer", "TemplateEngine", "__version__"]
