#!/usr/bin/env bash
# The wheel and the typing, on Debian's interpreter: builds the wheel with
# `python3 -m build --wheel --no-isolation`, installs it into a fresh virtual
# environment (which sees Debian's gi) and, against that installation only,
# runs mypy's stubtest on the extension modules and the stream reader,
# `mypy --strict` on examples/ and the whole test suite (from tests/, so the
# source folder is not what gets imported).
#
# Its time is in the README's table of legs (the wheel ~10 s, stubtest and
# mypy ~20 s with a cold cache, the rest the suite).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ensure_packages "${WHEEL_LEG_PACKAGES[@]}"

work=$(mktemp -d /tmp/mivelo-wheel.XXXXXX)
trap 'rm -rf "$work"' EXIT

step() { echo "--- $*"; }

step "wheel"
if ! timeout 900 /usr/bin/python3 -m build --wheel --no-isolation --outdir "$work/dist" "$MIVELO_ROOT" \
    >"$work/build.log" 2>&1; then
    tail -40 "$work/build.log"
    exit 1
fi
wheel=$(echo "$work"/dist/*.whl)
echo "${wheel##*/}"

step "install into a fresh environment"
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
python=$work/venv/bin/python
timeout 600 "$python" -m pip install -q --disable-pip-version-check --no-index --no-deps "$wheel"
site=$("$python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
missing=0
for file in py.typed errors.pyi pipeline_factories/http.pyi pipeline_factories/custom.pyi \
    stream_reader/tunables.pyi stream_reader/frame.pyi stream_reader/__init__.pyi \
    stream_reader/reader.pyi utils/timing.pyi; do
    [ -f "$site/mivelo/$file" ] || { echo "not installed: mivelo/$file"; missing=1; }
done
[ $missing -eq 0 ]
# From tests/, where the suite runs, mivelo must come from the environment.
(cd "$MIVELO_ROOT/tests" && "$python" - "$site" <<'PY'
import sys
import mivelo.errors, mivelo.pipeline_factories.http
where = mivelo.errors.__file__
assert where.startswith(sys.argv[1]), f"mivelo imported from {where}"
print(f"mivelo from {where}")
PY
)

# mivelo.stream_reader stands for the package and every module in it: the
# extension modules tunables and frame, and the reader (stubtest refuses a
# package named together with one of its modules).
modules=(mivelo.errors mivelo.pipeline_factories.http mivelo.pipeline_factories.custom
    mivelo.utils.timing mivelo.stream_reader)
step "stubtest: ${modules[*]}"
(cd "$work" && timeout 600 "$python" -m mypy.stubtest "${modules[@]}")

step "mypy --strict examples/"
(cd "$work" && timeout 600 "$python" -m mypy --strict "$MIVELO_ROOT"/examples/*.py)

step "tests against the installed wheel"
(cd "$MIVELO_ROOT/tests" && timeout 900 "$python" -m pytest -p no:cacheprovider -p gst_support -q)
