#!/usr/bin/env bash
# Builds the package into a virtual environment of its own and runs the
# benchmarks (benchmarks/run.py), which print one table; the arguments go to
# run.py (--quick for a rough look, --json FILE for the raw numbers).
#
#   bash scripts/bench.sh [--interpreter VERSION] [RUN.PY ARGUMENTS]
#   bash scripts/bench.sh --peers [PEERS.PY ARGUMENTS]
#
# --peers runs benchmarks/peers.py instead: the stream reader against
# OpenCV's VideoCapture and PyAV (BENCH_PACKAGES of lib.sh, installed here
# and nowhere else), about 10 minutes for 5 rounds.
#
# --interpreter 3.8.18 (or any of the interpreter leg's pyenv versions) runs
# the per-call rows on that interpreter instead of Debian's 3.11: the package
# is built as the interpreter leg builds it (scripts/interpreters/lib.sh,
# under $MIVELO_MATRIX_DIR), with that leg's PyGObject, or with the stand-in
# gi of tests/standin where PyGObject does not build (3.13); the end-to-end
# and stream-reader rows need real GStreamer on Debian's interpreter and are
# left out.
#
# The build runs on a copy of the tree: meson-python keeps a file of its own
# in the source directory, so two builds from one tree at the same time can
# trip over each other.
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages "${BENCH_PACKAGES[@]}"
interpreter=
script=run.py
if [ "${1:-}" = "--peers" ]; then
    script=peers.py
    shift
elif [ "${1:-}" = "--interpreter" ]; then
    interpreter=${2:?--interpreter needs a version, e.g. 3.8.18}
    shift 2
fi
venv=${MIVELO_BENCH_VENV:-/tmp/mivelo-bench-venv}
snapshot=$(mktemp -d)
trap 'rm -rf "$snapshot"' EXIT
tar -C "$MIVELO_ROOT" --exclude=./.git --exclude='./.venv*' --exclude='./.mesonpy*' \
    --exclude=./build --exclude=./builddir -cf - . | tar -C "$snapshot" -xf -
if [ -z "$interpreter" ]; then
    echo "Building into $venv ..."
    MIVELO_ROOT=$snapshot build_venv /usr/bin/python3 "$venv"
    exec "$venv/bin/python" "$MIVELO_ROOT/benchmarks/$script" "$@"
fi

source "$MIVELO_ROOT/scripts/interpreters/lib.sh"
[ -x "$(matrix_python "$interpreter")" ] || {
    echo "no pyenv interpreter $interpreter (pyenv install $interpreter)" >&2
    exit 1
}
matrix_prepare
venv=$venv-$interpreter
if gi_path=$(matrix_pygobject "$interpreter"); then
    echo "Building into $venv (CPython $interpreter, PyGObject) ..."
else
    gi_path=$MIVELO_ROOT/tests/standin
    echo "Building into $venv (CPython $interpreter, the stand-in gi) ..."
fi
matrix_venv "$interpreter" "$venv" "$gi_path"
MIVELO_ROOT=$snapshot matrix_install "$venv/bin/python"
exec "$venv/bin/python" "$MIVELO_ROOT/benchmarks/run.py" --no-e2e --no-reader "$@"
