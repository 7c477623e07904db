#!/usr/bin/env bash
# Installs the toolchain pieces a make target needs when they are missing
# (they come with this project's machines; a bare Debian 12 lacks some).
#
#     scripts/ensure-build-tools.sh SET...
#
# build   compiler, CMake and GoogleTest: what `make build` needs
# bench   Google Benchmark, for `make bench`
# fuzz    clang with its libFuzzer and sanitizer runtimes, for the fuzz targets
set -euo pipefail

needed=()
for set in "$@"; do
    case "$set" in
        build) needed+=(cmake g++ make libgtest-dev libgmock-dev) ;;
        bench) needed+=(libbenchmark-dev) ;;
        fuzz) needed+=(clang-14 libclang-rt-14-dev) ;;
        *) echo "ensure-build-tools: unknown set '$set' (build, bench, fuzz)" >&2; exit 2 ;;
    esac
done
missing=()
for package in "${needed[@]}"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing build tools: ${missing[*]}" >&2
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >&2
