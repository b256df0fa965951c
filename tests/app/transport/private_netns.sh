#!/usr/bin/env bash
# Runs a command in a network namespace of its own, with a second namespace for the tablet
# joined to it by a veth pair: 10.77.0.1 here, 10.77.0.2 there. A test runs the tablet in the
# second namespace (nsenter -t $VELURIO_TABLET_NETNS_PID -n ...) and may drop the tablet's
# packets there (tc on its veth end) without touching any interface of the machine. Dropping
# on the tablet's side keeps the host's side a plain lossy path: a local drop on the host's
# own interface would be seen by its TCP as local congestion, not as a vanished peer.
# Usage: private_netns.sh COMMAND [ARGS...]
set -euo pipefail
if [ "${VELURIO_PRIVATE_NETNS:-}" != 1 ]; then
  export VELURIO_PRIVATE_NETNS=1
  exec unshare --net --map-root-user -- bash "$0" "$@"
fi
ip link set lo up
unshare --net sleep infinity &
holder=$!
trap 'kill $holder 2>/dev/null || true' EXIT
for _ in $(seq 1 100); do
  [ "$(readlink /proc/$holder/ns/net)" != "$(readlink /proc/self/ns/net)" ] && break
  sleep 0.02
done
ip link add velurio-host type veth peer name velurio-tablet netns "$holder"
ip addr add 10.77.0.1/24 dev velurio-host
ip link set velurio-host up
nsenter -t "$holder" -n sh -c \
  'ip link set lo up && ip addr add 10.77.0.2/24 dev velurio-tablet && ip link set velurio-tablet up'
export VELURIO_TABLET_NETNS_PID=$holder VELURIO_TABLET_HOST_ADDRESS=10.77.0.1
"$@"
