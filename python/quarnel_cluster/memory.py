"""Memory a fit needs against memory the machine has, checked before the
tables are built: a run that cannot fit is refused with a MemoryError
instead of meeting the kernel's out-of-memory killer half-way.
"""

from __future__ import annotations

from . import brute_force, neighbours

# Peak bytes of a fit above the input array, per point, measured as the rise
# of the peak resident set at 2*10^5 and 10^6 points (d = 2, 3; k = 30, 100)
# and rounded up: 16 per neighbour for the table plus the native search's
# row buffers, the density graph's Python lists, the labels, the copies of
# the points (sorting out duplicates, the copy kept for predict). A table
# with 32-bit indices (see neighbours.self_table) takes 4 bytes less per
# neighbour.
PER_NEIGHBOUR = 20
PER_NEIGHBOUR_INT32 = 16
PER_POINT = 300
PER_COORDINATE = 48


def fit_bytes(n: int, k: int, d: int) -> int:
    narrow = d <= neighbours.NATIVE_MAX_DIM and n <= neighbours.INT32_ROWS
    per_neighbour = PER_NEIGHBOUR_INT32 if narrow else PER_NEIGHBOUR
    need = n * (per_neighbour * k + PER_POINT + PER_COORDINATE * d)
    if d > neighbours.NATIVE_MAX_DIM:
        need += brute_force.BLOCK_BYTES
    return need


def _read_int(path: str) -> int | None:
    try:
        with open(path) as f:
            text = f.read().strip()
    except OSError:
        return None
    return int(text) if text.isdigit() else None


def available_bytes() -> int | None:
    """MemAvailable of /proc/meminfo, lowered to what the cgroup's memory
    limit (v2 or v1) leaves; None where neither can be read."""
    free: int | None = None
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    free = int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    for limit_file, usage_file in (("/sys/fs/cgroup/memory.max", "/sys/fs/cgroup/memory.current"),
                                   ("/sys/fs/cgroup/memory/memory.limit_in_bytes",
                                    "/sys/fs/cgroup/memory/memory.usage_in_bytes")):
        limit, used = _read_int(limit_file), _read_int(usage_file)
        if limit is not None and used is not None and limit < 1 << 60:
            room = max(limit - used, 0)
            free = room if free is None else min(free, room)
            break
    return free


def check_fits(n: int, k: int, d: int) -> None:
    need = fit_bytes(n, k, d)
    have = available_bytes()
    if have is None or need <= have:
        return
    gib = 1 << 30
    raise MemoryError(
        f"clustering {n} points of {d} columns with n_neighbors={k} needs about "
        f"{need / gib:.1f} GiB, but {have / gib:.1f} GiB are available: spread the run over "
        "several machines with quarnel_cluster.distributed (on the command line "
        "--scheduler ADDRESS; --workers N runs it on this machine alone), use fewer "
        "n_neighbors, or cluster a sample")

