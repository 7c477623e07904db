#!/usr/bin/env bash
# Installs the C++ toolchain pieces the build needs when they are missing
# (they come with this project's machines; a bare Debian 12 lacks some).
set -euo pipefail

needed=(cmake g++ make libgtest-dev libgmock-dev libbenchmark-dev)
# The fuzz targets: clang with its libFuzzer and sanitizer runtimes.
needed+=(clang-14 libclang-rt-14-dev)
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
