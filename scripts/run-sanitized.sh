#!/usr/bin/env bash
# Runs a command (an uninstrumented Python) so that it can load an extension
# built with -DVELMORQUIST_SANITIZE=ON: the ASan runtime must be the first
# library in the process, so it is preloaded, and with it the C++ runtime,
# whose __cxa_throw ASan must find when it starts (a C program such as the
# interpreter does not load it by itself). Any ASan or UBSan report aborts.
#
#   PYTHONPATH=build-asan/python scripts/run-sanitized.sh "$PY" -m pytest tests/python
#
# Leak checking stays on, with no suppressions: Python's own allocator is
# switched to malloc so that every object is visible to ASan and LeakSanitizer.
# That needs an interpreter that frees what it allocated by the time it exits:
# the debug CPython 3.13.5 that `provision-python.sh --debug` builds does;
# 3.13.0 does not (it loses interned strings it made immortal) and would need
# suppressions that could hide the module's own leaks.
set -euo pipefail

cxx="${CXX:-g++}"
asan="$("$cxx" -print-file-name=libasan.so)"
cxxrt="$("$cxx" -print-file-name=libstdc++.so)"
for library in "$asan" "$cxxrt"; do
    [[ -f "$library" ]] || { echo "run-sanitized: $library not found for $cxx" >&2; exit 1; }
done

export LD_PRELOAD="$asan $cxxrt${LD_PRELOAD:+ $LD_PRELOAD}"
export PYTHONMALLOC="${PYTHONMALLOC:-malloc}"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
exec "$@"
