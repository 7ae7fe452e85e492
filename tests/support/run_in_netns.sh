#!/usr/bin/env bash
# Runs a test program in a private network namespace with only loopback up, so that it can
# bind port 80 on 127.0.0.1 without touching the machine's network.
set -euo pipefail
if [ "${RAVELUNE_IN_NETNS:-}" = 1 ]; then
  exec "$@"
fi
exec unshare -n env RAVELUNE_IN_NETNS=1 bash -c 'ip link set lo up && exec "$@"' netns "$@"
