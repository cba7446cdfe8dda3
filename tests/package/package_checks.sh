# shellcheck shell=bash disable=SC2154
# The steps of package_test.sh (sourced by it; it sets fail, note, wait_for,
# work, unit, namespace, daemon_pid and the files list).

remove_earlier_installation() {
  local status
  status=$(package_status)
  if [ -n "$status" ] && [ "$status" != "not-installed" ]; then
    note "harlune is already here ($status), from an earlier run: purging it first"
    apt-get purge -y -qq harlune >/dev/null || fail "cannot purge the harlune package already here"
  fi
}

# A debian/changelog that disagrees with CMakeLists.txt stops package.sh
# before it builds anything.
check_version_mismatch_refused() {
  local copy="$work/mismatch" status=0
  # What package.sh reads before it builds; a build would fail without the
  # sources, and leave build/.
  mkdir -p "$copy/scripts" "$copy/debian"
  cp CMakeLists.txt "$copy/"
  cp debian/changelog "$copy/debian/"
  cp scripts/package.sh "$copy/scripts/"
  sed -i '1s/(\([^)]*\))/(0.0.0~mismatch)/' "$copy/debian/changelog"
  "$copy/scripts/package.sh" "$copy/out" >"$work/mismatch.log" 2>&1 || status=$?
  if [ "$status" -ne 1 ] || ! grep -q "debian/changelog is at 0.0.0~mismatch" "$work/mismatch.log"; then
    fail "package.sh with a changelog of another version: exit $status, $(cat "$work/mismatch.log")"
  fi
  [ ! -e "$copy/build" ] || fail "package.sh with a changelog of another version built something"
  rm -rf "$copy"
}

# The package given (a full path), else one that package.sh builds.
build_or_take_package() {
  if [ -n "$1" ]; then
    [ -f "$1" ] || fail "no package $1"
    echo "$1"
    return
  fi
  note "building the package (scripts/package.sh)" >&2
  scripts/package.sh "$work/out" >"$work/package.log" 2>&1 || {
    tail -50 "$work/package.log" >&2
    fail "scripts/package.sh"
  }
  tail -1 "$work/package.log"
}

# Nothing of the package may be there before: else the check after the
# purge would prove nothing.
check_nothing_installed_yet() {
  local deb=$1 path
  [ "$(package_status)" = "" ] || [ "$(package_status)" = "not-installed" ] ||
    fail "harlune is still installed after the purge of an earlier installation"
  while read -r path; do
    path=${path#.}
    [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is there before the installation"
  done < <(dpkg-deb --fsys-tarfile "$deb" | tar -t)
  ! getent group harlune >/dev/null || fail "the harlune group is there before the installation"
}

check_enabled() {
  if [ -d /run/systemd/system ]; then
    [ "$(systemctl is-enabled harlune-passthru.service)" = enabled ] ||
      fail "harlune-passthru.service is not enabled"
    systemctl is-active --quiet harlune-passthru.service ||
      fail "harlune-passthru.service was not started"
  else
    note "systemd is not PID 1 here: the unit is enabled but not started;" \
      "real mode is checked from the unit's ExecStart line instead"
  fi
  # deb-systemd-helper enables the unit with the same link, with or without
  # a running systemd.
  [ -L /etc/systemd/system/multi-user.target.wants/harlune-passthru.service ] ||
    fail "the package did not enable harlune-passthru.service"
  [ -n "$(find /var/lib/systemd -path '*deb-systemd-helper*' -name 'harlune*' 2>/dev/null)" ] ||
    fail "deb-systemd-helper keeps no state of harlune-passthru.service"
}

check_group_exists() {
  local gid
  gid=$(getent group harlune | cut -d: -f3) || fail "the package made no harlune group"
  [ "$gid" -lt 1000 ] || fail "the harlune group ($gid) is not a system group"
}

check_installed_files() {
  local path expected
  while read -r path; do
    [ -e "$path" ] || fail "dpkg -L lists $path, which is not there"
  done <"$work/files"
  for expected in /usr/bin/harlune /usr/bin/harlune-headless /usr/bin/harlune-passthru "$unit" \
    /usr/lib/sysusers.d/harlune.conf /usr/share/applications/harlune.desktop \
    /usr/share/icons/hicolor/scalable/apps/harlune.svg /usr/share/doc/harlune/README.md \
    /usr/share/doc/harlune/copyright /usr/share/man/man1/harlune-headless.1.gz; do
    grep -qx "$expected" "$work/files" || fail "the package does not install $expected"
  done
  # The unit's Documentation= link must lead to a file (not to a .gz).
  local documentation
  documentation=$(sed -n 's|^Documentation=file://||p' "$unit")
  [ -f "$documentation" ] || fail "the unit's documentation $documentation is not there"
}

# Each program answers --version with its name and the package's version,
# and --help with a usage on stdout, both without a display.
check_programs() {
  local version=$1 program output
  for program in harlune harlune-headless harlune-passthru; do
    output=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --version) ||
      fail "$program --version exits $?"
    [ "$output" = "$program $version" ] || fail "$program --version prints '$output'"
    output=$(env -u DISPLAY -u WAYLAND_DISPLAY "$program" --help) || fail "$program --help exits $?"
    [[ "$output" == "usage: $program"* ]] || fail "$program --help prints '$output'"
  done
  # A mistyped option is refused, not taken for a settings folder.
  if (cd "$work" && harlune-headless --verison 2>/dev/null); then
    fail "harlune-headless --verison succeeded"
  fi
  [ ! -e "$work/--verison" ] || fail "harlune-headless made a folder of a mistyped option"
}

check_unit() {
  note "systemd-analyze verify $unit"
  systemd-analyze verify "$unit" || fail "systemd-analyze verify $unit"
  if [ -f tests/package/check_unit.sh ]; then
    note "tests/package/check_unit.sh $unit"
    bash tests/package/check_unit.sh "$unit" || fail "tests/package/check_unit.sh $unit"
  fi
}

# The unit's ExecStart command as words, with systemd's prefixes removed.
# A command that needs systemd to expand it cannot be run here.
exec_start_words() {
  local line
  line=$(sed -n 's/^ExecStart=//p' "$unit")
  if [ -z "$line" ] || [ "$(printf '%s\n' "$line" | wc -l)" -ne 1 ]; then
    fail "the unit has not exactly one ExecStart line"
  fi
  while [[ "$line" == [-@:+!]* ]]; do
    line=${line:1}
  done
  [[ "$line" != *[%\$\"\'\\]* ]] || fail "ExecStart needs systemd's expansions: $line"
  printf '%s\n' "$line"
}
