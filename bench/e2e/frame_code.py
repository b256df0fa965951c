#!/usr/bin/env python3
"""A window that shows a frame counter the tablet can read back from the video.

Paints, --fps times a second, the counter as 16 squares of 40 px (white = 1, most significant
first) in a row from (100, 100), between a white and a black marker square, and writes one JSON
line per paint to --log: {"code": n, "painted_us": CLOCK_MONOTONIC after the X server got it}.
Runs --seconds, then exits.
"""
import argparse
import json
import time
import tkinter

BITS = 16
SIZE = 40
STEP = 48
X0, Y0 = 100, 100

parser = argparse.ArgumentParser()
parser.add_argument("--fps", type=float, default=30)
parser.add_argument("--seconds", type=float, default=10)
parser.add_argument("--log", required=True)
args = parser.parse_args()

root = tkinter.Tk()
root.overrideredirect(True)
width = X0 + STEP * (BITS + 2) + 100
root.geometry(f"{width}x{Y0 + SIZE + 100}+0+0")
canvas = tkinter.Canvas(root, width=width, height=Y0 + SIZE + 100, bg="#808080",
                        highlightthickness=0)
canvas.pack()
canvas.create_rectangle(X0, Y0, X0 + SIZE, Y0 + SIZE, fill="white", width=0)
canvas.create_rectangle(X0 + STEP * (BITS + 1), Y0, X0 + STEP * (BITS + 1) + SIZE, Y0 + SIZE,
                        fill="black", width=0)
squares = [canvas.create_rectangle(X0 + STEP * (i + 1), Y0, X0 + STEP * (i + 1) + SIZE,
                                   Y0 + SIZE, fill="black", width=0) for i in range(BITS)]
log = open(args.log, "w")
period = 1.0 / args.fps
start = time.monotonic()
count = 0


def paint():
    global count
    count += 1
    code = count % (1 << BITS)
    for i, square in enumerate(squares):
        bit = (code >> (BITS - 1 - i)) & 1
        canvas.itemconfigure(square, fill="white" if bit else "black")
    root.update_idletasks()
    root.tk.call("update")  # flush to the X server before taking the time
    log.write(json.dumps({"code": code, "painted_us": time.monotonic_ns() // 1000}) + "\n")
    now = time.monotonic()
    if now - start >= args.seconds:
        log.close()
        root.destroy()
        return
    next_at = start + count * period
    root.after(max(1, int((next_at - time.monotonic()) * 1000)), paint)


root.after(500, paint)
root.mainloop()
