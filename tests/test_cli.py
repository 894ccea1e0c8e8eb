"""The command line: file formats in, summary, labels and picture out."""

import gzip
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quarnel_cluster
from quarnel_cluster import cli, files

PYTHON_DIR = Path(quarnel_cluster.__file__).resolve().parents[1]


@pytest.fixture(scope="module")
def points():
    rng = np.random.default_rng(5)
    y = np.repeat([1, 2, 3], 50)
    centres = np.array([[0.0, 0.0], [8.0, 0.0], [0.0, 8.0]])
    return centres[y - 1] + rng.normal(0.0, 0.6, size=(len(y), 2)), y


def write(path, x, kind):
    """Writes x as `kind`: csv (with header), ssv (white space), npy; +gz."""
    base = kind.removesuffix(".gz")
    if base == "npy":
        import io
        buf = io.BytesIO()
        np.save(buf, x)
        data = buf.getvalue()
    elif base == "csv":
        data = ("a,b\n" + "\n".join(",".join(repr(float(v)) for v in row) for row in x)).encode()
    else:
        data = "\n".join("  ".join(repr(float(v)) for v in row) for row in x).encode()
    if kind.endswith(".gz"):
        data = gzip.compress(data)
    path.write_bytes(data)
    return path


@pytest.mark.parametrize("kind", ["csv", "ssv", "npy", "csv.gz", "ssv.gz", "npy.gz"])
def test_formats_read_the_same_points(tmp_path, points, kind):
    x, _ = points
    np.testing.assert_array_equal(files.read_points(write(tmp_path / f"p.{kind}", x, kind)), x)


def test_end_to_end(tmp_path, points):
    x, y = points
    src = write(tmp_path / "points.csv", x, "csv")
    np.savetxt(tmp_path / "labels.txt", y, fmt="%d")
    out, png = tmp_path / "clusters.txt", tmp_path / "picture.png"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(PYTHON_DIR), *filter(None, [os.environ.get("PYTHONPATH")])]), MPLBACKEND="Agg")
    run = subprocess.run([sys.executable, "-m", "quarnel_cluster", str(src),
                          "--labels", str(tmp_path / "labels.txt"), "--out", str(out),
                          "--plot", str(png)], capture_output=True, text=True, env=env)
    assert run.returncode == 0, run.stderr
    summary = run.stdout
    for line in ["points               150", "dimension            2",
                 "clusters             3", "adjusted Rand index  1.0000", "timings (s)"]:
        assert line in summary
    labels = np.loadtxt(out, dtype=np.int64)
    assert labels.shape == (150,) and set(labels.tolist()) == {0, 1, 2}
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_noise_label_is_left_out(tmp_path, points, capsys):
    x, y = points
    y = y.copy()
    y[:10] = 0
    src = write(tmp_path / "p.txt", x, "ssv")
    np.savetxt(tmp_path / "l.txt", y, fmt="%d")
    assert cli.main([str(src), "--labels", str(tmp_path / "l.txt"), "--noise-label", "0",
                     "--quiet", "--out", str(tmp_path / "o.npy")]) == 0
    out = capsys.readouterr().out
    assert "1.0000 (against" in out and "10 noise points left out" in out
    assert np.load(tmp_path / "o.npy").shape == (150,)


@pytest.mark.parametrize("content,labels,message", [
    ("1,2\n3,x\n", None, "p.csv, line 2, column 2: 'x' is not a number"),
    ("", None, "p.csv: no data rows"),
    (None, "1\n2\n", "2 labels for 150 points"),
    (None, "1.5\n" * 150, "labels must be integers"),
])
def test_errors_exit_with_a_message(tmp_path, points, capsys, content, labels, message):
    src = tmp_path / "p.csv"
    if content is None:
        write(src, points[0], "csv")
    else:
        src.write_text(content)
    argv = [str(src), "--quiet"]
    if labels is not None:
        (tmp_path / "l.txt").write_text(labels)
        argv += ["--labels", str(tmp_path / "l.txt")]
    assert cli.main(argv) == 2
    err = capsys.readouterr().err
    assert err.startswith("quarnel_cluster: error:") and message in err


def test_cluster_controls_are_passed_on(tmp_path, points, capsys):
    src = write(tmp_path / "p.csv", points[0], "csv")
    assert cli.main([str(src), "--quiet", "--n-clusters", "2", "--min-cluster-size", "5",
                     "--noise", "--out", str(tmp_path / "o.txt")]) == 0
    out = capsys.readouterr().out
    labels = np.loadtxt(tmp_path / "o.txt", dtype=np.int64)
    noise = int((labels < 0).sum())
    assert "clusters             2" in out and f"noise points         {noise} (" in out
    assert set(labels.tolist()) - {-1} == {0, 1}
