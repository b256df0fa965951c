# Sourced by scripts/with-services: a private D-Bus session bus for the test run, so that the
# secret service, Qt and the tray host never reach the user's own session.
# Exports DBUS_SESSION_BUS_ADDRESS; later services (keyring, X server) use this bus.
command -v dbus-daemon >/dev/null || { echo "with-services: dbus-daemon not installed" >&2; exit 1; }
session_bus_info=$(dbus-daemon --session --fork --nopidfile --print-address=1 --print-pid=1) || {
  echo "with-services: the session bus did not start" >&2
  exit 1
}
DBUS_SESSION_BUS_ADDRESS=$(sed -n 1p <<<"$session_bus_info")
session_bus_pid=$(sed -n 2p <<<"$session_bus_info")
export DBUS_SESSION_BUS_ADDRESS
cleanup+=("kill $session_bus_pid")
unset session_bus_info
