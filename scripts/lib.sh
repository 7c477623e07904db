# Sourced, not run: what the provisioning scripts share. Logging to stderr
# under the script's name, the project's cache folder, one lock per cache
# resource, and a scratch directory removed on exit.

readonly SUITE=trixie
readonly CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/velmorquist-proxy"
LOG_NAME="$(basename "$0" .sh)"
readonly LOG_NAME

log() { printf '%s: %s\n' "$LOG_NAME" "$*" >&2; }
die() { printf '%s: error: %s\n' "$LOG_NAME" "$*" >&2; exit 1; }

WORK=""
cleanup() { if [[ -n "$WORK" ]]; then rm -rf "$WORK"; fi; }
trap cleanup EXIT

workdir() {  # lazily create a scratch dir on the cache's filesystem
    if [[ -z "$WORK" ]]; then
        WORK="$(mktemp -d "$CACHE/tmp.XXXXXX")"
    fi
}

# lock_cache NAME: creates the cache and holds $CACHE/NAME locked (on file
# descriptor 9) until the script exits, so concurrent runs take turns.
lock_cache() {
    mkdir -p "$CACHE"
    if command -v flock >/dev/null; then
        exec 9>"$CACHE/$1"
        flock 9
    fi
}
