#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/ from the formats themselves.

Each seed is a small, valid or deliberately damaged example of what the driver takes from
outside. Run it again after changing a format; the files it writes are committed.
"""
import pathlib
import struct

HERE = pathlib.Path(__file__).resolve().parent


def write(target, name, data):
    d = HERE / "corpus" / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(bytes(data))


# ---- V8: transport header (21 bytes) + packet header (18 bytes) + body, little-endian ----
POLL, ACCEPTED, PROBE, DENIED = 0x02000000, 0x02000003, 0x02000004, 0x02000005
DISCONNECT, DROP, EVENT_ACK = 0x02FFFFFD, 0x02FFFFFE, 0x03000033


def v8_packet(ptype, body=b"", seq=0):
    return b"\xff" + struct.pack("<IIQ", ptype, len(body), seq) + b"\xfe" + body


def v8_wire(packet, marker=0xFF, length=None):
    n = len(packet) if length is None else length
    return bytes([marker]) + b"\0" * 4 + struct.pack("<i", n) + b"\0" * 8 + struct.pack("<i", n) + packet


def v8_corpus():
    t = "fuzz_v8_reply"
    write(t, "accepted", v8_wire(v8_packet(ACCEPTED)))
    write(t, "poll_f0_marker", v8_wire(v8_packet(POLL), marker=0xF0))
    write(t, "event_ack", v8_wire(v8_packet(EVENT_ACK, seq=7)))
    write(t, "probe_then_drop", v8_wire(v8_packet(PROBE)) + v8_wire(v8_packet(DROP)))
    write(t, "denied_disconnect", v8_wire(v8_packet(DENIED)) + v8_wire(v8_packet(DISCONNECT)))
    write(t, "unknown_type_with_body", v8_wire(v8_packet(0x12345678, b"abc", 3)))
    write(t, "wrong_marker", v8_wire(v8_packet(ACCEPTED), marker=0x00))
    write(t, "negative_length", v8_wire(b"", length=-5))
    write(t, "cut_packet", v8_wire(v8_packet(EVENT_ACK))[:30])
    write(t, "short_packet", v8_wire(b"\xff\x03\x00"))


if __name__ == "__main__":
    v8_corpus()
