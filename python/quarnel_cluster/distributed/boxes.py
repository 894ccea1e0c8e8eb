"""Space cut into boxes, so that each worker searches neighbours among the
points of one box and asks the other boxes only about points near their
walls.

The cuts come from a sample of the points: a box is split at the median of
its widest coordinate (at a quantile when the leaves under it are uneven in
number) until there are as many boxes as asked for. The outer walls lie at
infinity, so every point falls in exactly one box: the one with
lo <= x < hi in every coordinate. Where the cuts fall changes only how the
work is shared, never a result.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

F64 = npt.NDArray[np.float64]
I64 = npt.NDArray[np.int64]

# Most cells of the grid of all walls for which Boxes.of looks rows up in it.
GRID_CELLS = 1 << 20


@dataclass(frozen=True)
class Boxes:
    lo: F64    # n_boxes x d, lower walls (-inf at the outside)
    hi: F64    # n_boxes x d, upper walls (+inf at the outside)

    def __len__(self) -> int:
        return len(self.lo)

    def of(self, x: F64) -> I64:
        """The box of every row of x."""
        d = self.lo.shape[1] if len(self) else 0
        walls = [np.unique(np.concatenate([self.lo[:, j], self.hi[:, j]])) for j in range(d)]
        walls = [w[np.isfinite(w)] for w in walls]
        if len(self) and np.prod([len(w) + 1.0 for w in walls]) <= GRID_CELLS:
            return self._by_grid(x, walls)
        box = np.full(len(x), -1, dtype=np.int64)
        for b in range(len(self)):
            inside = np.all((x >= self.lo[b]) & (x < self.hi[b]), axis=1)
            box[inside] = b
        return box

    def _by_grid(self, x: F64, walls: list[F64]) -> I64:
        """of() through the grid of all the walls: a coordinate's cell along
        an axis is the number of walls at or below it, and every cell lies in
        one box (lo <= v < hi along an axis is lo's cell <= v's cell < hi's
        cell), so one lookup per row replaces a test against every box."""
        shape = tuple(len(w) + 1 for w in walls)
        grid = np.full(shape, -1, dtype=np.int64)
        for b in range(len(self)):
            cells = tuple(slice(int(np.searchsorted(w, lo, side="right")),
                                int(np.searchsorted(w, hi, side="right")) if np.isfinite(hi)
                                else len(w) + 1)
                          for w, lo, hi in zip(walls, self.lo[b], self.hi[b]))
            grid[cells] = b
        cell = np.zeros(len(x), dtype=np.int64)
        for j, w in enumerate(walls):
            cell = cell * shape[j] + np.searchsorted(w, x[:, j], side="right")
        return grid.ravel()[cell]

    def gaps(self, x: F64) -> F64:
        """Distance from every row of x to every box (0 inside it): rows x
        boxes. Computed as a neighbour distance is (squares summed in column
        order, then the root); a point of box b is never nearer than this."""
        out = np.empty((len(x), len(self)))
        for b in range(len(self)):
            out[:, b] = self.gap(x, b)
        return out

    def wall_distance(self, x: F64, b: int) -> F64:
        """For rows of x inside box b: the distance to b's nearest wall, never
        above any of their gaps() to another box. Another box lies beyond one
        of b's walls along some axis j, so that gap's term on j is at least
        the row's distance to the wall (subtraction rounds monotonically),
        and a rounded sum of squares is never below one of its terms."""
        inside = np.minimum(x - self.lo[b], self.hi[b] - x).min(axis=1, initial=np.inf)
        return np.sqrt(inside * inside)

    def gap(self, x: F64, b: int) -> F64:
        """gaps(x)[:, b]."""
        below = np.maximum(self.lo[b] - x, 0.0)
        above = np.maximum(x - self.hi[b], 0.0)
        g = np.maximum(below, above)
        s = np.zeros(len(x))
        for j in range(x.shape[1]):
            s = s + g[:, j] * g[:, j]
        return np.sqrt(s)


def cut(sample: F64, n_boxes: int) -> Boxes:
    """n_boxes boxes holding about equal shares of `sample`."""
    d = sample.shape[1]
    lo = np.full(d, -np.inf)
    hi = np.full(d, np.inf)
    los: list[F64] = []
    his: list[F64] = []

    def split(points: F64, lo: F64, hi: F64, leaves: int) -> None:
        if leaves == 1 or len(points) < 2:
            # Too few sample points to cut further: the remaining leaves
            # would be empty; fewer boxes it is.
            los.append(lo)
            his.append(hi)
            return
        axis = int(np.argmax(points.max(axis=0) - points.min(axis=0)))
        left = leaves // 2
        at = float(np.quantile(points[:, axis], left / leaves))
        if not points[:, axis].min() < at:
            los.append(lo)
            his.append(hi)
            return
        below = points[:, axis] < at
        hi_left, lo_right = hi.copy(), lo.copy()
        hi_left[axis] = at
        lo_right[axis] = at
        split(points[below], lo, hi_left, left)
        split(points[~below], lo_right, hi, leaves - left)

    split(np.asarray(sample, dtype=np.float64), lo, hi, max(1, int(n_boxes)))
    return Boxes(np.array(los), np.array(his))
