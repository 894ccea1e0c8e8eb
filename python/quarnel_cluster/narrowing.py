"""The neighbour table's leading columns, narrowed without new memory.

After the density a run reads only the first `width` distances (the peaks)
and the first `list_width` indices (the peaks, the merging, the controls).
Copying those out while both full tables are alive would add the copies to
the run's peak memory, which the full tables already set. Instead the index
table's own buffer takes both: its rows are compacted in place to their
first list_width indices, and the narrow distances are written behind them.
The full distances can then go before anything new is allocated.
"""

from __future__ import annotations

import numpy as np

from .pipeline import F64, I64

# Rows compacted at once: an overlapping block is copied through a
# temporary of its size.
BLOCK_ENTRIES = 1 << 20


def pack_leading_columns(nn_dist: F64, table: I64, width: int,
                         list_width: int) -> tuple[F64, I64] | None:
    """(the first `width` columns of nn_dist, the first `list_width` columns
    of `table`) as C-contiguous views into table's buffer, whose full rows
    are overwritten; None, with nothing changed, when the buffer has no
    room for both or is not one plain writable int64 block of its own."""
    n, columns = table.shape
    if (columns < width + list_width or table.dtype != np.int64 or n == 0
            or not table.flags.c_contiguous or not table.flags.writeable
            or np.may_share_memory(table, nn_dist)):
        return None
    flat = table.reshape(-1)
    rows = max(1, BLOCK_ENTRIES // columns)
    for start in range(0, n, rows):
        stop = min(n, start + rows)
        # Row i moves from i * columns to i * list_width: never ahead of
        # rows still unread.
        flat[start * list_width:stop * list_width].reshape(stop - start, list_width)[...] = \
            table[start:stop, :list_width]
    dist = flat[n * list_width:n * (list_width + width)].view(np.float64).reshape(n, width)
    dist[...] = nn_dist[:, :width]
    return dist, flat[:n * list_width].reshape(n, list_width)
