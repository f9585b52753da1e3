#!/bin/sh
# Builds the Debian package with dpkg-buildpackage into OUTDIR: tt-controller_<version>_<arch>.deb
# and its debug symbols. It builds in a copy of the sources under OUTDIR, so the tree keeps none
# of the files debhelper leaves behind and the packages land in OUTDIR, not beside the tree.
#
#   tools/build-package.sh OUTDIR [CHANGELOG]
#
# CHANGELOG, if given, replaces debian/changelog in the copy: the tests build a higher version
# that way.
set -eu

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 OUTDIR [CHANGELOG]" >&2
    exit 2
fi
tree=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "$1"
out=$(cd "$1" && pwd)
source="$out/tt-controller"

# Only what the package is built from: a fresh copy each time, so nothing of an earlier build
# is taken along.
rm -rf "$source"
mkdir "$source"
(cd "$tree" && cp -R CMakeLists.txt README.md debian packaging src "$source/")
if [ $# -eq 2 ]; then
    cp "$2" "$source/debian/changelog"
fi

# A compiler cache the caller chose serves every copy alike, wherever OUTDIR is: paths are
# hashed relative to the copy, and the flag that maps the copy's own path to "." in the
# objects (from dpkg-buildflags) is left out of the hash, since it makes the same objects for
# every copy.
if [ "${CMAKE_CXX_COMPILER_LAUNCHER:-}" = ccache ]; then
    export CCACHE_BASEDIR="$source" CCACHE_NOHASHDIR=1 CCACHE_IGNOREOPTIONS='-ffile-prefix-map=*'
fi

cd "$source"
dpkg-buildpackage -b -us -uc --no-sign
