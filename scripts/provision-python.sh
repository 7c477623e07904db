#!/usr/bin/env bash
# Find or provision a CPython 3.13 interpreter with development headers and
# with pytest + hypothesis importable, without needing PyPI.
#
# The LAST line printed on stdout is the absolute path of that interpreter;
# every diagnostic goes to stderr.  Usage:
#
#     PY="$(scripts/provision-python.sh | tail -n1)"
#     "$PY" -m pytest
#
# Interpreter search order:
#   1. $PYTHON, if set (must be a working 3.13 with headers);
#   2. python3.13 on PATH, if it really runs and has headers;
#   3. a pyenv-installed 3.13 ($(pyenv root)/versions/3.13.*/bin/python3.13);
#   4. a copy built earlier into $CACHE/cpython-3.13;
#   5. otherwise build one from Debian's (trixie) source package of python3.13.
# Test tools: if the interpreter cannot import pytest, hypothesis and aiohttp,
# Debian trixie's packages for them are unpacked into
# $CACHE/testtools and a venv per interpreter ($CACHE/venv-3.13-<key>) is
# pointed at them with a .pth file; the venv's python is then printed.
#
# Environment knobs:
#   PYTHON                      explicit interpreter to use
#   XDG_CACHE_HOME              cache root (default ~/.cache)
#   VELMORQUIST_FORCE_BUILD=1   skip steps 2 and 3 (simulates a fresh machine)
#   VELMORQUIST_DEBIAN_MIRROR   Debian archive URI to use instead of the one
#                               found in the machine's apt sources
#   VELMORQUIST_JOBS            parallel make jobs for the build (default: nproc)
#
# With --debug the same steps provide a debug interpreter (configured
# --with-pydebug, so sys.gettotalrefcount exists) for reference-leak checks:
# $PYTHON_DEBUG replaces $PYTHON, interpreters without the debug hooks are
# passed over, and the build goes to $CACHE/cpython-3.13-pydebug.
set -euo pipefail

DEBUG_BUILD=0
if [[ "${1:-}" == --debug ]]; then DEBUG_BUILD=1; fi

# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

if ((DEBUG_BUILD)); then
    readonly PREFIX="$CACHE/cpython-3.13-pydebug"
    readonly CONFIGURE_EXTRA=(--with-pydebug)
    PYTHON="${PYTHON_DEBUG:-}"
else
    readonly PREFIX="$CACHE/cpython-3.13"
    readonly CONFIGURE_EXTRA=()
fi
readonly TESTTOOLS="$CACHE/testtools"
# Debian trixie's pure-python packages that make up pytest 8 + hypothesis on
# Python 3.13 (exceptiongroup and tomli are only needed before 3.11), and redis-py.
readonly TESTTOOL_PKGS="python3-pytest python3-pluggy python3-iniconfig python3-packaging python3-hypothesis python3-attr python3-sortedcontainers python3-dateutil python3-six python3-redis"
# aiohttp and httpx with their dependencies, for the loopback HTTP servers and
# clients of the tests; aiohttp's arch-specific ones are built for 3.13 and
# need an old glibc.
readonly HTTPTOOLS="$CACHE/httptools"
readonly HTTP_PKGS="python3-aiohttp python3-aiohappyeyeballs python3-aiosignal python3-frozenlist python3-multidict python3-propcache python3-yarl python3-idna python3-httpx python3-httpcore python3-h11 python3-anyio python3-sniffio python3-certifi"
readonly BUILD_DEPS="zlib1g-dev libssl-dev libffi-dev libbz2-dev liblzma-dev libsqlite3-dev libreadline-dev"

# ---------------------------------------------------------------------------
# Probing interpreters

# probe PY -> prints "<sys.executable>\n<status>" where status is one of
#   ok      3.13 with Python.h, pytest, hypothesis and aiohttp import
#   notools 3.13 with Python.h, but pytest/hypothesis missing
#   noheaders / version=X.Y
# Fails (non-zero) if PY does not run at all.
readonly PROBE='
import os, sys, sysconfig
print(sys.executable)
if sys.version_info[:2] != (3, 13):
    print("version=%d.%d" % sys.version_info[:2]); raise SystemExit
if not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")):
    print("noheaders"); raise SystemExit
if sys.argv[2] == "1" and not hasattr(sys, "gettotalrefcount"):
    print("nodebug"); raise SystemExit
if sys.argv[1] == "quick":   # a venv this script already verified once
    from importlib.metadata import version
    try:
        ok = (int(version("pytest").split(".")[0]) >= 8 and version("hypothesis")
              and version("aiohttp"))
    except Exception:
        ok = False
else:
    try:
        import pytest, hypothesis, aiohttp
        ok = int(pytest.__version__.split(".")[0]) >= 8
    except Exception:
        ok = False
print("ok" if ok else "notools")
'
# probe PY [full|quick]
probe() { "$1" -c "$PROBE" "${2:-full}" "$DEBUG_BUILD" 2>/dev/null </dev/null; }

# usable PY [full|quick]: succeeds when PY runs, is 3.13 and has headers;
# sets PY_EXE (sys.executable) and PY_STATUS.
usable() {
    local out
    out="$(probe "$1" "${2:-full}")" || return 1
    PY_EXE="$(sed -n 1p <<<"$out")"
    PY_STATUS="$(sed -n 2p <<<"$out")"
    [[ -n "$PY_EXE" && ( "$PY_STATUS" == ok || "$PY_STATUS" == notools ) ]]
}

as_root() {
    if [[ "$(id -u)" == 0 ]]; then "$@"
    elif command -v sudo >/dev/null; then sudo "$@"
    else die "need root to run: $*"; fi
}

# shellcheck source=scripts/debian-apt.sh
source "$(dirname "${BASH_SOURCE[0]}")/debian-apt.sh"

# ---------------------------------------------------------------------------
# Step 5: build CPython 3.13 from Debian's source package

ensure_build_deps() {
    local missing=() p
    for p in $BUILD_DEPS; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    command -v gcc >/dev/null && command -v make >/dev/null || missing+=(build-essential)
    command -v pkg-config >/dev/null || missing+=(pkg-config)
    command -v xz >/dev/null || missing+=(xz-utils)
    if ((${#missing[@]})); then
        log "installing build dependencies: ${missing[*]}"
        as_root apt-get update -q >&2
        as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
    fi
}

build_cpython() {
    ensure_build_deps
    apt_private
    local src="$WORK/src" tarball stage="$WORK/stage" buildlog="$PREFIX-build.log"
    mkdir -p "$src"
    log "downloading Debian $SUITE source package of python3.13"
    (cd "$src" && apt-get "${APT_OPTS[@]}" -q source --download-only "python3.13/$SUITE" >&2) \
        || die "could not download the python3.13 source package from $SUITE"
    tarball="$(find "$src" -maxdepth 1 -name 'python3.13_3.13.*.orig.tar.xz' | sort -V | tail -n1)"
    [[ -n "$tarball" ]] || die "no python3.13_3.13.*.orig.tar.xz in the downloaded source package"
    log "building $(basename "$tarball") into $PREFIX (log: $buildlog)"
    tar -C "$src" -xJf "$tarball"
    local tree
    tree="$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'Python-3.13*' | head -n1)"
    [[ -n "$tree" ]] || die "unexpected layout of $(basename "$tarball")"
    local jobs="${VELMORQUIST_JOBS:-$(nproc 2>/dev/null || echo 2)}"
    local start=$SECONDS
    if ! (cd "$tree" \
            && ./configure --prefix="$PREFIX" --without-ensurepip "${CONFIGURE_EXTRA[@]}" \
            && make -j"$jobs" \
            && make install DESTDIR="$stage") >"$buildlog" 2>&1; then
        tail -n 40 "$buildlog" >&2
        die "building CPython failed; see $buildlog"
    fi
    # Installed into a staging DESTDIR, moved into place only when complete.
    rm -rf "$PREFIX"
    mv "$stage$PREFIX" "$PREFIX"
    log "built CPython in $((SECONDS - start)) s"
}

# ---------------------------------------------------------------------------
# Test tools from Debian trixie's packages

ensure_testtools() {
    unpack_debs "$TESTTOOLS" "$TESTTOOL_PKGS" pytest
    unpack_debs "$HTTPTOOLS" "$HTTP_PKGS" aiohttp
}

complete() {  # complete DIR PKGS: DIR holds exactly PKGS, unpacked
    [[ -f "$1/.complete" && "$(<"$1/.complete")" == "$2" ]]
}

# venv_for BASE: a venv of BASE that sees $TESTTOOLS through a .pth file
venv_for() {
    local base="$1" key venv
    key="$(printf '%s' "$base" | sha256sum | cut -c1-12)"
    venv="$CACHE/venv-3.13-$key"
    if [[ -x "$venv/bin/python3.13" ]] && complete "$TESTTOOLS" "$TESTTOOL_PKGS" \
        && complete "$HTTPTOOLS" "$HTTP_PKGS" \
        && usable "$venv/bin/python3.13" quick && [[ "$PY_STATUS" == ok ]]; then
        VENV_PY="$venv/bin/python3.13"; return
    fi
    ensure_testtools
    log "creating venv $venv for $base"
    rm -rf "$venv"
    "$base" -m venv --without-pip "$venv" >&2 || die "could not create a venv with $base"
    local purelib
    purelib="$("$venv/bin/python3.13" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')"
    printf '%s\n' "$TESTTOOLS/usr/lib/python3/dist-packages" "$HTTPTOOLS/usr/lib/python3/dist-packages" \
        >"$purelib/velmorquist-testtools.pth"
    usable "$venv/bin/python3.13" \
        || die "venv python $venv/bin/python3.13 does not run or does not see Python.h of $base"
    [[ "$PY_STATUS" == ok ]] || die "pytest/hypothesis still not importable from $venv/bin/python3.13"
    VENV_PY="$venv/bin/python3.13"
}

# ---------------------------------------------------------------------------
# Main

# The debug build has a lock of its own: its long build need not hold up the
# release interpreter's users.
lock_cache ".lock$( ((DEBUG_BUILD)) && echo -pydebug)"

PY_EXE="" PY_STATUS="" found=""
if [[ -n "${PYTHON:-}" ]]; then
    cand="$PYTHON"
    if [[ "$cand" != */* ]]; then
        cand="$(command -v "$cand" || true)"
    fi
    [[ -n "$cand" && -f "$cand" && -x "$cand" ]] || die "PYTHON=$PYTHON is not an executable file"
    out="$(probe "$cand")" || die "PYTHON=$PYTHON does not run"
    if ! usable "$cand"; then
        die "PYTHON=$PYTHON is not a CPython 3.13 with development headers (probe said: $(sed -n 2p <<<"$out"))"
    fi
    found="$PY_EXE"
    log "using \$PYTHON: $found"
fi

if [[ -z "$found" && "${VELMORQUIST_FORCE_BUILD:-0}" != 1 ]]; then
    if cand="$(command -v python3.13)" && usable "$cand"; then
        found="$PY_EXE"
        log "using python3.13 from PATH: $found"
    fi
    if [[ -z "$found" ]]; then
        root="$(pyenv root 2>/dev/null || true)"
        root="${root:-${PYENV_ROOT:-$HOME/.pyenv}}"
        mapfile -t cands < <(printf '%s\n' "$root"/versions/3.13.*/bin/python3.13 | sort -rV)
        for cand in "${cands[@]}"; do
            [[ -x "$cand" ]] || continue
            if usable "$cand"; then
                found="$PY_EXE"
                log "using pyenv's $found"
                break
            fi
        done
    fi
fi

if [[ -z "$found" ]]; then
    if [[ -x "$PREFIX/bin/python3.13" ]] && usable "$PREFIX/bin/python3.13"; then
        found="$PY_EXE"
        log "using the cached build $found"
    else
        build_cpython
        usable "$PREFIX/bin/python3.13" || die "the freshly built $PREFIX/bin/python3.13 is unusable"
        found="$PY_EXE"
    fi
fi

if [[ "$PY_STATUS" == ok ]]; then
    printf '%s\n' "$found"
    exit 0
fi

VENV_PY=""
venv_for "$found"
log "pytest and hypothesis available via $VENV_PY"
printf '%s\n' "$VENV_PY"
