#!/usr/bin/env bash
# Builds the Debian package, installs it, starts the daemon through the installed qxfwsetup,
# removes the package, and shows that the files before and after are the same.
# usage: package_test.sh BUILD_DIR     (exit 77: skipped)
set -euo pipefail
build=$1
if [ "$(id -u)" -ne 0 ]; then echo "skipped: needs root"; exit 77; fi
if dpkg-query -W -f='${Status}' qxfw 2>/dev/null | grep -q 'ok installed'; then
  echo "skipped: a qxfw package is installed on this machine already"; exit 77
fi
if [ -e /run/qxfw/qltdifw.sock ] || [ -e /run/qxfw/qltdifw.pid ]; then
  echo "skipped: a filter daemon uses /run/qxfw on this machine"; exit 77
fi
# An empty runtime folder left by an earlier daemon would be removed with the package and
# show as a difference; nothing uses it.
rmdir /run/qxfw 2>/dev/null || true
work=$(mktemp -d "/tmp/qxfw-package-test.$$.XXXXXX")
installed=0
# The daemon filters the namespace it starts in: this test's own, never the machine's.
netns=qxfwpkg-$$
ip netns add "$netns"
# A system folder set aside below, put back.
kept=
restore_kept() {
  if [ -n "$kept" ]; then
    rm -rf "$prefix/lib/qxfw"
    mv "$kept" "$prefix/lib/qxfw"
    kept=
  fi
}
cleanup() {
  if [ -f /run/qxfw/qltdifw.pid ]; then
    pid=$(cat /run/qxfw/qltdifw.pid)
    case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in */lib/qxfw/qltdifw*) kill "$pid" ;; esac
  fi
  if [ "$installed" = 1 ]; then dpkg -r qxfw >/dev/null 2>&1 || true; fi
  # No trace in the package database either.
  if dpkg-query -W qxfw >/dev/null 2>&1; then dpkg -P qxfw >/dev/null 2>&1 || true; fi
  ip netns delete "$netns" 2>/dev/null || true
  restore_kept
  rm -rf "$work"
}
trap cleanup EXIT

prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
# A system folder that is there already (another program run without QXFW_SYSTEM_DIR made it)
# is not the package's: set it aside so the removal cannot take it, and put it back after.
if [ -e "$prefix/lib/qxfw" ]; then
  kept="$prefix/lib/qxfw.kept-by-package-test.$$"
  mv "$prefix/lib/qxfw" "$kept"
fi
# Everything under the folders the package or the installer write to, not only our names, so a
# left-over folder shows as well.
places=("$prefix/lib/qxfw" "$prefix/lib/systemd" "$prefix/share/applications" "$prefix/share/icons"
        /usr/share/polkit-1/actions /run/systemd/system /run/qxfw /etc/systemd/system)
list_files() {
  for p in "${places[@]}"; do
    if [ -e "$p" ]; then find "$p" -xdev -print 2>/dev/null; fi
  done | sort
}

(cd "$build" && cpack -G DEB -B "$work/out" -D CPACK_OUTPUT_FILE_PREFIX="$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
deb=$(ls "$work"/out/qxfw_*.deb)
dpkg-deb -f "$deb" Depends
list_files >"$work/before"
installed=1
dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
for f in "$prefix/lib/qxfw/qxfwsetup" "$prefix/lib/systemd/system/qltdifw.service" \
         /usr/share/polkit-1/actions/com.qoltex.qxfwsetup.policy "$prefix/share/applications/qxfw.desktop"; do
  [ -e "$f" ] || { echo "not installed: $f"; exit 1; }
done
grep -q "auth_admin_keep" /usr/share/polkit-1/actions/com.qoltex.qxfwsetup.policy
grep -q "exec.path\">$prefix/lib/qxfw/qxfwsetup<" /usr/share/polkit-1/actions/com.qoltex.qxfwsetup.policy
ip netns exec "$netns" env -u QXFW_SYSTEM_DIR -u QXFW_APPDATA -u QXFW_RUNTIME_DIR HOME="$work/home" \
  "$prefix/lib/qxfw/qxfwsetup" /StartDriver
daemon=
if [ -x "$prefix/lib/qxfw/qltdifw" ]; then
  [ -S /run/qxfw/qltdifw.sock ] || { echo "the daemon does not serve its socket"; exit 1; }
  daemon=$(cat /run/qxfw/qltdifw.pid)
  ip netns exec "$netns" iptables-save | grep -q NFQUEUE || { echo "the daemon queues nothing"; exit 1; }
  echo "daemon $daemon started through the installed qxfwsetup"
else
  echo "this build carries no filter daemon: start not checked"
fi
dpkg -r qxfw >"$work/dpkg.log" 2>&1 || { cat "$work/dpkg.log"; exit 1; }
installed=0
if [ -n "$daemon" ]; then
  if kill -0 "$daemon" 2>/dev/null; then echo "the daemon still runs after removal"; exit 1; fi
  if ip netns exec "$netns" iptables-save | grep -q NFQUEUE; then echo "queue rules left"; exit 1; fi
fi
list_files >"$work/after"
if ! diff -u "$work/before" "$work/after"; then echo "files left behind"; exit 1; fi
echo "package installed and removed; $(wc -l <"$work/before") matching files before and after"
