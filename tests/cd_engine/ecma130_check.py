#!/usr/bin/python3
"""Checks Mode 1 sectors of a raw 2352-byte image against ECMA-130, written
from the standard (14.3 EDC, Annex A P and Q parity as parity-check equations):
  ecma130_check.py IMAGE.bin FIRST_LBA COUNT [IMAGE_FIRST_LBA]
Sectors FIRST_LBA .. FIRST_LBA+COUNT-1 (the image starting at IMAGE_FIRST_LBA,
default 0) must carry the sync pattern, their own address in BCD with mode 1,
a matching EDC, eight zero bytes, and P/Q parity with zero syndromes.
Prints one line per fault and exits 1 on any."""
import sys

def gf_tables():
    exp, log = [0] * 512, [0] * 256
    x = 1
    for i in range(255):
        exp[i] = x
        log[x] = i
        x <<= 1
        if x & 0x100:
            x ^= 0x11D  # x^8 + x^4 + x^3 + x^2 + 1
    for i in range(255, 512):
        exp[i] = exp[i - 255]
    return exp, log

EXP, LOG = gf_tables()

def mul_alpha_pow(v, p):
    return 0 if v == 0 else EXP[(LOG[v] + p) % 255]

def edc(data):
    # ECMA-130 14.3: P(x) = (x^16 + x^15 + x^2 + 1)(x^16 + x^2 + x + 1), bits in order of transmission (LSB first).
    poly = 0
    a = [16, 15, 2, 0]
    b = [16, 2, 1, 0]
    for i in a:
        for j in b:
            poly ^= 1 << (i + j)
    # Reflect the 32 low coefficients for LSB-first shifting.
    refl = 0
    for k in range(32):
        if poly & (1 << k):
            refl |= 1 << (31 - k)
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ (refl if crc & 1 else 0)
    return crc

def bcd(v):
    return ((v // 10) << 4) | (v % 10)

def check(sector, lba):
    faults = []
    sync = bytes([0]) + bytes([0xFF] * 10) + bytes([0])
    if sector[:12] != sync:
        faults.append("sync pattern")
    v = lba + 150
    header = bytes([bcd(v // 4500), bcd(v // 75 % 60), bcd(v % 75), 1])
    if sector[12:16] != header:
        faults.append("header %s, want %s" % (sector[12:16].hex(), header.hex()))
    want = edc(sector[:2064])
    got = int.from_bytes(sector[2064:2068], "little")
    if want != got:
        faults.append("EDC %08x, want %08x" % (got, want))
    if any(sector[2068:2076]):
        faults.append("intermediate bytes not zero")
    # Annex A: the 2340 bytes from the header on are 1170 words; each byte
    # plane (b = 0 high, 1 low) is checked on its own.
    for plane in (0, 1):
        s = [sector[12 + 2 * n + plane] for n in range(1170)]
        for np_ in range(43):  # P: 43 codewords of 26 symbols, weights alpha^(25-k)
            s0 = s1 = 0
            for mp in range(26):
                c = s[43 * mp + np_]
                s0 ^= c
                s1 ^= mul_alpha_pow(c, 25 - mp)
            if s0 or s1:
                faults.append("P parity plane %d column %d" % (plane, np_))
                break
        for nq in range(26):  # Q: 26 codewords of 45 symbols, weights alpha^(44-k)
            s0 = s1 = 0
            for mq in range(45):
                idx = (44 * mq + 43 * nq) % 1118 if mq < 43 else 1118 + nq + 26 * (mq - 43)
                c = s[idx]
                s0 ^= c
                s1 ^= mul_alpha_pow(c, 44 - mq)
            if s0 or s1:
                faults.append("Q parity plane %d diagonal %d" % (plane, nq))
                break
    return faults

def main():
    path, first, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    base = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    bad = 0
    with open(path, "rb") as f:
        for lba in range(first, first + count):
            f.seek((lba - base) * 2352)
            sector = f.read(2352)
            if len(sector) != 2352:
                print("sector %d: past the end of the image" % lba)
                return 1
            faults = check(sector, lba)
            if faults:
                bad += 1
                if bad <= 5:
                    print("sector %d: %s" % (lba, "; ".join(faults)))
    if bad:
        print("%d of %d sectors faulty" % (bad, count))
        return 1
    return 0

if __name__ == "__main__":
    sys.exit(main())
