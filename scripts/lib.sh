# Shared by the scripts: installing Debian packages and building the package
# into a virtual environment.  Source it; it changes nothing by itself.

# Every Debian package that a script of the project needs, in one place.
# MIVELO_PACKAGES: building, running the demo and the release test leg
# (scripts/demo.sh, scripts/bench.sh and every leg install these first).
# The frame module links GStreamer's C libraries (the -dev packages); the
# tests serve RTSP through gi (gir1.2-gst-rtsp-server-1.0) and look at
# frames through numpy where the interpreter has it.
MIVELO_PACKAGES=(
    g++ meson ninja-build pkg-config python3-dev python3-venv python3-pip python3-mesonpy
    libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
    python3-gi gir1.2-gstreamer-1.0 gir1.2-gst-plugins-base-1.0 gir1.2-gst-rtsp-server-1.0
    gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-libav
    gstreamer1.0-tools
    python3-pytest python3-hypothesis python3-numpy
    libyuv-dev
)
# scripts/bench.sh only: the readers that benchmarks/peers.py measures the
# stream reader against (benchmark tools, never dependencies of the package),
# and perf for tools/profile.sh.
BENCH_PACKAGES=(python3-opencv python3-av linux-perf)
# What single legs add (each leg passes its list to ensure_packages):
# 20-debug: the debug interpreter and its gi.
DEBUG_LEG_PACKAGES=(python3-dbg python3-gi-dbg)
# 30-asan: nm, to check that every module carries the sanitizers.
ASAN_LEG_PACKAGES=(binutils)
# 40-static: clang-tidy and its run-clang-tidy driver.
STATIC_LEG_PACKAGES=(clang-tidy)
# 50-interpreters: building PyGObject from Debian's source for pyenv's
# interpreters, and the pure-Python modules that pytest and mesonpy import
# there (linked from Debian's dist-packages).  The interpreters themselves
# come from pyenv, which Debian does not package; the leg checks for them
# first.
MATRIX_PACKAGES=(
    dpkg-dev xz-utils libgirepository1.0-dev libglib2.0-dev libffi-dev
    python3-exceptiongroup python3-typing-extensions python3-importlib-metadata
    python3-zipp python3-attr python3-sortedcontainers python3-tomli python3-packaging
    python3-pyproject-metadata python3-more-itertools
)
# 60-wheel-typing: the wheel front-end, patchelf (meson-python runs it on
# every Linux wheel it builds) and mypy with its stubtest.
WHEEL_LEG_PACKAGES=(python3-build patchelf mypy)

# ensure_packages [PACKAGE...]: installs those of MIVELO_PACKAGES and the
# given ones that are missing, with apt-get (as root, or through sudo).
ensure_packages() {
    local missing=() pkg
    for pkg in "${MIVELO_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    echo "Installing: ${missing[*]}"
    # Another apt run (a second script, unattended upgrades) may hold the
    # lock for a while: wait for it rather than fail.
    local wait=(-o DPkg::Lock::Timeout=600)
    "${sudo[@]}" apt-get "${wait[@]}" update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" install -y -qq \
        --no-install-recommends "${missing[@]}" >/dev/null
}

# build_venv PYTHON DIR [OPTION-LINE...]: a virtual environment at DIR that
# sees Debian's packages (gi among them), with the package built and installed
# into it.  Each OPTION-LINE is a meson built-in option as a machine file
# writes it, e.g. "b_sanitize = 'address'".  They reach meson through a native
# file because Debian's pip has no -C and keeps only the last
# --config-settings value of a key.
build_venv() {
    local python=$1 dir=$2
    shift 2
    [ -x "$dir/bin/python" ] || "$python" -m venv --system-site-packages "$dir"
    printf '[built-in options]\n' >"$dir/meson-options.ini"
    [ $# -gt 0 ] && printf '%s\n' "$@" >>"$dir/meson-options.ini"
    "$dir/bin/python" -m pip install -q --no-index --no-build-isolation --force-reinstall --no-deps \
        --config-settings=setup-args=--native-file="$dir/meson-options.ini" "$MIVELO_ROOT" >/dev/null
}

# run_pytest PYTHON [PYTEST-ARG...]: the test suite against the package as
# installed for PYTHON (run from tests/, so the source folder is not imported).
run_pytest() {
    local python=$1
    shift
    (cd "$MIVELO_ROOT/tests" && "$python" -m pytest -p no:cacheprovider "$@")
}

MIVELO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
