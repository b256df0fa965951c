#!/usr/bin/env bash
# Glass to glass: a window paints a frame counter (bench/e2e/frame_code.py) at --fps; the real
# host captures and streams the 1920x1080 screen to velurio-peer over loopback, which decodes
# every frame and reads the counter back. Per frame: painted -> last datagram received ->
# decoded (CLOCK_MONOTONIC in both processes); the host's own stages (capture, convert, encode,
# send) from its SIGUSR1 summary. Then the way back: stroke messages from the tablet -> their
# pixels on the host's overlay (bench/e2e/stroke_to_pixels.py).
#   scripts/with-services bench/e2e/glass_to_glass.sh [build-dir] [fps] [seconds] [capture-fps]
# (default build/release, 30 fps painted, 10 s, the host capturing at its default rate; a
# capture-fps is written to the host's settings, captureFPS).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
fps=${2:-30}
seconds=${3:-10}
capture_fps=${4:-}
source "$root/bench/e2e/local_platform.sh" g2g
"$build/tools/velurio-signin/velurio-signin" --email bench@velurio.local --password bench >/dev/null
if [ -n "$capture_fps" ]; then
  mkdir -p "$XDG_CONFIG_HOME/Velurio"
  printf '[General]\ncaptureFPS=%s\n' "$capture_fps" >"$XDG_CONFIG_HOME/Velurio/velurio.conf"
fi
"$build/src/app/velurio" >"$work/host.log" 2>&1 &
host=$!
pids+=($host)
duration_ms=$(( (seconds + 25) * 1000 ))
mkfifo "$work/commands"
exec 3<>"$work/commands"  # held open: the tablet reads commands from it until it exits
"$build/tools/velurio-peer/velurio-peer" --platform "$url" --email bench@velurio.local --password bench \
  --browse --video --read-code --ping-interval-ms 500 --duration-ms "$duration_ms" \
  --log "$work/tablet.jsonl" <&3 &
tablet=$!
sleep 4
python3 "$root/bench/e2e/frame_code.py" --fps "$fps" --seconds "$seconds" --log "$work/painted.jsonl"
sleep 1
kill -USR1 "$host"
sleep 0.5
cp "${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}/velurio-stats-$host.json" "$work/host-stats.json" 2>/dev/null || true
# The way back, on the same session: a stroke written by the tablet -> pixels on the overlay.
python3 "$root/bench/e2e/stroke_to_pixels.py" "$work/commands" "$work/tablet.jsonl" 40
kill -USR1 "$host"
sleep 0.5
python3 - "${XDG_RUNTIME_DIR:-${TMPDIR:-/tmp}}/velurio-stats-$host.json" <<'PY' || true
import json, sys
ink = json.load(open(sys.argv[1])).get("ink")
if ink:
    print(f"stroke message -> painted in the host (its own share): {ink['samples']} messages; "
          f"p50 {ink['p50']:.1f} ms, p95 {ink['p95']:.1f} ms, max {ink['max']:.1f} ms")
PY
echo quit >&3
wait "$tablet" || true

python3 - "$work/painted.jsonl" "$work/tablet.jsonl" "$work/host-stats.json" "$fps" <<'PY'
import json, os, sys
painted = {}
for line in open(sys.argv[1]):
    e = json.loads(line)
    painted.setdefault(e["code"], e["painted_us"])
frames = [json.loads(l) for l in open(sys.argv[2])]
frames = [e for e in frames if e.get("event") == "frame"]
def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else float("nan")
def show(name, values):
    ms = [v / 1000 for v in values]
    print(f"  {name:28s} p50 {pct(ms, .5):7.1f}  p95 {pct(ms, .95):7.1f}  max {max(ms, default=float('nan')):7.1f} ms")
to_received, to_decoded, decode = [], [], []
seen = set()
for f in frames:
    code = f.get("code", -1)
    if code in painted and code not in seen:
        seen.add(code)  # the first frame showing a counter is when its change reached the tablet
        to_received.append(f["received_us"] - painted[code])
        to_decoded.append(f["decoded_us"] - painted[code])
        decode.append(f["decoded_us"] - f["received_us"])
print(f"{sys.argv[4]} fps: {len(painted)} counters painted, {len(frames)} frames received, "
      f"{sum(f['decoded'] for f in frames)} decoded, {len(seen)} counters read back "
      f"({len(painted) - len(seen)} never seen: coalesced by capture or lost)")
show("painted -> last datagram", to_received)
show("received -> decoded", decode)
show("painted -> decoded", to_decoded)
if os.path.exists(sys.argv[3]) and os.path.getsize(sys.argv[3]) > 0:
    stats = json.load(open(sys.argv[3]))
    print(f"host stages (last {stats['video']['host']['samples'] if stats['video'].get('host') else 0} of {stats['video']['frames']} frames):")
    for stage in ("capture", "convert", "encode", "send", "host"):
        s = stats["video"].get(stage)
        if s:
            print(f"  {stage:28s} p50 {s['p50']:7.1f}  p95 {s['p95']:7.1f}  max {s['max']:7.1f} ms")
else:
    print("no host statistics (SIGUSR1 file missing)")
PY
