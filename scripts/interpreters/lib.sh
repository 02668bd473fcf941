# shellcheck shell=bash
# The interpreter matrix: pyenv's CPython builds from 3.7 on, each with the
# package built for it and, where it compiles, a PyGObject of its own built
# from Debian's source.  Source it after scripts/lib.sh; it changes nothing by
# itself.
#
# Everything it fetches or builds lives under $MATRIX_DIR (default
# /tmp/mivelo-matrix) and is reused by later runs on the same machine:
#   apt/         a private apt state (sources, lists, cache): Debian's
#                bookworm-backports and deb-src entries are read there, so the
#                system's apt sources and its meson 1.0.1 stay as they are
#   meson/       meson from bookworm-backports (1.0.1 needs distutils, gone in
#                3.12), unpacked from its .deb; only this matrix runs it
#   src/         Debian's PyGObject source, the version of the installed python3-gi
#   pylib/       links to Debian's pure-Python build and test requirements
#                (mesonpy, pytest, hypothesis and what they import)
#   pygobject/V/ PyGObject installed for interpreter V, with its build log
#   venv/V/      a fresh virtual environment per run, the package built into it
#   logs/        build and test logs of the last run

MATRIX_VERSIONS=(3.7.16 3.8.18 3.9.18 3.10.13 3.11.7 3.12.1 3.13.0)
# Interpreters that Debian's PyGObject does not compile for (3.13 changed C
# API that 3.42 uses).  They still try, and use the build if it ever works;
# until then their tests run against tests/standin.
MATRIX_NO_PYGOBJECT=(3.13.0)

MATRIX_DIR=${MIVELO_MATRIX_DIR:-/tmp/mivelo-matrix}

# Module and distribution names in Debian's dist-packages that pylib/ links.
MATRIX_PYLIB=(
    mesonpy pyproject_metadata tomli packaging typing_extensions.py
    pytest _pytest py.py pluggy iniconfig exceptiongroup importlib_metadata zipp.py more_itertools
    attr attrs sortedcontainers hypothesis _hypothesis_pytestplugin.py _hypothesis_ftz_detector.py
)

matrix_python() {
    local root
    root=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
    echo "$root/versions/$1/bin/python3"
}

matrix_expects_pygobject() {
    local v
    for v in "${MATRIX_NO_PYGOBJECT[@]}"; do
        [ "$v" = "$1" ] && return 1
    done
    return 0
}

# apt-get/apt-cache on the private state under $MATRIX_DIR/apt.
_matrix_apt() {
    local tool=$1
    shift
    timeout 600 "$tool" -o Dir::Etc::SourceList="$MATRIX_DIR/apt/sources.sources" \
        -o Dir::Etc::SourceParts="$MATRIX_DIR/apt/sources.d" \
        -o Dir::State::Lists="$MATRIX_DIR/apt/lists" \
        -o Dir::Cache="$MATRIX_DIR/apt/cache" \
        -o APT::Sandbox::User=root "$@"
}

# The private apt state: deb and deb-src entries of bookworm-backports and a
# deb-src entry of bookworm itself, on the archive the system already uses.
_matrix_apt_update() {
    [ -f "$MATRIX_DIR/apt/updated" ] && return 0
    local codename uri
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    uri=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' |
        awk -v c="$codename" '$2 == c { print $1; exit }')
    if [ -z "$uri" ]; then
        echo "no apt source for Debian $codename is configured" >&2
        return 1
    fi
    mkdir -p "$MATRIX_DIR/apt/lists/partial" "$MATRIX_DIR/apt/cache/archives/partial" \
        "$MATRIX_DIR/apt/sources.d"
    cat >"$MATRIX_DIR/apt/sources.sources" <<EOF
Types: deb deb-src
URIs: $uri
Suites: $codename-backports
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb-src
URIs: $uri
Suites: $codename
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
    _matrix_apt apt-get update -qq && touch "$MATRIX_DIR/apt/updated"
}

# meson from backports, unpacked into $MATRIX_DIR/meson with bin/meson.
_matrix_meson() {
    local dir=$MATRIX_DIR/meson
    [ -x "$dir/bin/meson" ] && "$dir/bin/meson" --version >/dev/null 2>&1 && return 0
    _matrix_apt_update || return 1
    local codename tmp
    codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
    tmp=$(mktemp -d)
    (cd "$tmp" && _matrix_apt apt-get download -qq "meson/$codename-backports") &&
        rm -rf "$dir" && mkdir -p "$dir/bin" && dpkg-deb -x "$tmp"/meson_*.deb "$dir/root" || {
        rm -rf "$tmp"
        return 1
    }
    rm -rf "$tmp"
    # Debian's launcher puts its own folder first on sys.path when mesonbuild
    # lies beside it, whatever PYTHONPATH says.
    local pkgs=$dir/root/usr/lib/python3/dist-packages
    cp "$dir/root/usr/bin/meson" "$pkgs/meson"
    ln -s "$pkgs/meson" "$dir/bin/meson"
}

# Debian's PyGObject source of the version that python3-gi has; prints its folder.
_matrix_pygobject_source() {
    local version
    version=$(dpkg-query -W -f='${source:Version}' python3-gi)
    local dir=$MATRIX_DIR/src/pygobject-$version
    if [ ! -f "$dir/meson.build" ]; then
        _matrix_apt_update || return 1
        local tmp
        tmp=$(mktemp -d)
        (cd "$tmp" && _matrix_apt apt-get source -qq --download-only "pygobject=$version") &&
            rm -rf "$dir" && mkdir -p "$MATRIX_DIR/src" &&
            dpkg-source -q -x "$tmp"/pygobject_*.dsc "$dir" >/dev/null || {
            rm -rf "$tmp"
            return 1
        }
        rm -rf "$tmp"
    fi
    echo "$dir"
}

_matrix_pylib() {
    local dir=$MATRIX_DIR/pylib src=/usr/lib/python3/dist-packages name path
    rm -rf "$dir"
    mkdir -p "$dir"
    for name in "${MATRIX_PYLIB[@]}"; do
        [ -e "$src/$name" ] || { echo "missing $src/$name" >&2; return 1; }
        ln -s "$src/$name" "$dir/$name"
        # Their metadata too: entry points (hypothesis' pytest plugin) and versions.
        for path in "$src/${name%.py}"-*.dist-info "$src/${name%.py}"-*.egg-info; do
            [ -e "$path" ] && ln -sf "$path" "$dir/"
        done
    done
    return 0
}

# matrix_prepare: the tools that every interpreter shares.
matrix_prepare() {
    ensure_packages "${MATRIX_PACKAGES[@]}" || return 1
    mkdir -p "$MATRIX_DIR/logs"
    _matrix_meson && _matrix_pylib && MATRIX_PYGOBJECT_SRC=$(_matrix_pygobject_source)
}

matrix_meson_version() { "$MATRIX_DIR/meson/bin/meson" --version; }

# matrix_pygobject VERSION: PyGObject for that interpreter, built once and
# kept; prints its site-packages folder.  Fails when it does not build.
matrix_pygobject() {
    local v=$1 python dir stamp
    python=$(matrix_python "$v")
    dir=$MATRIX_DIR/pygobject/$v
    stamp="$(basename "$MATRIX_PYGOBJECT_SRC") $(matrix_meson_version)"
    if [ "$(cat "$dir/built" 2>/dev/null)" != "$stamp" ]; then
        rm -rf "$dir"
        mkdir -p "$dir"
        if ! (cd "$MATRIX_PYGOBJECT_SRC" &&
            timeout 600 "$MATRIX_DIR/meson/bin/meson" setup "$dir/build" --prefix="$dir/prefix" \
                --buildtype=release -Dpython="$python" -Dpycairo=disabled -Dtests=false &&
            timeout 600 "$MATRIX_DIR/meson/bin/meson" install -C "$dir/build") >"$dir/build.log" 2>&1; then
            return 1
        fi
        echo "$stamp" >"$dir/built"
    fi
    "$python" - "$dir/prefix" <<'EOF'
import sys, sysconfig
print(sysconfig.get_path("platlib", vars={"base": sys.argv[1], "platbase": sys.argv[1]}))
EOF
}

# matrix_venv VERSION DIR [PATH...]: a fresh virtual environment for that
# interpreter that also sees pylib/ and the given folders.
matrix_venv() {
    local v=$1 dir=$2
    shift 2
    rm -rf "$dir"
    "$(matrix_python "$v")" -m venv "$dir" || return 1
    local site
    site=$("$dir/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))') || return 1
    printf '%s\n' "$MATRIX_DIR/pylib" "$@" >"$site/mivelo-matrix.pth"
}

# matrix_install PYTHON: builds the package from the work tree into that
# environment with meson from backports.
matrix_install() {
    PATH="$MATRIX_DIR/meson/bin:$PATH" timeout 900 "$1" -m pip install --disable-pip-version-check -q \
        --no-index --no-build-isolation --no-deps "$MIVELO_ROOT"
}
