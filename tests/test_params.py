"""The parameter record: each parameter, declared once in the estimator's
table, reaches the signature, both docstrings, the distributed estimator,
its run's settings and the command line."""

import dataclasses
import inspect
import pydoc

import numpy as np
import pytest

from quarnel_cluster import DensityPeakClustering, cli
from quarnel_cluster._params import parameter_docs

RECORD = DensityPeakClustering._parameters


def defaults(cls):
    return [(p.name, p.default) for p in inspect.signature(cls).parameters.values()]


def test_every_parameter_is_in_the_signature_and_the_docstring():
    assert defaults(DensityPeakClustering) == [(p.name, p.default) for p in RECORD]
    assert list(parameter_docs(DensityPeakClustering.__doc__)) == [p.name for p in RECORD]
    text = pydoc.render_doc(DensityPeakClustering, renderer=pydoc.plaintext)
    assert all(f"{p.name}={p.default!r}" in text for p in RECORD)


def test_init_stores_parameters_untouched_by_position_or_name():
    state = np.random.RandomState(3)
    model = DensityPeakClustering(12, random_state=state)
    assert model.n_neighbors == 12 and model.random_state is state
    assert model.get_params()["delta_neighbors"] == 10
    with pytest.raises(TypeError, match=r"^DensityPeakClustering\.__init__\(\) got an "
                                        r"unexpected keyword argument 'colour'$"):
        DensityPeakClustering(colour=1)


def test_command_line_keeps_its_flags_and_the_estimator_defaults():
    usage = " ".join(cli.parser().format_usage().split())
    for shown in ("--n-neighbors N_NEIGHBORS", "--bandwidth BANDWIDTH",
                  "--threshold THRESHOLD", "--n-clusters K", "--min-cluster-size M",
                  "[--noise]", "--seed SEED", "--metric {euclidean,cosine}"):
        assert shown in usage
    assert sorted(cli.FLAGS) == sorted(p.name for p in RECORD if p.flag)
    settings = cli._settings(cli.parser().parse_args(["points.csv"]))
    assert DensityPeakClustering(**settings).get_params() == \
        DensityPeakClustering(verbose=True).get_params()


def test_distributed_estimator_takes_every_parameter_and_its_own():
    pytest.importorskip("distributed")
    from quarnel_cluster.distributed import DensityPeakClustering as OnDask
    from quarnel_cluster.distributed import run

    assert defaults(OnDask) == [(p.name, p.default) for p in RECORD] + [
        ("client", None), ("n_workers", None), ("n_partitions", None)]
    assert sorted(parameter_docs(OnDask.__doc__)) == sorted(name for name, _ in defaults(OnDask))
    settings = run.Settings.of(OnDask()._checked_params())
    assert {f.name for f in dataclasses.fields(settings)} <= {p.name for p in RECORD}
