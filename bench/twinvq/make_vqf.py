#!/usr/bin/env python3
"""Writes a VQF file of pseudo-random frames: usage make_vqf.py OUT SECONDS
[CHANNELS KBPS_PER_CHANNEL KHZ FRAME_SIZE]; 44 kHz, 48 kbit/s per channel stereo by default.
Every frame has the mode's exact bit count and a valid window type (0..8)."""
import random
import struct
import sys

out, seconds = sys.argv[1], float(sys.argv[2])
channels, kbps, khz, size = (int(v) for v in (sys.argv[3:7] or (2, 48, 44, 2048)))
rate = {11: 11025, 22: 22050, 44: 44100}.get(khz, khz * 1000)
frame_bits = kbps * channels * 1000 * size // rate
frames = int(seconds * rate / size) + 1
rng = random.Random(7)
data = bytearray(rng.getrandbits(8) for _ in range((frames * frame_bits + 7) // 8))
for f in range(frames):
    at, wtype = f * frame_bits, rng.randrange(9)
    for i in range(4):  # the window type: the frame's first four bits
        bit, mask = (wtype >> (3 - i)) & 1, 0x80 >> ((at + i) % 8)
        byte = (at + i) // 8
        data[byte] = (data[byte] | mask) if bit else (data[byte] & ~mask)
comm = struct.pack(">4I", channels - 1, kbps * channels, khz, 0)
header = b"COMM" + struct.pack(">I", len(comm)) + comm
with open(out, "wb") as f:
    f.write(b"TWIN97012000" + struct.pack(">I", len(header)) + header + b"DATA" + bytes(data))
