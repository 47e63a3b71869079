#!/usr/bin/env bash
# Builds the manual (docs/, its pictures drawn from docs/figures/) into
# build/docs/html, after installing and building what is missing. Warnings are
# errors, every cross-reference must resolve, every member of the module must
# be in the API reference and every test the threat model names must exist.
# With --check it also runs every example on its pages (the doctest builder),
# as the docs stage of scripts/test.sh does; the worked examples of the formats
# page need the test-only modules of a test build: VELMORA_TESTMODS, else
# build/test/testmods.
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

OUT="$ROOT/build/docs"
# -E: every page is read afresh, so a warning is never hidden by a cached page
# (the checks look at the module, its stub and tests/, not only at docs/).
SPHINX=("$PY" -m sphinx -q -E -n -W --keep-going -d "$OUT/doctrees")
status=0

"${SPHINX[@]}" -b html docs "$OUT/html" || status=1
if [ "${1:-}" = "--check" ]; then
    export VELMORA_TESTMODS="${VELMORA_TESTMODS:-$ROOT/build/test/testmods}"
    if ! compgen -G "$VELMORA_TESTMODS/_mlkem_test.*" >/dev/null; then
        echo "docs.sh --check: _mlkem_test is not built in $VELMORA_TESTMODS; build it with" >&2
        echo "    cmake -S . -B build/test -G Ninja -DPython_EXECUTABLE=$PY -DVELMORA_BUILD_TESTS=ON" \
             "-DCMAKE_BUILD_TYPE=RelWithDebInfo && cmake --build build/test --target _mlkem_test" >&2
        exit 1
    fi
    "${SPHINX[@]}" -b doctest docs "$OUT/doctest" || status=1
fi
if [ "$status" -eq 0 ]; then
    echo "$OUT/html/index.html"
    echo "(search shows each result's text when the manual is served: python -m http.server -d $OUT/html)"
fi
exit "$status"
