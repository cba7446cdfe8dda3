# shellcheck shell=bash disable=SC2154
# Real mode and removal steps of package_test.sh (sourced by it).

in_namespace() { ip netns exec "$namespace" "$@"; }

mangle_rules() { in_namespace "$1" -w -t mangle -S; }

socket_ready() { [ -S "$work/PassThru" ]; }

# Ended: gone, or a zombie that the shell has not waited for yet.
daemon_gone() {
  local stat
  stat=$(cat "/proc/$daemon_pid/stat" 2>/dev/null) || return 0
  [[ "${stat##*) }" == Z* ]]
}

# The installed unit's command, started by hand in a namespace of our own
# with a socket of our own: real mode must come up with the installed
# files and leave nothing behind after SIGTERM.
check_real_mode_from_unit() {
  local -a command
  read -ra command <<<"$(exec_start_words)"
  [ "${command[0]}" = /usr/bin/harlune-passthru ] ||
    fail "ExecStart runs ${command[0]}, not the installed /usr/bin/harlune-passthru"
  ip netns add "$namespace"
  in_namespace ip link set lo up
  note "starting ${command[*]} --socket $work/PassThru in namespace $namespace"
  # Not through in_namespace: a function in the background runs in a
  # subshell, and $! would be the subshell's, not the daemon's.
  ip netns exec "$namespace" "${command[@]}" --socket "$work/PassThru" >"$work/daemon.log" 2>&1 &
  daemon_pid=$!
  wait_for 10 socket_ready || fail "no socket after 10 s: $(cat "$work/daemon.log")"
  [ "$(readlink "/proc/$daemon_pid/exe")" = "${command[0]}" ] ||
    fail "process $daemon_pid is not the daemon but $(readlink "/proc/$daemon_pid/exe")"
  check_rules_in_place iptables
  grep -q "cannot set up the ip6tables chains" "$work/daemon.log" || check_rules_in_place ip6tables
  [ "$(stat -c '%a %G' "$work/PassThru")" = "660 harlune" ] ||
    fail "the socket is $(stat -c '%a %G' "$work/PassThru"), not 660 harlune"
  check_second_daemon_refused "${command[@]}"
  stop_daemon
}

check_rules_in_place() {
  local rules
  rules=$(mangle_rules "$1")
  for expected in "-N HARLUNE-OUT" "-N HARLUNE-IN" "-A POSTROUTING -j HARLUNE-OUT" \
    "-A PREROUTING -j HARLUNE-IN"; do
    grep -qx -- "$expected" <<<"$rules" || fail "$1 in the namespace lacks '$expected': $rules"
  done
}

# A second driver on the same socket ends with exit 3 (the unit's
# RestartPreventExitStatus) and leaves the first one's rules alone.
check_second_daemon_refused() {
  local status=0
  in_namespace "$@" --socket "$work/PassThru" >"$work/second.log" 2>&1 || status=$?
  [ "$status" -eq 3 ] || fail "a second daemon on the socket exits $status: $(cat "$work/second.log")"
  check_rules_in_place iptables
  ! daemon_gone || fail "the first daemon died of the second"
}

stop_daemon() {
  local status=0
  kill -TERM "$daemon_pid"
  wait_for 10 daemon_gone || fail "the daemon did not end within 10 s of SIGTERM"
  wait "$daemon_pid" || status=$?
  daemon_pid=""
  [ "$status" -eq 0 ] || fail "the daemon exited $status after SIGTERM: $(cat "$work/daemon.log")"
  local family
  for family in iptables ip6tables; do
    ! mangle_rules "$family" | grep -q HARLUNE || fail "$family rules left after SIGTERM"
  done
  [ ! -e "$work/PassThru" ] || fail "the socket is left after SIGTERM"
}

# An upgrade (here: the same package again, which runs the upgrade path of
# the maintainer scripts) keeps the group as it was and the unit enabled.
check_reinstall_keeps_state() {
  local deb=$1 group_before
  group_before=$(getent group harlune)
  note "apt-get install --reinstall $deb"
  apt-get install -y -qq --reinstall "$deb" >"$work/reinstall.log" 2>&1 || {
    cat "$work/reinstall.log" >&2
    fail "apt-get install --reinstall $deb"
  }
  [ "$(getent group harlune)" = "$group_before" ] ||
    fail "the upgrade changed the group from '$group_before' to '$(getent group harlune)'"
  [ -L /etc/systemd/system/multi-user.target.wants/harlune-passthru.service ] ||
    fail "the upgrade disabled harlune-passthru.service"
}

# Removal keeps the group (and so its members) for a later installation;
# the purge takes it and every file the package installed.
remove_and_purge() {
  note "apt-get remove harlune"
  apt-get remove -y -qq harlune >/dev/null || fail "apt-get remove harlune"
  [ ! -e /usr/bin/harlune-passthru ] || fail "harlune-passthru is left after the removal"
  if [ -d /run/systemd/system ]; then
    ! systemctl is-active --quiet harlune-passthru.service || fail "the service runs after removal"
  fi
  getent group harlune >/dev/null || fail "the removal (without purge) took the harlune group"
  note "apt-get purge harlune"
  apt-get purge -y -qq harlune >/dev/null || fail "apt-get purge harlune"
  [ "$(package_status)" = "not-installed" ] || [ -z "$(package_status)" ] ||
    fail "harlune is $(package_status) after the purge"
  check_no_file_left
  ! getent group harlune >/dev/null || fail "the harlune group is left after the purge"
  [ ! -e /etc/systemd/system/multi-user.target.wants/harlune-passthru.service ] ||
    fail "the unit's enablement link is left after the purge"
  [ -z "$(find /var/lib/systemd -path '*deb-systemd-helper*' -name 'harlune*' 2>/dev/null)" ] ||
    fail "deb-systemd-helper's state of the unit is left after the purge"
}

# Folders that other packages own as well stay; a folder of nobody else
# that still holds a file (other than an icon cache that a trigger wrote)
# is a leftover, as is any other path.
check_no_file_left() {
  local path
  while read -r path; do
    [ -e "$path" ] || [ -L "$path" ] || continue
    [ "$path" != "/." ] || continue
    # (-d follows links: /lib is one to usr/lib on merged-/usr systems.)
    if [ -d "$path" ]; then
      dpkg-query -S "$path" >/dev/null 2>&1 && continue
      [ -n "$(find "$path" -mindepth 1 ! -type d ! -name icon-theme.cache -print -quit)" ] ||
        continue
    fi
    fail "$path is left after the purge"
  done <"$work/files"
}
