#!/usr/bin/env bash
# A tablet on a slow USB cable: the host's video must drop to a key frame rather than queue.
# The usbmuxd stand-in bridges the tablet's port to velurio-peer --usb, which reads the host's
# stream at a fixed rate; a test pattern keeps the screen changing. Every part runs in its own
# process under the services of scripts/with-services:
#   scripts/with-services bench/e2e/usb_backpressure.sh [build-dir] [seconds] [bytes-per-second]
# (defaults: build/release, 60, 150000). Prints the host's resident memory over the run (peak
# and last), and the frames the tablet received: sequence gaps (dropped batches) and the key
# frames that followed them.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
seconds=${2:-60}
rate=${3:-150000}
source "$root/bench/e2e/local_platform.sh" usb
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$build/tools/velurio-usbmuxd/velurio-usbmuxd" --socket "$work/mux" --forward "$port" \
  --attach "1 SLOW-TABLET" --no-stdin >"$work/mux.log" 2>&1 &
pids+=($!)
export USBMUXD_SOCKET_ADDRESS=UNIX:$work/mux
"$build/tools/velurio-signin/velurio-signin" --email bench@velurio.local --password bench >/dev/null
ffplay -loglevel quiet -f lavfi -i "testsrc2=size=1280x720:rate=30" -x 1280 -y 720 -left 100 -top 100 \
  >/dev/null 2>&1 &
pids+=($!)
"$build/src/app/velurio" >"$work/host.log" 2>&1 &
host=$!
pids+=($host)
"$build/tools/velurio-peer/velurio-peer" --platform "$url" --email bench@velurio.local --password bench \
  --usb "$port" --read-bytes-per-second "$rate" --duration-ms $(( (seconds + 5) * 1000 )) \
  --log "$work/tablet.jsonl" </dev/null &
tablet=$!
: >"$work/rss"
while kill -0 "$tablet" 2>/dev/null; do
  awk '/^VmRSS/ {print $2}' "/proc/$host/status" >>"$work/rss" 2>/dev/null || true
  sleep 1
done
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$host/status")

python3 - "$work/tablet.jsonl" "$work/rss" "$hwm" "$rate" <<'PY'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
rss = [int(x) for x in open(sys.argv[2]) if x.strip()]
frames = [e for e in events if e["event"] == "frame"]
gaps = 0
followed_by_key = 0
for a, b in zip(frames, frames[1:]):
    if b["seq"] > a["seq"] + 1:
        gaps += 1
        # The first key frame after the gap, and how many frames it took.
        later = frames[frames.index(b):]
        if any(f["key"] for f in later):
            followed_by_key += 1
print(f"tablet reading {sys.argv[4]} B/s: {len(frames)} frames received, "
      f"{sum(e['key'] for e in frames)} key frames, {sum(e['decoded'] for e in frames)} decoded")
print(f"gaps (dropped batches): {gaps}, each followed by a key frame: {followed_by_key}")
if rss:
    print(f"host resident memory: first {rss[0] // 1024} MiB, peak sampled {max(rss) // 1024} MiB, "
          f"last {rss[-1] // 1024} MiB, peak (VmHWM) {int(sys.argv[3]) // 1024} MiB over {len(rss)} s")
PY
