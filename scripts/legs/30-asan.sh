#!/usr/bin/env bash
# The whole test suite with the extension modules built with AddressSanitizer
# and UndefinedBehaviorSanitizer, on Debian's release interpreter.
#
# The meson options: b_sanitize, b_lundef=false (which meson wants with
# sanitizers) and the compiler flags.
# -fno-sanitize-recover=undefined makes undefined behaviour abort the run
# instead of printing a line that a passing suite would hide.
#
# The interpreter itself is not instrumented, so:
# - LD_PRELOAD puts the ASan runtime first, which it must be (the import of an
#   instrumented module aborts otherwise), and libstdc++ right after it: the
#   interpreter is no C++ program, and without it ASan finds no __cxa_throw to
#   forward to when a C++ library that GStreamer loads later (libproxy, under
#   souphttpsrc) throws, and aborts with "CHECK failed ... real___cxa_throw";
# - PYTHONMALLOC=malloc sends every object through malloc, where ASan sees
#   it; with pymalloc, a use-after-free of a small object goes unnoticed;
# - leak detection is off (detect_leaks=0).  With it on, GLib, GObject and
#   GStreamer report allocations they keep until exit by design, which only
#   suppressions for those libraries would quiet; and LeakSanitizer's own
#   tracer crashed now and then (signal 11) at the exit of a test subprocess
#   whose GStreamer threads were still winding down, which would make this
#   leg fail at random.  Leaks of the project's code are what the debug leg's
#   reference and block counts catch.
# - reports go to files under the venv (pytest captures stderr, and an abort
#   would lose them), printed when the run fails.
# No suppressions of any kind.
#
# Its time is in the README's table of legs (building takes about 15 s).
set -euo pipefail
source "$(dirname "$0")/../lib.sh"
ensure_packages "${ASAN_LEG_PACKAGES[@]}"

venv=${MIVELO_ASAN_VENV:-$MIVELO_ROOT/.venv-asan}
build_venv /usr/bin/python3 "$venv" \
    "b_sanitize = 'address,undefined'" \
    "b_lundef = false" \
    "b_ndebug = 'false'" \
    "cpp_args = ['-g', '-fno-omit-frame-pointer', '-fno-sanitize-recover=undefined']"

# Each installed extension module must carry the instrumentation.
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
modules=$(find "$site/mivelo" -name '*.so')
[ -n "$modules" ] || { echo "no extension modules under $site/mivelo"; exit 1; }
for module in $modules; do
    symbols=$(nm -D "$module")
    for runtime in __asan_init __ubsan_handle; do
        if ! grep -q "$runtime" <<<"$symbols"; then
            echo "$module: not built with the sanitizers ($runtime missing)"
            exit 1
        fi
    done
done

reports="$venv/sanitizer-reports"
rm -rf "$reports"
mkdir -p "$reports"
status=0
LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:log_path="$reports/asan" \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path="$reports/ubsan" \
    run_pytest "$venv/bin/python" -q || status=$?
if [ -n "$(ls -A "$reports")" ]; then
    cat "$reports"/*
    [ $status -ne 0 ] || status=1
fi
exit $status
