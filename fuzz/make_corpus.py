#!/usr/bin/env python3
"""Writes the seed corpus of receive_fuzzer: sessions as a peer sends them.

Each file is one peer's stream: 16-byte headers (type, handle, value, length as little-endian
int32) and payloads, every byte complemented. HANDLE is the number the fuzzer's receiving
side hands out for the first file it opens (its next free descriptor), so the seek, data and
close messages of a classic seed reach the file they mean. Extended seeds (docs/protocol.md)
open with a hello; some end with a message that breaks the extension, which ends the session.

    fuzz/make_corpus.py [HANDLE]
"""
import os
import struct
import sys

MSG_NAME, MSG_CHAT = 0x01, 0x02
OFFER, SEEK, DATA, CLOSE, FOLDER, BATCH = 0x10, 0x11, 0x12, 0x13, 0x14, 0x15
REPLY = -2147483632
HELLO, X_CHAT, X_FOLDER = 0x100, 0x101, 0x102
X_OFFER, X_REPLY, X_START, X_DATA, X_END, X_DONE = 0x110, 0x111, 0x112, 0x113, 0x114, 0x115
AUTH, AUTH_CONFIRM, AUTH_RESULT = 0x120, 0x121, 0x122
# XXH3-128 in canonical form of no bytes and of b"hello".
EMPTY_HASH = bytes.fromhex("99aa06d3014798d86001c324468d497f")
HELLO_HASH = bytes.fromhex("b5e9c1ad071b3e7fc779cfaa5e523818")


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


def utf8(s):
    return s.encode("utf-8") + b"\0"


def x_offer(i, name, size, flags=0, mtime=1234567890123456789, mode=0o755):
    return frame(X_OFFER, i, flags, struct.pack("<QqI", size, mtime, mode) + utf8(name))


def x_start(i, offset):
    return frame(X_START, i, 0, struct.pack("<Q", offset))


def x_end(i, total, digest, status=0):
    return frame(X_END, i, status, struct.pack("<Q", total) + digest)


def x_file(i, name, content, digest, flags=0):
    out = x_offer(i, name, len(content), flags) + x_start(i, 0)
    for k in range(0, len(content), 65536):
        out += frame(X_DATA, i, 0, content[k:k + 65536])
    return out + x_end(i, len(content), digest)


def extended_seeds():
    hello = frame(HELLO, 0, 1, utf8("Tovrin 0.7"))
    yield "x_session", (hello + frame(X_CHAT, 0, 0, utf8("こんにちは 😀 한")) +
                        frame(X_FOLDER, 0, 0, utf8("/home/u/写真/")) +
                        x_file(1, "é/😀.txt", b"hello", HELLO_HASH) +
                        x_file(2, "a\\b:c/empty", b"", EMPTY_HASH) +
                        x_file(3, "wrong.bin", pattern(20000, 5), bytes(16)) +
                        x_file(4, "wrong.bin", pattern(20000, 5), bytes(16), flags=1) +
                        frame(BATCH))
    # A window of offers answered in order, an abandoned file and a resume past the prefix.
    window = hello
    for i in range(1, 33):
        window += x_offer(i, "w/%02d" % i, 5)
    for i in range(1, 33):
        window += x_start(i, 0) + frame(X_DATA, i, 0, b"hello") + x_end(i, 5, HELLO_HASH, i % 2)
    yield "x_window", window + frame(BATCH)
    yield "x_refused_names", (hello + x_offer(1, "../up", 1) + x_offer(2, "/abs", 1) +
                              x_offer(3, "c\x01tl", 1) + x_offer(4, "a/../../b", 1) +
                              frame(X_OFFER, 5, 0, struct.pack("<QqI", 1, 0, 0) + b"\xff\xfe\0") +
                              frame(X_FOLDER, 0, 0, utf8("../../")) + x_offer(6, "in", 1) +
                              frame(BATCH))
    # Through the link to a folder outside that the fuzzer keeps in its save directory.
    yield "x_through_link", (hello + x_file(1, "dirlink/escaped.txt", b"hello", HELLO_HASH) +
                             frame(X_FOLDER, 0, 0, utf8("dirlink/")) +
                             x_file(2, "in.txt", b"hello", HELLO_HASH) + frame(BATCH))
    yield "x_answers", hello + frame(X_REPLY, 1, 0, bytes(24)) * 3 + frame(X_DONE, 1, 0) * 70
    # Each ends the session where it breaks the extension's layout or order.
    yield "x_before_hello", x_offer(1, "early", 1)
    yield "x_second_hello", hello + hello
    yield "x_long_length", hello + bytes(b ^ 0xFF for b in struct.pack("<iiii", X_DATA, 1, 0, 2**20 + 1))
    yield "x_unknown_id", hello + x_start(7, 0) + frame(X_DATA, 7, 0, b"x")
    yield "x_offset_past_held", hello + x_offer(1, "o", 10) + x_start(1, 5)
    yield "x_huge_size", (hello + x_offer(1, "h", 2**63 - 1) + x_start(1, 0) +
                          frame(X_DATA, 1, 0, b"x" * 100) + x_end(1, 2**63 - 1, bytes(16)))
    yield "x_too_many", hello + b"".join(x_offer(i, "t%d" % i, 1) for i in range(1, 34))


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
    yield "through_link", (send_file(h, "dirlink\\escaped.txt", b"x") +
                           frame(FOLDER, 0, 0, text("dirlink\\")) + send_file(h, "in.txt", b"x") +
                           frame(BATCH))
    yield "replies_and_unknown", (frame(REPLY, 7, 100) + frame(REPLY, -1, -1) +
                                  frame(0, 0, 0, b"ignored") + frame(0x7F, 1, 2, b"") +
                                  frame(MSG_CHAT, 0, 0, b"no terminator"))
    # A seek far past a one-byte offer, then data: the position is far outside the size.
    yield "seek_far_past_offer", (frame(OFFER, 0, 1, text("far.bin")) + frame(SEEK, h, 2**31 - 2) +
                                  frame(DATA, h, 0, b"x") + frame(CLOSE, h) + frame(BATCH))
    yield "chat_and_file", (frame(MSG_CHAT, 0, 0, text("sending")) +
                            send_file(h, "a\\b\\c\\last.txt", pattern(3000, 4)) +
                            frame(MSG_CHAT, 0, 0, text("done")) + frame(BATCH))


def opening_seeds():
    """The messages of an encrypted session's opening, which also end a session they come in."""
    hello = frame(HELLO, 0, 1, b"seed\0")
    yield "auth-plain", hello + frame(AUTH, 0, 0, bytes(32))
    yield "auth-pairing", frame(AUTH, 0, 1, bytes(range(64)))
    yield "auth-confirm-result", frame(AUTH_CONFIRM, 0, 0, bytes(32)) + frame(AUTH_RESULT, 0, 0)
    yield "auth-refused", frame(AUTH_RESULT, 0, 1, "ペアリング済みの相手とだけ接続します\0".encode())


def main():
    handle = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "receive_fuzzer")
    os.makedirs(folder, exist_ok=True)
    for name, data in list(seeds(handle)) + list(extended_seeds()) + list(opening_seeds()):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
