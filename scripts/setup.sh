# Sourced by tour.sh, test.sh and wheel.sh: installs whatever is missing (Debian
# packages, the project's virtual environment, its Python packages), then builds
# and installs the extension into .venv. Each step is skipped when nothing
# changed, and the build directory is kept, so a second run does not rebuild
# from scratch. test.sh also uses ensure_version_venv for the environments of
# the other Python versions.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"
VENV="$ROOT/.venv"
PY="$VENV/bin/python"

APT_PACKAGES=(build-essential pkg-config libssl-dev libsodium-dev rapidjson-dev libgtest-dev
              valgrind)
# Intel's ipsec-mb is built for x86-64 only (and only there does the module use it).
[ "$(uname -m)" != x86_64 ] || APT_PACKAGES+=(libipsec-mb-dev)

ensure_apt() {
    local missing=()
    for p in "${APT_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    if ((${#missing[@]})); then
        echo "[setup] installing Debian packages: ${missing[*]}"
        local sudo=""
        [ "$(id -u)" -eq 0 ] || sudo="sudo"
        $sudo apt-get update -qq
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# Installs requirements-dev.txt into the environment of interpreter $1 when
# the file changed since the last install there.
ensure_requirements() {
    local py="$1" stamp want
    stamp="$(dirname "$(dirname "$py")")/.requirements.sha256"
    want="$(sha256sum requirements-dev.txt | cut -d' ' -f1)"
    if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
        echo "[setup] installing Python packages into $(dirname "$(dirname "$py")")" >&2
        "$py" -m pip install -q --upgrade pip >&2
        "$py" -m pip install -q -r requirements-dev.txt >&2
        echo "$want" > "$stamp"
    fi
}

ensure_venv() {
    if [ ! -x "$PY" ]; then
        echo "[setup] creating .venv"
        python3 -m venv "$VENV"
    fi
    ensure_requirements "$PY"
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

# .venv-X.Y with the Python packages, for running the suite under Python X.Y.
# Prints its interpreter; fails when this machine has no Python X.Y.
ensure_version_venv() {
    local version="$1" venv="$ROOT/.venv-$1" base
    if [ ! -x "$venv/bin/python" ]; then
        base="$(find_python "$version")" || return 1
        echo "[setup] creating .venv-$version from $base" >&2
        "$base" -m venv "$venv" >&2
    fi
    ensure_requirements "$venv/bin/python"
    echo "$venv/bin/python"
}

# Rebuilds (incrementally) and reinstalls only when a source file is newer than
# the last install.
ensure_built() {
    local stamp="$VENV/.installed"
    if [ -f "$stamp" ] && [ -z "$(find src python CMakeLists.txt pyproject.toml -newer "$stamp" -print -quit)" ]; then
        return
    fi
    echo "[setup] building velmora._secure"
    "$PY" -m pip install -q --no-build-isolation --no-deps .
    touch "$stamp"
}

ensure_apt
ensure_venv
ensure_built
export PATH="$VENV/bin:$PATH"
