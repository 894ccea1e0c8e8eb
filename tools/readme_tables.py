"""Copies the benchmark tables from bench/results/ into README.md.

The README marks each table's place with a pair of comments naming its file,

    <!-- begin bench/results/peers.md -->
    ...
    <!-- end bench/results/peers.md -->

and this replaces what lies between them with the file's contents, so that
the README's figures are the ones the benchmarks last wrote.

    python tools/readme_tables.py           # rewrite README.md
    python tools/readme_tables.py --check   # exit 1 if README.md is not up to date
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
MARKED = re.compile(r"(<!-- begin (?P<path>\S+) -->\n)(?P<body>.*?)(<!-- end (?P=path) -->)",
                    re.DOTALL)


def refreshed(text: str, root: Path) -> str:
    def table(m: re.Match[str]) -> str:
        source = root / m["path"]
        if not source.is_file():
            raise SystemExit(f"readme_tables: {m['path']} is marked in the README "
                             "but does not exist (run the benchmark that writes it)")
        body = source.read_text().strip()
        return f"{m[1]}{body}\n{m[4]}"
    return MARKED.sub(table, text)


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--check", action="store_true",
                    help="change nothing; exit 1 if a table differs from its file")
    ap.add_argument("--readme", default=str(ROOT / "README.md"))
    args = ap.parse_args()
    path = Path(args.readme)
    text = path.read_text()
    new = refreshed(text, ROOT)
    if new == text:
        return 0
    if args.check:
        print(f"readme_tables: {path.name} differs from bench/results/; run "
              "python tools/readme_tables.py", file=sys.stderr)
        return 1
    path.write_text(new)
    print(f"readme_tables: {path.name} updated")
    return 0


if __name__ == "__main__":
    sys.exit(main())
