#!/usr/bin/env python3
"""The way back: a stroke message written by the tablet -> its pixels on the host's overlay.

Drives a running velurio-peer (--stay) through its command FIFO: for each of --count strokes
it sends a `begin` of a short green stroke at a new place (and its `end` once seen, as a pen
lifts), then polls that place with XGetImage,
in turn on the overlay window itself (what the host has drawn) and on the root window (what the
compositor shows), until the ink is in both. The send time is the `at_us` of the peer's
`command` log line (CLOCK_MONOTONIC, just before it writes the message); the arrival times are
the first polls that see the ink. The difference is the compositor's share.
  stroke_to_pixels.py FIFO TABLET_LOG [count]
"""
import ctypes
import ctypes.util
import json
import sys
import time

fifo_path, log_path = sys.argv[1], sys.argv[2]
count = int(sys.argv[3]) if len(sys.argv) > 3 else 40

x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XDefaultRootWindow.restype = ctypes.c_ulong
x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
x11.XGetImage.restype = ctypes.c_void_p
x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                          ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
x11.XGetPixel.restype = ctypes.c_ulong
x11.XGetPixel.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
x11.XDestroyImage = None  # a macro; the image's own destroy function is not worth the ctypes
x11.XFree.argtypes = [ctypes.c_void_p]
display = x11.XOpenDisplay(None)
root = x11.XDefaultRootWindow(display)
ALL_PLANES, Z_PIXMAP = 0xFFFFFFFF, 2


def overlay_window():
    """The overlay's window and its origin on the root window (None when not found)."""
    import subprocess
    found = subprocess.run(["xdotool", "search", "--name", "^Velurio overlay$"],
                           capture_output=True, text=True).stdout.split()
    for window in found:
        geometry = subprocess.run(["xdotool", "getwindowgeometry", "--shell", window],
                                  capture_output=True, text=True).stdout
        values = dict(line.split("=", 1) for line in geometry.split() if "=" in line)
        if int(values.get("WIDTH", 0)) > 100:
            return int(window), int(values["X"]), int(values["Y"])
    return None


def pixel(x, y, window=None):
    image = x11.XGetImage(display, window or root, x, y, 1, 1, ALL_PLANES, Z_PIXMAP)
    if not image:
        return 0, 0, 0
    value = x11.XGetPixel(image, 0, 0)
    x11.XFree(image)  # leaks the pixel data (a few bytes per poll): fine for a bench
    return (value >> 16) & 255, (value >> 8) & 255, value & 255


def is_ink(rgb):  # #35D07F
    r, g, b = rgb
    return abs(r - 0x35) < 40 and abs(g - 0xD0) < 40 and abs(b - 0x7F) < 40


def command_times():
    times = []
    for line in open(log_path):
        e = json.loads(line)
        if e.get("event") == "command" and e.get("command") == "ink":
            times.append(e["at_us"])
    return times


fifo = open(fifo_path, "w")
overlay = overlay_window()
latencies, drawn, missed = [], [], 0
for i in range(count):
    x = 0.1 + 0.8 * ((i * 37) % 40) / 40
    y = 0.55 + 0.4 * ((i * 11) % 20) / 20
    px, py = int(x * 1920), int(y * 1080)
    if is_ink(pixel(px, py)):
        continue
    message = {"t": "stroke", "id": f"probe-{i}", "op": "begin", "tool": "pen",
               "color": "#35D07F", "width": 8,
               "pts": [[x - 0.005, y, 1, 0, i], [x + 0.005, y, 1, 0, i + 1]]}
    fifo.write("ink " + json.dumps(message, separators=(",", ":")) + "\n")
    fifo.flush()
    deadline = time.monotonic() + 2
    seen_us = drawn_us = None
    while time.monotonic() < deadline and seen_us is None:
        if overlay and drawn_us is None and is_ink(pixel(px - overlay[1], py - overlay[2],
                                                         overlay[0])):
            drawn_us = time.monotonic_ns() // 1000
        if is_ink(pixel(px, py)):
            seen_us = time.monotonic_ns() // 1000
            drawn_us = drawn_us or seen_us
    # Pen up, as every real stroke ends (not timed).
    end = dict(message, op="end", pts=message["pts"][-1:])
    fifo.write("ink " + json.dumps(end, separators=(",", ":")) + "\n")
    fifo.flush()
    if seen_us is None:
        missed += 1
        continue
    time.sleep(0.05)  # the log line is on disk by now
    sent = command_times()
    latencies.append((seen_us - sent[-2]) / 1000)  # the begin's, not the end's
    drawn.append((drawn_us - sent[-2]) / 1000)
    time.sleep(0.1)

def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(p * len(values)))] if values else float("nan")
def show(name, values):
    print(f"{name}: {len(values)} strokes, {missed} never seen; p50 {pct(values, .5):.1f} ms, "
          f"p95 {pct(values, .95):.1f} ms, max {max(values, default=float('nan')):.1f} ms")
if overlay:
    show("stroke -> drawn in the overlay window", drawn)
show("stroke -> overlay pixels on screen", latencies)
