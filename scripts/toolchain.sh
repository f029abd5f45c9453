#!/usr/bin/env bash
# Private CPython 3.14 toolchain for pelmora.
#
# Debian 12 ships no Python 3.14, so this script takes CPython 3.14 and the
# test/demo dependencies (numpy, scipy, pytest, hypothesis, matplotlib, ...)
# from Debian unstable and unpacks them, together with their whole dependency
# closure (glibc included), into .toolchain/root.  Nothing is installed into
# the system: apt runs with private state, and the interpreter is patched to
# use the glibc and libraries of the unpacked tree.
#
# Only packages whose signed index verifies against the host's Debian archive
# keyring are used; a failed check stops the set-up.  The resolved closure is
# printed, with what changed since the last set-up, and kept in
# .toolchain/closure.txt.
#
# Usage: scripts/toolchain.sh          set up (no-op when already set up)
#        scripts/toolchain.sh --force  rebuild from scratch
#        scripts/toolchain.sh --print-python   path of the interpreter
#
# Environment:
#   PELMORA_TOOLCHAIN_DIR   where to build (default: <repo>/.toolchain)
#   PELMORA_DEBIAN_SUITE    Debian suite to take Python from (default: sid)
#   PELMORA_APT_KEYRING     keyring that signs the suite
#                           (default: /usr/share/keyrings/debian-archive-keyring.gpg)
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
TC=${PELMORA_TOOLCHAIN_DIR:-$REPO/.toolchain}
SUITE=${PELMORA_DEBIAN_SUITE:-sid}
ROOT=$TC/root
STAGE=$TC/root.new
APTDIR=$TC/apt
STAMP=$TC/stamp
PYVER=3.14
PY=$ROOT/usr/bin/python$PYVER

# Bump when the recipe below changes: an existing tree is then rebuilt.
RECIPE_VERSION=5
REQUIRED_PKGS=(python$PYVER-dev python3-pytest python3-hypothesis python3-numpy
               python3-scipy python3-matplotlib
               # scaling out (examples and tests only)
               python3-dask python3-distributed python3-tqdm
               # dated series in and out (tests, docs and examples only)
               python3-pandas
               # the documentation site
               python3-sphinx furo python3-sphinx-gallery
               python3-sphinx-copybutton
               # the ThreadSanitizer runtime for this glibc (make test-tsan)
               libtsan2)
OPTIONAL_PKGS=(python3-scikit-build-core python3-pip python3-mypy)
# Single files taken out of packages whose dependencies are not wanted: the
# documentation site renders its equations offline with MathJax's SVG bundle.
ASSET_PKG=node-mathjax-full
ASSET_FILE=usr/share/nodejs/mathjax-full/es5/tex-svg.js

log() { printf '[toolchain] %s\n' "$*" >&2; }
die() { printf '[toolchain] ERROR: %s\n' "$*" >&2; exit 1; }

fingerprint() {
    printf 'recipe=%s suite=%s required=%s optional=%s asset=%s\n' \
        "$RECIPE_VERSION" "$SUITE" "${REQUIRED_PKGS[*]}" "${OPTIONAL_PKGS[*]}" "$ASSET_PKG"
}

toolchain_ok() {
    [[ -f $STAMP && -x $PY ]] || return 1
    [[ $(head -n1 "$STAMP") == "$(fingerprint)" ]] || return 1
    "$PY" -c 'import sys; assert sys.version_info[:2] == (3, 14)' >/dev/null 2>&1
}

case ${1:-} in
    --print-python) echo "$PY"; exit 0 ;;
    --force) rm -f "$STAMP" ;;
    "") ;;
    *) die "unknown argument: $1" ;;
esac

if toolchain_ok; then
    exit 0
fi

start_time=$(date +%s)
log "setting up CPython $PYVER from Debian $SUITE in $TC"

[[ $(id -u) -eq 0 ]] || die "must run as root (apt-get is used), or pass PYTHON=/path/to/python3.14 to make"
command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null \
    || die "apt-get and dpkg-deb are required (Debian-like host)"

# --- host tools --------------------------------------------------------------
if ! command -v patchelf >/dev/null; then
    log "installing patchelf"
    apt-get update -qq || die "apt-get update failed"
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq patchelf >/dev/null \
        || die "could not install patchelf"
fi

ARCH=$(dpkg --print-architecture)
TRIPLET=$(gcc -print-multiarch 2>/dev/null || true)
[[ -n $TRIPLET ]] || TRIPLET=$(uname -m)-linux-gnu

# --- mirror ------------------------------------------------------------------
# Take the Debian mirror from the host's own apt configuration: the first
# archive URI that is not a security archive.
find_mirror() {
    local f candidates=""
    shopt -s nullglob
    for f in /etc/apt/sources.list.d/*.sources; do
        # deb822: paragraphs with Types/URIs/Suites fields.
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
        # deb [options] URI suite components...
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
log "mirror: $MIRROR (suite $SUITE)"

# --- private apt -------------------------------------------------------------
mkdir -p "$APTDIR"/{state/lists/partial,cache/archives/partial,empty.d}
: > "$APTDIR/state/status"          # empty: apt fetches the full closure
APTCONF=$APTDIR/apt.conf
write_apt_conf() {  # $1: source options, e.g. "signed-by=..." or "trusted=yes"
    printf 'deb [%s] %s %s main\n' "$1" "$MIRROR" "$SUITE" > "$APTDIR/sources.list"
    cat > "$APTCONF" <<EOF
#clear APT::Update::Pre-Invoke;
#clear APT::Update::Post-Invoke;
#clear APT::Update::Post-Invoke-Success;
#clear DPkg::Pre-Invoke;
#clear DPkg::Post-Invoke;
#clear APT::Architectures;
APT::Architecture "$ARCH";
APT::Architectures { "$ARCH"; };
APT::Install-Recommends "false";
APT::Install-Suggests "false";
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

# Packages are only ever taken from a suite whose signature checks out
# against the host's Debian archive keyring: apt then verifies every
# downloaded .deb against the signed index.  There is no unauthenticated
# fallback; a failed check stops here.
KEYRING=${PELMORA_APT_KEYRING:-/usr/share/keyrings/debian-archive-keyring.gpg}
[[ -f $KEYRING ]] || die "the Debian archive keyring $KEYRING is missing: install debian-archive-keyring (apt-get install debian-archive-keyring) and run again"
write_apt_conf "signed-by=$KEYRING"
update_ok=true
papt -q update >"$APTDIR/update.log" 2>&1 || update_ok=false
# apt reports a bad or missing signature as a warning or an error line and
# may still exit 0, ignoring the suite: treat any of them as a failure.
if ! $update_ok || grep -qE '^E:|GPG error|NO_PUBKEY|EXPKEYSIG|not signed|InRelease.*(invalid|expired)|(W|E): .*[Ss]ignature' "$APTDIR/update.log"; then
    sed 's/^/[toolchain]   /' "$APTDIR/update.log" >&2
    if grep -qE 'GPG error|NO_PUBKEY|EXPKEYSIG|not signed|[Ss]ignature' "$APTDIR/update.log"; then
        die "the signature of Debian $SUITE at $MIRROR could not be verified with the keyring $KEYRING; refusing to use unauthenticated packages (update debian-archive-keyring, or set PELMORA_APT_KEYRING to a keyring that holds the archive's current key)"
    fi
    die "apt-get update for Debian $SUITE at $MIRROR failed (see above); nothing was unpacked"
fi
# Benign warnings (a slow mirror, a deprecated option) are shown, not hidden.
grep -E '^W:' "$APTDIR/update.log" | sed 's/^/[toolchain] apt: /' >&2 || true

# --- resolve -----------------------------------------------------------------
PKGS=("${REQUIRED_PKGS[@]}")
papt -s install "${PKGS[@]}" >"$APTDIR/resolve.log" 2>&1 \
    || { cat "$APTDIR/resolve.log" >&2; die "required packages do not resolve in $SUITE: ${REQUIRED_PKGS[*]}"; }
DROPPED=()
for p in "${OPTIONAL_PKGS[@]}"; do
    if papt -s install "${PKGS[@]}" "$p" >/dev/null 2>&1; then
        PKGS+=("$p")
    else
        DROPPED+=("$p")
        log "optional package $p does not resolve in $SUITE; skipped"
    fi
done
# "Inst name (version suite [arch])" lines of the simulation = the closure.
papt -s install "${PKGS[@]}" \
    | sed -nE 's/^Inst ([^ ]+) \(([^ ]+) .*\[([^]]+)\]\).*/\1 \2 \3/p' > "$APTDIR/closure.txt"
n_pkgs=$(wc -l < "$APTDIR/closure.txt")
(( n_pkgs > 0 )) || die "empty package closure"

# The closure, and what changed since the last set-up: when a Debian
# transition breaks the build, the culprit is in this list.
log "resolved closure ($n_pkgs packages, name version):"
awk '{ line = line sprintf("  %-37s", $1 " " $2) }
     NR % 3 == 0 { print line; line = "" }
     END { if (line != "") print line }' "$APTDIR/closure.txt" >&2
if [[ -f $TC/closure.txt ]]; then
    changes=$(awk '
        NR == FNR { old[$1] = $2; next }
        { new[$1] = $2
          if (!($1 in old)) print "  + " $1 " " $2
          else if (old[$1] != $2) print "  ~ " $1 " " old[$1] " -> " $2 }
        END { for (p in old) if (!(p in new)) print "  - " p " " old[p] }' \
        "$TC/closure.txt" "$APTDIR/closure.txt" | sort -k2)
    if [[ -n $changes ]]; then
        log "changed since the last set-up ($(sed -n 2p "$TC/closure.txt.when" 2>/dev/null || echo 'earlier')):"
        printf '%s\n' "$changes" >&2
    else
        log "no change since the last set-up"
    fi
fi
log "downloading $n_pkgs packages"

papt -q -y --download-only install "${PKGS[@]}" >"$APTDIR/download.log" 2>&1 \
    || { tail -n 30 "$APTDIR/download.log" >&2; die "download failed"; }

# --- unpack ------------------------------------------------------------------
rm -rf "$STAGE" "$APTDIR/control"
mkdir -p "$STAGE"
trap 'rm -rf "$STAGE"' EXIT
while read -r name version arch; do
    deb=$APTDIR/cache/archives/${name}_${version//:/%3a}_${arch}.deb
    [[ -f $deb ]] || die "missing downloaded package $deb"
    dpkg-deb -x "$deb" "$STAGE" || die "could not unpack $deb"
    # Keep the maintainer scripts: alternatives are set up below from them.
    mkdir -p "$APTDIR/control/$name"
    dpkg-deb -e "$deb" "$APTDIR/control/$name"
done < "$APTDIR/closure.txt"

# The asset file, verified by apt against the signed index like the rest.
( cd "$APTDIR/cache/archives" && papt -q download "$ASSET_PKG" >"$APTDIR/asset.log" 2>&1 ) \
    || { cat "$APTDIR/asset.log" >&2; die "could not download $ASSET_PKG"; }
asset_deb=$(ls -t "$APTDIR/cache/archives/${ASSET_PKG}_"*.deb | head -n1)
dpkg-deb --fsys-tarfile "$asset_deb" | tar -x -C "$STAGE" "./$ASSET_FILE" \
    || die "$asset_deb has no $ASSET_FILE"

# Merged /usr: fold any top-level /bin, /sbin, /lib* into /usr.
for d in bin sbin lib lib32 lib64 libx32; do
    if [[ -d $STAGE/$d && ! -L $STAGE/$d ]]; then
        mkdir -p "$STAGE/usr/$d"
        cp -a "$STAGE/$d/." "$STAGE/usr/$d/"
        rm -rf "${STAGE:?}/$d"
    fi
    if [[ -e $STAGE/usr/$d ]]; then
        ln -sfn "usr/$d" "$STAGE/$d"
    fi
done

# Alternatives (update-alternatives --install LINK NAME PATH PRIO) are made by
# postinst scripts, which are not run here; recreate the highest-priority
# choice for each link whose target exists in the tree.
declare -A alt_target alt_prio
for post in "$APTDIR"/control/*/postinst; do
    [[ -f $post ]] || continue
    while read -r link _name path prio; do
        [[ $link == /* && $path == /* && $prio =~ ^[0-9]+$ ]] || continue
        [[ -e $STAGE$path || -L $STAGE$path ]] || continue
        if [[ -z ${alt_prio[$link]:-} || $prio -gt ${alt_prio[$link]} ]]; then
            alt_prio[$link]=$prio
            alt_target[$link]=$path
        fi
    done < <(sed -e ':a;/\\$/{N;s/\\\n//;ba}' "$post" \
        | sed -e "s/\$DEB_HOST_MULTIARCH/$TRIPLET/g; s/\${DEB_HOST_MULTIARCH}/$TRIPLET/g" \
        | grep -oE 'update-alternatives[[:space:]]+(--[a-z]+[[:space:]]+)*--install[[:space:]]+[^[:space:]]+[[:space:]]+[^[:space:]]+[[:space:]]+[^[:space:]]+[[:space:]]+[0-9]+' \
        | sed -E 's/.*--install[[:space:]]+//')
done
for link in "${!alt_target[@]}"; do
    if [[ ! -e $STAGE$link ]]; then
        mkdir -p "$(dirname "$STAGE$link")"
        ln -sfn "$(realpath -m -s --relative-to="$(dirname "$link")" "${alt_target[$link]}")" "$STAGE$link"
    fi
done

# Absolute symlinks would point into the host: make them relative.
while IFS= read -r -d '' l; do
    t=$(readlink "$l")
    [[ $t == /* ]] || continue
    rel=${l#"$STAGE"}
    ln -sfn "$(realpath -m -s --relative-to="$(dirname "$rel")" "$t")" "$l"
done < <(find "$STAGE" -type l -print0)

# matplotlib: Debian reads its defaults from /etc/matplotlibrc (the Makefile
# exports MATPLOTLIBRC) and keeps mpl-data under /usr/share.
mpl=$STAGE/usr/lib/python3/dist-packages/matplotlib
if [[ -d $mpl && ! -e $mpl/mpl-data && -d $STAGE/usr/share/matplotlib/mpl-data ]]; then
    ln -sfn ../../../../share/matplotlib/mpl-data "$mpl/mpl-data"
fi
# Debian's matplotlib only looks for /etc/matplotlibrc (the host's); default
# MATPLOTLIBRC to the tree's copy so the interpreter also works when run by hand.
site=$STAGE/etc/python$PYVER/sitecustomize.py
if [[ -f $STAGE/etc/matplotlibrc && -f $site ]]; then
    cat >> "$site" <<'EOF'

# pelmora toolchain: use this tree's matplotlibrc unless told otherwise.
import os as _os, sys as _sys
_rc = _os.path.join(_os.path.dirname(_sys.prefix), "etc", "matplotlibrc")
if _os.path.isfile(_rc):
    _os.environ.setdefault("MATPLOTLIBRC", _rc)
del _os, _sys, _rc
EOF
fi

# --- install -----------------------------------------------------------------
LDSO=$(find "$STAGE/usr/lib/$TRIPLET" -maxdepth 1 -name 'ld-linux*.so.*' | head -n1)
[[ -n $LDSO ]] || die "no dynamic loader in the unpacked tree"
LDSO_NAME=$(basename "$LDSO")
[[ -x $STAGE/usr/bin/python$PYVER ]] || die "no python$PYVER in the unpacked tree"

rm -f "$STAMP"
rm -rf "$ROOT"
mv "$STAGE" "$ROOT"
trap - EXIT
fail() { rm -rf "$ROOT"; rm -f "$STAMP"; die "$*"; }

patchelf --set-interpreter "$ROOT/usr/lib/$TRIPLET/$LDSO_NAME" \
         --force-rpath --set-rpath "$ROOT/usr/lib/$TRIPLET" "$PY" \
    || fail "patchelf failed"

# --- verify ------------------------------------------------------------------
export MATPLOTLIBRC=$ROOT/etc/matplotlibrc MPLBACKEND=Agg   # as the Makefile does
"$PY" -c 'import sys; print(sys.version)' >/dev/null 2>&1 \
    || fail "the unpacked interpreter does not run: $("$PY" -c pass 2>&1 | head -n3)"
"$PY" - "$ROOT" <<'EOF' || fail "the unpacked interpreter is not usable (see above)"
import os, site, subprocess, sys
root = sys.argv[1]
assert sys.prefix.startswith(root), f"sys.prefix {sys.prefix} is outside {root}"
extra = set(filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep)))
extra.add(site.getusersitepackages())
for p in sys.path:
    if p and p not in extra and os.path.isabs(p) and not p.startswith(root) and os.path.exists(p):
        raise SystemExit(f"sys.path entry outside the toolchain: {p}")
import numpy, scipy, scipy.linalg, scipy.optimize, pytest, hypothesis, matplotlib
import dask, distributed, tqdm, sphinx, furo, sphinx_gallery, sphinx_copybutton
import matplotlib.pyplot as plt
numpy.linalg.solve(numpy.eye(3), numpy.ones(3))
fig = plt.figure(); plt.plot([0, 1], [1, 0]); plt.close(fig)
out = subprocess.run([sys.executable, "-c", "import numpy; print(numpy.__version__)"],
                     capture_output=True, text=True, check=True).stdout.strip()
assert out == numpy.__version__
EOF

# Every shared object must resolve its libraries inside the tree.
bad=$(find "$ROOT/usr/lib/python3/dist-packages" "$ROOT/usr/lib/python$PYVER" -name '*.so*' -type f 2>/dev/null \
      | while read -r so; do
            "$ROOT/usr/lib/$TRIPLET/$LDSO_NAME" --library-path "$ROOT/usr/lib/$TRIPLET" --list "$so" 2>&1 \
                | awk -v r="$ROOT/" -v so="$so" '/=>/ && index($3, r) != 1 { print so": "$0 }'
        done)
env -u MATPLOTLIBRC "$PY" -c 'import matplotlib' >/dev/null 2>&1 \
    || log "note: matplotlib needs MATPLOTLIBRC=$ROOT/etc/matplotlibrc"
[[ -z $bad ]] || fail "libraries resolve outside the toolchain:
$bad"

versions=$("$PY" -c "
import sys, numpy, scipy, pytest, hypothesis, matplotlib
print('python', sys.version.split()[0], 'numpy', numpy.__version__, 'scipy', scipy.__version__,
      'pytest', pytest.__version__, 'hypothesis', hypothesis.__version__, 'matplotlib', matplotlib.__version__)")
{
    fingerprint
    echo "mirror=$MIRROR"
    echo "$versions"
    [[ ${#DROPPED[@]} -eq 0 ]] || echo "unresolved optional packages: ${DROPPED[*]}"
    date -u +%Y-%m-%dT%H:%M:%SZ
} > "$STAMP.tmp"
mv "$STAMP.tmp" "$STAMP"
# The closure this tree was built from, for the next set-up to compare with.
awk '{ print $1, $2 }' "$APTDIR/closure.txt" > "$TC/closure.txt"
{ echo "closure of the set-up finished at"; date -u +%Y-%m-%dT%H:%M:%SZ; } > "$TC/closure.txt.when"
log "ready in $(( $(date +%s) - start_time ))s: $PY"
log "$versions"
