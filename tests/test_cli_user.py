"""The command line walked as a user walks it: each case one thing a user
does, and the message or the file that results."""

import glob
import hashlib
import importlib.metadata
import io
import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pytest

import quarnel_cluster
from quarnel_cluster import cli, files, memory, progress

PYTHON_DIR = Path(quarnel_cluster.__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def blobs():
    rng = np.random.default_rng(5)
    y = np.repeat([0, 1, 2], 60)
    centres = np.array([[0.0, 0.0], [8.0, 0.0], [0.0, 8.0]])
    return centres[y] + rng.normal(0.0, 0.6, size=(len(y), 2)), y


@pytest.fixture
def here(tmp_path, monkeypatch, blobs):
    """A folder holding points.csv (with a header) and truth.txt."""
    monkeypatch.chdir(tmp_path)
    x, y = blobs
    np.savetxt("points.csv", x, delimiter=",", header="x,y", comments="")
    np.savetxt("truth.txt", y, fmt="%d")
    return tmp_path


def digest(path):
    return hashlib.sha256(Path(path).read_bytes()).hexdigest()


def run_cli(capsys, *argv):
    code = cli.main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


def env():
    return dict(os.environ, MPLBACKEND="Agg", PYTHONPATH=os.pathsep.join(
        [str(PYTHON_DIR), *filter(None, [os.environ.get("PYTHONPATH")])]))


# -- outputs never overwrite inputs, and are never half-written ----------------

@pytest.mark.parametrize("argv,message", [
    (["points.csv", "--out", "./points.csv"],
     "--out ./points.csv would overwrite INPUT (points.csv)"),
    (["points.csv", "--out", "linked.csv"],
     "--out linked.csv would overwrite INPUT (points.csv)"),
    (["points.csv", "--labels", "truth.txt", "--plot", "truth.txt"],
     "--plot truth.txt would overwrite --labels (truth.txt)"),
    (["points.csv", "--out", "a.png", "--plot", "a.png"],
     "--out and --plot name the same file (a.png)"),
    (["points.csv", "--out", "no/such/folder/labels.txt"], "no folder no/such/folder"),
])
def test_outputs_never_overwrite_inputs(here, capsys, argv, message):
    os.link("points.csv", "linked.csv")
    before = {p: digest(p) for p in ("points.csv", "truth.txt")}
    code, out, err = run_cli(capsys, *argv, "--quiet")
    assert code == 2 and out == ""
    assert err == f"quarnel_cluster: error: {message}: write it elsewhere\n" \
        if "overwrite" in message else message in err
    assert {p: digest(p) for p in before} == before
    assert sorted(os.listdir()) == ["linked.csv", "points.csv", "truth.txt"]


def test_interrupted_write_leaves_the_old_output(here, capsys, monkeypatch):
    Path("labels.txt").write_text("old labels\n")

    def interrupted(labels):
        raise KeyboardInterrupt

    monkeypatch.setattr(files, "label_text", interrupted)
    code, out, err = run_cli(capsys, "points.csv", "--out", "labels.txt", "--quiet")
    assert code == 130
    assert err == "quarnel_cluster: interrupted; no output was left half-written\n"
    assert Path("labels.txt").read_text() == "old labels\n"
    assert sorted(os.listdir()) == ["labels.txt", "points.csv", "truth.txt"]


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_signal_mid_write_leaves_no_partial_file(here, signum):
    """A real run stopped by a signal while its labels are being written."""
    Path("labels.txt").write_text("old labels\n")
    before = digest("points.csv")
    script = textwrap.dedent("""
        import sys, time
        from quarnel_cluster import cli, files

        def slow(labels):
            print("writing", file=sys.stderr, flush=True)
            time.sleep(60)

        files.label_text = slow
        sys.exit(cli.main(["points.csv", "--out", "labels.txt", "--quiet"]))
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], env=env(),
                            stderr=subprocess.PIPE, text=True)
    assert proc.stderr.readline() == "writing\n"
    assert len(glob.glob(".labels.partial-*.txt")) == 1
    proc.send_signal(signum)
    err = proc.communicate(timeout=60)[1]
    assert proc.returncode == 130, err
    assert "interrupted; no output was left half-written" in err
    assert Path("labels.txt").read_text() == "old labels\n"
    assert digest("points.csv") == before
    assert sorted(os.listdir()) == ["labels.txt", "points.csv", "truth.txt"]


def test_labels_text_is_what_python_prints():
    labels = np.array([-1, 0, 9, 10, 99, 100, -1, 123456, 7, 0], dtype=np.int64)
    assert files.label_text(labels) == "".join(f"{v}\n" for v in labels).encode()
    assert files.label_text(np.array([], dtype=np.int64)) == b""


# -- files as people write them -------------------------------------------------------

def test_pandas_csv_index_is_left_out(here, capsys, blobs):
    pd = pytest.importorskip("pandas")
    x, y = blobs
    frame = pd.DataFrame(x, columns=["x", "y"])
    frame["kind"] = np.where(y == 0, "round", "flat")
    frame.to_csv("frame.csv")
    code, out, err = run_cli(capsys, "frame.csv", "--labels", "truth.txt", "--quiet")
    assert code == 0
    assert err.splitlines() == [
        "quarnel_cluster: note: frame.csv: column 1 has no name and holds 0, 1, 2, ... "
        "(a row index, as pandas writes): left out",
        "quarnel_cluster: note: frame.csv: text column left out: 'kind'"]
    assert "dimension            2" in out and "adjusted Rand index  1.0000" in out


def test_columns_pick_by_name_or_number(here, capsys, blobs):
    x, _ = blobs
    table = np.column_stack([np.arange(len(x)) % 3, x[:, 1], x[:, 0]])
    np.savetxt("three.csv", table, delimiter=",", header="noise,b,a", comments="")
    np.save("three.npy", table)
    for argv in (["three.csv", "--columns", "a,b"], ["three.csv", "--columns", "3,2"],
                 ["three.npy", "--columns", "3,2"]):
        code, out, err = run_cli(capsys, *argv, "--labels", "truth.txt", "--quiet")
        assert code == 0 and err == ""
        assert "dimension            2" in out and "adjusted Rand index  1.0000" in out


def test_header_only_file(here, capsys):
    Path("header.csv").write_text("x,y\n")
    assert run_cli(capsys, "header.csv")[2] == \
        "quarnel_cluster: error: header.csv: no data rows (only a header line)\n"


def test_npz_one_array_or_key(here, capsys, blobs):
    x, _ = blobs
    np.savez("one.npz", points=x)
    np.savez_compressed("two.npz", points=x, weights=np.ones(len(x)))
    code, out, _ = run_cli(capsys, "one.npz", "--labels", "truth.txt", "--quiet")
    assert code == 0 and "adjusted Rand index  1.0000" in out
    assert run_cli(capsys, "two.npz", "--quiet")[2] == (
        "quarnel_cluster: error: two.npz: 2 arrays (points, weights): pick one with --key\n")
    code, out, _ = run_cli(capsys, "two.npz", "--key", "points", "--labels", "truth.txt",
                           "--quiet")
    assert code == 0 and "adjusted Rand index  1.0000" in out


def test_complex_npy_is_refused(here, capsys):
    np.save("c.npy", np.ones((5, 2)) + 1j)
    assert run_cli(capsys, "c.npy")[2] == (
        "quarnel_cluster: error: c.npy: complex numbers (complex128) are not points: save "
        "their real and imaginary parts as two columns\n")


def test_messages_count_lines_as_an_editor_does(here, capsys):
    Path("typo.csv").write_text("x,y\n\n1,2\n# a comment\n3,4\n5,6O\n")
    assert run_cli(capsys, "typo.csv")[2] == \
        "quarnel_cluster: error: typo.csv, line 6, column 2: '6O' is not a number\n"
    Path("ragged.csv").write_text("x,y\n1,2\n3,4,5\n")
    err = run_cli(capsys, "ragged.csv")[2]
    assert err == "quarnel_cluster: error: ragged.csv, line 3: 3 fields where line 2 has 2\n"


# -- pictures ---------------------------------------------------------------------------

@pytest.mark.parametrize("given,written", [("picture", "picture.png"),
                                           ("picture.svg", "picture.svg")])
def test_plot_writes_the_path_given(here, capsys, given, written):
    pytest.importorskip("matplotlib")
    code, out, _ = run_cli(capsys, "points.csv", "--plot", given, "--quiet")
    assert code == 0
    assert f"picture written to   {written}\n" in out
    assert sorted(os.listdir()) == sorted(["points.csv", "truth.txt", written])


def test_plot_of_one_column(here, capsys, blobs):
    pytest.importorskip("matplotlib")
    if not hasattr(quarnel_cluster.plot, "figure"):
        pytest.skip("the plots of 1 column come with plot.figure")
    np.savetxt("line.txt", blobs[0][:, :1])
    code, out, err = run_cli(capsys, "line.txt", "--plot", "line.png", "--quiet")
    assert code == 0, err
    assert Path("line.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


# -- what the user typed ------------------------------------------------------------------

def test_version(capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["--version"])
    assert stop.value.code == 0
    assert capsys.readouterr().out == f"quarnel_cluster {quarnel_cluster.__version__}\n"
    try:
        assert quarnel_cluster.__version__ == importlib.metadata.version("quarnel")
    except importlib.metadata.PackageNotFoundError:   # a work tree not installed
        pass


def test_help_installs_from_a_clone(capsys):
    with pytest.raises(SystemExit):
        cli.main(["--help"])
    text = " ".join(capsys.readouterr().out.split())
    assert 'pip install ".[dask]"' in text and "quarnel[dask]" not in text


@pytest.mark.parametrize("argv,message", [
    (["--n-clusters", "0"], "--n-clusters must be at least 1, got 0"),
    (["--n-neighbors", "1"], "--n-neighbors must be at least 2, got 1"),
    (["--min-cluster-size", "0"], "--min-cluster-size must be at least 1, got 0"),
    (["--bandwidth", "-1"], "--bandwidth must be a positive number, got -1.0"),
    (["--threshold", "nan"], "--threshold must be a number at least 0, got nan"),
    (["--workers", "0"], "--workers must be at least 1, got 0"),
])
def test_errors_name_the_flag(here, capsys, argv, message):
    assert run_cli(capsys, "points.csv", *argv)[2] == f"quarnel_cluster: error: {message}\n"


def test_mistyped_flag_value_is_one_line(here, capsys):
    with pytest.raises(SystemExit) as stop:
        cli.main(["points.csv", "--n-clusters", "two"])
    assert stop.value.code == 2
    assert capsys.readouterr().err == ("python -m quarnel_cluster: error: argument "
                                       "--n-clusters: invalid int value: 'two' (see --help)\n")


def test_few_neighbours_need_no_other_flag(here, capsys):
    code, out, err = run_cli(capsys, "points.csv", "--n-neighbors", "5", "--quiet")
    assert code == 0 and err == ""


def test_estimator_warnings_name_flags_in_one_line(here, capsys):
    code, _, err = run_cli(capsys, "points.csv", "--n-clusters", "50", "--quiet")
    assert code == 0
    assert err.startswith("quarnel_cluster: warning: --n-clusters 50 asked for")
    assert len(err.splitlines()) == 1 and "n_clusters" not in err and ".py" not in err


def test_too_large_for_memory_names_the_distributed_run(here, capsys, monkeypatch):
    monkeypatch.setattr(memory, "available_bytes", lambda: 1024)
    code, _, err = run_cli(capsys, "points.csv", "--quiet")
    assert code == 2 and len(err.splitlines()) == 1
    assert "with --n-neighbors 30 needs about" in err
    assert "quarnel_cluster.distributed" in err and "--workers N" in err
    assert "planned" not in err


def test_metric(here, capsys):
    code, out, err = run_cli(capsys, "points.csv", "--metric", "cosine", "--quiet")
    assert code == 0, err
    # The estimator's row (from 0) becomes the line a user finds it on.
    Path("zeros.csv").write_text("x,y\n1,2\n0,0\n" + "3,1\n2,5\n" * 20)
    err = run_cli(capsys, "zeros.csv", "--metric", "cosine")[2]
    assert "(line 3)" in err and "--metric 'cosine'" in err and "metric=" not in err
    assert run_cli(capsys, "points.csv", "--metric", "euclidean", "--quiet")[0] == 0


# -- progress ----------------------------------------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


def wait_for(condition):
    for _ in range(2000):
        if condition():
            return True
        time.sleep(0.01)
    return False


def test_progress_bar_on_a_terminal_follows_the_counter(monkeypatch):
    monkeypatch.setattr(progress, "BAR_AFTER", 0.0)
    monkeypatch.setattr(progress, "REFRESH", 0.01)
    screen = Terminal()
    timer = progress.StageTimer(verbose=True, stream=screen)
    with timer.stage("neighbours", total=1000) as done:
        done.counter[0] += 250     # as native code would, without the lock
        assert wait_for(lambda: "250/1.00k" in screen.getvalue())
        done.advance(750)
        assert wait_for(lambda: "100%" in screen.getvalue())
    with timer.stage("density"):       # no count: the time it has taken
        assert wait_for(lambda: "density: 00:00 elapsed" in screen.getvalue())
    assert "neighbours:  25%" in screen.getvalue()


@pytest.mark.parametrize("stream,verbose", [(io.StringIO(), True), (Terminal(), False)])
def test_no_progress_bar_off_a_terminal_or_when_quiet(monkeypatch, stream, verbose):
    monkeypatch.setattr(progress, "BAR_AFTER", 0.0)
    monkeypatch.setattr(progress, "REFRESH", 0.01)
    timer = progress.StageTimer(verbose=verbose, stream=stream)
    with timer.stage("neighbours", total=10) as done:
        done.advance(5)
        time.sleep(0.1)
    assert "%" not in stream.getvalue() and "\r" not in stream.getvalue()
    assert "neighbours" in timer.timings
