"""The neighbour table's leading columns, narrowed without new memory.

After the density a run reads only the first `width` distances (the peaks)
and the first `list_width` indices (the peaks, the merging, the controls).
Copying those out while both full tables are alive would add the copies to
the run's peak memory, which the full tables already set. Instead one of the
two tables' own buffers takes both: its rows are compacted in place to their
leading columns, and the other table's leading columns are written behind
them. The other table can then go before anything new is allocated.

The index buffer is the host when it has room: it is the smaller of the two
with 32-bit indices, and as small as the distances with 64-bit ones. A
32-bit index row (4 bytes a column) seldom holds `width` float64 distances
and `list_width` indices, though; the distance buffer (8 bytes a column)
nearly always does, and then hosts them.
"""

from __future__ import annotations

import numpy as np

from .neighbours import Indices
from .records import F64

# Rows compacted at once: an overlapping block is copied through a
# temporary of its size.
BLOCK_ENTRIES = 1 << 20


def pack_leading_columns(nn_dist: F64, table: Indices, width: int,
                         list_width: int) -> tuple[F64, Indices] | None:
    """(the first `width` columns of nn_dist, the first `list_width` columns
    of `table`, in table's dtype) as C-contiguous views into the buffer of
    `table` or of `nn_dist`, whose full rows are overwritten; None, with
    nothing changed, when neither buffer has room for both or is one plain
    writable block of its own.

    nn_dist and table are full tables of the same row count (their column
    counts may differ: nn_dist may hold only the leading columns of the
    table's search), int32 or int64 indices."""
    n = len(table)
    if (n == 0 or len(nn_dist) != n or nn_dist.dtype != np.float64
            or table.dtype not in (np.int32, np.int64)
            or np.may_share_memory(table, nn_dist)
            or width > nn_dist.shape[1] or list_width > table.shape[1]):
        return None
    list_bytes = n * list_width * table.dtype.itemsize
    # The distances start on an 8-byte boundary: the native calls refuse
    # unaligned arrays (an odd count of 32-bit indices would misalign them).
    list_end = -(-list_bytes // 8) * 8
    if _can_host(table, list_end + n * width * 8):
        # The indices first, then the distances behind them.
        host = _compact(table, list_width)
        dist = host[list_end:list_end + n * width * 8].view(np.float64).reshape(n, width)
        dist[...] = nn_dist[:, :width]
        return dist, host[:list_bytes].view(table.dtype).reshape(n, list_width)
    if _can_host(nn_dist, n * width * 8 + list_bytes):
        # The distances first, then the indices behind them.
        host = _compact(nn_dist, width)
        base = n * width * 8
        nn_list = host[base:base + list_bytes].view(table.dtype).reshape(n, list_width)
        nn_list[...] = table[:, :list_width]
        return host[:base].view(np.float64).reshape(n, width), nn_list
    return None


def _can_host(table: np.ndarray, nbytes: int) -> bool:
    """Whether table's buffer holds nbytes and may be overwritten."""
    return table.nbytes >= nbytes and table.flags.c_contiguous and table.flags.writeable


def _compact(table: np.ndarray, columns: int) -> np.ndarray:
    """table's rows compacted in place to their first `columns` entries, at
    the start of its buffer; returns the whole buffer as bytes."""
    n, full = table.shape
    flat = table.reshape(-1)
    rows = max(1, BLOCK_ENTRIES // full)
    for start in range(0, n, rows):
        stop = min(n, start + rows)
        # Row i moves from i * full to i * columns: never ahead of rows
        # still unread.
        flat[start * columns:stop * columns].reshape(stop - start, columns)[...] = \
            table[start:stop, :columns]
    return flat.view(np.uint8)
