#!/usr/bin/env python3
"""Writes the seed corpus of receive_fuzzer: whole, valid sessions as a peer sends them.

Each file is one peer's stream: 16-byte headers (type, handle, value, length as little-endian
int32) and payloads, every byte complemented. HANDLE is the number the fuzzer's receiving
side hands out for the first file it opens (its next free descriptor), so the seek, data and
close messages of a seed reach the file they mean.

    fuzz/make_corpus.py [HANDLE]
"""
import os
import struct
import sys

MSG_NAME, MSG_CHAT = 0x01, 0x02
OFFER, SEEK, DATA, CLOSE, FOLDER, BATCH = 0x10, 0x11, 0x12, 0x13, 0x14, 0x15
REPLY = -2147483632


def frame(kind, handle=0, value=0, payload=b""):
    block = struct.pack("<iiii", kind, handle, value, len(payload)) + payload
    return bytes(b ^ 0xFF for b in block)


def text(s):
    return s.encode("cp932") + b"\0"


def pattern(size, seed):
    state = seed * 2654435761 % 2**32 + 1
    out = bytearray()
    for _ in range(size):
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out.append(state & 0xFF)
    return bytes(out)


def send_file(h, name, content, resume_at=None):
    out = frame(OFFER, 0, len(content), text(name))
    if resume_at is not None:
        out += frame(SEEK, h, resume_at)
        content = content[resume_at:]
    for i in range(0, len(content), 32768):
        out += frame(DATA, h, 0, content[i:i + 32768])
    return out + frame(CLOSE, h)


def seeds(h):
    yield "chat", frame(MSG_NAME, 0, 0, text("peer")) + frame(MSG_CHAT, 0, 0, text("こんにちは abc"))
    yield "one_file", frame(FOLDER, 0, 0, text("C_\\photos\\")) + send_file(
        h, "trip\\a.jpg", pattern(5000, 1)) + frame(BATCH)
    yield "tree", (frame(FOLDER, 0, 0, text("C_\\送信 表\\")) +
                   send_file(h, "表\\empty.bin", b"") +
                   send_file(h, "表\\one.bin", b"x") +
                   send_file(h, "表\\ソ\\chunk.bin", pattern(32769, 2)) +
                   frame(BATCH))
    yield "resume", send_file(h, "big.bin", pattern(40000, 3), resume_at=39999) + frame(BATCH)
    yield "refused_names", (send_file(-1, "..\\escape.txt", b"") +
                            send_file(-1, "\\abs.txt", b"") +
                            send_file(-1, "C:\\drive.txt", b"") +
                            frame(FOLDER, 0, 0, text("..\\up\\")) +
                            send_file(-1, "x.txt", b"") + frame(BATCH))
    yield "replies_and_unknown", (frame(REPLY, 7, 100) + frame(REPLY, -1, -1) +
                                  frame(0, 0, 0, b"ignored") + frame(0x7F, 1, 2, b"") +
                                  frame(MSG_CHAT, 0, 0, b"no terminator"))
    # A seek far past a one-byte offer, then data: the position is far outside the size.
    yield "seek_far_past_offer", (frame(OFFER, 0, 1, text("far.bin")) + frame(SEEK, h, 2**31 - 2) +
                                  frame(DATA, h, 0, b"x") + frame(CLOSE, h) + frame(BATCH))
    yield "chat_and_file", (frame(MSG_CHAT, 0, 0, text("sending")) +
                            send_file(h, "a\\b\\c\\last.txt", pattern(3000, 4)) +
                            frame(MSG_CHAT, 0, 0, text("done")) + frame(BATCH))


def main():
    handle = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "receive_fuzzer")
    os.makedirs(folder, exist_ok=True)
    for name, data in seeds(handle):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
