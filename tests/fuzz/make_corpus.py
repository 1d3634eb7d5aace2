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


# ---- V7: 555-byte messages FF FF type ..., the date-time of a time message at offset 30 ----
V7_TIME, V7_CLOSE = 0x04, 0x11


def v7_message(mtype, marker=b"\xff\xff", when=None):
    m = bytearray(555)
    m[0:2] = marker
    m[2] = mtype
    if when is not None:
        m[30:38] = struct.pack("<d", when)
    return bytes(m)


def v7_reads(stream, sizes):
    """The stream cut into reads of the given sizes (a length byte each, see the target); 0 is a
    lost connection."""
    out, at = bytearray(), 0
    for n in sizes:
        if n == 0:
            out.append(0)
            continue
        code = n if n < 0xC0 else 0xBF + n // 256
        length = code if code < 0xC0 else (code - 0xBF) * 256
        out.append(code)
        out += stream[at:at + length]
        at += length
    return bytes(out)


def v7_corpus():
    t = "fuzz_v7_read"
    time_2027 = 46389 + (3 * 3600 + 4 * 60 + 5.6) / 86400  # 2 January 2027, 3:04:05.6
    write(t, "time_whole", v7_reads(v7_message(V7_TIME, when=time_2027), [512, 43]))
    write(t, "time_cut_small", v7_reads(v7_message(V7_TIME, when=time_2027), [100, 191, 191, 73]))
    write(t, "close_after_other", v7_reads(v7_message(0x31) + v7_message(V7_CLOSE), [1280]))
    write(t, "time_not_a_number", v7_reads(v7_message(V7_TIME, when=float("nan")), [768]))
    write(t, "time_out_of_range", v7_reads(v7_message(V7_TIME, when=-1e300), [768]))
    write(t, "time_before_origin", v7_reads(v7_message(V7_TIME, when=-1.25), [768]))
    write(t, "no_marker_then_close",
          v7_reads(v7_message(0x04, marker=b"\xff\xfe") + v7_message(V7_CLOSE), [1280]))
    write(t, "lost_connection_mid_message",
          v7_reads(v7_message(V7_TIME, when=time_2027) * 2, [100, 0, 191, 191, 173]))


# ---- Receiver: frames end in 0x14; an event frame is 21 bytes beginning with "9" ----
def frame(account="0123", qualifier="E", code="130", partition="01", zone="015", header="15 12"):
    # "9", header digits and number (positions 1-6), account 7-10, qualifier 11, code 12-14,
    # partition 15-16, zone 17-19, then the terminator.
    return ("9" + "0" + header + account + qualifier + code + partition + zone).encode() + b"\x14"


def packets(*items, flags=0, tick=0, extra=b""):
    """The target's input: a flags byte (+ its values), a 32-bit start tick, then per packet a
    length byte, a gap byte (16 ms steps) and the bytes."""
    out = bytearray([flags]) + extra + struct.pack(">I", tick)
    for data, gap in items:
        assert len(data) < 0xF0
        out += bytes([len(data), gap]) + data
    return bytes(out)


def receiver_corpus():
    t = "fuzz_receiver_packets"
    f = frame()
    assert len(f) == 21
    write(t, "event_frame", packets((f, 0)))
    write(t, "restore_and_partition", packets((frame(qualifier="R", partition="03"), 0), flags=1))
    write(t, "cut_frame_joined", packets((f[:10], 0), (f[10:], 5)))
    write(t, "cut_frame_too_late", packets((f[:10], 0), (f[10:], 100)))
    write(t, "stale_piece_then_frame", packets((f[:7], 0), (b"noise", 2), (f, 3)))
    write(t, "heartbeat_and_event", packets((b"1011           @    \x14", 0), (f, 60)))
    write(t, "no_terminator_ever", packets((b"9" * 200, 0), (b"\x13" * 100, 1)))
    write(t, "short_and_long_frames", packets((b"9\x14", 0), (b"9" + b"x" * 200 + b"\x14", 1)))
    write(t, "override_and_first_number",
          packets((frame(qualifier="P"), 0), flags=6, extra=struct.pack(">ii", 77, 3)))
    write(t, "tick_wrap_between_pieces", packets((f[:15], 0), (f[15:], 10), tick=0xFFFFFF80))


# ---- INI: the section, key and value to write (a length byte each), then the file's text ----
INI_TEXT = (b"; driver settings\r\n[Main]\r\nComPort = COM3 \r\nFIRSTNUMBER=$10\r\n"
            b"PathForSoob=\"/var/spool/alarm/\"\r\nAttention=00:05:00\r\n[Razdels]\r\n"
            b"123_1=777\r\n[ServerHost]\r\nAddress=10.0.0.5\r\nPort=12543\r\n")


def ini_case(section, key, value, text):
    out = bytearray()
    for part in (section, key):
        out += bytes([len(part)]) + part
    assert len(value) < 0xF0
    out += bytes([len(value)]) + value + text
    return bytes(out)


def ini_corpus():
    t = "fuzz_ini_profile"
    write(t, "change_in_place", ini_case(b"main", b"ComPort", b"COM7", INI_TEXT))
    write(t, "add_key", ini_case(b"Razdels", b"124_2", b"-1", INI_TEXT))
    write(t, "add_section", ini_case(b"ComPorts", b"COM1", b"/dev/ttyUSB0", INI_TEXT))
    write(t, "empty_file", ini_case(b"main", b"ComPort", b"COM1", b""))
    write(t, "byte_order_mark", ini_case(b"main", b"Log", b"1", b"\xef\xbb\xbf[main]\nLog=0"))
    write(t, "byte_order_mark_only", ini_case(b"main", b"Log", b"1", b"\xef\xbb\xbf"))
    write(t, "no_final_line_break", ini_case(b"main", b"SendV7", b"1", b"[main]\nSendV8=0"))
    write(t, "quoted_and_blank_value", ini_case(b"main", b"host", b"' name '", b"[main]\n\n\n"))
    write(t, "duplicate_sections", ini_case(b"MAIN", b"comport", b"COM2",
                                            b"[main]\nx=1\n[other]\n[Main]\nComPort=COM9\n"))
    write(t, "cp1251_and_junk", ini_case(b"main", b"PathForSoob", b"\xd1\xef\xee\xeb/",
                                         b"[main\n=\n[]\n\x00\xff\r\r\n  [ main ] \nPathForSoob=x\n"))


# ---- Spool files: flags, two size bytes (MiB of zeros added), the .dd8 length and bytes, then
# the .ddk bytes ----
def spool_case(dd8, ddk, flags=0, dd8_extra=0, ddk_extra=0):
    return bytes([flags, dd8_extra, ddk_extra]) + struct.pack("<H", len(dd8)) + dd8 + ddk


def spool_corpus():
    t = "fuzz_spool_files"
    record = bytes([24]) + struct.pack("<I", 40123) + b"\x04" + b"1130" + struct.pack("<H", 15) \
        + bytes([12, 5]) + struct.pack("<d", 46000.5)
    assert len(record) == 22
    dd8 = struct.pack("<I", 0x03000032) + record
    ddk = v7_message(0x15)
    write(t, "whole_files", spool_case(dd8, ddk))
    write(t, "queue_full_send_fails", spool_case(dd8, ddk, flags=16 | 32))
    write(t, "cut_short", spool_case(dd8[:20], ddk[:100]))
    write(t, "empty_files", spool_case(b"", b""))
    write(t, "one_byte_too_long", spool_case(dd8 + b"\0", ddk + b"\0"))
    write(t, "wrong_record_type", spool_case(struct.pack("<I", 0x02200062) + record, ddk))
    write(t, "huge_sparse_files", spool_case(dd8, ddk, dd8_extra=200, ddk_extra=200))
    write(t, "directories_and_missing", spool_case(dd8, ddk, flags=1 | 8))


if __name__ == "__main__":
    v8_corpus()
    v7_corpus()
    receiver_corpus()
    ini_corpus()
    spool_corpus()
