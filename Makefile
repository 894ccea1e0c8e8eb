# make test   - set up everything on a fresh machine and run the whole suite
# make bench  - run the benchmarks (prints ratios against SciPy and friends), their
#               tables into bench/results/ and the README
# make dev    - quick incremental build of the extension into .venv
# make test-asan     - the suite against an ASan+UBSan build of the extension
# make test-versions - the suite on every CPython >= 3.12 here, NumPy 1.26 and 2.x
# make demo   - set up, make a seeded 2-D data set, cluster it with the command line
# make docs   - the documentation into build/docs (warnings are errors)
# make wheel      - sdist and manylinux wheel into dist/ (auditwheel shows the tag)
# make test-wheel - that wheel in a fresh venv with no compiler: import, cluster, CLI
PY := .venv/bin/python

.PHONY: test setup bench dev demo docs clean test-asan test-versions wheel test-wheel

test: setup
	$(PY) -m pytest tests -q

setup:
	sh tools/setup.sh

bench: setup
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-bench.txt
	for b in bench/*.py; do echo "== $$b"; $(PY) $$b || exit 1; done
	$(PY) tools/readme_tables.py

DEMO := build/demo
demo: setup
	mkdir -p $(DEMO)
	$(PY) -m quarnel_cluster.shapes $(DEMO)/points.csv $(DEMO)/labels.txt
	$(PY) -m quarnel_cluster $(DEMO)/points.csv --labels $(DEMO)/labels.txt \
		--out $(DEMO)/clusters.txt --plot $(DEMO)/clusters.png

# Sphinx with the gallery's examples run at build time. The driver comes from
# the work tree (docs/conf.py), the native modules from .venv, built once.
docs:
	@[ -x $(PY) ] || sh tools/setup.sh
	$(PY) -m pip install -q --disable-pip-version-check -r requirements-docs.txt
	$(PY) tools/readme_tables.py --check
	$(PY) -m sphinx -W --keep-going -q -b html -d build/docs-doctrees docs build/docs

# Incremental build for development: configure once, rebuild changed files,
# copy the extensions and their library into .venv's site-packages, in the
# layout of an install (quarnel_cluster/_native beside the package's
# sources there; a work tree's package finds it beside quarnel).
dev:
	@[ -x $(PY) ] || sh tools/setup.sh
	cmake -S . -B build/dev -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) -DCMAKE_BUILD_TYPE=Release >/dev/null
	cmake --build build/dev -j2
	@# Replace each file by rename, never in place: a running process may have it mapped.
	site=$$($(PY) -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])'); \
	mkdir -p $$site/quarnel_cluster; \
	for so in build/dev/quarnel*.so build/dev/libquarnel_core.so build/dev/quarnel_cluster/_native*.so; do \
		to=$$site/$${so#build/dev/}; cp $$so $$(dirname $$to)/.tmp.$$(basename $$so) && mv $$(dirname $$to)/.tmp.$$(basename $$so) $$to; done

clean:
	rm -rf build dist

# The sdist first, then the wheel built from it (so a file missing from the
# sdist fails here), with .venv's packages rather than an isolated
# environment. auditwheel gives the wheel the manylinux tag that its symbol
# versions allow (it needs patchelf on PATH) and prints what it links.
WHEELHOUSE := build/wheelhouse
wheel:
	@[ -x $(PY) ] || sh tools/setup.sh
	rm -rf dist $(WHEELHOUSE)
	$(PY) -m build --no-isolation --outdir $(WHEELHOUSE) .
	mkdir -p dist && mv $(WHEELHOUSE)/*.tar.gz dist/
	PATH="$(abspath .venv/bin):$$PATH" .venv/bin/auditwheel repair --wheel-dir dist $(WHEELHOUSE)/*.whl
	.venv/bin/auditwheel show dist/*.whl

test-wheel: wheel
	sh tools/test_wheel.sh

# Sanitizer build in build/asan, run with .venv's interpreter (tools/test_asan.sh).
test-asan:
	@[ -x $(PY) ] || sh tools/setup.sh
	sh tools/test_asan.sh

# One venv per interpreter and NumPy major, .venv-X.Y-np1/-np2 (tools/test_versions.sh);
# TEST_VERSIONS_FLAGS="--skip 3.13-np2" leaves out a pair.
test-versions:
	sh tools/test_versions.sh $(TEST_VERSIONS_FLAGS)
