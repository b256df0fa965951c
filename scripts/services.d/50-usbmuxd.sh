# Sourced by scripts/with-services: the real usbmuxd daemon, for the service tests of the USB
# client. usbmuxd has no option for its socket path: it always creates /run/usbmuxd (and its
# pid file beside it). So it runs in a mount namespace of its own (`unshare -m`, private
# propagation) in which a directory of ours is bound over /run. The daemon's /run/usbmuxd is
# then that directory's `usbmuxd` on the ordinary file system, where test processes connect
# without entering the namespace; the host's own /run, and any usbmuxd the host runs, are not
# touched. The host's USB devices are hidden from it (scripts/usbmuxd-namespace), so it always
# answers with an empty device list.
# Exports VELURIO_USBMUXD_SOCKET (the socket's path) and VELURIO_USBMUXD_PID (the daemon).
# When the daemon cannot start (no root, no unshare, no usbmuxd) the rest of the suite still
# runs; the tests that need it then fail and say why.
usbmuxd_dir="$VELURIO_SERVICES_DIR/usbmuxd"
start_velurio_usbmuxd() {
  local tool
  for tool in usbmuxd unshare mount; do
    command -v "$tool" >/dev/null || { echo "with-services: usbmuxd: $tool is not installed" >&2; return 1; }
  done
  mkdir -p "$usbmuxd_dir/run"
  setsid unshare -m "$here/usbmuxd-namespace" "$usbmuxd_dir/run" >"$usbmuxd_dir/daemon.log" 2>&1 &
  VELURIO_USBMUXD_PID=$!
  cleanup+=("kill $VELURIO_USBMUXD_PID")
  local _
  for _ in $(seq 1 100); do
    if [ -S "$usbmuxd_dir/run/usbmuxd" ]; then
      VELURIO_USBMUXD_SOCKET="$usbmuxd_dir/run/usbmuxd"
      export VELURIO_USBMUXD_SOCKET VELURIO_USBMUXD_PID
      return 0
    fi
    kill -0 "$VELURIO_USBMUXD_PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "with-services: usbmuxd: the daemon did not start:" >&2
  sed 's/^/  /' "$usbmuxd_dir/daemon.log" >&2 || true
  unset VELURIO_USBMUXD_SOCKET VELURIO_USBMUXD_PID
  return 1
}
start_velurio_usbmuxd || echo "with-services: continuing without usbmuxd; the service tests that need it will fail" >&2
unset -f start_velurio_usbmuxd
