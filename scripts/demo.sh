#!/usr/bin/env bash
# Installs what is missing, builds the package and runs the demo: a local
# MJPEG stream read through the HTTP pipeline factory (or the stream given).
set -euo pipefail
source "$(dirname "$0")/lib.sh"
ensure_packages
build_venv /usr/bin/python3 "$MIVELO_ROOT/.venv"
exec "$MIVELO_ROOT/.venv/bin/python" "$MIVELO_ROOT/tools/demo.py" "$@"
