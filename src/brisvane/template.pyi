from pathlib import Path
from typing import Any, Optional

from jinja2 import Environment

_DEFAULT_TEMPLATE_DIR: Path

class TemplateEngine:
    """Jinja2-based template renderer.

    Templates are looked up in the following order:
    1. User-provided template directory (if given).
    2. Built-in templates directory (brisvane/templates).
    """

    _env: Environment
    def __init__(self, template_dir: Optional[str] = None) -> None: ...
    def render(self, template_name: str, context: dict[str, Any]) -> Optional[str]:
        """Render a template by name.

        Returns the rendered string, or None if the template does not exist.
        """

    def render_string(self, template_string: str, context: dict[str, Any]) -> str:
        """Render an inline Jinja2 string with the given context."""

    def add_template_dir(self, directory: str) -> None:
        """Add an additional template search directory (prepended for priority)."""

    @property
    def env(self) -> Environment:
        """Access the underlying Jinja2 Environment for advanced usage."""
