# Sourced by scripts/with-services: a private Avahi daemon for the local-network advertisement
# tests, in its own mount and network namespaces (scripts/avahi-namespace), reached through a
# system bus of its own. Exports VELURIO_AVAHI_BUS (that bus's address) and
# VELURIO_AVAHI_PID (the daemon, whose network namespace `nsenter -n -t` joins).
# When the daemon cannot start (no root, no unshare, no avahi-daemon) the rest of the suite
# still runs; the tests that need it then fail and say why.
avahi_dir="$VELURIO_SERVICES_DIR/avahi"
start_velurio_avahi() {
  local tool
  for tool in avahi-daemon dbus-daemon unshare ip dbus-send; do
    command -v "$tool" >/dev/null || { echo "with-services: avahi: $tool is not installed" >&2; return 1; }
  done
  mkdir -p "$avahi_dir"
  cat >"$avahi_dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$avahi_dir/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
  cat >"$avahi_dir/avahi-daemon.conf" <<CONF
[server]
host-name=velurio-test
use-ipv4=yes
use-ipv6=no
allow-interfaces=lo
enable-dbus=yes
ratelimit-interval-usec=0
[wide-area]
enable-wide-area=no
[publish]
publish-hinfo=no
publish-workstation=no
[reflector]
[rlimits]
CONF
  setsid unshare -m -n "$here/avahi-namespace" "$avahi_dir" >"$avahi_dir/daemon.log" 2>&1 &
  VELURIO_AVAHI_PID=$!
  cleanup+=("kill $VELURIO_AVAHI_PID")
  cleanup+=("[ -s '$avahi_dir/bus.pid' ] && kill \$(cat '$avahi_dir/bus.pid')")
  VELURIO_AVAHI_BUS="unix:path=$avahi_dir/system_bus_socket"
  local _
  for _ in $(seq 1 100); do
    if dbus-send --bus="$VELURIO_AVAHI_BUS" --print-reply --dest=org.freedesktop.Avahi / \
         org.freedesktop.Avahi.Server.GetState 2>/dev/null | grep -q 'int32 2'; then
      export VELURIO_AVAHI_BUS VELURIO_AVAHI_PID
      return 0
    fi
    kill -0 "$VELURIO_AVAHI_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "with-services: avahi: the daemon did not start:" >&2
  sed 's/^/  /' "$avahi_dir/daemon.log" >&2 || true
  unset VELURIO_AVAHI_BUS VELURIO_AVAHI_PID
  return 1
}
start_velurio_avahi || echo "with-services: continuing without Avahi; the service tests that need it will fail" >&2
unset -f start_velurio_avahi
