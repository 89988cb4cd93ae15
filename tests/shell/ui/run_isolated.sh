#!/bin/sh
# Runs a test in a network namespace of its own when root may make one (abstract socket names
# belong to the namespace), else as it is.
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
  exec unshare -n "$@"
fi
exec "$@"
