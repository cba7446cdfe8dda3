#!/usr/bin/env bash
# Builds the Debian package harlune_<version>_<arch>.deb with Debian's own
# tools (dpkg-buildpackage and debhelper, from debian/) and checks it with
# lintian, which must report no error.
#
#   scripts/package.sh [OUTPUT_DIR]      (default: build/package)
#
# The build runs in a fresh copy of the tree (the files git tracks and the
# new ones it does not ignore) in build/package-tree, so that nothing of
# build/ or of an earlier package build gets in. The copy's path stays the
# same from run to run, so ccache finds what it compiled the last time.
# The version is the project's (CMakeLists.txt); debian/changelog must name
# the same. The last line printed is the package's path.
set -euo pipefail
cd "$(dirname "$0")/.."

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

project_version() {
  sed -n 's/^project(Harlune VERSION \([0-9][0-9.]*\)[ )].*/\1/p' CMakeLists.txt
}

# The files of the tree that a clean checkout would have, and new ones.
copy_tree() {
  local destination=$1
  mkdir -p "$destination"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    # --ignore-failed-read: a tracked file deleted but not yet committed.
    git ls-files -z --cached --others --exclude-standard |
      tar --null --files-from=- --ignore-failed-read -cf - 2>/dev/null |
      tar -xf - -C "$destination"
  else
    tar --exclude=./build --exclude-vcs -cf - . | tar -xf - -C "$destination"
  fi
}

# debhelper gives the build a HOME of its own, where ccache would start
# empty: point it at the cache of the user who builds.
use_callers_ccache() {
  if [ -z "${CCACHE_DIR:-}" ] && command -v ccache >/dev/null; then
    CCACHE_DIR=$(ccache -k cache_dir)
    export CCACHE_DIR
  fi
}

output=$(realpath -m "${1:-build/package}")
version=$(project_version)
[ -n "$version" ] || fail "no 'project(Harlune VERSION x.y.z)' in CMakeLists.txt"
changelog_version=$(dpkg-parsechangelog -l debian/changelog -S Version)
[ "$changelog_version" = "$version" ] ||
  fail "debian/changelog is at $changelog_version but CMakeLists.txt at $version:" \
    "add a debian/changelog entry (dch -v $version)"
arch=$(dpkg-architecture -qDEB_HOST_ARCH)

stage=build/package-tree
rm -rf "$stage"
copy_tree "$stage/harlune-$version"
use_callers_ccache
(cd "$stage/harlune-$version" && dpkg-buildpackage -us -uc -b -jauto)

deb="harlune_${version}_${arch}.deb"
[ -f "$stage/$deb" ] || fail "dpkg-buildpackage made no $deb"
mkdir -p "$output"
mv -f "$stage"/harlune*_"${version}"_"${arch}".deb "$output/"
if command -v lintian >/dev/null; then
  lintian --fail-on error --info "$output/$deb"
else
  echo "package.sh: lintian is not installed (scripts/install-deps.sh installs it)" >&2
fi
echo "$output/$deb"
