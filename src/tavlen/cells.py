"""The cells of a result grid that a block changed: how a block's partial
result is packed, shipped and added, at a cost that follows the cells it
touched rather than the size of the grid."""

from __future__ import annotations

from typing import Any

import numpy as np

from .individual import add_cells

__all__ = ["Cells", "add_into", "dense"]

#: Positions fit 32 bits in grids of fewer cells than this.
_SMALL = 1 << 31


class Cells:
    """The nonzero cells of an array: their flat positions, ascending, and
    their values, with the array's shape and type.

    Adding them to a total gives what adding the whole array gives, bit for
    bit: a skipped cell holds 0 or -0.0, and adding either to a total leaves
    it as it is (a total begins at +0.0 and a sum of floats is -0.0 only
    when both terms are, so no total is ever -0.0). NaN is not zero and is kept.
    """

    __slots__ = ("shape", "positions", "values")

    def __init__(self, shape: tuple[int, ...], positions: np.ndarray, values: np.ndarray) -> None:
        self.shape = tuple(shape)
        self.positions = positions
        self.values = values

    @classmethod
    def of(cls, array: np.ndarray) -> Cells:
        flat = np.ravel(array)
        positions = np.flatnonzero(flat != 0)  # through a mask: several times faster on floats
        if flat.size < _SMALL:
            positions = positions.astype(np.uint32)
        return cls(array.shape, positions, flat[positions])

    @classmethod
    def taken(cls, array: np.ndarray, offsets: bytes | None) -> Cells:
        """The nonzero cells among the flat offsets (native int64 bytes,
        ascending, each once) of a contiguous array, which are left zero:
        what an Individual's record of its changed cells hands over. With
        no offsets (the record was lost) every cell is taken."""
        if offsets is None or not array.flags.c_contiguous:
            cells = cls.of(array)
            array[...] = 0
            return cells
        flat = array.reshape(-1)
        positions = np.frombuffer(offsets, dtype=np.int64)
        values = flat[positions]
        flat[positions] = 0
        kept = values != 0
        positions, values = positions[kept], values[kept]
        if flat.size < _SMALL:
            positions = positions.astype(np.uint32)
        return cls(array.shape, positions, values)

    @property
    def dtype(self) -> np.dtype[Any]:
        return self.values.dtype

    @property
    def nbytes(self) -> int:
        return self.positions.nbytes + self.values.nbytes

    def __reduce__(self) -> tuple[Any, ...]:
        return (Cells, (self.shape, self.positions, self.values))

    def __repr__(self) -> str:
        return f"Cells(shape={self.shape}, {len(self.values)} of {int(np.prod(self.shape))} cells, {self.dtype})"


def add_into(total: np.ndarray, part: np.ndarray | Cells, *totals: np.ndarray) -> None:
    """total += part, for a whole array or its nonzero cells, and the same
    for each further array of ``totals`` (sub-sample sums): the cells are
    checked and indexed once for all of them."""
    targets = (total, *totals)
    if not isinstance(part, Cells):
        for target in targets:
            target += part
        return
    does_not_fit = f"{part!r} does not fit an array of shape {total.shape}"
    if len(part.positions) != len(part.values):
        raise ValueError(does_not_fit)
    if any(not target.flags.c_contiguous or target.size != total.size for target in targets):
        raise ValueError("cells are added into contiguous arrays of their shape")
    # The engine adds the usual kinds in one pass over the cells, checking
    # them first: NumPy's fancy indexing would read, add and write in three.
    try:
        if add_cells(part.positions, part.values, targets):
            return
    except ValueError:
        raise ValueError(does_not_fit) from None
    positions = part.positions
    if len(positions) and (int(positions[0]) < 0 or int(positions[-1]) >= total.size
                           or np.any(positions[1:] <= positions[:-1])):
        # Each cell once, inside the array: a position given twice would be added once,
        # and a negative one would count from the end.
        raise ValueError(does_not_fit)
    positions = positions.astype(np.intp, copy=False)
    for target in targets:
        target.reshape(-1)[positions] += part.values


def dense(part: np.ndarray | Cells) -> np.ndarray:
    """The whole array of a block's partial result."""
    if not isinstance(part, Cells):
        return part
    array = np.zeros(part.shape, dtype=part.dtype)
    array.reshape(-1)[part.positions] = part.values
    return array
