#!/usr/bin/env bash
# The Debian package as an administrator meets it: built by scripts/package.sh,
# its file list and metadata as intended, lintian without an error, installed
# with dpkg -i, its programs answering from their installed paths, an engine
# started by hand stopped by the removal, and nothing of it left after
# dpkg -r (but its configuration) and dpkg --purge (but the system user).
# Installs into this machine, so it runs alone (RUN_SERIAL); everything it
# installed or created is taken away at the end, also on failure.
set -euo pipefail
top="${1:?usage: check_package.sh SOURCE_DIR BUILD_DIR VERSION}"
build="${2:?}"
version="${3:?}"

skip() {
  echo "SKIPPED: $*"
  exit 77
}
fail() {
  echo "FAILED: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
command -v dpkg-deb >/dev/null || skip "not a Debian system"
if dpkg-query -W -f='${Status}' harbinet 2>/dev/null | grep -q "installed"; then
  skip "a harbinet package is installed on this machine; this test would replace it"
fi
command -v lintian >/dev/null || fail "lintian is missing (scripts/install-deps.sh installs it)"

work="$(mktemp -d)"
user_existed=0
getent passwd harbinet >/dev/null && user_existed=1
policy_created=0
engine_pid=""
cleanup() {
  [ -n "$engine_pid" ] && kill "$engine_pid" 2>/dev/null || true
  if dpkg-query -W -f='${Status}' harbinet 2>/dev/null | grep -qv "not-installed"; then
    dpkg --purge harbinet >/dev/null 2>&1 || true
  fi
  [ "$policy_created" -eq 1 ] && rm -f /usr/sbin/policy-rc.d
  # The package keeps its system user; a user this test made goes with the test.
  if [ "$user_existed" -eq 0 ] && getent passwd harbinet >/dev/null; then
    deluser --quiet --system harbinet >/dev/null 2>&1 || true
    getent group harbinet >/dev/null && delgroup --quiet --system harbinet >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== build"
deb="$(BUILD_DIR="$build" bash "$top/scripts/package.sh" | tail -1)"
[ "$deb" = "$build/harbinet_${version}_$(dpkg --print-architecture).deb" ] || fail "package.sh wrote $deb"
[ -f "$deb" ] || fail "no $deb"

echo "== file list"
expected_files="./etc/default/hbt-engined
./lib/systemd/system/harbinet-headless.service
./lib/systemd/system/hbt-engined.service
./usr/bin/harbinet
./usr/bin/hbtctl
./usr/sbin/hbt-engined
./usr/share/applications/harbinet.desktop
./usr/share/bash-completion/completions/hbtctl
./usr/share/doc/harbinet/changelog.gz
./usr/share/doc/harbinet/copyright
./usr/share/icons/hicolor/scalable/apps/harbinet.svg
./usr/share/man/man1/harbinet.1.gz
./usr/share/man/man1/hbtctl.1.gz
./usr/share/man/man8/hbt-engined.8.gz"
files="$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ {print $6}' | sort)"
[ "$files" = "$expected_files" ] || fail "files in the package:
$files
expected:
$expected_files"
dpkg-deb -c "$deb" | awk '$1 ~ /^-/ && $2 != "root/root" {bad = 1} END {exit bad}' || fail "a file not owned by root"

echo "== metadata"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = harbinet ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
depends="$(field Depends)"
depended_on="$(echo "$depends" | tr ',' '\n' | sed 's/^ *//; s/ .*//')"
for needed in libc6 libstdc++6 libssl3 libnetfilter-queue1 libmnl0 libtinyxml2-9 libqt6widgets6 \
              libqt6network6 libqt6dbus6 libqt6svg6 adduser iptables qt6-qpa-plugins; do
  echo "$depended_on" | grep -qxF "$needed" || fail "Depends lacks $needed: $depends"
done
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = "/etc/default/hbt-engined" ] || fail "conffiles: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
  [ "$(stat -c %a "$work/control/$script")" = 755 ] || fail "$script is not mode 755"
  sh -n "$work/control/$script" || fail "$script does not parse"
done

echo "== lintian"
lintian --fail-on error "$deb" || fail "lintian reports an error"

echo "== manuals"
mkdir -p "$work/files"
dpkg-deb -x "$deb" "$work/files"
for manual in "$work"/files/usr/share/man/man*/*.gz; do
  warnings="$(zcat "$manual" | groff -man -Tutf8 -ww -z 2>&1)"
  [ -z "$warnings" ] || fail "$(basename "$manual"): $warnings"
done

echo "== install"
# Where systemd runs, the package would start the engine on this machine;
# policy-rc.d keeps it from doing so while the test runs.
if [ -d /run/systemd/system ] && [ ! -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
  chmod 755 /usr/sbin/policy-rc.d
  policy_created=1
fi
dpkg -i "$deb" || fail "dpkg -i"
getent passwd harbinet | grep -q ":/var/lib/harbinet:" || fail "no system user harbinet with its home"
[ -d /var/lib/harbinet ] || fail "no /var/lib/harbinet"
[ -L /etc/systemd/system/multi-user.target.wants/hbt-engined.service ] || fail "the engine is not enabled"
[ ! -e /etc/systemd/system/multi-user.target.wants/harbinet-headless.service ] || fail "the headless program is enabled"
for program in /usr/bin/hbtctl /usr/sbin/hbt-engined /usr/bin/harbinet; do
  line="$("$program" --version)"
  [ "$line" = "$(basename "$program") $version" ] || fail "$program --version: $line"
done
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/hbt-engined.service /lib/systemd/system/harbinet-headless.service \
    2>"$work/verify" || fail "systemd-analyze verify: $(cat "$work/verify")"
fi

echo "== the engine for the package's user"
# Started by hand, as where systemd does not run, with the defaults file's
# arguments: the package's user may open it.
chmod 755 "$work"
. /etc/default/hbt-engined
# shellcheck disable=SC2086 # the arguments are words, as systemd splits them
/usr/sbin/hbt-engined --dry-run --device "$work/engine.sock" $HBT_ENGINED_ARGS 2>"$work/engine.log" &
engine_pid=$!
for _ in $(seq 100); do grep -q serving "$work/engine.log" && break; sleep 0.1; done
grep -q serving "$work/engine.log" || fail "the installed engine did not serve: $(cat "$work/engine.log")"
status=0
runuser -u harbinet -- env HBT_ENGINE_DEVICE="$work/engine.sock" /usr/bin/hbtctl status >"$work/status" || status=$?
[ "$status" -eq 1 ] || fail "hbtctl status as harbinet ended with $status: $(cat "$work/status")"
grep -q "^Settings file: /var/lib/harbinet/.config/Corvant/Harbinet.conf$" "$work/status" ||
  fail "hbtctl status as harbinet: $(cat "$work/status")"

echo "== remove"
# The removal stops the engine.
dpkg -r harbinet || fail "dpkg -r"
engine_status=0
wait "$engine_pid" || engine_status=$?
engine_pid=""
[ "$engine_status" -eq 0 ] || fail "the engine ended with $engine_status: $(cat "$work/engine.log")"
grep -q "hbt-engined: stopped" "$work/engine.log" || fail "the engine did not stop in order: $(cat "$work/engine.log")"
[ "$(dpkg-query -W -f='${Status}' harbinet)" = "deinstall ok config-files" ] || fail "state after dpkg -r"
for file in $expected_files; do
  path="${file#.}"
  if [ "$path" = /etc/default/hbt-engined ]; then
    [ -f "$path" ] || fail "dpkg -r removed the configuration $path"
  else
    [ ! -e "$path" ] || fail "$path is left after dpkg -r"
  fi
done
if command -v iptables-save >/dev/null && iptables-save >"$work/rules" 2>/dev/null; then
  ! grep -q HARBINET_ "$work/rules" || fail "firewall rules are left: $(grep HARBINET_ "$work/rules")"
fi

echo "== purge"
dpkg --purge harbinet || fail "dpkg --purge"
! dpkg-query -W -f='${Status}' harbinet 2>/dev/null | grep -q "config-files" || fail "state after purge"
left="$(find /etc /lib/systemd /var/lib/systemd /var/lib/harbinet /usr/share/doc/harbinet \
             \( -name '*hbt-engined*' -o -name '*harbinet*' \) 2>/dev/null || true)"
[ -z "$left" ] || fail "left after purge: $left"
getent passwd harbinet >/dev/null || fail "the system user harbinet went with the purge"
echo "package test passed"
