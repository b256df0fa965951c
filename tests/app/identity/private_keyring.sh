#!/usr/bin/env bash
# Runs a command on a private session bus, in throw-away HOME and XDG directories, for tests
# that leave the keyring in a state others must not see. What keeps secrets on that bus is
# chosen with VELURIO_KEYRING_MODE:
#   unlocked (default)     gnome-keyring with its login keyring created and unlocked
#   no-default-collection  gnome-keyring started without a login keyring: no collection is the
#                          default one (storing an item would ask to create a keyring)
#   bus-only               nothing, and a bus that can start nothing either (no service files):
#                          the test provides what it needs (a stand-in for KDE's wallet daemon)
# Usage: private_keyring.sh COMMAND [ARGS...]
set -euo pipefail
mode=${VELURIO_KEYRING_MODE:-unlocked}
root=$(mktemp -d /tmp/velurio-keyring.XXXXXX)
trap 'rm -rf "$root"' EXIT
export HOME="$root/home" XDG_DATA_HOME="$root/home/.local/share" XDG_CONFIG_HOME="$root/home/.config"
export XDG_RUNTIME_DIR="$root/runtime" XDG_CACHE_HOME="$root/home/.cache"
mkdir -p "$XDG_DATA_HOME/keyrings" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export VELURIO_PRIVATE_KEYRING=1 VELURIO_KEYRING_MODE="$mode"
bus_config=()
if [ "$mode" = bus-only ]; then
  cat >"$root/session.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=$root</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF
  bus_config=(--config-file="$root/session.conf")
fi
dbus-run-session "${bus_config[@]}" -- bash -c '
  set -euo pipefail
  pid=
  trap "[ -n \"\$pid\" ] && kill \$pid 2>/dev/null || true" EXIT
  case "$VELURIO_KEYRING_MODE" in
    unlocked) env=$(printf velurio-test | gnome-keyring-daemon --daemonize --unlock --components=secrets) ;;
    no-default-collection) env=$(gnome-keyring-daemon --daemonize --components=secrets) ;;
    *) env= ;;
  esac
  pid=$(sed -n "s/^GNOME_KEYRING_PID=//p" <<<"$env")
  if [ -n "$pid" ]; then
    for _ in $(seq 1 50); do
      dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
      sleep 0.1
    done
  fi
  "$@"
' velurio-private-keyring "$@"
