#!/usr/bin/env bash
# Runs a command in a network namespace of its own, with a second namespace for the tablet,
# joined by a link that a test can make slow, lossy or dead on command (impaired_link.py between
# two TUN devices): 10.77.0.1 here, 10.77.0.2 there.
#
# The command gets, in its environment:
#   VELURIO_TABLET_NETNS_PID      run the tablet there: nsenter -t $PID -n ...
#   VELURIO_TABLET_HOST_ADDRESS   the host's address as the tablet reaches it
#   VELURIO_LINK_CONTROL          write one command per line here ("delay 750", "loss 2 udp",
#                                 "blackout", "restore")
#   VELURIO_LINK_STATUS           "applied N <command>" appears here once a command took effect
# Local sockets of this machine (the X server, the session bus, the Avahi daemon's bus) are
# reached through their paths in the file system, which namespaces do not hide.
# Usage: impaired_link.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${VELURIO_IMPAIRED_LINK:-}" != 1 ]; then
  export VELURIO_IMPAIRED_LINK=1
  exec unshare --net --map-root-user -- bash "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
ip link set lo up
work=$(mktemp -d)
unshare --net sleep infinity &
holder=$!
relay=
cleanup() {
  [ -n "$relay" ] && kill "$relay" 2>/dev/null && wait "$relay" 2>/dev/null
  kill "$holder" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
for _ in $(seq 1 100); do
  [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.02
done
mkfifo "$work/control"
: >"$work/status"
python3 "$here/impaired_link.py" velurio-host velurio-tablet "$work/control" "$work/status" &
relay=$!
for _ in $(seq 1 250); do
  grep -q '^ready$' "$work/status" && break
  kill -0 "$relay" 2>/dev/null || { echo "impaired_link: the relay did not start" >&2; exit 1; }
  sleep 0.02
done
ip link set velurio-tablet netns "$holder"
ip addr add 10.77.0.1 peer 10.77.0.2 dev velurio-host
ip link set velurio-host up
nsenter -t "$holder" -n sh -c \
  'ip link set lo up && ip addr add 10.77.0.2 peer 10.77.0.1 dev velurio-tablet &&
   ip link set velurio-tablet up'
export VELURIO_TABLET_NETNS_PID=$holder VELURIO_TABLET_HOST_ADDRESS=10.77.0.1
export VELURIO_LINK_CONTROL=$work/control VELURIO_LINK_STATUS=$work/status
status=0
"$@" || status=$?
kill "$relay" 2>/dev/null && wait "$relay" 2>/dev/null
relay=
tail -n 1 "$work/status" | sed 's/^/impaired link: /'
exit $status
