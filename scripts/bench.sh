#!/usr/bin/env bash
# Builds the package into a virtual environment of its own and runs the
# benchmarks (benchmarks/run.py), which print one table; the arguments go to
# run.py (--quick for a rough look, --json FILE for the raw numbers).
#
# The build runs on a copy of the tree: meson-python keeps a file of its own
# in the source directory, so two builds from one tree at the same time can
# trip over each other.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
venv=${MIVELO_BENCH_VENV:-/tmp/mivelo-bench-venv}
snapshot=$(mktemp -d)
trap 'rm -rf "$snapshot"' EXIT
tar -C "$MIVELO_ROOT" --exclude=./.git --exclude='./.venv*' --exclude='./.mesonpy*' \
    --exclude=./build --exclude=./builddir -cf - . | tar -C "$snapshot" -xf -
echo "Building into $venv ..."
MIVELO_ROOT=$snapshot build_venv /usr/bin/python3 "$venv"
"$venv/bin/python" "$MIVELO_ROOT/benchmarks/run.py" "$@"
