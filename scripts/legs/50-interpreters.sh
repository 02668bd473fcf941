#!/usr/bin/env bash
# The test suite on every CPython from 3.7 to 3.13 (pyenv's builds): for each,
# the package is built with meson from bookworm-backports into a fresh virtual
# environment, and the tests run against real GStreamer through a PyGObject
# built for that interpreter from Debian's source, or, where PyGObject does
# not compile (3.13), against the stand-in in tests/standin, which skips the
# tests that need real GStreamer.  Ends with a table of the results.
#
# Its time is in the README's table of legs; a fresh machine adds about
# 1 min (meson and the PyGObject source fetched, six PyGObject builds of
# ~7 s each, then kept under /tmp/mivelo-matrix).
# `MIVELO_MATRIX=3.7.16,3.13.0` limits the run to those interpreters.
set -uo pipefail
source "$(dirname "$0")/../lib.sh"
source "$MIVELO_ROOT/scripts/interpreters/lib.sh"

versions=("${MATRIX_VERSIONS[@]}")
if [ -n "${MIVELO_MATRIX:-}" ]; then
    IFS=, read -r -a versions <<<"$MIVELO_MATRIX"
fi

# The interpreters come from pyenv, not from Debian: say at once which are
# missing rather than after the others have run.
missing=()
for v in "${versions[@]}"; do
    [ -x "$(matrix_python "$v")" ] || missing+=("$v")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "missing pyenv interpreters: ${missing[*]} (install them with: pyenv install ${missing[*]})" >&2
    exit 1
fi

if ! matrix_prepare; then
    echo "could not prepare the interpreter matrix (meson from backports, PyGObject source)" >&2
    exit 1
fi
echo "meson $(matrix_meson_version) from backports; PyGObject source: ${MATRIX_PYGOBJECT_SRC##*/}"

rows=()
failed=0
for v in "${versions[@]}"; do
    start=$SECONDS
    log=$MATRIX_DIR/logs/$v
    rm -f "$log".*
    echo "--- CPython $v"
    python=$(matrix_python "$v")
    if [ ! -x "$python" ]; then
        rows+=("$v|missing|-|-|-|-|0")
        failed=1
        continue
    fi
    gi_path=
    if gi_path=$(matrix_pygobject "$v"); then
        gi=PyGObject
        matrix_expects_pygobject "$v" || echo "PyGObject now builds for $v: using it"
    elif matrix_expects_pygobject "$v"; then
        echo "PyGObject did not build for $v:"
        tail -20 "$MATRIX_DIR/pygobject/$v/build.log"
        rows+=("$v|-|none|-|-|-|$((SECONDS - start))")
        failed=1
        continue
    else
        gi=stand-in
        gi_path=
    fi
    venv=$MATRIX_DIR/venv/$v
    if ! matrix_venv "$v" "$venv" $gi_path >"$log.build" 2>&1 ||
        ! matrix_install "$venv/bin/python" >>"$log.build" 2>&1; then
        tail -30 "$log.build"
        rows+=("$v|FAILED|$gi|-|-|-|$((SECONDS - start))")
        failed=1
        continue
    fi
    mode=real
    [ "$gi" = stand-in ] && mode=standin
    (cd "$MIVELO_ROOT/tests" && MIVELO_GST=$mode timeout 900 "$venv/bin/python" -m pytest \
        -p no:cacheprovider -p gst_support -q -rfE --junitxml="$log.xml" \
        -W "ignore::DeprecationWarning:_pytest.assertion.rewrite")
    status=$?
    counts=$(/usr/bin/python3 - "$log.xml" <<'EOF'
import sys
import xml.etree.ElementTree as ET
try:
    root = ET.parse(sys.argv[1]).getroot()
except (OSError, ET.ParseError):
    print("-|-|-")
    sys.exit()
suites = [root] if root.tag == "testsuite" else list(root)
total = lambda key: sum(int(s.get(key, 0)) for s in suites)
bad = total("failures") + total("errors")
skipped = total("skipped")
print(f"{total('tests') - bad - skipped}|{bad}|{skipped}")
EOF
    )
    [ $status -eq 0 ] || failed=1
    rows+=("$v|ok|$gi|$counts|$((SECONDS - start))")
done

echo
printf '%-10s %-7s %-10s %7s %7s %8s %6s\n' interpreter build gi passed failed skipped time
for row in "${rows[@]}"; do
    IFS='|' read -r v build gi passed bad skipped secs <<<"$row"
    printf '%-10s %-7s %-10s %7s %7s %8s %5ss\n' "$v" "$build" "$gi" "$passed" "$bad" "$skipped" "$secs"
done
echo "(Debian's own 3.11 runs the suite in 10-release.sh; logs in $MATRIX_DIR/logs)"
exit $failed
