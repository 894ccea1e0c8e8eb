"""Smoke test of an installed wheel (run by tools/test_wheel.sh).

Runs in a fresh virtual environment holding only the wheel and what it
depends on, with no compiler in reach. Checks that the extension and the
driver are imported from that environment, that the type stubs and py.typed
came along, that a small seeded set of three blobs comes out as three
clusters, and that the command line clusters a CSV file of it to the same
labels. Exits non-zero with a message on the first failure.
"""

import os
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

import numpy as np

import quarnel
import quarnel_cluster
from quarnel_cluster import DensityPeakClustering, _native


def check(condition: bool, what: str) -> None:
    if not condition:
        sys.exit(f"wheel smoke: FAILED: {what}")


def installed_here() -> None:
    prefix = Path(sys.prefix).resolve()
    for module in (quarnel, quarnel_cluster, _native):
        where = Path(module.__file__).resolve()
        check(where.is_relative_to(prefix), f"{module.__name__} imported from {where}, not from {prefix}")
    site = Path(sysconfig.get_paths()["platlib"])
    for name in ("quarnel.pyi", "quarnel-stubs/__init__.pyi", "quarnel_cluster/_native.pyi",
                 "quarnel_cluster/py.typed"):
        check((site / name).is_file(), f"{name} missing from {site}")
    # The point of the exercise: the wheel installed with nothing to build it.
    for tool in ("cc", "c++", "gcc", "g++", "clang", "clang++", "cmake"):
        check(shutil.which(tool) is None, f"{tool} is on PATH ({shutil.which(tool)})")


def three_blobs() -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(2024)
    centres = np.array([[0.0, 0.0], [8.0, 0.0], [0.0, 8.0]])
    x = np.concatenate([c + rng.normal(size=(400, 2)) for c in centres])
    return x, np.repeat(np.arange(3), 400)


def clusters_the_blobs(x: np.ndarray, truth: np.ndarray) -> np.ndarray:
    model = DensityPeakClustering().fit(x)
    labels = model.labels_
    check(labels.shape == truth.shape, f"labels_ has shape {labels.shape}")
    # Each blob is one cluster, up to a few tail points split off.
    majority = [np.bincount(labels[truth == b]).argmax() for b in range(3)]
    check(len(set(majority)) == 3, f"blobs share clusters: {majority}")
    for b in range(3):
        share = np.mean(labels[truth == b] == majority[b])
        check(share >= 0.95, f"blob {b}: only {share:.2f} of it in one cluster")
    return labels


def command_line(x: np.ndarray, labels: np.ndarray) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        points, out = Path(tmp, "points.csv"), Path(tmp, "labels.txt")
        np.savetxt(points, x, delimiter=",", fmt="%.17g")   # exact round trip
        run = subprocess.run([sys.executable, "-m", "quarnel_cluster", str(points), "--out", str(out)],
                             capture_output=True, text=True, cwd=tmp)
        check(run.returncode == 0, f"the command line failed:\n{run.stdout}{run.stderr}")
        print(run.stdout, end="")
        check(np.array_equal(np.loadtxt(out, dtype=np.int64), labels),
              "the command line's labels differ from DensityPeakClustering().fit's")


def main() -> None:
    check("PYTHONPATH" not in os.environ, "PYTHONPATH is set")
    installed_here()
    x, truth = three_blobs()
    labels = clusters_the_blobs(x, truth)
    command_line(x, labels)
    print(f"wheel smoke: ok (quarnel from {Path(quarnel.__file__).parent}, "
          f"{labels.max() + 1} clusters of {len(x)} points)")


if __name__ == "__main__":
    main()
