#!/usr/bin/env python3
"""velurio-wire from the outside: its command-line contract, and an independent reader.

Python's json module writes random messages, velurio-wire canon rewrites them canonically,
and Python's json module must read every canonical text back to the same values.
"""
import json
import math
import os
import random
import struct
import subprocess
import sys
import unittest

BINARY_DIR = os.environ.get("VELURIO_BINARY_DIR", "build/dev")
WIRE = os.path.join(BINARY_DIR, "tools", "velurio-wire", "velurio-wire")


def run(args, data=b""):
    return subprocess.run([WIRE, *args], input=data, capture_output=True, timeout=60)


def random_text(rng):
    pieces = ["a", "Z", '"', "\\", "/", "\t", "\n", "\x00", "\x1f", "\x7f", "ç", "€", "🖊", " "]
    return "".join(rng.choice(pieces) for _ in range(rng.randrange(6)))


def random_double(rng):
    choice = rng.randrange(6)
    if choice == 0:
        return float(rng.randrange(-3, 4))
    if choice == 1:
        return rng.random()
    if choice == 2:
        return math.ldexp(rng.uniform(-1, 1), rng.randrange(-1000, 1000))
    if choice == 3:
        return rng.choice([1e15, -1e15, 999999999999999.0, 1e-05, 0.1, 2.0000000000000004e19])
    if choice == 4:
        return struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
    return float(rng.randrange(-(2**62), 2**62))


def random_message(rng):
    i64 = lambda: rng.randrange(-(2**63), 2**63)
    u32 = lambda: rng.randrange(0, 2**32)
    kind = rng.randrange(13)
    if kind == 0:
        return {"t": "hello", "v": i64(), "session_id": random_text(rng), "role": rng.choice(["mac", "ipad"]),
                "device_id": random_text(rng), "device_name": random_text(rng), "token": random_text(rng),
                "attestation": random_text(rng), "resume": rng.random() < 0.5}
    if kind == 1:
        return {"t": "capabilities", "video_codec": random_text(rng), "max_width": i64(), "max_height": i64(),
                "max_fps": i64(), "quic": True, "pencil": False, "ink_batch_ms": i64()}
    if kind == 2:
        return {"t": "tool_state", "tool": random_text(rng), "color": random_text(rng), "width": i64()}
    if kind == 3:
        return {"t": "clear"}
    if kind in (4, 5):
        return {"t": "undo" if kind == 4 else "redo", "id": random_text(rng)}
    if kind == 6:
        return {"t": "slide_changed", "hash": rng.randrange(0, 2**64)}
    if kind in (7, 8):
        return {"t": "ping" if kind == 7 else "pong", "seq": u32(), "ts": i64()}
    if kind == 9:
        m = {"t": "end"}
        if rng.random() < 0.8:
            m["reason"] = rng.choice(["user_ended", "timeout", "replaced", "error"])
        return m
    if kind == 10:
        points = []
        for _ in range(rng.randrange(5)):
            values = [random_double(rng) for _ in range(4)]
            if any(math.isnan(v) or math.isinf(v) for v in values):
                values = [0.5, 0.5, 1.0, 0.0]
            points.append(values + [i64()])
        return {"t": "stroke", "id": random_text(rng), "op": rng.choice(["begin", "append", "end"]),
                "tool": random_text(rng), "color": random_text(rng), "width": i64(), "pts": points}
    if kind == 11:
        m = {"t": "displays", "displays": [
            {"id": u32(), "name": random_text(rng), "width": i64(), "height": i64()} for _ in range(rng.randrange(3))],
            "status": rng.choice(["starting", "streaming", "permission_required", "failed"])}
        if rng.random() < 0.5:
            m["selected_display_id"] = u32()
        return m
    return {"t": "select_display", "display_id": u32()}


class PythonReadsCanonicalTexts(unittest.TestCase):
    def test_random_messages_read_back_to_the_same_values(self):
        rng = random.Random(1207)
        messages = [random_message(rng) for _ in range(3000)]
        data = "".join(json.dumps(m, ensure_ascii=rng.random() < 0.5) + "\n" for m in messages).encode()
        result = run(["canon"], data)
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace")[-2000:])
        lines = result.stdout.decode("utf-8").split("\n")
        self.assertEqual(lines[-1], "")
        lines = lines[:-1]
        self.assertEqual(len(lines), len(messages))
        for original, text in zip(messages, lines):
            read_back = json.loads(text)
            self.assertEqual(read_back, original, text)
            self.assertEqual(list(read_back.keys())[0], "t")
        # Canonical text is a fixed point.
        again = run(["canon"], result.stdout)
        self.assertEqual(again.stdout, result.stdout)


class CanonCommand(unittest.TestCase):
    def test_lines_errors_and_exit_status(self):
        result = run(["canon"], b'{"t":"clear","x":1}\n{"t":"end"}')
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b'{"t":"clear"}\n{"t":"end"}\n')

        result = run(["canon"], b'{"t":"clear"}\n\n{"t":"undo","id":"\xff"}\n{"t":"ping","seq":1.5,"ts":0}\n')
        self.assertEqual(result.returncode, 1)
        out = result.stdout.decode().split("\n")
        self.assertEqual(out[0], '{"t":"clear"}')
        self.assertTrue(all(line.startswith("error: ") for line in out[1:4]), out)
        self.assertEqual(len(out), 5)

        point = b'{"t":"stroke","id":"s","op":"begin","tool":"pen","color":"#FF4D2E","width":4,"pts":[[1,2]]}\n'
        self.assertEqual(run(["canon"], point).stdout.decode(),
                         "error: ponto de traço deve ter 5 elementos [x, y, pressão, inclinação, timestampMs]\n")
        self.assertEqual(run(["canon"], b"").returncode, 0)


class FramingCommands(unittest.TestCase):
    def test_frame_and_unframe(self):
        result = run(["frame", "--channel", "0"], b'{"t":"clear"}\n\nabc')
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stdout, b"\x00\x0d\x00\x00\x00" + b'{"t":"clear"}' + b"\x00\x00\x00\x00\x00"
                         + b"\x00\x03\x00\x00\x00abc")
        unframed = run(["unframe"], result.stdout + b"\x01\x05\x00")
        self.assertEqual(unframed.stdout, b'0\t{"t":"clear"}\n0\t\n0\tabc\n')
        self.assertEqual(run(["unframe", "--hex"], b"\x03\x02\x00\x00\x00\xab\xcd").stdout, b"3\tabcd\n")

    def test_frame_refuses_large_payloads(self):
        big = b"x" * 1048577
        result = run(["frame", "--channel=1"], b"ok\n" + big + b"\n")
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, b"error: payload too large\n")
        self.assertEqual(result.stdout, b"\x01\x02\x00\x00\x00ok")
        self.assertEqual(run(["frame", "--channel", "1"], b"x" * 1048576).returncode, 0)

    def test_unframe_matches_frames_across_chunk_boundaries(self):
        payloads = [bytes([i % 256]) * (i * 37 % 5000) for i in range(1, 60)]
        stream = b"".join(bytes([i % 4]) + struct.pack("<I", len(p)) + p for i, p in enumerate(payloads))
        lines = run(["unframe", "--hex"], stream).stdout.decode().splitlines()
        self.assertEqual(lines, [f"{i % 4}\t{p.hex()}" for i, p in enumerate(payloads)])


class DatagramCommands(unittest.TestCase):
    def test_datagrams(self):
        frame = bytes(range(256)) * 10  # 2560 bytes
        result = run(["datagrams", "--sequence", "258", "--pts", "1000", "--keyframe"], frame)
        self.assertEqual(result.returncode, 0)
        lines = result.stdout.decode().splitlines()
        self.assertEqual(len(lines), 3)
        first = bytes.fromhex(lines[0])
        self.assertEqual(first[:20].hex(), "010100000300" + "02010000" + "e803000000000000" + "b004")
        self.assertEqual(b"".join(bytes.fromhex(l)[20:] for l in lines), frame)
        small = run(["datagrams", "--sequence", "1", "--pts", "2", "--max-payload", "1000"], b"")
        self.assertEqual(small.stdout.decode(), "0100000001000100000002000000000000000000\n")
        self.assertEqual(run(["datagrams", "--sequence", "1", "--pts", "1", "--max-payload", "1"],
                             b"x" * 65536).stderr, b"error: frame too large\n")

    def test_parse_datagram(self):
        result = run(["parse-datagram", "010102000500020100" + "00E803000000000000B004FFFF"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(json.loads(result.stdout), {"version": 1, "keyframe": True, "fragment_index": 2,
                                                     "fragment_count": 5, "sequence": 258, "pts": 1000,
                                                     "payload_length": 1200})
        self.assertEqual(result.stdout, b'{"version":1,"keyframe":true,"fragment_index":2,"fragment_count":5,'
                                        b'"sequence":258,"pts":1000,"payload_length":1200}\n')
        for bad in ["01", "0201020005000201000000e803000000000000b004", b"velurio-video-v1".hex() + "0000"]:
            result = run(["parse-datagram", bad])
            self.assertEqual(result.returncode, 1)
            self.assertIn(b"error: not a video datagram header", result.stdout + result.stderr)


class UsageErrors(unittest.TestCase):
    def test_usage_errors_exit_2(self):
        for args in (["frame"], ["frame", "--channel", "4"], ["frame", "--channel", "x"], ["unframe", "--bogus"],
                     ["datagrams", "--sequence", "1"], ["datagrams", "--sequence", "4294967296", "--pts", "0"],
                     ["datagrams", "--sequence", "1", "--pts", "0", "--max-payload", "0"],
                     ["datagrams", "--sequence", "1", "--pts", "0", "--max-payload", "65536"],
                     ["parse-datagram"], ["parse-datagram", "0g"], ["nonsense"], []):
            result = run(args)
            self.assertEqual(result.returncode, 2, args)
            self.assertTrue(result.stderr, args)

    def test_help_everywhere(self):
        self.assertEqual(run(["--help"]).returncode, 0)
        for command in ("canon", "frame", "unframe", "datagrams", "parse-datagram"):
            result = run([command, "--help"])
            self.assertEqual(result.returncode, 0, command)
            self.assertIn(b"usage: velurio-wire " + command.encode(), result.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=1)
