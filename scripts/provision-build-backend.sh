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

# shellcheck source=scripts/lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

readonly BUILDTOOLS="$CACHE/buildtools"
readonly BUILDTOOL_PKGS="python3-scikit-build-core python3-pathspec python3-pyproject-metadata python3-packaging python3-pip-whl"

# shellcheck source=scripts/debian-apt.sh
source "$(dirname "${BASH_SOURCE[0]}")/debian-apt.sh"

lock_cache .lock
unpack_debs "$BUILDTOOLS" "$BUILDTOOL_PKGS" scikit_build_core
compgen -G "$BUILDTOOLS/usr/share/python-wheels/pip-*.whl" >/dev/null \
    || die "no pip wheel in $BUILDTOOLS/usr/share/python-wheels"
printf '%s\n' "$BUILDTOOLS"
