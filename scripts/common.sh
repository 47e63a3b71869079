# Sourced by setup.sh and wheel.sh: the repository's root, the Debian packages
# a build from source needs, and finding an interpreter of a given version.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

# What building the extension needs, and nothing more (the same list as
# CMakeLists.txt's message for a missing one).
BUILD_APT_PACKAGES=(build-essential pkg-config libssl-dev libsodium-dev rapidjson-dev)
# Intel's ipsec-mb is built for x86-64 only (and only there does the module use it).
[ "$(uname -m)" != x86_64 ] || BUILD_APT_PACKAGES+=(libipsec-mb-dev)

# Installs those of the Debian packages given that are missing.
ensure_apt() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "[setup] installing Debian packages: ${missing[*]}" >&2
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# An interpreter for Python X.Y: pyenv's newest X.Y.*, else pythonX.Y on PATH
# (a pyenv shim for a version that is not selected fails the check and is passed over).
find_python() {
    local version="$1" candidate
    local installed=("${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$version".*/bin/python"$version")
    for candidate in $(printf '%s\n' "${installed[@]}" | sort -rV) $(type -P -a "python$version"); do
        if "$candidate" -c 'import venv, ensurepip' >/dev/null 2>&1; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}
