#!/usr/bin/env bash
# Provide the PEP 517 build backend (scikit-build-core and its pure-Python
# dependencies) and a pip wheel without PyPI, for
# `pip install . --no-build-isolation` on machines that cannot reach PyPI.
#
# Debian trixie's architecture-independent packages are unpacked into
# $CACHE/buildtools (see debian-apt.sh).  The LAST line printed on stdout is
# that directory; inside it
#   usr/lib/python3/dist-packages/          goes on the building python's path
#   usr/share/python-wheels/pip-*.whl       runs as `python <wheel>/pip ...`
# Diagnostics go to stderr.  Knobs: XDG_CACHE_HOME, VELMORQUIST_DEBIAN_MIRROR.
set -euo pipefail

readonly SUITE=trixie
readonly CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/velmorquist-proxy"
readonly BUILDTOOLS="$CACHE/buildtools"
readonly BUILDTOOL_PKGS="python3-scikit-build-core python3-pathspec python3-pyproject-metadata python3-packaging python3-pip-whl"

log() { printf 'provision-build-backend: %s\n' "$*" >&2; }
die() { printf 'provision-build-backend: error: %s\n' "$*" >&2; exit 1; }

WORK=""
cleanup() { if [[ -n "$WORK" ]]; then rm -rf "$WORK"; fi; }
trap cleanup EXIT
workdir() {
    if [[ -z "$WORK" ]]; then
        WORK="$(mktemp -d "$CACHE/tmp.XXXXXX")"
    fi
}

# shellcheck source=scripts/debian-apt.sh
source "$(dirname "${BASH_SOURCE[0]}")/debian-apt.sh"

mkdir -p "$CACHE"
if command -v flock >/dev/null; then
    exec 9>"$CACHE/.lock"
    flock 9
fi
unpack_debs "$BUILDTOOLS" "$BUILDTOOL_PKGS" scikit_build_core
compgen -G "$BUILDTOOLS/usr/share/python-wheels/pip-*.whl" >/dev/null \
    || die "no pip wheel in $BUILDTOOLS/usr/share/python-wheels"
printf '%s\n' "$BUILDTOOLS"
