#!/usr/bin/env bash
# Static checks of the C++: a build with every warning of warning_level=3 made
# an error (meson option werror_strict), then clang-tidy with the checks in
# .clang-tidy on every C++ file in the compile database that this build
# writes (and on the core's headers through them).  Both must be clean.
#
# meson is run directly (no pip): only the compiler and the compile database
# are wanted here, not an installed package.
#
# About half its time is the build, half clang-tidy.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ensure_packages "${STATIC_LEG_PACKAGES[@]}"

build=${MIVELO_STATIC_BUILD:-$MIVELO_ROOT/build/static}
rm -rf "$build"
meson setup "$build" "$MIVELO_ROOT" -Dwerror_strict=true >/dev/null
if ! ninja -C "$build" -j 2 >"$build/ninja.log" 2>&1; then
    echo "the build with -Werror failed:"
    tail -n 80 "$build/ninja.log"
    exit 1
fi
echo "build with -Werror: clean"

# WarningsAsErrors in .clang-tidy makes any finding an error; run-clang-tidy
# then exits non-zero.  Its own progress lines and colours are dropped.
status=0
output=$(run-clang-tidy -p "$build" -j 2 -quiet "$MIVELO_ROOT/src/" 2>&1) || status=$?
findings=$(sed -e 's/\x1b\[[0-9;]*m//g' <<<"$output" | grep -E '(warning|error):' || true)
if [ $status -ne 0 ] || [ -n "$findings" ]; then
    sed -e 's/\x1b\[[0-9;]*m//g' <<<"$output" \
        | grep -v -E '^(clang-tidy|Running|[0-9]+ warnings? (and [0-9]+ errors? )?generated|Suppressed|Use -header-filter|Error while processing)'
    echo "clang-tidy: findings (exit $status)"
    exit 1
fi
echo "clang-tidy: clean"
