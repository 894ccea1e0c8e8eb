"""Sphinx configuration of the quarnel documentation (make docs)."""

from __future__ import annotations

import os
import re
import sys
from pathlib import Path

DOCS = Path(__file__).resolve().parent
ROOT = DOCS.parent
# The driver of this work tree ahead of an installed copy (as the tests do);
# the native modules come from the environment. The docs folder itself holds
# the helpers of the user guide's pictures.
sys.path[:0] = [str(ROOT / "python"), str(DOCS)]
os.environ.setdefault("MPLBACKEND", "Agg")

import quarnel_cluster  # noqa: E402

project = "quarnel"
author = "the quarnel developers"
copyright = "the quarnel developers"
release = getattr(quarnel_cluster, "__version__", "")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.intersphinx",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
    "matplotlib.sphinxext.plot_directive",
    "myst_parser",
]
# Markdown only for the benchmark tables that bench/ writes; pages are reST.
source_suffix = {".rst": "restructuredtext"}
exclude_patterns = ["_build", "_generated", "examples/README.rst",
                    "auto_examples/*.ipynb", "auto_examples/*.py", "auto_examples/*.zip"]
templates_path: list[str] = []
html_static_path = ["_static"]
html_theme = "pydata_sphinx_theme"
html_title = "quarnel"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    # The benchmark tables are wide: that page keeps the whole width.
    "secondary_sidebar_items": {"**": ["page-toc"], "benchmarks": []},
}
# Pages without sub-pages have no section navigation to show.
html_sidebars = {"index": [], "getting_started": [], "benchmarks": []}
html_show_sourcelink = False

# The API pages list their members by hand; no stub pages.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
autodoc_typehints = "none"
autodoc_default_options = {"member-order": "bysource"}

# No network at build time: intersphinx reads nothing.
intersphinx_mapping: dict[str, tuple[str, str | None]] = {}

# Pictures of the user guide, drawn at build time from the real fit.
plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 90)]
plot_rcparams = {"figure.figsize": (7.0, 3.2), "font.size": 9}
plot_working_directory = str(DOCS)

sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "within_subsection_order": "_sorting.ExampleOrder",
    "download_all_examples": False,
    "remove_config_comments": True,
    "show_memory": False,
    "write_computation_times": False,
    "image_scrapers": ("matplotlib",),
    "matplotlib_animations": False,
}

# myst's warning about heading levels in tables' captions would fail -W.
suppress_warnings = ["myst.header"]


def _command_line_help() -> None:
    """--help of the command line, as the user sees it, for the user guide."""
    from quarnel_cluster import cli
    os.environ["COLUMNS"] = "80"
    out = DOCS / "_generated" / "cli_help.txt"
    out.parent.mkdir(exist_ok=True)
    out.write_text(cli.parser().format_help())


# Titles of the tables bench/ writes into bench/results/, in page order;
# a file not named here comes after them under its own name.
BENCH_TABLES = {
    "quality-summary": ("Quality at a glance", "bench/quality.py"),
    "peers": ("Time and memory against fast_hdbscan and hdbscan", "bench/peers.py"),
    "quality-default": ("Labelled sets, default parameters", "bench/quality.py"),
    "quality-k": ("Labelled sets, number of clusters given", "bench/quality.py --tables k"),
    "quality-generated": ("Generated sets, default parameters",
                          "bench/quality.py --tables generated"),
    "wide": ("More than 8 columns: the brute-force neighbour search", "bench/wide.py"),
}


def _benchmark_tables() -> None:
    """One section per table in bench/results/, for the benchmarks page."""
    results = ROOT / "bench" / "results"
    found = sorted(results.glob("*.md")) if results.is_dir() else []
    order = list(BENCH_TABLES)
    found.sort(key=lambda p: (order.index(p.stem) if p.stem in order else len(order), p.stem))
    parts = []
    for path in found:
        title, script = BENCH_TABLES.get(path.stem, (path.stem, f"bench/{path.stem}.py"))
        parts += [title, "-" * len(title), "",
                  f"Written by ``python {script}`` to ``bench/results/{path.name}``.", "",
                  f".. include:: /../bench/results/{path.name}",
                  "   :parser: myst_parser.sphinx_", "", ""]
    if not found:
        parts = ["No tables yet: ``make bench`` writes them into ``bench/results/``.", ""]
    out = DOCS / "_generated" / "benchmark_tables.rst"
    out.parent.mkdir(exist_ok=True)
    out.write_text("\n".join(parts))


_command_line_help()
_benchmark_tables()


# The driver's docstrings name fitted attributes as plain words (labels_,
# n_clusters_), which reST would take for links to targets of that name.
# Outside literals and doctest lines, such a trailing underscore is escaped.
_LITERAL = re.compile(r"(``.*?``|`[^`]*`|:math:`[^`]*`)")
_TRAILING = re.compile(r"(?<![\w\\*])([A-Za-z]\w*)_(?=[\s,.;:)\]]|$)")


def _escape_trailing_underscores(app, what, name, obj, options, lines) -> None:
    for i, line in enumerate(lines):
        if line.lstrip().startswith((">>>", "...")):
            continue
        parts = _LITERAL.split(line)
        parts[::2] = [_TRAILING.sub(r"\1\\_", p) for p in parts[::2]]
        lines[i] = "".join(parts)


def setup(app) -> None:
    # After numpydoc has rewritten the sections (its hook has the default
    # priority).
    app.connect("autodoc-process-docstring", _escape_trailing_underscores, priority=900)
