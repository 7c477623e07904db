#!/usr/bin/env bash
# Build a wheel of the checkout with `pip wheel --no-build-isolation`, install
# it into a fresh virtual environment and run the Python test suite against
# the installed package (not the build folder, not the checkout).
#
#     scripts/test-wheel.sh PYTHON
#
# PYTHON is the interpreter `make test` uses (it must import pytest and
# hypothesis); the fresh environments are made from its base interpreter.
# scikit-build-core and pip come from scripts/provision-build-backend.sh.
set -euo pipefail

[[ $# -eq 1 ]] || { echo "usage: $0 PYTHON" >&2; exit 2; }
readonly PY="$1"
readonly REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
log() { printf 'test-wheel: %s\n' "$*" >&2; }

tools="$("$REPO/scripts/provision-build-backend.sh" | tail -n 1)"
pip_wheel="$(compgen -G "$tools/usr/share/python-wheels/pip-*.whl" | sort -V | tail -n 1)"

work="$(mktemp -d "${TMPDIR:-/tmp}/velmorquist-wheel.XXXXXX")"
trap 'rm -rf "$work"' EXIT
unset PYTHONPATH

# The base interpreter, and the folders the test tools are imported from.
mapfile -t facts < <("$PY" - <<'PY'
import os, sys
# The server's modules import aiohttp and prometheus_client.
import aiohttp, hypothesis, prometheus_client, pytest, uvloop
print(sys._base_executable)
for module in (pytest, hypothesis, aiohttp, prometheus_client, uvloop):
    print(os.path.dirname(os.path.dirname(module.__file__)))
PY
)
base="${facts[0]}"

# venv_with DIR PATHS...: a pip-less venv that also imports from PATHS.
venv_with() {
    local dir="$1"; shift
    "$base" -m venv --without-pip "$dir"
    local purelib
    purelib="$("$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    printf '%s\n' "$@" >"$purelib/velmorquist-extra.pth"
}
pip() { "$1" "$pip_wheel/pip" --disable-pip-version-check --no-cache-dir --no-input "${@:2}"; }

venv_with "$work/build-env" "$tools/usr/lib/python3/dist-packages"
log "building the wheel"
start=$SECONDS
CMAKE_BUILD_PARALLEL_LEVEL="${JOBS:-2}" pip "$work/build-env/bin/python" wheel --quiet \
    --no-build-isolation --no-deps --no-index --wheel-dir "$work/dist" "$REPO"
wheel="$(compgen -G "$work/dist/velmorquist_proxy-*.whl")"
log "built $(basename "$wheel") in $((SECONDS - start)) s"

venv_with "$work/venv" "${facts[@]:1}"
pip "$work/venv/bin/python" install --quiet --no-index --no-deps "$wheel"

cd "$work"
"$work/venv/bin/python" - "$work/venv" <<'PY'
import os, sys
import velmorquist_proxy, velmorquist_proxy._native as native
home = os.path.realpath(sys.argv[1])
for module in (velmorquist_proxy, native):
    where = os.path.realpath(module.__file__)
    assert where.startswith(home + os.sep), f"{module.__name__} imported from {where}"
folder = os.path.dirname(velmorquist_proxy.__file__)
for name in ("_native.pyi", "py.typed", "server/app.py"):
    assert os.path.isfile(os.path.join(folder, name)), f"{name} not installed"
print(f"test-wheel: velmorquist_proxy {velmorquist_proxy.__version__} installed in {folder}",
      file=sys.stderr)
PY
# What a wheel can get wrong is what it holds: every module and data file
# importable, the stubs matching, the README's examples running. The whole
# suite already ran against the build tree.
log "running the package tests against the installed package"
"$work/venv/bin/python" -m pytest -c "$REPO/pytest.ini" --rootdir "$REPO" -q \
    "$REPO/tests/python/test_package.py" "$REPO/tests/python/test_readme.py" \
    "$REPO/tests/python/gateway/test_gateway.py"
