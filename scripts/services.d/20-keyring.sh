# Sourced by scripts/with-services after the session bus: a secret service (gnome-keyring's
# "secrets" component) on that bus, with its login keyring created and unlocked with a fixed
# throw-away password read from standard input, so that no test ever sees a prompt.
command -v gnome-keyring-daemon >/dev/null || { echo "with-services: gnome-keyring-daemon not installed" >&2; exit 1; }
[ -n "${DBUS_SESSION_BUS_ADDRESS:-}" ] || { echo "with-services: the keyring needs the session bus" >&2; exit 1; }
mkdir -p "$XDG_DATA_HOME/keyrings"
keyring_env=$(printf 'velurio-test' | gnome-keyring-daemon --daemonize --unlock --components=secrets) || {
  echo "with-services: gnome-keyring-daemon did not start" >&2
  exit 1
}
keyring_pid=$(sed -n 's/^GNOME_KEYRING_PID=//p' <<<"$keyring_env")
[ -n "$keyring_pid" ] && cleanup+=("kill $keyring_pid")
# The daemon owns org.freedesktop.secrets once it has registered on the bus; wait for that
# (a few hundred milliseconds at most) so the first test does not race it.
for _ in $(seq 1 50); do
  if dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
       org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true'; then
    break
  fi
  sleep 0.1
done
dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
  org.freedesktop.DBus.NameHasOwner string:org.freedesktop.secrets 2>/dev/null | grep -q 'boolean true' || {
  echo "with-services: the secret service did not appear on the session bus" >&2
  exit 1
}
export VELURIO_SECRET_SERVICE=gnome-keyring
unset keyring_env
