# Sourced by the end-to-end benchmarks after they set `build`: a scratch home in $work (removed on
# exit, with every process whose pid is added to `pids`), the test Avahi's bus when there is one,
# and a local platform with the account bench@velurio.local:bench, whose address is in $url and
# whose key the host trusts (VELURIO_API_URL, VELURIO_PLATFORM_PUBKEY_FILE exported).
#   source "$root/bench/e2e/local_platform.sh" <name>      (names the scratch directory)
work=$(mktemp -d "/tmp/velurio-bench-${1:-e2e}.XXXXXX")
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
export HOME=$work XDG_CONFIG_HOME=$work/.config XDG_DATA_HOME=$work/.local/share
[ -n "${VELURIO_AVAHI_BUS:-}" ] && export DBUS_SYSTEM_BUS_ADDRESS=$VELURIO_AVAHI_BUS

"$build/tools/velurio-devplatform/velurio-devplatform" --port 0 --account bench@velurio.local:bench \
  --write-pubkey "$work/pub.pem" >"$work/platform.out" 2>"$work/platform.err" &
pids+=($!)
for _ in $(seq 1 50); do grep -q 'listening on' "$work/platform.out" 2>/dev/null && break; sleep 0.1; done
url=$(sed -n 's/.*listening on //p' "$work/platform.out")
export VELURIO_API_URL=$url VELURIO_PLATFORM_PUBKEY_FILE=$work/pub.pem
