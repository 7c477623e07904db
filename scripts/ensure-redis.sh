#!/usr/bin/env bash
# Installs Debian's redis-server when it is missing: the fleet tests and the
# fleet demo start their own server from it (they never use a system one).
set -euo pipefail

command -v redis-server >/dev/null 2>&1 && exit 0

echo "installing redis-server" >&2
sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
"${sudo_cmd[@]}" apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends redis-server >&2
