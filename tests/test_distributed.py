"""The run on a Dask cluster: the single-machine results bit for bit, a
worker killed in the middle of a fit, Zarr and Parquet through the command
line."""

import inspect
import os
import re
import signal
import subprocess
import sys
import threading

import numpy as np
import pytest

if os.environ.get("QUARNEL_SANITIZED"):
    pytest.skip("worker processes do not load the sanitizer runtime", allow_module_level=True)
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")
zarr = pytest.importorskip("zarr")
pd = pytest.importorskip("pandas")
try:
    import pyarrow  # noqa: F401
except ImportError as e:
    # Recent pyarrow (Parquet) needs NumPy 2: with NumPy 1.26 it fails to
    # import, and the module is skipped.
    pytest.skip(f"pyarrow cannot be imported: {e}", allow_module_level=True)

from quarnel_cluster import DensityPeakClustering, cli  # noqa: E402
from quarnel_cluster.distributed import DensityPeakClustering as OnDask  # noqa: E402
from quarnel_cluster.distributed import store  # noqa: E402
from quarnel_cluster.distributed.local import local_cluster  # noqa: E402

OUTPUTS = ("labels_", "rho_", "delta_", "nn_delta_")


def blobs(n, d, seed, grid=None):
    rng = np.random.default_rng(seed)
    centres = rng.uniform(0.0, 30.0, size=(8, d))
    x = centres[rng.integers(0, 8, n)] + rng.normal(0.0, 1.5, size=(n, d))
    if grid is not None:
        # Coordinates on a grid: many exact copies and equal distances.
        x = np.round(x / grid) * grid
    return x


def circles():
    # The noise test keeps arcs of each circle, which the excess of mass joins.
    from sklearn.datasets import make_circles
    return np.round(make_circles(10_000, noise=0.04, factor=0.5, random_state=0)[0] / 0.005) * 0.005


SETS = {"2-D on a grid": blobs(20_000, 2, 1, grid=0.05), "3-D": blobs(20_000, 3, 2),
        "circles": circles()}


@pytest.fixture(scope="module")
def client():
    with local_cluster(2, dashboard_address=":0") as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.fixture(scope="module")
def single():
    fits = {}

    def fit(name, **params):
        key = (name, tuple(sorted(params.items())))
        if key not in fits:
            fits[key] = DensityPeakClustering(**params).fit(SETS[name])
        return fits[key]
    return fit


def assert_same(model, expected):
    for name in OUTPUTS:
        np.testing.assert_array_equal(np.asarray(getattr(model, name)),
                                      getattr(expected, name), err_msg=name)
    np.testing.assert_array_equal(model.centers_, expected.centers_)
    assert model.bandwidth_ == expected.bandwidth_
    assert model.threshold_ == expected.threshold_


@pytest.mark.parametrize("name,n_partitions,params", [
    ("2-D on a grid", 1, {}),
    ("2-D on a grid", 3, {}),
    ("2-D on a grid", 8, {}),
    ("3-D", 8, {"noise": True, "n_clusters": 5}),
    ("circles", 3, {}),
])
def test_same_results_as_one_machine(client, single, name, n_partitions, params):
    # 3-D with default parameters: the killed-worker run. Chunks of the
    # input do not line up with the boxes.
    x = da.from_array(SETS[name], chunks=(7_000, -1))
    model = OnDask(client=client, n_partitions=n_partitions, **params).fit(x)
    assert_same(model, single(name, **params))


def test_relabel_equals_a_fresh_fit_and_one_machine(client, single):
    # Copies of points: the centres and the merge tree are named by index
    # among all points. The last cut goes back to the fit's own settings,
    # whose centres' parents the cuts before it changed.
    x = da.from_array(SETS["2-D on a grid"], chunks=(7_000, -1))
    model = OnDask(client=client, n_partitions=3).fit(x)
    expected = DensityPeakClustering().fit(SETS["2-D on a grid"])
    for name, value in expected.merge_tree_.items():
        np.testing.assert_array_equal(model.merge_tree_[name], value, err_msg=name)
    for settings in ({"n_clusters": 3}, {"threshold": 0.05, "min_cluster_size": 50}, {}):
        assert model.relabel(**settings) is model
        assert_same(model, expected.relabel(**settings))
        # The standings follow the cut's test, as on one machine.
        np.testing.assert_array_equal(model.merge_tree_["standing"],
                                      expected.merge_tree_["standing"])
        if settings:
            fresh = OnDask(client=client, n_partitions=5, **settings).fit(x)
            assert_same(fresh, expected)
    assert_same(model, single("2-D on a grid"))


def test_relabel_to_the_default_after_a_fit_given_k(client, single):
    # The fit given K never takes the default merging; relabel() does, with
    # the band masses the fit summed over the boxes.
    x = da.from_array(SETS["circles"], chunks=(3_000, -1))
    model = OnDask(client=client, n_partitions=3, n_clusters=4).fit(x)
    assert_same(model.relabel(), single("circles"))


def test_relabel_refuses_as_one_machine(client):
    def refusal(model, **settings):
        with pytest.raises(ValueError) as caught:
            model.relabel(**settings)
        return type(caught.value), str(caught.value)

    assert refusal(OnDask(client=client)) == refusal(DensityPeakClustering())
    x = SETS["3-D"][:2000]
    assert (refusal(OnDask(client=client, noise=True).fit(x), n_clusters=2)
            == refusal(DensityPeakClustering(noise=True).fit(x), n_clusters=2))
    assert (refusal(OnDask(client=client).fit(x), n_clusters=0)
            == refusal(DensityPeakClustering().fit(x), n_clusters=0))


def test_local_workers_share_the_cores(client):
    """Each worker's native pool gets its share of the cores (W pools of
    every core each made two workers' searches slower than one), and the
    client's own environment is left alone."""
    if "RAYON_NUM_THREADS" in os.environ:
        pytest.skip("the user's pool size is kept")
    shares = client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert set(shares.values()) == {str(max(1, len(os.sched_getaffinity(0)) // 2))}
    assert "RAYON_NUM_THREADS" not in os.environ


def test_a_killed_worker_changes_nothing(client, single):
    """One worker process is killed halfway through the fit's tasks (its
    nanny starts a new one); the fit ends with the undisturbed results."""
    def transitions(dask_scheduler):
        return dask_scheduler.transition_counter

    x = da.from_array(SETS["3-D"], chunks=(5_000, -1))
    # An undisturbed fit counts the scheduler's transitions; the same fit
    # again runs as many.
    start = client.run_on_scheduler(transitions)
    OnDask(client=client, n_partitions=4).fit(x)
    end = client.run_on_scheduler(transitions)
    halfway = end + (end - start) // 2

    victim = sorted(client.run(os.getpid).items())[0][1]
    killed = threading.Event()
    done = threading.Event()

    def kill_halfway():
        while not done.is_set():
            if client.run_on_scheduler(transitions) >= halfway:
                os.kill(victim, signal.SIGKILL)
                killed.set()
                return
            done.wait(0.005)

    killer = threading.Thread(target=kill_halfway)
    killer.start()
    try:
        model = OnDask(client=client, n_partitions=4).fit(x)
        results = {name: np.asarray(getattr(model, name)) for name in OUTPUTS}
    finally:
        done.set()
        killer.join()
    assert killed.is_set(), "the fit ended before the worker was killed"
    expected = single("3-D")
    for name in OUTPUTS:
        np.testing.assert_array_equal(results[name], getattr(expected, name), err_msg=name)
    np.testing.assert_array_equal(model.centers_, expected.centers_)
    client.wait_for_workers(2)


@pytest.mark.filterwarnings("ignore:Port 8787 is already in use")
@pytest.mark.parametrize("kind", ["zarr", "parquet"])
def test_command_line_on_a_cluster(tmp_path, capsys, client, single, kind):
    """Zarr in on a local cluster of the command line's own (--workers 2),
    Parquet in on a running one (--scheduler); Zarr out."""
    x = SETS["2-D on a grid"]
    if kind == "zarr":
        source = tmp_path / "points.zarr"
        zarr.create_array(str(source), data=x, chunks=(6_000, 1))
        argv = [str(source), "--workers", "2"]
    else:
        source = tmp_path / "points.parquet"
        frame = pd.DataFrame({"id": np.arange(len(x)), "x": x[:, 0], "name": "p",
                              "y": x[:, 1]})
        frame.to_parquet(source, row_group_size=4_000)
        argv = [str(source), "--columns", "x,y", "--scheduler", client.scheduler.address]
    out = tmp_path / "clusters.zarr"
    assert cli.main(argv + ["--quiet", "--out", str(out)]) == 0
    expected = single("2-D on a grid")
    summary = capsys.readouterr().out
    assert "dask workers         2 at tcp://" in summary
    assert f"clusters             {expected.n_clusters_}\n" in summary
    written = zarr.open_group(str(out), mode="r")
    for name in OUTPUTS:
        np.testing.assert_array_equal(written[name.rstrip("_")][:], getattr(expected, name),
                                      err_msg=name)


def test_parquet_files_are_read_in_natural_order(tmp_path):
    """part.10 after part.9; a DataFrame's index, written as a column, is
    no coordinate."""
    x = np.arange(66.0).reshape(33, 2)
    for i in range(11):
        frame = pd.DataFrame({"x": x[3 * i:3 * i + 3, 0], "y": x[3 * i:3 * i + 3, 1]},
                             index=pd.Index(np.arange(3 * i, 3 * i + 3), name="row"))
        frame.to_parquet(tmp_path / f"part.{i}.parquet")
    (tmp_path / "_SUCCESS").touch()
    read = store.read_points(tmp_path)
    assert read.dtype == np.float64 and read.chunks[0] == (3,) * 11
    np.testing.assert_array_equal(read.compute(), x)


@pytest.mark.parametrize("name,columns,error,message", [
    ("missing.zarr", None, FileNotFoundError, "No such file or directory"),
    ("points.csv", None, ValueError, "unsupported suffix '.csv'"),
    ("two.zarr", None, ValueError, "found 2 2-D arrays (a, b)"),
    ("table.parquet", ["name"], ValueError, "column 'name' is not numeric"),
    ("table.parquet", ["z"], ValueError, "no column 'z'; the columns are x, name"),
])
def test_store_errors(tmp_path, name, columns, error, message):
    (tmp_path / "points.csv").write_text("1,2\n")
    group = zarr.open_group(str(tmp_path / "two.zarr"), mode="w")
    group.create_array("a", data=np.zeros((4, 2)))
    group.create_array("b", data=np.zeros((4, 2)))
    pd.DataFrame({"x": [1.0, 2.0], "name": ["p", "q"]}).to_parquet(tmp_path / "table.parquet")
    with pytest.raises(error, match=re.escape(message)):
        store.read_points(tmp_path / name, columns)


def test_held_out_neighbours_read_off_the_table(client, monkeypatch):
    # From about 1.24 million points the bandwidth search reads its held-out
    # points' neighbours off the table's rows, which the boxes fetch for the
    # client; a smaller held-out part takes that road on a small set.
    from quarnel_cluster import pipeline
    monkeypatch.setattr(pipeline, "MAX_TEST_POINTS", 100)
    assert pipeline.reads_held_out_from_table(20_000, 30, 0.2)
    x = SETS["2-D on a grid"]
    assert_same(OnDask(client=client, n_partitions=3).fit(x), DensityPeakClustering().fit(x))


@pytest.mark.parametrize("x,params", [
    (np.full((50, 2), 3.0), {}),
    (np.outer(2.0 ** np.arange(-25, 25), [1.0, 2.0]),
     {"metric": "cosine", "bandwidth": 0.5, "threshold": 0.2, "n_clusters": 3}),
])
def test_all_points_coincide_as_on_one_machine(client, x, params):
    """Points that were all one raised "all points of X coincide" where the
    single machine makes them one cluster, with a warning."""
    with pytest.warns(UserWarning) as expected_warnings:
        expected = DensityPeakClustering(**params).fit(x)
    with pytest.warns(UserWarning) as found_warnings:
        model = OnDask(client=client, **params).fit(da.from_array(x, chunks=(20, -1)))
    assert [str(w.message) for w in found_warnings] == [str(w.message)
                                                        for w in expected_warnings]
    for name in OUTPUTS:
        assert isinstance(getattr(model, name), da.Array), name
        np.testing.assert_array_equal(getattr(model, name).compute(), getattr(expected, name),
                                      err_msg=name)
    np.testing.assert_array_equal(model.centers_, expected.centers_)
    for name in ("n_clusters_", "bandwidth_", "threshold_", "search_size_", "n_neighbors_",
                 "n_features_in_"):
        np.testing.assert_equal(getattr(model, name), getattr(expected, name), err_msg=name)
    assert model.relabel(n_clusters=2) is model and model.n_clusters_ == 1


def test_ordered_sum_carries_across_blocks_and_tasks(monkeypatch):
    """The sum in index order from the boxes' pieces, through a chain of
    index ranges a block at a time: bit for bit the sequential sum, with
    blocks and ranges that split pieces and pieces empty in some."""
    from quarnel_cluster.distributed import tasks
    monkeypatch.setattr(tasks, "SUM_BLOCK", 7)
    rng = np.random.default_rng(5)
    for n in (1, 7, 8, 50):
        v = rng.random(n) * 10.0 ** rng.integers(-8, 8, n)
        box = np.repeat([0, 1, 2], [n // 2, n - n // 2 - n // 4, n // 4])[rng.permutation(n)]
        parts = [(np.flatnonzero(box == b), v[box == b]) for b in range(3)]
        total = 0.0
        for lo in range(0, n, 12):
            hi = min(n, lo + 12)
            total = tasks.ordered_sum(lo, hi, total,
                                      *[tasks.index_range(p, lo, hi) for p in parts])
        assert total == np.cumsum(v)[-1]


@pytest.mark.parametrize("fetch", [0, 10, 1 << 16])
def test_exact_ranks_as_numpy_sorts(client, monkeypatch, fetch):
    """The values at given ranks of the boxes' parts, through rounds of
    counts only (fetch 0), rounds then a fetch of the rest (10: the values
    near 1 share 16 leading bits, not 32), or a fetch after the first round:
    those of NumPy's sort, ties and an empty part included."""
    import dask
    from quarnel_cluster.distributed import run
    monkeypatch.setattr(run, "FETCH_VALUES", fetch)
    rng = np.random.default_rng(11)
    v = np.concatenate([rng.random(500) * 10.0 ** rng.integers(-5, 5, 500),
                        np.full(300, 0.75), [0.0, 0.0], 1.0 + np.arange(50) * 1e-3])
    rng.shuffle(v)
    parts = [v[:400], v[400:400], v[400:]]
    ranks = [0, 1, int(np.searchsorted(np.sort(v), 1.02)), len(v) - 1]
    found, extras = run.exact_ranks(client, parts, ranks, [dask.delayed(abs)(-2)])
    assert found == np.sort(v)[ranks].tolist() and extras == [2]
    assert run.median(client, parts, len(v))[0] == np.median(v)


def test_points_within_reach_of_a_box_as_numpy_finds_them():
    """The points an asked box searches for an asking box: those NumPy's
    gaps find (rows read through strides, outer boxes' infinite walls, a
    point whose gap equals the reach, one beyond its own wall distance),
    and arguments of the wrong length refused."""
    from quarnel_cluster import _native as native
    from quarnel_cluster.distributed.boxes import cut
    rng = np.random.default_rng(3)
    x = np.round(rng.uniform(0, 8, (4000, 6)), 1)[:, ::2]
    boxes = cut(x, 6)
    home = boxes.of(x)
    x = x[home == 0]
    wall = boxes.wall_distance(x, 0)
    for b in range(1, len(boxes)):
        gap = boxes.gap(x, b)
        for reach in (0.0, 0.5, float(np.median(gap)), float(gap.max()), np.inf):
            for w in (wall, np.zeros_like(wall)):
                expect = np.flatnonzero((w <= reach) & (gap <= reach))
                found = native.within_reach(x, w, boxes.lo[b], boxes.hi[b], reach)
                np.testing.assert_array_equal(found, expect)
    with pytest.raises(ValueError, match="one distance per row"):
        native.within_reach(x, wall[:-1], boxes.lo[1], boxes.hi[1], 1.0)
    with pytest.raises(ValueError, match="one bound per column"):
        native.within_reach(x, wall, boxes.lo[1][:2], boxes.hi[1], 1.0)



# A local cluster the estimator starts itself, in a script of its own: its
# worker processes import that script again.
SCRIPT_HEAD = """
import numpy as np
from quarnel_cluster.distributed import DensityPeakClustering
rng = np.random.default_rng(0)
X = np.vstack([rng.normal(0, 1, (300, 2)), rng.normal(10, 1, (300, 2))])
"""


def script_points():
    scope = {}
    exec(SCRIPT_HEAD, scope)
    return scope["X"]


def run_script(tmp_path, body):
    script = tmp_path / "script.py"
    script.write_text(SCRIPT_HEAD + body)
    where = os.path.dirname(os.path.dirname(os.path.abspath(cli.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [where, *filter(None, [os.environ.get("PYTHONPATH")])]))
    # Another cluster on this machine may hold Dask's dashboard port.
    return subprocess.run([sys.executable, "-W", "ignore:Port 8787 is already in use",
                           str(script)], capture_output=True, text=True, cwd=tmp_path,
                          env=env, timeout=300)


def test_results_stay_readable_after_close(tmp_path):
    """close() computed nothing first: the results' pieces went with the
    workers ("Missing dependency chunk_of-...")."""
    run = run_script(tmp_path, """
if __name__ == "__main__":
    model = DensityPeakClustering(n_workers=1).fit(X)
    model.close()
    np.savez("out.npz", **{name: np.asarray(getattr(model, name))
                           for name in ("labels_", "rho_", "delta_", "nn_delta_")})
""")
    assert run.returncode == 0, run.stderr
    expected = DensityPeakClustering().fit(script_points())
    with np.load(tmp_path / "out.npz") as found:
        for name in OUTPUTS:
            np.testing.assert_array_equal(found[name], getattr(expected, name), err_msg=name)


def test_closing_one_estimator_keeps_the_others_results(tmp_path):
    """A second estimator ran on the local cluster the first one started,
    and the first one's close() shut it down under the second one's
    results. The cluster goes with the last one's close()."""
    run = run_script(tmp_path, """
if __name__ == "__main__":
    first = DensityPeakClustering(n_workers=1).fit(X)
    second = DensityPeakClustering(n_workers=1).fit(X[::-1])
    first.close()
    labels = second.labels_.compute()
    print(second.client_ is first.client_, second.client_.status)
    second.close()
    print(second.client_.status)
    np.save("labels.npy", labels)
""")
    assert run.returncode == 0, run.stderr
    assert run.stdout == "True running\nclosed\n"
    assert run.stderr == ""
    expected = DensityPeakClustering().fit(script_points()[::-1])
    np.testing.assert_array_equal(np.load(tmp_path / "labels.npy"), expected.labels_)


def test_no_warning_at_exit_without_close(tmp_path):
    """Left to Dask's own exit hooks, the workers went before the client let
    go of their results: "Removing worker ... lose already computed task(s)"."""
    run = run_script(tmp_path, """
if __name__ == "__main__":
    model = DensityPeakClustering(n_workers=1).fit(X)
    print(model.n_clusters_, int(model.labels_.sum().compute()))
""")
    assert run.returncode == 0, run.stderr
    assert run.stdout == "2 300\n"
    assert run.stderr == ""


def test_script_without_main_guard_is_told_in_one_line(tmp_path):
    """Every worker re-ran the unguarded fit and multiprocessing refused it:
    hundreds of lines of tracebacks ending in "Nanny failed to start"."""
    run = run_script(tmp_path, """
model = DensityPeakClustering(n_workers=2).fit(X)
""")
    assert run.returncode == 1
    lines = run.stderr.splitlines()
    assert len(lines) < 15, run.stderr
    assert lines[-1] == ("RuntimeError: a local Dask cluster cannot be started from the top "
                         "level of a script, which its worker processes import again: put "
                         "the code that fits the model under `if __name__ == \"__main__\":`")


def test_every_attribute_help_lists_exists(client):
    """density_graph_, inherited from the single-machine estimator, was
    listed by help() and raised AttributeError."""
    model = OnDask(client=client).fit(script_points())
    public = {name for name in dir(OnDask) if name.endswith("_") and not name.startswith("_")}
    doc = inspect.cleandoc(OnDask.__doc__)
    section = doc.split("Attributes\n----------\n")[1].split("\n\n")[0]
    documented = {name.strip(" \\")
                  for line in section.splitlines() if not line.startswith(" ")
                  for name in line.split(" : ")[0].split(",")} - {""}
    assert {"labels_", "client_", "n_features_in_"} <= documented
    assert [name for name in sorted(public | documented) if not hasattr(model, name)] == []
