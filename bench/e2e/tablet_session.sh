#!/usr/bin/env bash
# What a tablet sees of a live session, measured from outside the host: ping round trips and
# the arrival of video frames while the pointer moves ten times a second for ten seconds.
# Every part runs in its own process (local platform, signed-in host, simulated tablet), under
# the services of scripts/with-services:
#   scripts/with-services bench/e2e/tablet_session.sh [build-dir]      (default build/release)
# Prints the round-trip percentiles, frame counts and arrival intervals, and checks the stream
# the tablet received with ffmpeg -xerror.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
source "$root/bench/e2e/local_platform.sh" e2e
"$build/tools/velurio-signin/velurio-signin" --email bench@velurio.local --password bench >/dev/null
"$build/src/app/velurio" >"$work/host.log" 2>&1 &
pids+=($!)
"$build/tools/velurio-peer/velurio-peer" --platform "$url" --email bench@velurio.local --password bench \
  --browse --video --ping-interval-ms 100 --duration-ms 14000 --dump-stream "$work/stream.h264" \
  --log "$work/tablet.jsonl" </dev/null &
tablet=$!
sleep 3
for i in $(seq 1 100); do xdotool mousemove $((200 + i * 15)) $((300 + (i % 10) * 20)); sleep 0.1; done
wait "$tablet"

python3 - "$work/tablet.jsonl" <<'PY'
import json, sys
events = [json.loads(line) for line in open(sys.argv[1])]
def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else None
rtt = [e["ms"] for e in events if e["event"] == "rtt"]
frames = [e for e in events if e["event"] == "frame"]
times = [e["received_ms"] for e in frames]
gaps = [b - a for a, b in zip(times, times[1:])]
print(f"round trip ms: samples {len(rtt)}, p50 {pct(rtt, .5)}, p95 {pct(rtt, .95)}, max {max(rtt, default=None)}")
print(f"frames: {len(frames)} received, {sum(e['decoded'] for e in frames)} decoded, "
      f"{sum(e['key'] for e in frames)} key frames, bytes p50 {pct([e['bytes'] for e in frames], .5)}")
print(f"arrival interval ms: p50 {pct(gaps, .5)}, p95 {pct(gaps, .95)}")
PY
ffmpeg -v error -xerror -f h264 -i "$work/stream.h264" -f null - && echo "ffmpeg -xerror: the received stream decodes cleanly"
