# Sourced, not run: a private apt state for Debian's $SUITE archive that never
# touches the system's apt configuration, and unpacking of its
# Python packages into the project's cache.
#
# The sourcing script sources lib.sh first, which provides log, die, workdir
# (which sets $WORK to a scratch directory removed on exit) and SUITE.

find_mirror() {
    if [[ -n "${VELMORQUIST_DEBIAN_MIRROR:-}" ]]; then
        printf '%s\n' "${VELMORQUIST_DEBIAN_MIRROR%/}"; return
    fi
    local f uris=()
    # deb822 sources: "URIs:" fields of enabled stanzas, comments ignored.
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -r "$f" ]] || continue
        mapfile -t -O "${#uris[@]}" uris < <(awk '
            function flush() { if (enabled) for (i = 1; i <= n; i++) print u[i]; n = 0; enabled = 1 }
            BEGIN { enabled = 1 }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            tolower($1) == "enabled:" && tolower($2) == "no" { enabled = 0 }
            tolower($1) == "uris:" { for (i = 2; i <= NF; i++) u[++n] = $i }
            END { flush() }' "$f")
    done
    # one-line sources: "deb [options] URI suite components..."
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -r "$f" ]] || continue
        mapfile -t -O "${#uris[@]}" uris < <(sed -E -n \
            -e 's/^[[:space:]]*deb(-src)?[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+).*/\3/p' "$f")
    done
    local u
    for u in "${uris[@]}"; do
        u="${u%/}"
        if [[ "$u" =~ ^(https?|ftp|file):.*/debian$ ]]; then
            printf '%s\n' "$u"; return
        fi
    done
    die "no Debian archive URI (ending in /debian) found in /etc/apt/sources.list{,.d/}; set VELMORQUIST_DEBIAN_MIRROR"
}

APT_READY=""
APT_OPTS=()
apt_private() {  # set up + update a private apt state for $SUITE (once per run)
    [[ -n "$APT_READY" ]] && return
    command -v apt-get >/dev/null || die "apt-get not found; this script needs a Debian-based system"
    workdir
    local mirror dir="$WORK/apt" opt=""
    mirror="$(find_mirror)"
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/status"
    if [[ -r /usr/share/keyrings/debian-archive-keyring.gpg ]]; then
        opt="[signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] "
    fi
    printf 'deb %s%s %s main\ndeb-src %s%s %s main\n' \
        "$opt" "$mirror" "$SUITE" "$opt" "$mirror" "$SUITE" >"$dir/sources.list"
    APT_OPTS=(
        -o "Dir::Etc::SourceList=$dir/sources.list"
        -o "Dir::Etc::SourceParts=/dev/null"
        -o "Dir::State::Lists=$dir/lists"
        -o "Dir::State::status=$dir/status"
        -o "Dir::Cache=$dir/cache"
    )
    # The private dirs may sit under a 0700 home the _apt user cannot enter.
    if [[ "$(id -u)" == 0 ]]; then APT_OPTS+=(-o "APT::Sandbox::User=root"); fi
    log "updating private apt lists for $SUITE from $mirror"
    apt-get "${APT_OPTS[@]}" -q update >&2 || die "apt-get update of the private $SUITE lists failed"
    APT_READY=1
}

# unpack_debs DEST PKGS CHECK: download the packages named in PKGS (one
# string, blank-separated) from $SUITE, unpack them into DEST and record PKGS
# in DEST/.complete.  DEST/usr/lib/python3/dist-packages/CHECK must exist
# afterwards.  DEST is
# replaced only once the new contents are complete; a DEST whose .complete
# already lists PKGS is left alone. Packages built for this machine's
# architecture are accepted when their extension modules need no newer glibc
# than this machine has (trixie's builds of the few we use need 2.14 at most).
unpack_debs() {
    local dest="$1" pkgs="$2" check="$3"
    if [[ -f "$dest/.complete" && "$(<"$dest/.complete")" == "$pkgs" ]]; then
        return
    fi
    apt_private
    local name debs stage p d wanted=()
    name="$(basename "$dest")"
    debs="$WORK/debs-$name" stage="$WORK/stage-$name"
    rm -rf "$debs" "$stage"
    mkdir -p "$debs" "$stage"
    for p in $pkgs; do wanted+=("$p/$SUITE"); done
    log "downloading $SUITE packages: $pkgs"
    (cd "$debs" && apt-get "${APT_OPTS[@]}" -q download "${wanted[@]}" >&2) \
        || die "apt-get download of $pkgs failed"
    local arch
    arch="$(dpkg --print-architecture)"
    for d in "$debs"/*.deb; do
        case "$(dpkg-deb -f "$d" Architecture)" in
            all | "$arch") ;;
            *) die "$(basename "$d") is built for another architecture" ;;
        esac
        dpkg-deb -x "$d" "$stage"
    done
    check_glibc "$stage"
    [[ -e "$stage/usr/lib/python3/dist-packages/$check" ]] || die "$check missing from the unpacked packages"
    printf '%s\n' "$pkgs" >"$stage/.complete"
    rm -rf "$dest"
    mv "$stage" "$dest"
}

# check_glibc DIR: dies when a shared object under DIR asks for a glibc
# symbol version newer than the one this machine runs.
check_glibc() {
    local have need so
    have="$(getconf GNU_LIBC_VERSION | awk '{print $2}')"
    while IFS= read -r -d '' so; do
        need="$(objdump -T "$so" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -V | tail -n1)"
        [[ -z "$need" ]] && continue
        if [[ "$(printf '%s\n%s\n' "$need" "$have" | sort -V | tail -n1)" != "$have" ]]; then
            die "$(basename "$so") needs glibc $need; this machine has $have"
        fi
    done < <(find "$1" -name '*.so' -print0)
}
