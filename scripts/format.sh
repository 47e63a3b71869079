#!/usr/bin/env bash
# Formats the C and C++ sources in place with the pinned clang-format of
# requirements-dev.txt (.clang-format; .clang-format-ignore names what stays as
# generated). With --check it changes nothing and fails, naming the first
# difference in each file, if any source is not formatted (a stage of
# scripts/test.sh).
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

mapfile -t FILES < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
    "$VENV/bin/clang-format" --dry-run -Werror --ferror-limit=1 "${FILES[@]}"
else
    "$VENV/bin/clang-format" -i "${FILES[@]}"
fi
