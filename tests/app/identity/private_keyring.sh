#!/usr/bin/env bash
# Runs a command on a private session bus with its own unlocked gnome-keyring, in throw-away
# HOME and XDG directories, for tests that leave the keyring in a state others must not see.
# Usage: private_keyring.sh COMMAND [ARGS...]
set -euo pipefail
root=$(mktemp -d /tmp/velurio-keyring.XXXXXX)
trap 'rm -rf "$root"' EXIT
export HOME="$root/home" XDG_DATA_HOME="$root/home/.local/share" XDG_CONFIG_HOME="$root/home/.config"
export XDG_RUNTIME_DIR="$root/runtime" XDG_CACHE_HOME="$root/home/.cache"
mkdir -p "$XDG_DATA_HOME/keyrings" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
export VELURIO_PRIVATE_KEYRING=1
dbus-run-session -- bash -c '
  set -euo pipefail
  env=$(printf velurio-test | gnome-keyring-daemon --daemonize --unlock --components=secrets)
  pid=$(sed -n "s/^GNOME_KEYRING_PID=//p" <<<"$env")
  trap "[ -n \"$pid\" ] && kill $pid 2>/dev/null || true" EXIT
  for _ in $(seq 1 50); do
    dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q "boolean true" && break
    sleep 0.1
  done
  "$@"
' velurio-private-keyring "$@"
