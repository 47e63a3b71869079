# Sourced by tour.sh, test.sh and the benchmarks' scripts: installs whatever is
# missing (Debian packages, the project's virtual environment, its Python
# packages), then builds and installs the extension into .venv. Each step is
# skipped when nothing changed, and the build directory is kept, so a second
# run does not rebuild from scratch. test.sh also uses ensure_version_venv for
# the environments of the other Python versions. (scripts/wheel.sh needs none
# of this, only scripts/common.sh.)
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

VENV="$ROOT/.venv"
PY="$VENV/bin/python"

# What the tests add to a build's Debian packages.
APT_PACKAGES=("${BUILD_APT_PACKAGES[@]}" libgtest-dev valgrind strace)

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

ensure_apt "${APT_PACKAGES[@]}"
ensure_venv
ensure_built
export PATH="$VENV/bin:$PATH"
