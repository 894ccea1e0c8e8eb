"""DensityPeakClustering on a Dask cluster: the single-machine estimator's
results, bit for bit, for points no single machine holds."""

from __future__ import annotations

import atexit
import contextlib
import dataclasses
import multiprocessing
import os
import tempfile
from numbers import Integral
from typing import Any

import numpy as np

from dask import delayed

from .. import validation
from .. import estimator as single
from .._params import BASES, Parameter, constraints_of, init_of
from ..progress import StageTimer
from ..validation import Interval
from . import merging, run, tasks
from .dask_tools import gather
from .local import local_cluster

# Rows per chunk when the points come as a NumPy array.
ARRAY_CHUNK_ROWS = 1_000_000
# Points per box at most: a box's table of 31 columns is then ~0.9 GB. Fewer,
# larger boxes have fewer points near a wall (which ask other boxes) and
# fewer tasks, each with its fixed cost of scheduling and transfer.
POINTS_PER_BOX = 2_500_000
# A box's table takes at most this share of its worker's memory limit: a
# worker runs one box's task at a time beside the tables it holds (which
# Dask spills), and the task's arrays cannot be spilled; the share leaves
# room below the limit's 95% at which the nanny restarts a worker.
BOX_SHARE_OF_WORKER = 1 / 8
# The per-point results: Dask arrays whose pieces the workers hold.
OUTPUTS = ("labels_", "rho_", "delta_", "nn_delta_")
# Set while a local cluster starts: where a worker process that finds itself
# re-running a script's unguarded top level leaves word of it (see
# _start_local_cluster).
UNGUARDED_FLAG = "QUARNEL_CLUSTER_UNGUARDED_FLAG"
UNGUARDED = ("a local Dask cluster cannot be started from the top level of a script, which "
             "its worker processes import again: put the code that fits the model under "
             "`if __name__ == \"__main__\":`")


def box_points(columns: int, memory_limits: list[int]) -> int:
    """Points per box: POINTS_PER_BOX, fewer where a box's table (`columns`
    of 12 bytes a point) would take more than BOX_SHARE_OF_WORKER of the
    smallest worker memory limit (0: none)."""
    limits = [m for m in memory_limits if m > 0]
    if not limits:
        return POINTS_PER_BOX
    return max(1, min(POINTS_PER_BOX, int(min(limits) * BOX_SHARE_OF_WORKER) // (12 * columns)))


class DensityPeakClustering(*BASES):  # type: ignore[misc]
    """Density-peak clustering spread over the workers of a Dask cluster.

    Takes every parameter of `quarnel_cluster.DensityPeakClustering` and
    returns the same clusters, densities and parent links, bit for bit, for
    any number of workers and any partitioning; the points and the per-point
    results stay on the workers as Dask arrays. It has no `predict` and no
    `density_graph_`: both would need every point on the client.

    Space is cut into boxes and each box's worker finds its points'
    neighbours, asking other boxes only about points near its walls; the
    bandwidth, the densities and the merging threshold come from per-box
    results; the clustering stages run on the boxes too, and only centres
    and per-cluster summaries reach the client (see
    quarnel_cluster.distributed.run). `relabel` cuts a fitted model again
    for another ``n_clusters`` or threshold from those summaries, without a
    new neighbour search.

    Parameters
    ----------
    n_neighbors, delta_neighbors, bandwidth, test_size, xtol, threshold, \
threshold_scale, alpha, min_search, n_clusters, min_cluster_size, noise, \
random_state, verbose
        As for `quarnel_cluster.DensityPeakClustering`.
    metric : {"euclidean", "cosine"}, default="euclidean"
        As for `quarnel_cluster.DensityPeakClustering`: "cosine" scales each
        chunk's rows to unit length. "precomputed" is refused: the run cuts
        space into boxes by the points' coordinates, which a neighbour graph
        does not have.
    client : distributed.Client or None, default=None
        The cluster to run on. None: the current default client, or else a
        new `distributed.LocalCluster` of `n_workers` processes, whose
        client becomes the default: estimators without a client run on it
        too, and it shuts down when the last of them calls `close()` (or
        else at the end of the program). Its workers import the main
        script again: a script must start it under
        ``if __name__ == "__main__":``.
    n_workers : int or None, default=None
        Worker processes of a local cluster started by the estimator (None:
        Dask's default for this machine).
    n_partitions : int or None, default=None
        Boxes space is cut into (None: the same number for every worker, at
        least two each, and at least one per 2.5 million points, or per
        fewer where a box's table would take more than an eighth of a
        worker's memory limit). Changes the work's spread, never the result.

    Attributes
    ----------
    labels_, rho_, delta_, nn_delta_ : dask.array.Array of shape (n_samples,)
        As the single-machine attributes of the same names, uncomputed
        (``.compute()`` brings them here). After `close()`, Dask arrays over
        the results computed before the cluster shut down.
    centers_ : ndarray of int64
        Indices of the cluster centres.
    n_clusters_, bandwidth_, threshold_, search_size_, n_neighbors_, \
n_features_in_, merge_tree_
        As for the single-machine estimator.
    client_ : distributed.Client
        The client the fit ran on.

    Examples
    --------
    >>> import numpy as np
    >>> from distributed import Client, LocalCluster
    >>> from quarnel_cluster.distributed import DensityPeakClustering
    >>> rng = np.random.default_rng(0)
    >>> X = np.vstack([rng.normal(0, 1, (100, 2)), rng.normal(10, 1, (100, 2))])
    >>> with LocalCluster(n_workers=1, processes=False) as cluster, Client(cluster) as c:
    ...     model = DensityPeakClustering(client=c).fit(X)
    ...     model.n_clusters_
    2

    In a script, a local cluster of processes started by the estimator:

    >>> if __name__ == "__main__":  # doctest: +SKIP
    ...     model = DensityPeakClustering(n_workers=2).fit(X)
    ...     labels = model.labels_.compute()
    ...     model.close()
    """

    # The single-machine estimator's parameters, then those of the cluster.
    _parameters = (
        *single.DensityPeakClustering._parameters,
        Parameter("client", None, [None, validation.InstanceOf(object, "distributed.Client")]),
        Parameter("n_workers", None, [Interval(Integral, 1, None, closed="left"), None]),
        Parameter("n_partitions", None, [Interval(Integral, 1, None, closed="left"), None]),
    )
    _parameter_constraints: dict[str, list[Any]] = constraints_of(_parameters)
    __init__ = init_of(_parameters)

    # The single-machine estimator's checks of the parameters, as they are.
    _checked_params = single.DensityPeakClustering._checked_params

    def _client(self) -> Any:
        from distributed import Client, default_client
        if self.client is not None:
            return self.client
        shared = getattr(self, "_started", None)
        if shared is not None:
            return shared.client
        try:
            client = default_client()
        except ValueError:
            cluster = _start_local_cluster(self.n_workers)
            try:
                client = Client(cluster)
            except BaseException:
                cluster.close()
                raise
            self._started = _Shared(cluster, client)
            return client
        # The default client may be that of a local cluster another
        # estimator started: this one then holds it open too, so that the
        # other's close() leaves this one's results on its workers.
        shared = _Shared.running
        if shared is not None and shared.client is client:
            shared.users += 1
            self._started = shared
        return client

    def close(self) -> None:
        """Let go of the local cluster that `fit` started, if any: it
        shuts down once every estimator that runs on it has closed.

        The per-point results of a fit on it are computed first: they
        stay readable, as Dask arrays over arrays in this process (32 bytes
        a point). Results on a cluster of the user's are left where they
        are.
        """
        shared = getattr(self, "_started", None)
        if shared is None:
            return
        self._started = None
        client = shared.client
        try:
            if getattr(self, "client_", None) is client:
                import dask.array as da
                names = [name for name in OUTPUTS if name in self.__dict__]
                arrays = [getattr(self, name) for name in names]
                values = client.gather(client.compute(arrays))
                for name, array, value in zip(names, arrays, values):
                    # name=False: no hashing of the values for a key.
                    setattr(self, name, da.from_array(value, chunks=array.chunks, name=False))
                self._fitted = None
        finally:
            shared.release()

    def fit(self, X: Any, y: Any = None) -> "DensityPeakClustering":
        """Cluster the points of X.

        Parameters
        ----------
        X : dask.array.Array, array-like or str of shape (n_samples, n_features)
            A Dask array, a NumPy array, or the path of a Zarr array or of
            Parquet files (read by the workers). At least 2 finite points.
        y : None
            Ignored.

        Returns
        -------
        self : DensityPeakClustering
            The fitted estimator.
        """
        p = self._checked_params()
        if p["metric"] == "precomputed":
            raise ValueError(f"{type(self).__name__} of quarnel_cluster.distributed does not "
                             "take metric='precomputed': it cuts space into boxes by the "
                             "points' coordinates, which a neighbour graph does not have; fit "
                             "quarnel_cluster.DensityPeakClustering on the graph instead.")
        client = self._client()
        x, diagonal, dim, one = _checked_points(client, _points(X), p, type(self).__name__)
        if one:
            self._fit_one_cluster(p, x, dim, client)
            return self
        n = x.shape[0]
        boxes = p["n_partitions"] or _box_count(client, n, p["n_neighbors"])
        settings = run.Settings.of(p)
        timer = StageTimer(bool(self.verbose), n)
        fitted = run.fit(client, x, settings, boxes, timer, diagonal, dim)
        self.timings_ = dict(timer.timings)
        self._keep_fit(fitted, x, client)
        return self

    def _fit_one_cluster(self, p: dict[str, Any], x: Any, dim: int, client: Any) -> None:
        """The fit when all points of x are one: the single-machine
        estimator's, its per-point results Dask arrays chunked like x."""
        import dask.array as da
        n, chunks = x.shape[0], x.chunks[0]
        what = ("rows of X point the same way" if p["metric"] == "cosine"
                else "points of X coincide")
        bandwidth, rho, threshold = single.one_cluster(p, f"all {n} {what}", dim)
        self.labels_ = da.zeros(n, chunks=chunks, dtype=np.int64)
        self.rho_ = da.full(n, rho, chunks=chunks, dtype=np.float64)
        self.delta_ = da.zeros(n, chunks=chunks, dtype=np.float64)
        # Every point hangs from the first.
        self.nn_delta_ = da.where(da.arange(n, chunks=chunks) == 0, -1, 0).astype(np.int64)
        self.centers_ = np.zeros(1, np.int64)
        self.n_clusters_ = 1
        self.bandwidth_ = bandwidth
        self.threshold_ = threshold
        self.search_size_ = 1
        self.n_neighbors_ = 1
        self.n_features_in_ = x.shape[1]
        self.client_ = client
        self.timings_ = {}
        self._fitted = None
        self._one_cluster = True
        self.__dict__.pop("_merge_rule", None)

    def _keep_fit(self, fitted: run.Fitted, x: Any, client: Any) -> None:
        """The attributes of the run `fitted` of the points x on `client`."""
        for name, dtype in (("labels", np.int64), ("rho", np.float64), ("delta", np.float64),
                            ("nn_delta", np.int64)):
            setattr(self, name + "_", run.output(fitted, name, x.chunks[0], dtype))
        self.centers_ = fitted.centers
        self.n_clusters_ = int(len(fitted.centers))
        self.bandwidth_ = fitted.bandwidth
        self.threshold_ = fitted.threshold
        self.search_size_ = fitted.search_size
        self.n_neighbors_ = fitted.n_neighbors
        self.n_features_in_ = x.shape[1]
        self.client_ = client
        self._fitted = fitted
        self._one_cluster = False
        self.__dict__.pop("_merge_rule", None)

    def relabel(self, n_clusters: int | None = None, threshold: float | None = None,
                min_cluster_size: int | None = None) -> "DensityPeakClustering":
        """Cut the fitted clusters again, without a new neighbour search.

        The fit keeps every density peak it found and the saddles between
        them on the client, and every point's cluster before the merging on
        the workers; this runs the merging again on the client with other
        settings and replaces ``labels_``, ``centers_``, ``n_clusters_``,
        ``delta_`` and ``nn_delta_``, exactly as a fit with those settings
        would set them. The per-point results stay uncomputed Dask arrays,
        which map the fit's chunks when computed: it takes a fraction of the
        fit's time, and the workers must still be there.

        Parameters
        ----------
        n_clusters, threshold, min_cluster_size
            As for `quarnel_cluster.DensityPeakClustering.relabel`.

        Returns
        -------
        self : DensityPeakClustering
        """
        if self.__dict__.get("_one_cluster"):
            return self     # all points were one: one cluster, whatever is asked
        fitted = self.__dict__.get("_fitted")
        if fitted is None and hasattr(self, "labels_"):
            raise RuntimeError("relabel needs the workers that hold the fit's results, and "
                               "close() let them go; fit again with the new settings")
        single.check_relabel(self, fitted, n_clusters, threshold, min_cluster_size)
        rule, fit_threshold, min_size = single.relabel_settings(
            fitted.tree.rule, fitted.threshold, fitted.n_distinct, fitted.n_neighbors,
            n_clusters, threshold, min_cluster_size)
        chunks = self.rho_.chunks[0]
        offsets = np.concatenate([[0], np.cumsum(chunks)]).astype(int).tolist()
        parts, centres = merging.relabelled(self.client_, fitted.tree, fitted.parts,
                                            fitted.copies, offsets[:-1], rule, min_size,
                                            n_clusters)
        cut = dataclasses.replace(fitted, parts=parts)
        self.labels_ = run.output(cut, "labels", chunks, np.int64)
        self.delta_ = run.output(cut, "delta", chunks, np.float64)
        self.nn_delta_ = run.output(cut, "nn_delta", chunks, np.int64)
        if fitted.n_distinct < offsets[-1]:
            centres = gather(self.client_, delayed(tasks.original)(fitted.copies,
                                                                           centres))
        self.centers_ = np.asarray(centres, dtype=np.int64)
        self.n_clusters_ = int(len(centres))
        self.threshold_ = fit_threshold
        self._merge_rule = fitted.tree.rule if threshold is None else float(threshold)
        return self

    @property
    def merge_tree_(self) -> dict[str, np.ndarray]:
        """As the single-machine estimator's ``merge_tree_``: every meeting
        of two groups of peaks as the saddles go down, with the rows of X of
        their peaks, the saddle's and the peaks' log-densities, the groups'
        sizes and the lower group's ``standing`` (its height above the
        saddle in units of the depth the merging test asks there; at least
        1 where it stays apart). Built on the client on first access (with
        copies of points among X, one pass over the results to count
        them)."""
        fitted = self.__dict__.get("_fitted")
        if fitted is None:
            raise AttributeError(f"'{type(self).__name__}' object has no attribute "
                                 "'merge_tree_'")
        rule = self.__dict__.get("_merge_rule", fitted.tree.rule)
        found = self.__dict__.get("_merge_tree")
        if found is None or found[0] is not fitted or found[1] != rule:
            offsets = np.concatenate([[0], np.cumsum(self.rho_.chunks[0])]).astype(int)
            found = (fitted, rule, merging.merge_tree(self.client_, fitted.tree, fitted.parts,
                                                      fitted.copies, offsets[:-1].tolist(),
                                                      fitted.n_distinct < offsets[-1], rule))
            self._merge_tree = found
        return found[2]

    def fit_predict(self, X: Any, y: Any = None, **kwargs: Any) -> Any:
        """Cluster X and return ``labels_`` (a Dask array)."""
        return self.fit(X).labels_

    def predict(self, X: Any) -> np.ndarray:
        """Not available on a distributed fit: its training points stay on
        the workers."""
        raise NotImplementedError("predict needs the training points in memory; fit "
                                  "quarnel_cluster.DensityPeakClustering for that")

    def __sklearn_tags__(self) -> Any:
        """As the single-machine estimator's: dense 2-D input without NaN;
        results vary between fits only when the bandwidth search draws a
        fresh split."""
        tags = super().__sklearn_tags__()  # type: ignore[misc]
        tags.input_tags.sparse = False
        tags.input_tags.allow_nan = False
        tags.non_deterministic = (self.bandwidth is None
                                  and not isinstance(self.random_state, Integral))
        return tags


class _Shared:
    """A local cluster an estimator started, and its client: the default
    client, which every estimator without a `client` then runs on. Each of
    them is one of its `users`; the last one's close() shuts it down, or
    else the end of the program."""

    # The one whose client is the default, if any.
    running: _Shared | None = None

    def __init__(self, cluster: Any, client: Any) -> None:
        self.cluster, self.client, self.users = cluster, client, 1
        _Shared.running = self
        # Left to Dask's own exit hooks, the workers go before the client
        # lets go of their results, and the scheduler warns of lost tasks.
        atexit.register(self.shut_down)

    def release(self) -> None:
        self.users -= 1
        if self.users == 0:
            atexit.unregister(self.shut_down)
            self.shut_down()

    def shut_down(self) -> None:
        """Closes the client, then the cluster, once and without a word."""
        if _Shared.running is self:
            _Shared.running = None
        cluster, self.cluster = self.cluster, None
        if cluster is None:
            return
        with contextlib.suppress(Exception):
            self.client.close()
        with contextlib.suppress(Exception):
            cluster.close()


def _start_local_cluster(n_workers: int | None) -> Any:
    """local_cluster(n_workers), or one line on a script without the
    ``if __name__ == "__main__":`` guard.

    Worker processes start by importing the main script again (the
    "spawn" start method); without the guard, that import runs the fit
    again, whose local cluster multiprocessing refuses to start in a process
    still starting, with a long traceback from every worker and then from
    the script. Such a worker process leaves a flag and ends quietly, and
    the script is told in one line.
    """
    if getattr(multiprocessing.current_process(), "_inheriting", False):
        flag = os.environ.get(UNGUARDED_FLAG)
        if flag is None:
            raise SystemExit(UNGUARDED)
        with contextlib.suppress(OSError):
            open(flag, "w").close()
        raise SystemExit(1)
    with tempfile.TemporaryDirectory(prefix="quarnel-cluster-") as folder:
        flag = os.path.join(folder, "unguarded")
        before = os.environ.get(UNGUARDED_FLAG)
        # Inherited by the worker processes, which read it only while they
        # start; this process's environment is as it was once they have.
        os.environ[UNGUARDED_FLAG] = flag
        try:
            return local_cluster(n_workers)
        except Exception:
            if os.path.exists(flag):
                raise RuntimeError(UNGUARDED) from None
            raise
        finally:
            if before is None:
                os.environ.pop(UNGUARDED_FLAG, None)
            else:
                os.environ[UNGUARDED_FLAG] = before


def _checked_points(client: Any, x: Any, p: dict[str, Any], owner: str
                    ) -> tuple[Any, float, int, bool]:
    """(the points x, checked as the single-machine estimator checks them,
    as unit rows with metric="cosine"; the diagonal of their bounding box,
    as the peak search sums it; the density's dimension; whether they are
    all one point)."""
    validation.check_shape(x.shape, owner)
    n, d = x.shape
    lo, hi = client.gather(client.compute([x.min(axis=0), x.max(axis=0)]))
    if not (np.all(np.isfinite(lo)) and np.all(np.isfinite(hi))):
        what = "NaN" if np.isnan(lo).any() or np.isnan(hi).any() else "infinity"
        raise ValueError(f"Input X contains {what}; {owner} does not accept missing "
                         "values.")
    validation.check_magnitude(max(-lo.min(), hi.max()), d)
    dim = d
    if p["metric"] == "cosine":
        # Row by row as on one machine, so the same unit rows.
        validation.check_directions(x.shape, owner)
        import dask.array as da
        zero = da.all(x == 0, axis=1)
        validation.check_directions(x.shape, owner, *client.gather(client.compute(
            [zero.sum(), da.argmax(zero)])))
        x = x.map_blocks(validation.unit_rows, owner, dtype=np.float64)
        lo, hi = client.gather(client.compute([x.min(axis=0), x.max(axis=0)]))
        dim = d - 1
    if not single.pipeline.kernel_fits(dim, min(p["n_neighbors"], n)):
        raise ValueError(f"X has {d} features: the kernel's normalisation overflows in "
                         "that many dimensions; reduce them first (e.g. with PCA)")
    total = 0.0
    for j in range(d):
        e = float(hi[j]) - float(lo[j])
        total = total + e * e
    return x, float(np.sqrt(total)), dim, bool(np.all(lo == hi))


def _box_count(client: Any, n: int, n_neighbors: int) -> int:
    """Boxes for n points: a whole number per worker (a worker's peak is its
    boxes' tables, so one box more on some workers sets the run's peak), at
    least 2, of at most box_points each."""
    info = client.scheduler_info().get("workers", {})
    workers = max(1, len(info))
    per_box = box_points(min(n_neighbors, n) + 1,
                         [w.get("memory_limit") or 0 for w in info.values()])
    return workers * max(2, -(-n // (per_box * workers)))


def _points(X: Any) -> Any:
    """X as a float64 Dask array with one chunk across the columns."""
    import dask.array as da
    if isinstance(X, str) or hasattr(X, "__fspath__"):
        from . import store
        x = store.read_points(X)
    elif isinstance(X, da.Array):
        x = X
    else:
        arr = validation.check_points(X, "DensityPeakClustering")
        x = da.from_array(arr, chunks=(ARRAY_CHUNK_ROWS, arr.shape[1]))
    if x.ndim != 2:
        raise ValueError(f"Expected 2D array, got {x.ndim}D array instead.")
    if np.issubdtype(x.dtype, np.complexfloating):
        raise ValueError(f"Complex data not supported: X has dtype {x.dtype}")
    if not np.issubdtype(x.dtype, np.number):
        raise TypeError(f"X must hold numbers, not {x.dtype}")
    x = x.astype(np.float64)
    if x.numblocks[1] != 1:
        x = x.rechunk({1: -1})
    return x
