"""What decides the clusters after the peaks: the merge threshold, and the
user's controls n_clusters, min_cluster_size, noise."""

import warnings

import numpy as np
import pytest

import quarnel

from quarnel_cluster import DensityPeakClustering, adjusted_rand_index, pipeline
from quarnel_cluster.borders import Borders
from quarnel_cluster.controls import merge_shallow_peaks


def blobs(centres, sizes, spread, seed=0):
    rng = np.random.default_rng(seed)
    x = np.vstack([rng.normal(c, s, size=(m, 2)) for c, m, s in zip(centres, sizes, spread)])
    return x, np.repeat(np.arange(len(sizes)), sizes)


def assert_consistent(model):
    """Every remaining centre is the density peak of its cluster, and every
    merged-away centre hangs from a denser point."""
    k = model.n_clusters_
    np.testing.assert_array_equal(model.labels_[model.centers_], np.arange(k))
    for j, c in enumerate(model.centers_):
        assert model.rho_[c] == model.rho_[model.labels_ == j].max()
    hanging = model.nn_delta_ >= 0
    assert np.all(model.rho_[model.nn_delta_[hanging]] > model.rho_[hanging])


def test_shallow_peak_joins_across_its_highest_saddle():
    # Peaks 5.0, 4.5, 3.0; the lowest meets the middle one at 2.9 and the
    # highest only at 1.0: it joins the middle one, though the highest is denser.
    centers = np.arange(3)
    rho = np.array([5.0, 4.5, 3.0])
    touching = Borders(np.array([0, 0, 1]), np.array([1, 2, 2]), np.array([2.0, 1.0, 2.9]))
    joins = merge_shallow_peaks(centers, rho, touching, threshold=1.0)
    assert joins.target.tolist() == [0, 1, 1] and joins.links == [(2, 1)]
    # Raised above the middle peak's 2.5, both go, each across its own saddle.
    joins = merge_shallow_peaks(centers, rho, touching, threshold=3.0)
    assert joins.target.tolist() == [0, 0, 0] and joins.links == [(2, 1), (1, 0)]


def test_a_moon_is_not_cut_where_its_top_is_noise_bumps():
    # Along a moon the density has no dip of its own: the estimate's bumps
    # there reach within noise of each other, and an arc read at its
    # highest bump alone stood clear of a noise dip: three clusters.
    from sklearn.datasets import make_moons
    x, y = make_moons(1500, noise=0.06, random_state=0)
    model = DensityPeakClustering().fit(x)
    assert model.n_clusters_ == 2
    assert adjusted_rand_index(y, model.labels_) == 1.0


def test_n_clusters_keeps_the_most_prominent_peaks():
    # Four blobs; the two on the right touch, with a shallow valley between them.
    x, y = blobs([(0, 0), (12, 0), (20, 0), (22.5, 0)], [150, 150, 150, 150], [1, 1, 0.6, 0.6])
    for k in (4, 3, 2, 1):
        model = DensityPeakClustering(n_clusters=k).fit(x)
        assert model.n_clusters_ == k and len(np.unique(model.labels_)) == k
        assert_consistent(model)
    three = DensityPeakClustering(n_clusters=3).fit(x).labels_
    assert adjusted_rand_index(np.minimum(y, 2), three) == 1.0   # the touching pair merged first
    assert adjusted_rand_index(y, DensityPeakClustering(n_clusters=4).fit(x).labels_) > 0.95


def test_n_clusters_beyond_the_peaks_warns():
    x, _ = blobs([(0, 0), (10, 0)], [100, 100], [0.5, 0.5])
    with pytest.warns(UserWarning, match="n_clusters=50 asked for, but the data have only"):
        model = DensityPeakClustering(n_clusters=50).fit(x)
    assert 2 <= model.n_clusters_ < 50
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        DensityPeakClustering(n_clusters=2).fit(x)


def test_min_cluster_size_merges_a_planted_small_cluster():
    # A tight 12-point clump on the flank of a large blob, far from the other blob.
    x, y = blobs([(0, 0), (3.2, 0), (20, 0)], [300, 12, 300], [1.0, 0.08, 1.0])
    alone = DensityPeakClustering(min_cluster_size=1).fit(x)
    assert alone.n_clusters_ == 3 and adjusted_rand_index(y, alone.labels_) > 0.99
    assert len(np.unique(alone.labels_[y == 1])) == 1
    merged = DensityPeakClustering(min_cluster_size=20).fit(x)
    assert merged.n_clusters_ == 2
    assert adjusted_rand_index(np.where(y == 1, 0, y), merged.labels_) > 0.99
    assert merged.labels_[300] == merged.labels_[0]
    assert_consistent(merged)
    # The clump's own peak now hangs from the peak of the cluster it joined.
    clump_peak = alone.centers_[alone.labels_[300]]
    assert merged.nn_delta_[clump_peak] == merged.centers_[merged.labels_[0]]
    assert clump_peak in merged.density_graph_[merged.nn_delta_[clump_peak]]


def test_noise_marks_the_background_between_clusters():
    centres = [(0, 0), (9, 0), (4.5, 8)]
    x, _ = blobs(centres, [300, 300, 300], [1, 1, 1])
    background = np.random.default_rng(1).uniform((-6, -6), (15, 14), size=(300, 2))
    far = np.min(np.linalg.norm(background[:, None] - np.array(centres), axis=2), axis=1) > 4.5
    x = np.vstack([x, background[far]])
    plain = DensityPeakClustering().fit(x)
    model = DensityPeakClustering(noise=True).fit(x)
    noise = model.labels_ == -1
    assert noise[900:].mean() > 0.75           # most of the background is noise
    assert noise[:900].mean() < 0.05           # the blobs keep nearly all their points
    assert not noise[model.centers_].any()
    np.testing.assert_array_equal(model.labels_[~noise], plain.labels_[~noise])
    assert model.n_clusters_ == plain.n_clusters_


@pytest.mark.parametrize("unlabelled", [False, True])
@pytest.mark.parametrize("n", [300, 100_000])     # one block of rows, several
def test_borders_are_the_highest_saddle_of_every_touching_pair(unlabelled, n):
    from quarnel_cluster.borders import borders
    rng = np.random.default_rng(3)
    width = 6
    labels = rng.integers(-1 if unlabelled else 0, 5 if n < 1000 else 300, n)
    rho = np.round(rng.normal(size=n), 1)   # ties among the saddles
    nn_list = np.column_stack([np.arange(n), rng.integers(0, n, (n, 8))])
    expected = {}
    for i, row in enumerate(nn_list[:, 1:width].tolist()):
        for j in row:
            a, b = labels[i], labels[j]
            if a != b and a >= 0 and b >= 0:
                key = (min(a, b), max(a, b))
                expected[key] = max(expected.get(key, -np.inf), min(rho[i], rho[j]))
    found = borders(labels, rho, nn_list, width)
    assert dict(zip(zip(found.a.tolist(), found.b.tolist()), found.saddle.tolist())) == expected
    assert list(zip(found.a.tolist(), found.b.tolist())) == sorted(expected)


def test_saddle_walks_over_the_spanning_forest_equal_walks_over_every_saddle(monkeypatch):
    # Large border sets walk only the saddles of their maximum spanning
    # forest (n_clusters); ties among saddles and peaks must leave the
    # result unchanged.
    pytest.importorskip("scipy")
    from quarnel_cluster import controls
    rng = np.random.default_rng(4)
    count = 300
    pairs = np.unique(np.sort(rng.integers(0, count, (4000, 2)), axis=1), axis=0)
    pairs = pairs[pairs[:, 0] != pairs[:, 1]]
    rho = np.round(rng.normal(size=count) * 2, 1)
    saddle = np.minimum(rho[pairs[:, 0]], rho[pairs[:, 1]]) - np.round(rng.random(len(pairs)) * 3, 1)
    touching = Borders(pairs[:, 0], pairs[:, 1], saddle)
    counts = rng.integers(1, 50, count)
    # Centres are points of a larger set, not the cluster numbers.
    centers = np.sort(rng.choice(10 * count, count, replace=False))
    points_rho, x = np.zeros(10 * count), rng.random((10 * count, 2))
    points_rho[centers] = rho
    results = []
    for limit in (10**9, 0):
        monkeypatch.setattr(controls, "SPANNING_FROM_PAIRS", limit)
        heaviest = controls.keep_heaviest_peaks(counts, centers, points_rho, x, touching, 20)
        results.append((heaviest.target.tolist(), heaviest.centre.tolist(), heaviest.links))
    assert results[0] == results[1]
    assert len(controls.walk_order(touching)[0]) < len(pairs) // 2

    # The native walk of merge_shallow_peaks against the plain walk over
    # every saddle: meetings in order, the lower root joining when its peak
    # stands less than the threshold above the saddle.
    monkeypatch.setattr(controls, "SPANNING_FROM_PAIRS", 10**9)
    groups, links = controls.Groups(count), []
    for high, low, s in controls.meetings(touching, groups, controls.peak_ranks(centers, points_rho)):
        if rho[low] - s < 1.5:
            groups.parent[low] = high
            links.append((int(centers[low]), int(centers[high])))
    shallow = merge_shallow_peaks(centers, points_rho, touching, threshold=1.5)
    assert shallow.target.tolist() == [groups.find(c) for c in range(count)]
    assert shallow.links == links


def test_forest_labels_equal_assign_cluster():
    # The driver labels the unmerged peaks by pointer jumping on the parent
    # links; assign_cluster's walk is the definition: the last centre in
    # centre order among a point's ancestors, centres below centres and
    # roots that are no centre included.
    rng = np.random.default_rng(0)
    for _ in range(200):
        n = int(rng.integers(1, 300))
        order = np.argsort(-rng.random(n))
        parent = np.full(n, -1, np.int64)
        for i, p in enumerate(order[1:], start=1):
            if rng.random() < 0.9:
                parent[p] = order[rng.integers(0, i)]
        centers = np.sort(rng.choice(n, size=int(rng.integers(0, n + 1)), replace=False))
        graph = [[] for _ in range(n)]
        for i in np.flatnonzero(parent >= 0):
            graph[parent[i]].append(int(i))
        expected = quarnel.assign_cluster(centers.astype(np.int64), parent, graph)
        np.testing.assert_array_equal(pipeline.forest_labels(centers.astype(np.int64), parent),
                                      expected)


def test_band_masses_give_every_nodes_excess_of_mass_in_any_split():
    # A random tree over 12 leaves, meetings from the highest saddle down;
    # the stability from the per-node band sums against its definition,
    # the sum over a node's points of clip(f, birth, split) - birth, with f
    # relative to the highest peak. The sums are integers: two halves of the
    # points add up to the whole bit for bit.
    from quarnel_cluster import excess_of_mass as eom
    rng = np.random.default_rng(5)
    leaves, n = 12, 4000
    groups = list(range(leaves))
    meetings = []
    for s in np.sort(rng.uniform(-6.0, -0.5, leaves + 2))[::-1][:leaves - 3]:
        a, b = rng.choice(len(groups), 2, replace=False)
        meetings.append((groups[a], groups[b], float(s)))
        groups.pop(b)                    # three groups never meet: a root of its own joins them
    tree = eom.leaf_tree(meetings, leaves, top=0.0)
    initial = rng.integers(0, 30, n)
    to_leaf = rng.integers(0, leaves, 30)
    rho = rng.uniform(-8.0, 0.0, n)
    sums, counts = eom.band_mass(initial, rho, to_leaf, tree)
    half = [eom.band_mass(initial[p], rho[p], to_leaf, tree) for p in (slice(0, 1234), slice(1234, n))]
    np.testing.assert_array_equal(half[0][0] + half[1][0], sums)
    np.testing.assert_array_equal(half[0][1] + half[1][1], counts)
    members = [[leaf] for leaf in range(leaves)] + [[] for _ in range(tree.nodes - leaves)]
    for node in range(tree.nodes):
        if tree.parent[node] >= 0:
            members[tree.parent[node]] += members[node]
    f = np.exp(rho)
    for node in range(tree.nodes):
        inside = np.isin(to_leaf[initial], members[node])
        birth, split = np.exp(tree.birth[node]), np.exp(min(tree.split[node], 0.0))
        expected = np.sum(np.clip(f[inside], birth, split) - birth)
        assert eom.stability(tree, sums, counts)[node] == pytest.approx(expected, rel=1e-6, abs=1e-6)


def test_two_noisy_circles_are_not_cut_into_arcs():
    # Along each circle the estimate's dips reach a few standard errors: the
    # noise test alone kept five arcs. The arcs hold little mass beyond the
    # circle's own, which holds its mass down to where the circles meet.
    from sklearn.datasets import make_circles
    x, y = make_circles(10_000, noise=0.04, factor=0.5, random_state=0)
    model = DensityPeakClustering().fit(x)
    assert model.n_clusters_ == 2 and adjusted_rand_index(y, model.labels_) == 1.0
    assert_consistent(model)
    # A lone ring: its arcs meet only each other, and their last meeting is
    # never undone; at 10^4 points no arc stands apart.
    t = np.random.default_rng(0).uniform(0.0, 2.0 * np.pi, 10_000)
    ring = np.c_[np.cos(t), np.sin(t)] + np.random.default_rng(1).normal(0.0, 0.05, (10_000, 2))
    assert DensityPeakClustering().fit(ring).n_clusters_ == 1


def test_sparse_blobs_in_six_columns_stay_apart():
    # Two blobs 1.8x as wide as a dense one and a fifth of its points, 6
    # columns, centres 6 wide spreads apart: at their tops the kernel weighs
    # a handful of other points beside the point's own weight (4 in 6
    # columns), and the valleys between them are empty. Read with that
    # weight, the tops stood less than the depth asked above the valleys,
    # and the excess of mass joined groups across them: one cluster.
    rng = np.random.default_rng(0)
    centres = np.zeros((3, 6))
    centres[1, 0] = centres[2, 1] = 6 * 1.8
    x = np.vstack([rng.normal(c, s, (m, 6)) for c, s, m in zip(centres, (1.0, 1.8, 1.8),
                                                               (20_000, 4_000, 4_000))])
    y = np.repeat([0, 1, 2], [20_000, 4_000, 4_000])
    model = DensityPeakClustering().fit(x)
    assert model.n_clusters_ == 3 and adjusted_rand_index(y, model.labels_) > 0.99
