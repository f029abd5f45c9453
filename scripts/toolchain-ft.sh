#!/usr/bin/env bash
# Free-threaded CPython 3.14 (python3.14t) for pelmora, built from Debian's
# source package.
#
# The private toolchain (scripts/toolchain.sh) only has Debian's default GIL
# build of CPython 3.14.  This script fetches the python3.14 source package
# from Debian unstable with private apt state (nothing is added to the host's
# apt configuration), unpacks it with dpkg-source (Debian's patches applied)
# and builds it with the host's compiler as a free-threaded interpreter:
#
#   configure --disable-gil --prefix=<toolchain>/ft --without-ensurepip
#
# pytest and hypothesis are pure Python: the interpreter imports them from the
# private toolchain (scripts/toolchain.sh), through links to just those
# packages.  numpy, scipy, matplotlib and mypy exist there only for the GIL
# build of CPython; they are not importable here, and the tests that need
# them skip.
#
# Usage: scripts/toolchain-ft.sh                 set up (no-op when already set up)
#        scripts/toolchain-ft.sh --force         rebuild from scratch
#        scripts/toolchain-ft.sh --print-python  path of the interpreter
#
# Environment:
#   PELMORA_TOOLCHAIN_DIR   toolchain directory (default: <repo>/.toolchain)
#   PELMORA_DEBIAN_SUITE    Debian suite to take the source from (default: sid);
#                           every version it lists is tried, newest first
#   PELMORA_FT_SOURCE       build from a local copy instead: a .dsc (with its
#                           tarballs beside it) or an unpacked source tree
#   PELMORA_FT_PYVER        another CPython version (e.g. 3.13), only to try the
#                           recipe out where the 3.14 source cannot be had; the
#                           result is python<ver>t, which make test-ft does not use
#   JOBS                    parallel compile jobs (default: nproc)
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TC=${PELMORA_TOOLCHAIN_DIR:-$REPO/.toolchain}
SUITE=${PELMORA_DEBIAN_SUITE:-sid}
PYVER=${PELMORA_FT_PYVER:-3.14}
SRCPKG=python$PYVER
PREFIX=$TC/ft                  # the installed interpreter
WORK=$TC/ft-work               # apt state, source package, build tree
APTDIR=$WORK/apt
STAMP=$TC/ft-stamp
PY=$PREFIX/bin/python${PYVER}t
GIL_SITE=$TC/root/usr/lib/python3/dist-packages   # made by scripts/toolchain.sh
JOBS=${JOBS:-$(nproc 2>/dev/null || echo 2)}

# Bump when the recipe below changes: an existing interpreter is then rebuilt.
RECIPE_VERSION=1
# Build dependencies taken from the host's own (stable) archive.  ssl, sqlite,
# readline, ... are not needed by the tests; libffi is (ctypes).
HOST_BUILD_DEPS=(dpkg-dev pkg-config libffi-dev zlib1g-dev libbz2-dev liblzma-dev
                 libexpat1-dev uuid-dev)

log() { printf '[toolchain-ft] %s\n' "$*" >&2; }
die() { printf '[toolchain-ft] ERROR: %s\n' "$*" >&2; exit 1; }

fingerprint() {
    printf 'recipe=%s suite=%s source=%s prefix=%s\n' "$RECIPE_VERSION" "$SUITE" "$SRCPKG" "$PREFIX"
}

toolchain_ok() {
    [[ -f $STAMP && -x $PY ]] || return 1
    [[ $(head -n1 "$STAMP") == "$(fingerprint)" ]] || return 1
    "$PY" -c 'import sys, sysconfig
assert "%d.%d" % sys.version_info[:2] == "'"$PYVER"'"
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1
assert not sys._is_gil_enabled()' >/dev/null 2>&1
}

case ${1:-} in
    --print-python) echo "$PY"; exit 0 ;;
    --force) rm -f "$STAMP" ;;
    "") ;;
    *) die "unknown argument: $1" ;;
esac

# pytest, hypothesis and their dependencies are pure Python: link them from the
# GIL toolchain into a directory of their own that a .pth file puts on the
# free-threaded interpreter's sys.path.  Not the whole dist-packages: its
# compiled modules are built for the GIL ABI, and although the cp314-tagged
# ones are never candidates for a cp314t interpreter, the stable-ABI ones
# (*.abi3*.so: psutil, zopfli, ...) would load into it.  numpy, scipy,
# matplotlib and mypy are therefore simply absent (ModuleNotFoundError) and
# the tests that need them skip.  Redone on every run: cheap, and follows the
# GIL toolchain when it is rebuilt with other versions.
TOOL_TOP_LEVEL=(pytest _pytest py.py pluggy iniconfig packaging pygments sortedcontainers
                hypothesis _hypothesis_globals.py _hypothesis_ftz_detector.py _hypothesis_pytestplugin.py)
TOOL_DISTS=(pytest pluggy iniconfig packaging pygments sortedcontainers hypothesis)
link_test_tools() {
    local tools=$PREFIX/lib/pelmora-test-tools site name d found
    site=$("$PY" -c 'import site; print(site.getsitepackages()[0])') || return 1
    rm -rf "$tools"
    mkdir -p "$tools" "$site"
    if [[ ! -d $GIL_SITE ]]; then
        rm -f "$site/pelmora-test-tools.pth"
        log "note: $GIL_SITE does not exist (run scripts/toolchain.sh): no pytest for $PY"
        return 0
    fi
    for name in "${TOOL_TOP_LEVEL[@]}"; do
        [[ -e $GIL_SITE/$name ]] || { log "$GIL_SITE has no $name"; return 1; }
        ln -s "$GIL_SITE/$name" "$tools/$name"
    done
    # Metadata too: hypothesis' pytest plugin is found through its entry point.
    for d in "${TOOL_DISTS[@]}"; do
        found=false
        for name in "$GIL_SITE/$d"-*.dist-info "$GIL_SITE/$d"-*.egg-info; do
            [[ -e $name ]] || continue
            ln -s "$name" "$tools/$(basename "$name")"
            found=true
        done
        $found || { log "$GIL_SITE has no metadata for $d"; return 1; }
    done
    if [[ -n $(find -L "$tools" -name '*.so*' -print -quit) ]]; then
        log "compiled modules among the linked test tools: $(find -L "$tools" -name '*.so*' | head -n3)"
        return 1
    fi
    printf '%s\n' "$tools" > "$site/pelmora-test-tools.pth"
    "$PY" - <<'PYEOF'
import re, sys
import pytest, hypothesis  # noqa: F401
from importlib.metadata import entry_points
assert "hypothesispytest" in {e.name for e in entry_points(group="pytest11")}, "no hypothesis plugin"
assert not sys._is_gil_enabled(), "importing pytest/hypothesis re-enabled the GIL"
for mod in list(sys.modules.values()):
    f = getattr(mod, "__file__", None) or ""
    m = re.search(r"\.(cpython-\d+(t?)-[^/]*|abi3[^/]*)\.so$", f)
    if m and not m.group(2):
        raise SystemExit(f"GIL-ABI extension loaded: {f}")
PYEOF
}

if toolchain_ok; then
    link_test_tools || die "could not make pytest and hypothesis importable by $PY"
    exit 0
fi

start_time=$(date +%s)
log "building free-threaded CPython $PYVER from Debian $SUITE's $SRCPKG source into $PREFIX"

[[ $(id -u) -eq 0 ]] || die "must run as root (apt-get is used)"
command -v apt-get >/dev/null || die "apt-get is required (Debian-like host)"
command -v gcc >/dev/null && command -v make >/dev/null || die "gcc and make are required"

# --- host build dependencies -------------------------------------------------
missing=()
for p in "${HOST_BUILD_DEPS[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if (( ${#missing[@]} )); then
    log "installing build dependencies from the host's archive: ${missing[*]}"
    apt-get update -qq || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
        || die "could not install ${missing[*]}"
fi

ARCH=$(dpkg --print-architecture)
mkdir -p "$WORK"

DSC=""
SRC=""
SRC_VERSION=""
MIRROR=""
if [[ -n ${PELMORA_FT_SOURCE:-} ]]; then
    # A local copy of the source package (.dsc next to its tarballs) or an
    # unpacked source tree.
    if [[ -f $PELMORA_FT_SOURCE && $PELMORA_FT_SOURCE == *.dsc ]]; then
        DSC=$(realpath "$PELMORA_FT_SOURCE")
        SRC_VERSION=$(sed -n 's/^Version: //p' "$DSC" | head -n1)
    elif [[ -d $PELMORA_FT_SOURCE ]]; then
        SRC=$(realpath "$PELMORA_FT_SOURCE")
        SRC_VERSION="local tree $SRC"
    else
        die "PELMORA_FT_SOURCE=$PELMORA_FT_SOURCE is neither a .dsc file nor a directory"
    fi
    log "using the local source $PELMORA_FT_SOURCE"
else

# --- mirror ------------------------------------------------------------------
# Take the Debian mirror from the host's own apt configuration: the first
# archive URI that is not a security archive (as scripts/toolchain.sh does).
find_mirror() {
    local f candidates=""
    shopt -s nullglob
    for f in /etc/apt/sources.list.d/*.sources; do
        candidates+=$(awk '
            function flush() {
                if (uris != "" && types ~ /(^|[ \t])deb([ \t]|$)/ && suites !~ /-security/) print uris
                uris = ""; suites = ""; types = ""
            }
            /^[ \t]*$/ { flush(); next }
            tolower($1) == "uris:"   { $1 = ""; uris = $0 }
            tolower($1) == "suites:" { $1 = ""; suites = $0 }
            tolower($1) == "types:"  { $1 = ""; types = $0 }
            END { flush() }' "$f")$'\n'
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $f ]] || continue
        candidates+=$(sed -E -e 's/#.*//' -e 's/\[[^]]*\]//' "$f" \
            | awk '$1 == "deb" && $3 !~ /-security/ { print $2 }')$'\n'
    done
    shopt -u nullglob
    tr ' \t' '\n\n' <<<"$candidates" | grep -E '^(https?|file)://' | grep -v -- '-security' \
        | sed -n 1p
}
MIRROR=$(find_mirror || true)
[[ -n $MIRROR ]] || die "could not find a Debian mirror in /etc/apt/sources.list{,.d}"
MIRROR=${MIRROR%/}
log "mirror: $MIRROR (suite $SUITE, deb-src)"

# --- private apt: the source package -----------------------------------------
mkdir -p "$APTDIR"/{state/lists/partial,cache/archives/partial,empty.d}
: > "$APTDIR/state/status"
APTCONF=$APTDIR/apt.conf
write_apt_conf() {  # $1: source options, e.g. "signed-by=..." or "trusted=yes"
    printf 'deb-src [%s] %s %s main\n' "$1" "$MIRROR" "$SUITE" > "$APTDIR/sources.list"
    cat > "$APTCONF" <<EOF
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
#clear DPkg::Pre-Invoke;
#clear DPkg::Post-Invoke;
#clear APT::Architectures;
APT::Architecture "$ARCH";
APT::Architectures { "$ARCH"; };
APT::Sandbox::User "root";
Acquire::Languages "none";
Dir::Etc::SourceList "$APTDIR/sources.list";
Dir::Etc::SourceParts "$APTDIR/empty.d";
Dir::Etc::Preferences "$APTDIR/empty.d/preferences";
Dir::Etc::PreferencesParts "$APTDIR/empty.d";
Dir::State "$APTDIR/state";
Dir::State::Lists "$APTDIR/state/lists";
Dir::State::status "$APTDIR/state/status";
Dir::State::extended_states "$APTDIR/state/extended_states";
Dir::Cache "$APTDIR/cache";
Dir::Cache::archives "$APTDIR/cache/archives";
Dir::Cache::pkgcache "$APTDIR/cache/pkgcache.bin";
Dir::Cache::srcpkgcache "$APTDIR/cache/srcpkgcache.bin";
Dir::Log "$APTDIR/log";
EOF
}
papt() { apt-get -c "$APTCONF" -o Debug::NoLocking=true "$@"; }

KEYRING=/usr/share/keyrings/debian-archive-keyring.gpg
updated=false
if [[ -f $KEYRING ]]; then
    write_apt_conf "signed-by=$KEYRING"
    if papt -q update >"$APTDIR/update.log" 2>&1 && ! grep -qE '^(W|E):' "$APTDIR/update.log"; then
        updated=true
    else
        log "signature check of $SUITE with $KEYRING failed; retrying unauthenticated"
    fi
fi
if ! $updated; then
    write_apt_conf "trusted=yes"
    papt -q update >"$APTDIR/update.log" 2>&1 \
        || { cat "$APTDIR/update.log" >&2; die "apt-get update for $SUITE (deb-src) failed"; }
fi

DL=$WORK/source
rm -rf "$DL"
mkdir -p "$DL"
# Every version of the source package that the suite lists, newest first: a
# mirror may lack the newest one's files for a while.
mapfile -t versions < <(apt-cache -c "$APTCONF" showsrc --only-source "$SRCPKG" 2>/dev/null | sed -n 's/^Version: //p' \
                        | sort -u | sort -r -V)
(( ${#versions[@]} )) || die "$SUITE lists no source package $SRCPKG"
DSC=""
for v in "${versions[@]}"; do
    log "downloading source package $SRCPKG $v"
    rm -rf "${DL:?}"/*
    if (cd "$DL" && papt -q source --download-only "$SRCPKG=$v") >"$WORK/source.log" 2>&1; then
        DSC=$(find "$DL" -maxdepth 1 -name "${SRCPKG}_*.dsc" | head -n1)
        [[ -n $DSC ]] && break
    fi
    log "  not available from $MIRROR: $(grep -m1 -oE '(404|403|50[0-9]) +[A-Za-z ]+' "$WORK/source.log" || tail -n1 "$WORK/source.log")"
done
[[ -n $DSC ]] || die "the mirror serves none of the $SRCPKG source versions that $SUITE lists (${versions[*]}).
  Set PELMORA_FT_SOURCE=/path/to/${SRCPKG}_<version>.dsc (or an unpacked source tree) to build from a local copy."
SRC_VERSION=$(sed -n 's/^Version: //p' "$DSC" | head -n1)
fi   # end of: fetch from the mirror

if [[ -n $DSC ]]; then
    log "unpacking $(basename "$DSC") (Debian patches applied)"
    rm -rf "$WORK/src"
    # No signature check here: apt has checked the downloaded files against
    # the signed Sources index (a local .dsc is taken as given); dpkg-source
    # still checks the tarballs against the checksums in the .dsc.
    dpkg-source --no-check -x "$DSC" "$WORK/src" >"$WORK/unpack.log" 2>&1 \
        || { tail -n 30 "$WORK/unpack.log" >&2; die "dpkg-source -x failed"; }
    SRC=$WORK/src
fi
[[ -x $SRC/configure ]] || die "no configure script in $SRC"

# --- build ---------------------------------------------------------------------
BUILD=$WORK/build
rm -rf "$BUILD" "$PREFIX" "$STAMP"
mkdir -p "$BUILD"
log "configuring (log: $BUILD/configure.log)"
build_start=$(date +%s)
(cd "$BUILD" && "$SRC/configure" --disable-gil --prefix="$PREFIX" --without-ensurepip \
        --with-system-expat --with-system-libmpdec=no) >"$BUILD/configure.log" 2>&1 \
    || { tail -n 40 "$BUILD/configure.log" >&2; die "configure failed"; }
log "compiling with $JOBS jobs (log: $BUILD/make.log)"
make -C "$BUILD" -j"$JOBS" >"$BUILD/make.log" 2>&1 \
    || { tail -n 40 "$BUILD/make.log" >&2; die "make failed"; }
log "installing into $PREFIX"
make -C "$BUILD" install >"$BUILD/install.log" 2>&1 \
    || { tail -n 40 "$BUILD/install.log" >&2; die "make install failed"; }
build_secs=$(( $(date +%s) - build_start ))
[[ -x $PY ]] || die "no $PY after make install"
grep -E 'The necessary bits to build these optional modules were not found|Following modules built successfully but were removed|Failed to build these modules' -A3 \
    "$BUILD/make.log" >&2 || true

# --- verify ----------------------------------------------------------------------
fail() { rm -f "$STAMP"; die "$*"; }
"$PY" - "$PREFIX" "$PYVER" <<'EOF' || fail "the free-threaded interpreter is not usable (see above)"
import importlib.machinery, sys, sysconfig
prefix = sys.argv[1]
assert sys.prefix == prefix, (sys.prefix, prefix)
assert "%d.%d" % sys.version_info[:2] == sys.argv[2], sys.version
assert sysconfig.get_config_var("Py_GIL_DISABLED") == 1, "Py_GIL_DISABLED is not 1"
assert not sys._is_gil_enabled(), "the GIL is enabled"
suffix = sysconfig.get_config_var("EXT_SUFFIX")
tag = sys.implementation.cache_tag.replace("cpython-", "")
assert suffix.startswith(f".cpython-{tag}t-"), suffix
assert not any(f".cpython-{tag}-" in s for s in importlib.machinery.EXTENSION_SUFFIXES)
import ctypes, decimal, zlib, bz2, lzma, json, threading  # noqa: F401
assert not sys._is_gil_enabled(), "a standard module re-enabled the GIL"
EOF
link_test_tools || fail "could not make pytest and hypothesis importable by $PY (see above)"

versions=$("$PY" -c '
import sys
out = ["python", sys.version.split()[0] + "t"]
try:
    import pytest, hypothesis
    out += ["pytest", pytest.__version__, "hypothesis", hypothesis.__version__]
except ImportError:
    out += ["(no pytest)"]
print(" ".join(out))')
{
    fingerprint
    echo "mirror=${MIRROR:-none (local source)}"
    echo "source=$SRCPKG $SRC_VERSION"
    echo "$versions"
    echo "build_seconds=$build_secs jobs=$JOBS"
    date -u +%Y-%m-%dT%H:%M:%SZ
} > "$STAMP.tmp"
mv "$STAMP.tmp" "$STAMP"
log "ready in $(( $(date +%s) - start_time ))s (configure+make+install ${build_secs}s): $PY"
log "$versions"
