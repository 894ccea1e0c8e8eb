"""The pictures: Axes for notebooks, any number of columns, DataFrames,
noise, and the decision graph's centres each on a spot of their own."""

import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")   # headless; the package itself never picks a backend
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402
from matplotlib.colors import to_hex  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

import quarnel_cluster  # noqa: E402
from quarnel_cluster import DensityPeakClustering, plot  # noqa: E402


def blobs(d, seed=0, per=150, spread=1.0):
    rng = np.random.default_rng(seed)
    centres = [[0, 0], [9, 0], [0, 9], [9, 9]]
    x = np.vstack([rng.normal(c, spread, (per, 2)) for c in centres])
    if d > 2:
        # Columns that carry nothing first: raw columns 0 and 1 would show
        # no clusters at all.
        x = np.hstack([np.zeros((len(x), 1)), rng.normal(0, 0.1, (len(x), d - 3)), x])
    return x


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def stars(ax):
    (found,) = [c for c in ax.collections if c.get_label().startswith("centres")]
    return found.get_offsets()


def test_importing_the_package_leaves_matplotlib_alone():
    code = ("import sys, quarnel_cluster as q; assert 'matplotlib' not in sys.modules; "
            "q.plot_clusters; assert 'matplotlib.pyplot' not in sys.modules")
    where = str(Path(quarnel_cluster.__file__).parents[1])
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [where, *filter(None, [os.environ.get("PYTHONPATH")])]))
    subprocess.run([sys.executable, "-c", code], check=True, env=env)


@pytest.mark.parametrize("d,xlabel,ylabel", [
    (1, "rank of x[0]", "x[0]"),
    (2, "x[0]", "x[1]"),
    (5, "PC 1 (", "PC 2 ("),
])
def test_clusters_on_any_number_of_columns(d, xlabel, ylabel):
    rng = np.random.default_rng(d)
    x = (np.concatenate([rng.normal(0, 1, 300), rng.normal(10, 1, 300)])[:, None]
         if d == 1 else blobs(d))
    model = DensityPeakClustering().fit(x)
    ax = plot.plot_clusters(x, model)          # no Axes given: pyplot makes one
    assert isinstance(ax, Axes) and ax.figure is plt.gcf()
    assert ax.get_xlabel().startswith(xlabel) and ax.get_ylabel().startswith(ylabel)
    drawn = ax.collections[0].get_offsets()
    assert len(drawn) == len(x)
    if d == 1:
        # The values against their rank: sorted along the x axis.
        order = np.argsort(drawn[:, 0])
        assert np.all(np.diff(drawn[order, 1]) >= 0)
        assert sorted(drawn[:, 0]) == list(range(len(x)))
    if d == 5:
        # Column 0 is constant: the picture is not drawn from it.
        assert ax.get_xlabel().endswith("% of variance)")
        assert np.ptp(drawn[:, 0]) > 5 and np.ptp(drawn[:, 1]) > 5


def test_dataframe_names_the_axes_and_noise_is_grey():
    pd = pytest.importorskip("pandas")
    frame = pd.DataFrame(blobs(2, spread=2.0), columns=["age", "income"])
    model = DensityPeakClustering(noise=True).fit(frame)
    assert (model.labels_ == -1).any()
    fig, given = plt.subplots()
    ax = plot.plot_clusters(frame, model, ax=given)
    assert ax is given
    assert (ax.get_xlabel(), ax.get_ylabel()) == ("age", "income")
    noise = ax.collections[0]
    assert len(noise.get_offsets()) == int((model.labels_ == -1).sum())
    assert to_hex(noise.get_facecolors()[0]) == plot.NOISE


@pytest.mark.parametrize("grid", [None, 0.5])
def test_centres_drawn_apart_although_they_share_delta(grid):
    x = blobs(2, seed=3)
    if grid is not None:
        # Exact copies: the model's points_ are fewer than the rows of X.
        x = np.round(x / grid) * grid
    model = DensityPeakClustering().fit(x)
    assert model.n_clusters_ == 4
    assert len(set(model.delta_[model.centers_])) == 1   # every centre at the diagonal
    ax = plot.plot_decision_graph(model)
    assert isinstance(ax, Axes)
    at = stars(ax)
    assert len(at) == model.n_clusters_
    # Apart in height, not only along the densities.
    assert len(np.unique(at[:, 1])) == model.n_clusters_
    np.testing.assert_array_equal(at[:, 0], model.rho_[model.centers_])
    # The same spots when the points are given.
    np.testing.assert_array_equal(stars(plot.plot_decision_graph(model, X=x)), at)


def test_figure_is_made_without_pyplot_and_written(tmp_path):
    x = blobs(2)
    model = DensityPeakClustering(n_clusters=3).fit(x)
    fig = plot.figure(x, model, title="blobs")
    assert isinstance(fig, Figure) and len(fig.axes) == 2
    assert plt.get_fignums() == []
    assert "n_clusters=3 kept the heaviest" in fig.axes[1].get_title()
    plot.draw(tmp_path / "p.png", x, model)
    assert (tmp_path / "p.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_prominence_stars_the_centres_at_or_above_the_line():
    model = DensityPeakClustering().fit(blobs(2, seed=3))
    ax = plot.plot_prominence(model)
    assert isinstance(ax, Axes)
    at = stars(ax)
    assert len(at) == model.n_clusters_ == 4
    assert (at[:, 1] >= 1.0).all()
    below = [c for c in ax.collections if c.get_label().startswith("peaks that joined")]
    assert len(below[0].get_offsets()) and (below[0].get_offsets()[:, 1] < 1.0).all()
    assert ax.get_title() == "what decided: 4 peaks stand apart"
