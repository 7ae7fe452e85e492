#!/usr/bin/env bash
# Runs a test program in a private network namespace with only loopback up, so that it can
# bind port 80 on 127.0.0.1 without touching the machine's network. Root makes the namespace
# directly; an ordinary user makes it inside a user namespace of its own. Where the system
# allows neither, the test is skipped (exit status 77) with the reason.
set -euo pipefail
if [ "${RAVELUNE_IN_NETNS:-}" = 1 ]; then
  exec "$@"
fi
namespaces=(-n)
if [ "$(id -u)" != 0 ]; then
  namespaces=(-r -n)
fi
if ! reason=$(unshare "${namespaces[@]}" true 2>&1); then
  echo "Skipped: this test needs a private network namespace, which needs root or user namespaces: $reason"
  exit 77
fi
exec unshare "${namespaces[@]}" env RAVELUNE_IN_NETNS=1 bash -c 'ip link set lo up && exec "$@"' netns "$@"
