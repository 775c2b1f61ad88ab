"""The burn-in option: a count of trees, or a fraction of each file."""

from __future__ import annotations

import re
from fractions import Fraction
from typing import Union

__all__ = ["parse_burnin", "Burnin"]


Burnin = Union[int, float, str, Fraction]


def parse_burnin(value: Burnin) -> Union[int, Fraction]:
    """Turn a burn-in option into a tree count (``int``) or a fraction (``Fraction``).

    ``10``, ``"10"``: ten trees. ``0.1``, ``"0.1"``, ``"10%"``: a tenth of each file.
    """
    if isinstance(value, bool):
        raise ValueError(f"invalid burn-in {value!r}")
    if isinstance(value, int):
        count: Union[int, Fraction] = value
    elif isinstance(value, Fraction):
        count = value
        if count >= 1:
            raise ValueError(f"burn-in fraction must be below 1, got {value}")
    elif isinstance(value, float):
        # repr() gives the shortest text of the float, so 0.29 becomes exactly 29/100.
        count = Fraction(repr(value))
        if count >= 1:
            raise ValueError(f"burn-in fraction must be below 1, got {value!r}"
                             " (write an integer for a number of trees)")
    elif isinstance(value, str):
        text = value.strip()
        try:
            if text.endswith("%"):
                count = Fraction(text[:-1].strip()) / 100
                if count >= 1:
                    raise ValueError
            elif re.fullmatch(r"[+-]?\d+", text):
                count = int(text)
            else:
                count = Fraction(text)
                if count >= 1:
                    raise ValueError
        except (ValueError, ZeroDivisionError):
            raise ValueError(f"invalid burn-in {value!r}: give a number of trees (250), "
                             "a fraction below 1 (0.25) or a percentage (25%)") from None
    else:
        raise ValueError(f"invalid burn-in {value!r}")
    if count < 0:
        raise ValueError(f"burn-in must not be negative, got {value!r}")
    return count


def _burnin_count(burnin: Union[int, Fraction], n_trees: int) -> int:
    if isinstance(burnin, Fraction):
        return int(burnin * n_trees)  # floor, exact for a Fraction
    return burnin
