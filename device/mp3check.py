#!/usr/bin/env python3
"""Tells whether a file starts as MP3 audio: an ID3 tag, or MPEG audio frames.

Usage: mp3check.py FILE
Exits 0 when the first bytes are an ID3 tag, or when within the first 4 KiB
(a stream joined mid-file starts at any byte) an MPEG audio frame header is
followed by a second one exactly one frame later. Prints what it found."""
import sys

BITRATES = {  # MPEG-1 and MPEG-2/2.5 layer III, kbit/s
    3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0],
    2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0],
}
RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def frame_length(b, i):
    if i + 4 > len(b) or b[i] != 0xFF or (b[i + 1] & 0xE0) != 0xE0:
        return 0
    version = (b[i + 1] >> 3) & 3
    layer = (b[i + 1] >> 1) & 3
    bitrate_index = b[i + 2] >> 4
    rate_index = (b[i + 2] >> 2) & 3
    padding = (b[i + 2] >> 1) & 1
    if version == 1 or layer != 1 or rate_index == 3:
        return 0
    kbps = BITRATES[3 if version == 3 else 2][bitrate_index]
    if kbps == 0:
        return 0
    rate = RATES[version][rate_index]
    return (144 if version == 3 else 72) * kbps * 1000 // rate + padding


def main():
    data = open(sys.argv[1], "rb").read()
    if data.startswith(b"ID3"):
        print("ID3 tag at byte 0")
        return 0
    for i in range(min(len(data), 4096)):
        n = frame_length(data, i)
        if n and frame_length(data, i + n):
            print(f"MPEG audio frames at byte {i} ({len(data)} bytes received)")
            return 0
    print(f"no MP3 audio in {len(data)} bytes: {data[:16]!r}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
