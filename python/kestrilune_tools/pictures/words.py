"""Counts in words, for the lines and titles people read: "1 tree", "2 trees"."""

from __future__ import annotations

__all__ = ["counted"]

_PLURALS = {"taxon": "taxa", "topology": "topologies"}


def counted(n: int, noun: str) -> str:
    """``n`` with ``noun`` in the singular for one, else in the plural."""
    return f"{n} {noun if n == 1 else _PLURALS.get(noun, noun + 's')}"
