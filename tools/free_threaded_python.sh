#!/usr/bin/env bash
# Provides a free-threaded CPython 3.13 (built with --disable-gil) and prints
# the path of its interpreter on stdout; everything else goes to stderr.
#
# An interpreter already installed under the prefix is reused. Otherwise
# Debian's python3.13 source package is fetched from the machine's own
# archive (the trixie suite, whose sources are enabled only for the download
# and removed again, also on failure), built in a scratch directory outside
# the repository and installed under the prefix. Building takes about 16
# minutes on 2 cores and needs root for apt.
#
# Usage: tools/free_threaded_python.sh [PREFIX]    (default /opt/ft313t)
#        JOBS=N sets make's parallelism (default 2).
set -euo pipefail

PREFIX=${1:-/opt/ft313t}
PYTHON="$PREFIX/bin/python3.13t"
JOBS=${JOBS:-2}

log() { echo "free_threaded_python: $*" >&2; }

usable() {
    [[ -x "$PYTHON" ]] && "$PYTHON" - <<'EOF' 2>/dev/null
import sys, sysconfig
import ssl, zlib, ctypes, lzma, bz2, sqlite3  # what pip and the test tools need
sys.exit(0 if sysconfig.get_config_var("Py_GIL_DISABLED") else 1)
EOF
}

if usable; then
    log "reusing $PYTHON"
    echo "$PYTHON"
    exit 0
fi
if [[ -e "$PREFIX" ]]; then
    log "$PREFIX exists but holds no usable free-threaded interpreter; remove it first"
    exit 1
fi

scratch=$(mktemp -d /tmp/ft-python.XXXXXX)
apt_source=/etc/apt/sources.list.d/ft-trixie-src.sources
apt_changed=0
cleanup() {
    local status=$?
    if ((apt_changed)); then
        rm -f "$apt_source"
        apt-get update -qq || true
    fi
    rm -rf "$scratch"
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

apt_get() { apt-get -o DPkg::Lock::Timeout=600 "$@"; }

# Build dependencies from the machine's own suite; most are already there.
log "installing build dependencies"
apt_get update -qq
apt_get install -y -qq build-essential dpkg-dev libssl-dev libffi-dev zlib1g-dev libbz2-dev \
    liblzma-dev libsqlite3-dev libreadline-dev libncurses-dev uuid-dev libexpat1-dev \
    libgdbm-dev libzstd-dev >&2

# The archive address as this machine's apt sources name it.
archive=""
if [[ -r /etc/apt/sources.list.d/debian.sources ]]; then
    archive=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/debian.sources)
fi
if [[ -z "$archive" && -r /etc/apt/sources.list ]]; then
    archive=$(awk '$1 == "deb" && $2 !~ /^\[/ {print $2; exit}' /etc/apt/sources.list)
fi
if [[ -z "$archive" ]]; then
    log "no Debian archive found in the apt sources"
    exit 1
fi

# Only source indices: no binary package of the newer suite can be installed
# while the entry exists.
log "fetching the python3.13 source package"
apt_changed=1
printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$archive" >"$apt_source"
apt_get update -qq
(cd "$scratch" && apt-get source --download-only python3.13 >&2)
rm -f "$apt_source"
apt_get update -qq
apt_changed=0

cd "$scratch"
dpkg-source -x --skip-patches python3.13_*.dsc py313 >&2
mkdir build
cd build
log "building in $scratch/build (log: build.log)"
if ! { ../py313/configure --disable-gil --prefix="$PREFIX" &&
       make -j"$JOBS" &&
       make altinstall DESTDIR="$scratch/root"; } >build.log 2>&1; then
    tail -n 60 build.log >&2
    log "build failed"
    exit 1
fi
# Installed elsewhere first and moved into place at once, so that a failed
# build never leaves a half-installed prefix behind.
mkdir -p "$(dirname "$PREFIX")"
mv "$scratch/root$PREFIX" "$PREFIX"
if ! usable; then
    log "$PYTHON was built but is not a working free-threaded interpreter"
    exit 1
fi
log "installed $PYTHON"
echo "$PYTHON"
