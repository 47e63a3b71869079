#!/usr/bin/env bash
# The module on Debian's next suite (forky): its newest Pythons (3.14, 3.15),
# GCC, OpenSSL, libsodium and ipsec-mb, in a chroot of that suite.
#
#   next_suite.sh [--wheel WHEEL_OR_DIR] [--refresh]
#
# Inside the chroot, from a copy of this tree: the module, the C++ tests and
# the test-only modules are built from source for each Python there (warnings
# as errors) and the C++ tests run; then the whole Python suite runs on each
# Python. With --wheel (a wheel, or the folder scripts/wheel.sh wrote) the
# suite runs against that wheel installed into a clean virtual environment
# of each Python (scripts/check_wheel.sh); without it, against the build from
# source.
#
# The chroot is made once (debootstrap from the mirror this machine's apt
# uses, then the packages below) and kept in $VELMORA_NEXT_SUITE_CACHE
# (/var/cache/velmora-next-suite), outside any clone, so later runs, in this
# clone or a fresh one, start at once; it is made again when the package list
# changes, or with --refresh. /proc, /dev and /sys are mounted into it only for
# the run, in a mount namespace of the run's own, and unmounted on exit. Needs
# root (debootstrap, chroot, mount).
#
# Every step runs even when an earlier one fails; the exit status reports any
# failure.
set -uo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SUITE=forky
VERSIONS=(3.14 3.15)
PACKAGES=(python3.14 python3.14-dev python3.14-venv python3.15 python3.15-dev python3.15-venv
          build-essential libssl-dev libsodium-dev libipsec-mb-dev rapidjson-dev libgtest-dev
          cmake ninja-build pkg-config ca-certificates ccache)
CACHE="${VELMORA_NEXT_SUITE_CACHE:-/var/cache/velmora-next-suite}"
CHROOT="$CACHE/$SUITE"
# The host's CA bundle, as the chroot sees it: pip inside trusts what pip here trusts.
HOST_CA=/etc/ssl/host-ca-certificates.crt

log() { echo "[next-suite] $*" >&2; }

# --- inside the chroot ------------------------------------------------------------
# Runs as `next_suite.sh --inside RUN [WHEEL]` under chroot, RUN being the
# run's folder (the tree's copy in RUN/src).
inside() {
    local run="$1" wheel="${2:-}" failed=() version py dir
    local src="$run/src"
    export VELMORA_WERROR=ON TMPDIR="$run/tmp"
    # Compiler results kept in the chroot: what the other Python's build, and
    # later runs, compile again from the same source comes from there. Paths
    # below the run's folder count as relative, since that folder is new each run.
    export CCACHE_DIR=/var/cache/ccache CCACHE_BASEDIR="$run" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE=2G
    # And the packages the suite needs, as downloaded.
    export PIP_CACHE_DIR=/var/cache/pip
    mkdir -p "$TMPDIR"
    cd "$run" || return 1
    step() {  # name, command...
        local name="$1"; shift
        echo "== $name"
        "$@" || failed+=("$name")
    }
    echo "== on $(. /etc/os-release && echo "$PRETTY_NAME"): $(gcc --version | head -1)," \
        "glibc $(getconf GNU_LIBC_VERSION | cut -d' ' -f2)," \
        "OpenSSL $(pkg-config --modversion openssl), libsodium $(pkg-config --modversion libsodium)," \
        "ipsec-mb $(dpkg-query -W -f='${Version}' libipsec-mb-dev)"
    for version in "${VERSIONS[@]}"; do
        py="/usr/bin/python$version"
        # Where the suite looks for a version's test-only modules when it is
        # run without VELMORA_TESTMODS, as the host's other versions are built.
        dir="$src/build/py$version"
        # The C++ tests are the same whichever Python the build is for: built
        # and run once, with the first.
        if [ "$version" = "${VERSIONS[0]}" ]; then
            step "Build from source (Python $version, C++ tests included)" build_tree "$src" "$dir" "$py"
            step "C++ tests" ctest --test-dir "$dir" --output-on-failure -j "$(nproc)"
        else
            step "Build from source (Python $version)" build_tree "$src" "$dir" "$py" \
                _secure _mlkem_test _x25519_test _stack_probe _secure_unwiped
        fi
        if [ -n "$wheel" ]; then
            step "Wheel (Python $version, clean environment, Python suite)" \
                bash "$src/scripts/check_wheel.sh" wheel "$wheel" "$py" "$dir/testmods"
        else
            step "Python suite (Python $version, built from source)" suite_from_build "$src" "$dir" "$py"
        fi
    done
    if ((${#failed[@]})); then
        echo "FAILED on $SUITE: ${failed[*]}"
        return 1
    fi
    echo "All stages on $SUITE passed."
}

build_tree() {  # source, build-dir, interpreter, targets...
    local src="$1" dir="$2" py="$3"; shift 3
    local targets=()
    for t in "$@"; do targets+=(--target "$t"); done
    cmake -S "$src" -B "$dir" -G Ninja -DPython_EXECUTABLE="$py" -DVELMORA_BUILD_TESTS=ON \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null || return 1
    # The compiler's output only when the build fails.
    cmake --build "$dir" -j "$(nproc)" "${targets[@]}" >"$dir/build.log" 2>&1 \
        || { grep -v '^\[[0-9]*/[0-9]*\] ' "$dir/build.log" | tail -60; return 1; }
}

# The suite against the build tree's package, from a virtual environment with
# the suite's own dependencies (as pinned in requirements-dev.txt).
suite_from_build() {  # source, build-dir, interpreter
    local src="$1" dir="$2" py="$3" venv="$2/venv" deps
    "$py" -m venv "$venv" || return 1
    mapfile -t deps < <(grep -E '^(pytest|cryptography|pynacl|numpy)\b' "$src/requirements-dev.txt")
    "$venv/bin/python" -m pip install -q "${deps[@]}" || return 1
    (cd "$TMPDIR" && PYTHONPATH="$dir/python" VELMORA_TESTMODS="$dir/testmods" \
        "$venv/bin/python" -P -m pytest -q -p no:cacheprovider "$src/tests")
}

if [ "${1:-}" = "--inside" ]; then
    shift
    inside "$@"
    exit
fi

# --- on the host --------------------------------------------------------------------
WHEEL=""
REFRESH=""
while (($#)); do
    case "$1" in
        --wheel) WHEEL="${2:?--wheel needs a wheel or a folder}"; shift 2 ;;
        --refresh) REFRESH=1; shift ;;
        -h|--help) sed -n '2,/^set /p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
        *) echo "usage: next_suite.sh [--wheel WHEEL_OR_DIR] [--refresh]" >&2; exit 2 ;;
    esac
done

if [ "$(id -u)" -ne 0 ]; then
    echo "next_suite.sh needs root (debootstrap, chroot, mount): run it with sudo" >&2
    exit 1
fi

# The wheel for the next suite's Pythons: one built against the stable ABI of a
# Python no newer than the oldest of them, for this machine's architecture (the
# folder may hold the cross-built aarch64 wheel too).
if [ -n "$WHEEL" ]; then
    if [ -d "$WHEEL" ]; then
        found=""
        for w in "$WHEEL"/velmora-*-cp3*-abi3-manylinux*_"$(uname -m)".whl; do
            [ -f "$w" ] && found="$w" && break
        done
        if [ -z "$found" ]; then
            echo "no stable-ABI (abi3) wheel in $WHEEL: nothing there installs on Python ${VERSIONS[*]}" >&2
            exit 1
        fi
        WHEEL="$found"
    fi
    [ -f "$WHEEL" ] || { echo "no such wheel: $WHEEL" >&2; exit 1; }
    WHEEL="$(realpath "$WHEEL")"
fi

# The Debian mirror this machine's apt uses: the first source of the host's own
# release (not its security archive). VELMORA_NEXT_SUITE_MIRROR overrides it.
host_mirror() {
    local codename
    codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
    {
        # One-line sources: deb [options] URI suite components...
        sed -E -n 's/^[[:space:]]*deb[[:space:]]+(\[[^]]*\][[:space:]]+)?([^[:space:]]+)[[:space:]]+([^[:space:]]+).*/\2 \3/p' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
        # deb822 sources: URIs and Suites of each stanza.
        awk 'BEGIN { RS = ""; FS = "\n" }
             { uri = ""; suites = ""; deb = 0
               for (i = 1; i <= NF; i++) {
                   if ($i ~ /^Types:/ && (" " $i " ") ~ /[ \t]deb[ \t]/) deb = 1
                   if ($i ~ /^URIs:/) { split($i, a, /[ \t]+/); uri = a[2] }
                   if ($i ~ /^Suites:/) { suites = $i; sub(/^Suites:[ \t]*/, "", suites) }
               }
               if (deb && uri != "") { n = split(suites, s, /[ \t]+/); for (j = 1; j <= n; j++) print uri, s[j] } }' \
            /etc/apt/sources.list.d/*.sources 2>/dev/null
    } | awk -v want="$codename" '$2 == want || $2 == want "-updates" { print $1; exit }'
}

MIRROR="${VELMORA_NEXT_SUITE_MIRROR:-$(host_mirror)}"
if [ -z "$MIRROR" ]; then
    MIRROR=http://deb.debian.org/debian
    log "no Debian source in this machine's apt configuration: using $MIRROR"
fi
export VELMORA_NEXT_SUITE_MIRROR="$MIRROR"

ensure_debootstrap() {
    command -v debootstrap >/dev/null && return 0
    log "installing debootstrap"
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >/dev/null
}

# Commands in the chroot, with its own PATH and the host's proxy settings.
in_chroot() {
    chroot "$CHROOT" /usr/bin/env -i HOME=/root LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        ${http_proxy:+http_proxy="$http_proxy"} ${https_proxy:+https_proxy="$https_proxy"} \
        ${no_proxy:+no_proxy="$no_proxy"} "$@"
}

BASE_STAMP="$CHROOT/.velmora-base"
PACKAGES_STAMP="$CHROOT/.velmora-packages"
want_base="$SUITE $MIRROR"
want_packages="${PACKAGES[*]}"

# Makes the chroot (debootstrap) when there is none or it was made from
# another suite or mirror. Run under the exclusive lock.
ensure_base() {
    if [ -n "$REFRESH" ] || [ ! -f "$BASE_STAMP" ] || [ "$(cat "$BASE_STAMP")" != "$want_base" ]; then
        ensure_debootstrap || return 1
        # --one-file-system: a mount left behind by a killed run is never followed.
        rm -rf --one-file-system "$CHROOT" "$CHROOT.new"
        log "making a $SUITE chroot from $MIRROR (once; kept in $CHROOT)"
        # This debootstrap may predate the suite's name: the unstable script
        # serves every suite after the current release.
        local script=""
        [ -e "/usr/share/debootstrap/scripts/$SUITE" ] || script=/usr/share/debootstrap/scripts/sid
        debootstrap --variant=minbase "$SUITE" "$CHROOT.new" "$MIRROR" $script >"$CACHE/debootstrap.log" 2>&1 \
            || { tail -20 "$CACHE/debootstrap.log" >&2; return 1; }
        # A suite in development may be served with a Release file past its
        # Valid-Until date.
        echo 'Acquire::Check-Valid-Until "false";' > "$CHROOT.new/etc/apt/apt.conf.d/99velmora"
        echo "$want_base" > "$CHROOT.new/.velmora-base"
        mv "$CHROOT.new" "$CHROOT"
    fi
}

# Installs the packages when the list changed since the last install. Run
# under the exclusive lock, with the system mounted.
ensure_packages() {
    if [ ! -f "$PACKAGES_STAMP" ] || [ "$(cat "$PACKAGES_STAMP")" != "$want_packages" ]; then
        log "installing into the chroot: ${PACKAGES[*]}"
        { in_chroot apt-get update -qq && in_chroot apt-get install -y -qq --no-install-recommends "${PACKAGES[@]}"; } \
            >"$CACHE/apt.log" 2>&1 || { tail -20 "$CACHE/apt.log" >&2; return 1; }
        in_chroot apt-get clean
        echo "$want_packages" > "$PACKAGES_STAMP"
    fi
}

# pip inside reaches the package index as pip here does: the host's pip
# configuration files and PIP_* variables, its CA bundle, and the local
# folders they name (read-only).
PIP_FILES=(/etc/pip.conf /etc/xdg/pip "$HOME/.config/pip" "$HOME/.pip")
pip_local_paths() {
    local py
    py="$(command -v python3)" || return 0
    "$py" -m pip config list 2>/dev/null | sed -E "s/^[^=]*='?//; s/'$//" | tr ' ' '\n'
    env | sed -n -E 's/^PIP_[A-Z_]*=//p' | tr ' ' '\n'
} 2>/dev/null

copied_pip_file() {  # path
    local f
    for f in "${PIP_FILES[@]}"; do
        case "$1" in "$f" | "$f"/*) return 0 ;; esac
    done
    return 1
}

copy_pip_config() {
    local f
    for f in "${PIP_FILES[@]}"; do
        [ -e "$f" ] || continue
        mkdir -p "$CHROOT$(dirname "$f")"
        rm -rf "${CHROOT:?}$f"
        cp -a "$f" "$CHROOT$f"
    done
}

# --- the run: in a mount namespace of its own ---------------------------------------
MOUNTED=()
unmount_all() {
    local i
    for ((i = ${#MOUNTED[@]} - 1; i >= 0; i--)); do
        umount "${MOUNTED[i]}" 2>/dev/null || umount -l "${MOUNTED[i]}"
    done
    MOUNTED=()
}

bind() {  # host-path [ro]
    local target="$CHROOT$1"
    if [ -d "$1" ]; then mkdir -p "$target"; else mkdir -p "$(dirname "$target")"; : >>"$target"; fi
    mount --bind "$1" "$target" || return 1
    MOUNTED+=("$target")
    if [ "${2:-}" = ro ]; then mount -o remount,bind,ro "$target" || return 1; fi
}

# What the tests (and the packages' install scripts) need of the system.
mount_system() {
    # The chroot's root a mount point of its own, as a system's root is:
    # unshare(1) inside (the tests' mount namespaces) changes its propagation.
    mount --bind "$CHROOT" "$CHROOT" || return 1
    MOUNTED+=("$CHROOT")
    mount -t proc proc "$CHROOT/proc" || return 1
    MOUNTED+=("$CHROOT/proc")
    bind /sys ro || return 1
    bind /dev || return 1
    bind /dev/pts || return 1
    if mountpoint -q /dev/shm; then bind /dev/shm || return 1; fi
    cp /etc/resolv.conf "$CHROOT/etc/resolv.conf"
}

mount_pip_sources() {
    local p
    cp "${SSL_CERT_FILE:-/etc/ssl/certs/ca-certificates.crt}" "$CHROOT$HOST_CA"
    copy_pip_config
    while read -r p; do
        p="${p#file://}"
        p="${p%/}"
        case "$p" in /*) ;; *) continue ;; esac
        # A local index's pages (.../simple) link to files beside them.
        [ "${p##*/}" != simple ] || p="${p%/simple}"
        # The configuration copied above and the CA bundle handed in stay.
        [ -e "$p" ] && ! copied_pip_file "$p" || continue
        case "$p" in /etc/ssl/*) continue ;; esac
        bind "$p" ro || return 1
    done < <(pip_local_paths | sort -u)
}

# The tree as it is now (tracked and new files, not the ignored ones) into DEST.
copy_tree() {  # dest
    if git -C "$ROOT" rev-parse --git-dir >/dev/null 2>&1; then
        (cd "$ROOT" && git ls-files -z --cached --others --exclude-standard \
            | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh \
            | tar --null -T - -cf -) | tar -xf - -C "$1"
    else
        tar -C "$ROOT" --exclude=./build --exclude=./.venv --exclude='./.venv-*' -cf - . | tar -xf - -C "$1"
    fi
}

run_in_chroot() {
    local run inner p args pipenv=()
    run="$(mktemp -d "$CHROOT/tmp/velmora-run.XXXXXX")" || return 1
    RUN_DIR="$run"
    inner="/tmp/${run##*/}"
    mkdir "$run/src" && copy_tree "$run/src" || return 1
    args=(--inside "$inner")
    if [ -n "$WHEEL" ]; then
        mkdir "$run/dist" && cp "$WHEEL" "$run/dist/" || return 1
        args+=("$inner/dist/$(basename "$WHEEL")")
    fi
    while IFS= read -r p; do
        case "$p" in PIP_CERT=*) ;; *) pipenv+=("$p") ;; esac
    done < <(env | grep -E '^PIP_')
    in_chroot SSL_CERT_FILE="$HOST_CA" PIP_CERT="$HOST_CA" REQUESTS_CA_BUNDLE="$HOST_CA" "${pipenv[@]}" \
        bash "$inner/src/scripts/next_suite.sh" "${args[@]}"
}

in_namespace() {
    RUN_DIR=""
    trap 'unmount_all; [ -z "$RUN_DIR" ] || rm -rf --one-file-system "$RUN_DIR"' EXIT
    trap 'exit 130' INT TERM
    exec 9>"$CACHE/lock"
    flock -x 9
    ensure_base || { log "could not make the $SUITE chroot"; return 1; }
    mount_system || { log "could not mount /proc, /sys and /dev into the chroot"; return 1; }
    ensure_packages || { log "could not install the packages into the $SUITE chroot"; return 1; }
    # Other runs may share the chroot from here on; none may remake it meanwhile.
    flock -s 9
    mount_pip_sources || { log "could not give the chroot the host's pip configuration"; return 1; }
    run_in_chroot
}

mkdir -p "$CACHE"
if [ "${VELMORA_NEXT_SUITE_NS:-}" = 1 ]; then
    in_namespace
    exit
fi
# Mounts made in a namespace of the run's own vanish with it, even if the run is killed.
args=()
[ -z "$WHEEL" ] || args+=(--wheel "$WHEEL")
[ -z "$REFRESH" ] || args+=(--refresh)
VELMORA_NEXT_SUITE_NS=1 exec unshare --mount --propagation private -- bash "$0" "${args[@]}"
