"""What the readers raise and warn: :class:`TreeFileError` (with the file and line) and
:class:`TreeFileWarning`."""

from __future__ import annotations

from typing import Optional

__all__ = ["FileReadError", "TreeFileError", "TreeFileWarning"]


class FileReadError(ValueError):
    """A file that cannot be read as asked; the message starts with ``path:line:``."""

    def __init__(self, path: str, line: Optional[int], reason: str):
        self.path = str(path)
        self.line = line
        self.reason = reason
        where = self.path if line is None else f"{self.path}:{line}"
        super().__init__(f"{where}: {reason}")


class TreeFileError(FileReadError):
    """A tree file that cannot be read as asked; the message starts with ``path:line:``."""


class TreeFileWarning(UserWarning):
    """Something in a tree file that the reader worked around; the message says what."""
