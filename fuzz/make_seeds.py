#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpus (tiny files) into fuzz/corpus/<target>/."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def firmware(kind, payload, declared=None, pad_to=51):
    length = len(payload) if declared is None else declared
    data = b"JTG" + bytes([kind, 0x07, 0x08, 0x01]) + struct.pack(">I", length) + bytes(payload)
    return data + b"\xee" * max(0, pad_to - len(data))


# Firmware loader.
write("firmware", "valid-da", firmware(0xDA, [0x01, 0x23, 0x45, 0x67] * 12))
write("firmware", "valid-ad-pauses", firmware(0xAD, [0x00, 0x3F, 0x40, 0x7F, 0xFF, 0x80] * 8))
write("firmware", "empty-payload", firmware(0xDA, []))
write("firmware", "length-past-end", firmware(0xDA, [1] * 40, declared=41))
write("firmware", "length-huge", firmware(0xAD, [1] * 40, declared=0xFFFFFFF0))
write("firmware", "bad-magic", b"JTX" + firmware(0xDA, [2] * 40)[3:])
write("firmware", "fifty-bytes", firmware(0xDA, [3] * 39, pad_to=0)[:50])
write("firmware", "empty", b"")

# Settings loader (byte 9 = 0xA5 asks the target for a save and reload).
write("settings", "valid", b"updini" + bytes([1, 2, 1, 0xA5]) + bytes(90))
write("settings", "no-selection", b"updini" + bytes([0xFF, 0xFF, 0xFF, 0]) + bytes(1))
write("settings", "ten-bytes", b"updini" + bytes([1, 2, 0, 0]))
write("settings", "bad-magic", b"updinx" + bytes(94))
write("settings", "empty", b"")


class Provider:
    """Builds inputs for FuzzedDataProvider, which takes integers from the end of the data and
    byte strings from the front."""

    def __init__(self):
        self.front = []
        self.back = []  # in the order the target consumes them

    def integer(self, value, low, high):
        span, size = high - low, 0
        while size < 8 and (span >> (8 * size)) > 0:
            size += 1
        raw = value - low
        for shift in reversed(range(size)):
            self.back.append((raw >> (8 * shift)) & 0xFF)

    def boolean(self, value):
        self.back.append(1 if value else 0)

    def raw(self, data):
        self.front += list(data)

    def data(self):
        return self.front + list(reversed(self.back))


HEADER = [0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11]


def stream_log(p, body, end):
    p.integer(len(body), 0, 1500)
    for b in body:
        p.integer(b, 0, 255)
    p.boolean(end)
    return HEADER + body + ([0xF7] if end else [])


def faithful(body, end, chunk, realtime_every=0, flush=False):
    p = Provider()
    p.integer(0x00, 0, 255)
    log = stream_log(p, body, end)
    at, n = 0, 0
    while at < len(log):
        count = min(chunk, len(log) - at)
        p.integer(count, 1, 128)
        rt = realtime_every and n % realtime_every == 0
        p.boolean(rt)
        if rt:
            p.integer(count // 2, 0, count)
            p.boolean(True)
        p.boolean(flush)
        at, n = at + count, n + 1
    return p.data()


def arbitrary(body, operations):
    p = Provider()
    p.integer(0x90, 0, 255)
    stream_log(p, body, False)
    for op, *args in operations:
        p.integer(op, 0, 7)
        if op == 0:
            p.integer(len(args[0]), 0, 300)
            p.raw(args[0])
        elif op == 5:
            p.boolean(args[0])
        elif op == 6:
            p.integer(len(args[0]), 0, 400)
            p.raw(args[0])
    return p.data()


write("input_path", "faithful-short", faithful([0x10] * 20, True, 7, realtime_every=2))
write("input_path", "faithful-long", faithful([i & 0x7F for i in range(600)], False, 128, flush=True))
echo = HEADER + [0x05] * 16
write("input_path", "arbitrary-echo", arbitrary([0x05] * 16, [(0, echo), (1,), (2,)]))
write("input_path", "arbitrary-restart",
      arbitrary([0x05] * 16, [(0, echo[:9] + [0xF8, 0x90, 0x40]), (4,), (5, False), (0, echo), (7,),
                              (1,), (3,), (6, echo + [0xF7] * 200), (2,)]))

# Handshake.
REPLY_DA = [0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x30, 0x01, 0x02, 0x03, 0x03, 0x00, 0xF7]
REQUEST = [0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x10, 0xF7]


def handshake(kind, blocks, stale=0):
    p = Provider()
    p.integer(kind, 0, 2)  # 0 AD, 1 DA, 2 neither
    p.integer(0x32, 0, 255)
    p.raw([stale] * 256)
    p.integer(len(blocks), 0, 5)
    for at, block in blocks:
        p.integer(at, 0, 800)
        p.integer(len(block), 0, 200)
        p.raw(block)
    return p.data()


write("handshake", "da-reply", handshake(1, [(120, REPLY_DA)]))
write("handshake", "echo-then-reply", handshake(1, [(20, REQUEST), (130, REPLY_DA)]))
write("handshake", "late-reply", handshake(1, [(600, REPLY_DA)]))
write("handshake", "wrong-id", handshake(0, [(50, REPLY_DA[:4] + [0x33] + REPLY_DA[5:])], stale=0x32))
write("handshake", "ad-mismatch", handshake(0, [(50, REPLY_DA)]))
write("handshake", "no-blocks", handshake(2, [], stale=0x30))
