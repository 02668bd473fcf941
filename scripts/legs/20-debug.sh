#!/usr/bin/env bash
# The whole test suite on Debian's debug interpreter (python3-dbg), against
# extension modules built for its own ABI (the "d" one, files named
# *.cpython-311d-*.so), with C asserts on.  The leak check's totals of
# references and memory blocks (tests/leaks.py) only mean something there, so
# here it is told to fail on a release build rather than skip them.
#
# How the modules get the debug ABI: a venv made by python3-dbg runs pip, and
# pip with --no-build-isolation runs meson-python inside that same
# interpreter, so meson's python module finds python3-dbg's sysconfig: the
# python3.11d headers (Py_DEBUG, so every Py_INCREF counts in
# sys.gettotalrefcount()) and the "d" extension suffix.  No meson option is
# needed for that; b_ndebug=false only keeps the C API's own assert()s (and
# ours) switched on.
#
# python3-dbg also imports release-built modules (the plain cpython-311
# suffix is on its list too) without a word, which would make its reference
# counts meaningless.  So before the suite runs, this leg imports every
# extension module that the installed package holds, found by walking it, and
# fails unless each was loaded from a file with the debug suffix; the leak
# check checks the same again inside the test run.
#
# Its time is in the README's table of legs (building takes about 12 s).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ensure_packages "${DEBUG_LEG_PACKAGES[@]}"

venv=${MIVELO_DEBUG_VENV:-$MIVELO_ROOT/.venv-debug}
build_venv /usr/bin/python3-dbg "$venv" \
    "b_ndebug = 'false'"

# From tests/, as the suite runs, so that the source folder cannot shadow the
# installed package.
(cd "$MIVELO_ROOT/tests" && "$venv/bin/python" - <<'PY'
import importlib
import importlib.machinery
import pathlib
import sys
import sysconfig

if sys.abiflags != "d" or not hasattr(sys, "gettotalrefcount"):
    sys.exit(f"not a debug interpreter: {sys.executable} (abiflags {sys.abiflags!r})")
debug_suffix = sysconfig.get_config_var("EXT_SUFFIX")
if not debug_suffix.startswith(f".{sys.implementation.cache_tag}d-"):
    sys.exit(f"not the debug extension suffix: {debug_suffix!r}")

import mivelo

root = pathlib.Path(mivelo.__file__).resolve().parent
suffixes = sorted(importlib.machinery.EXTENSION_SUFFIXES, key=len, reverse=True)
found = sorted(p for p in root.rglob("*")
               if p.is_file() and any(p.name.endswith(s) for s in suffixes))
if not found:
    sys.exit(f"no extension modules under {root}")
failures = []
for path in found:
    suffix = next(s for s in suffixes if path.name.endswith(s))
    if suffix != debug_suffix:
        failures.append(f"{path}: built for another ABI ({suffix})")
        continue
    relative = path.relative_to(root.parent)
    name = ".".join(relative.parts[:-1] + (path.name[: -len(suffix)],))
    loaded = pathlib.Path(importlib.import_module(name).__file__).resolve()
    if loaded != path:
        failures.append(f"{name}: loaded {loaded}, expected {path}")
    else:
        print(f"debug ABI: {name} <- {loaded.name}")
if failures:
    sys.exit("\n".join(failures))
PY
)

MIVELO_REQUIRE_DEBUG=1 run_pytest "$venv/bin/python" -q
