#!/usr/bin/env bash
# The whole test suite on Debian's interpreter, against a release build.
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ensure_packages
build_venv /usr/bin/python3 "$MIVELO_ROOT/.venv"
run_pytest "$MIVELO_ROOT/.venv/bin/python" -q
