"""Writes copies of an MP3 file tagged with the title "Ünïcødé" in each text
encoding the source client meets, and prints each file's name and the title
the device should show for it, a tab between them, one file a line.

Usage: tagged_songs.py SOURCE.mp3 FOLDER
"""
import os
import sys

TITLE = "\u00dcn\u00efc\u00f8d\u00e9"


def syncsafe(n):
    return bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])


def id3v2(version, encoding, artist, title):
    """An ID3v2.VERSION tag with TPE1 and TIT2 in text encoding ENCODING."""
    codec = {0: "latin-1", 1: "utf-16", 2: "utf-16-be", 3: "utf-8"}[encoding]
    frames = b""
    for frame_id, text in ((b"TPE1", artist), (b"TIT2", title)):
        body = bytes([encoding]) + text.encode(codec)  # Python's utf-16 writes a byte order mark
        size = syncsafe(len(body)) if version == 4 else len(body).to_bytes(4, "big")
        frames += frame_id + size + b"\0\0" + body
    frames += bytes(16)  # padding
    return b"ID3" + bytes([version, 0, 0]) + syncsafe(len(frames)) + frames


def id3v1(artist, title):
    field = lambda text: text.encode("latin-1").ljust(30, b"\0")
    return b"TAG" + field(title) + field(artist) + field("") + b"2024" + bytes(28) + b"\0\0" + b"\xff"


def main():
    source, folder = sys.argv[1], sys.argv[2]
    with open(source, "rb") as f:
        audio = f.read()
    # File name, the artist (naming the tag's kind), the tag's version and
    # text encoding (None: an ID3v1 tag at the end).
    songs = [
        ("1 v2.3 ISO-8859-1.mp3", "ID3v2.3 ISO-8859-1", 3, 0),
        ("2 v2.3 UTF-16.mp3", "ID3v2.3 UTF-16", 3, 1),
        ("3 v2.4 UTF-16BE.mp3", "ID3v2.4 UTF-16BE", 4, 2),
        ("4 v2.4 UTF-8.mp3", "ID3v2.4 UTF-8", 4, 3),
        ("5 v1.mp3", "ID3v1 Latin-1", None, None),
    ]
    os.makedirs(folder, exist_ok=True)
    for name, artist, version, encoding in songs:
        with open(os.path.join(folder, name), "wb") as f:
            if version is None:
                f.write(audio + id3v1(artist, TITLE))
            else:
                f.write(id3v2(version, encoding, artist, TITLE) + audio)
        sys.stdout.buffer.write(f"{name}\t{artist} - {TITLE}\n".encode())

main()
