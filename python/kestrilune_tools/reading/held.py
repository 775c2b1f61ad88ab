"""Tree texts kept from the one reading of the files (:class:`HeldTexts`), for a later pass
that needs what the split table does not keep (the ``[&...]`` annotations on the nodes of
BEAST trees), so that no file is read a second time.

    held = HeldTexts()
    held.add(chunk_of_texts)         # as the reading hands the chunks on
    for text in held.chosen(rows):   # the texts of rows (ascending)
        ...

Each chunk is held as its UTF-8 texts joined, beside the length of every text; past the
first 128 MiB, or a 32nd of the machine's memory where that is more, as one zlib stream
(level 1: annotated BEAST text shrinks to about 40%, at about 125 MB/s, which costs a
sample of a few thousand trees more time than it saves, and a third of a summary's time
at 20,000 trees of 200 taxa). A pass over them inflates one chunk at a time.
"""

from __future__ import annotations

import zlib
from array import array
from itertools import accumulate
from typing import Iterator, List, Optional, Sequence, Tuple

__all__ = ["HeldTexts"]

_PLAIN_BYTES = 128 << 20  # held as they are, before chunks are compressed
_PLAIN_SHARE = 32  # or this share of the machine's memory, where that is more


class HeldTexts:
    """Tree texts, held a chunk at a time; iterating gives them back in order."""

    def __init__(self, memory: Optional[int] = None) -> None:
        """``memory``: the machine's, for how much is held as it is (see above)."""
        self._plain_bytes = _PLAIN_BYTES if memory is None else max(_PLAIN_BYTES,
                                                                    memory // _PLAIN_SHARE)
        # The texts joined (a zlib stream when compressed), whether compressed, their lengths.
        self._chunks: List[Tuple[bytes, bool, "array[int]"]] = []
        self._rows: Optional["array[int]"] = None  # the texts given back (ascending); None: all
        self.n_texts = 0  # texts added
        self.nbytes = 0  # bytes held

    def add(self, texts: Sequence[str]) -> None:
        """Hold these texts after those added before."""
        data = [text.encode() for text in texts]
        blob = b"".join(data)
        compressed = self.nbytes + len(blob) > self._plain_bytes
        if compressed:
            blob = zlib.compress(blob, 1)
        lengths = array("q", map(len, data))
        self._chunks.append((blob, compressed, lengths))
        self.n_texts += len(data)
        self.nbytes += len(blob) + lengths.itemsize * len(lengths)

    def chosen(self, rows: Sequence[int]) -> "HeldTexts":
        """The texts at ``rows`` (ascending, no repeats) of those this gives back, sharing
        what is held."""
        out = HeldTexts()
        out._chunks, out.n_texts, out.nbytes = self._chunks, self.n_texts, self.nbytes
        picked = array("q", (int(r) for r in rows))
        if any(b <= a for a, b in zip(picked, picked[1:])):
            raise ValueError("rows must be strictly ascending")
        if len(picked) and not 0 <= picked[0] <= picked[-1] < len(self):
            raise ValueError(f"rows beyond the {len(self)} texts held")
        out._rows = picked if self._rows is None else \
            array("q", (self._rows[r] for r in picked))
        return out

    def __len__(self) -> int:
        return self.n_texts if self._rows is None else len(self._rows)

    def __iter__(self) -> Iterator[str]:
        rows = self._rows
        k = 0  # the next of rows to give back
        first = 0  # the index of the chunk's first text among all added
        for blob, compressed, lengths in self._chunks:
            end = first + len(lengths)
            wanted: Sequence[int] = range(len(lengths))
            if rows is not None:
                picked = []
                while k < len(rows) and rows[k] < end:
                    picked.append(rows[k] - first)
                    k += 1
                wanted = picked
            if wanted:
                data = zlib.decompress(blob) if compressed else blob
                at = [0, *accumulate(lengths)]
                for i in wanted:
                    yield data[at[i]:at[i + 1]].decode()
            first = end
