#!/bin/sh
# A stand-in systemctl: the unit's load and active state live in files of $FAKE_SYSTEMCTL_DIR,
# and every call is appended to its "log".
d=$FAKE_SYSTEMCTL_DIR
echo "$*" >>"$d/log"
case "$1" in
  show) cat "$d/$3" ;;
  unmask) if grep -qx masked "$d/LoadState"; then echo loaded >"$d/LoadState"; fi ;;
  start) echo active >"$d/ActiveState" ;;
  stop) echo inactive >"$d/ActiveState" ;;
  daemon-reload)
    if [ -f "$d/units/qltdifw.service" ] && grep -qx not-found "$d/LoadState"; then
      echo loaded >"$d/LoadState"
    fi ;;
esac
exit 0
