"""The command line fed malformed files: one line on standard error, a
non-zero exit, the input as it was and no output, whole or partial."""

import gzip
import hashlib
import io
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import quarnel_cluster
from quarnel_cluster import cli

PYTHON_DIR = Path(quarnel_cluster.__file__).resolve().parents[1]


def npy(a, **kwargs):
    buf = io.BytesIO()
    np.save(buf, a, **kwargs)
    return buf.getvalue()


def npz(**arrays):
    buf = io.BytesIO()
    np.savez(buf, **arrays)
    return buf.getvalue()


GOOD = b"a,b\n" + b"".join(b"%d,%d\n" % (i % 7, i % 5) for i in range(100))
GOOD_NPY = npy(np.arange(200.0).reshape(100, 2))
VARIED = gzip.compress(b"".join(b"%.17g,%.17g\n" % tuple(row)
                                for row in np.random.default_rng(0).normal(size=(500, 2))))

# name -> (content, words the message must hold)
HOSTILE = {
    "empty.csv": (b"", "no data rows"),
    "blank.csv": (b"\n  \n\t\n", "no data rows"),
    "comments.txt": (b"# x y\n# 1 2\n", "no data rows"),
    "header.csv": (b"a,b\n", "no data rows (only a header line)"),
    "binary.dat": (bytes(range(256)) * 8, "binary data"),
    "utf16.csv": (GOOD.decode().encode("utf-16-le"), "UTF-16 text without a byte-order mark"),
    "utf16-words.csv": ("a,b\nx,y\n".encode("utf-16"), "no numeric columns"),
    "truncated.csv.gz": (VARIED[:len(VARIED) // 2], "damaged gzip file"),
    "crc.csv.gz": (gzip.compress(GOOD)[:-8] + b"\0" * 8, "damaged gzip file"),
    "empty.csv.gz": (gzip.compress(b""), "no data rows"),
    "truncated.npy": (GOOD_NPY[:300], "truncated or damaged .npy file"),
    "magic-only.npy": (b"\x93NUMPY", "truncated or damaged .npy file"),
    "bad-header.npy": (GOOD_NPY[:10] + b"{'descr': '<f8', 'fortran_order'" + b" " * 80,
                       "truncated or damaged .npy file"),
    "object.npy": (npy(np.array([1, "a"], dtype=object), allow_pickle=True), "dtype object"),
    "complex.npy": (npy(np.ones((10, 2), dtype=complex)), "complex numbers"),
    "text.npy": (npy(np.array([["a", "b"]] * 5)), "dtype <U1"),
    "cube.npy": (npy(np.zeros((4, 3, 2))), "shape (4, 3, 2)"),
    "scalar.npy": (npy(np.float64(1)), "shape ()"),
    "no-rows.npy": (npy(np.zeros((0, 2))), "no data rows"),
    "nan.npy": (npy(np.array([[1.0, 2.0], [np.nan, 1.0], [3.0, 4.0]])),
                "row 2, column 1: nan is not a finite number"),
    "two.npz": (npz(a=np.ones((5, 2)), b=np.ones((5, 2))), "2 arrays (a, b): pick one with --key"),
    "none.npz": (npz(), "no arrays"),
    "truncated.npz": (npz(a=np.ones((100, 2)))[:300], "damaged .npz file"),
    "object.npz": (None, "Python objects"),
    "ragged.csv": (b"a,b\n1,2\n3,4\n5,6,7\n", "ragged.csv, line 4: 3 fields where line 2 has 2"),
    "nan.csv": (b"a,b\n1,2\n3,nan\n5,6\n", "nan.csv, line 3, column 2: nan is not a finite"),
    "inf.txt": (b"1 2\n3 1e400\n4 5\n", "inf.txt, line 2, column 2: inf is not a finite"),
    "empty-cell.csv": (b"a,b\n1,2\n\n3,\n5,6\n", "empty-cell.csv, line 4, column 2: empty"),
    "word.csv": (b"a,b\n1,2\n# note\n3,x\n", "word.csv, line 4, column 2: 'x' is not a number"),
    "words.csv": (b"a,b\nx,y\nz,w\n", "no numeric columns (text in 'a', 'b')"),
    "header-width.csv": (b"a,b,c\n1,2\n3,4\n", "2 fields where the header (line 1) names 3"),
    "huge.csv": (b"a,b\n" + b"1e300,2\n-1e300,1\n" * 20, "rescale the data"),
    "one-point.csv": (b"a,b\n1,2\n", "1 point; clustering needs at least 2"),
    "latin1.csv": ("a,b\n1,2\n\xe9,3\n".encode("latin-1"), "line 3, column 1: 'é' is not"),
}


def digest(path):
    return hashlib.sha256(path.read_bytes()).hexdigest()


def make(tmp_path, name):
    content, _ = HOSTILE[name]
    path = tmp_path / name
    if name == "object.npz":
        np.savez(path, a=np.array([1, "a"], dtype=object))
    else:
        path.write_bytes(content)
    return path


def one_error_line(err):
    lines = err.splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("quarnel_cluster: error: "), err
    return lines[0]


@pytest.mark.parametrize("name", sorted(HOSTILE))
def test_hostile_file_gives_one_line(tmp_path, capsys, name):
    src = make(tmp_path, name)
    before = digest(src)
    out = tmp_path / "labels.txt"
    assert cli.main([str(src), "--quiet", "--out", str(out)]) == 2
    assert HOSTILE[name][1] in one_error_line(capsys.readouterr().err)
    assert digest(src) == before
    assert sorted(p.name for p in tmp_path.iterdir()) == [src.name]


@pytest.mark.parametrize("argv,message", [
    (["missing.csv"], "missing.csv: No such file or directory"),
    (["folder"], "folder"),
    (["good.csv", "--key", "a"], "--key picks an array of a .npz file"),
    (["good.csv", "--columns", "a,zz"], "no column 'zz'; the columns are a, b"),
    (["good.csv", "--columns", "3"], "no column 3: it has 2 columns (numbered from 1)"),
    (["good.csv", "--columns", "0"], "names or numbers from 1"),
    (["good.npy", "--columns", "x"], "pick columns by number, 1 to 2"),
    (["good.csv", "--labels", "good.npy"], "expected one label per line, got 2 columns"),
])
def test_hostile_arguments_give_one_line(tmp_path, capsys, monkeypatch, argv, message):
    monkeypatch.chdir(tmp_path)
    Path("good.csv").write_bytes(GOOD)
    Path("good.npy").write_bytes(GOOD_NPY)
    Path("folder").mkdir()
    (Path("folder") / "notes.txt").write_text("not points\n")
    assert cli.main(argv + ["--quiet"]) == 2
    assert message in one_error_line(capsys.readouterr().err)


@pytest.mark.parametrize("name", ["truncated.csv.gz", "truncated.npy", "binary.dat"])
def test_hostile_file_in_a_real_run(tmp_path, name):
    """As a user runs it: no traceback from the interpreter either."""
    src = make(tmp_path, name)
    before = digest(src)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(
        [str(PYTHON_DIR), *filter(None, [os.environ.get("PYTHONPATH")])]))
    run = subprocess.run([sys.executable, "-m", "quarnel_cluster", str(src),
                          "--out", str(tmp_path / "o.txt")],
                         capture_output=True, text=True, env=env)
    assert run.returncode == 2
    assert HOSTILE[name][1] in one_error_line(run.stderr)
    assert run.stdout == ""
    assert digest(src) == before and not (tmp_path / "o.txt").exists()
