"""The driver against what a station really has on its disk: a spool directory with junk in it or
mounted read-only, a spool prefix written the old way with a backslash, an INI file saved with a
byte-order mark, and a very large INI file. The driver must keep acknowledging the receiver and
deliver every event once. The V7 link stays off: these cases need no V7 server."""

import os
import re
import struct
import subprocess
import time
import unittest

from e2e_rig import EVENT_RECORD_TYPE, Rig, wait_until

EVENT = "event 0123 E 130 01 015"
LARGE_INI_BYTES = 20 * 1024 * 1024


def dd8_file(obj, record_type=EVENT_RECORD_TYPE):
    """A .dd8 file as the driver writes it: record type, then the 22-byte event record."""
    record = struct.pack("<BiB4sHBBd", 24, obj, 4, b"1130", 15, 18, 1, 46000.5)
    return struct.pack("<I", record_type) + record


def write_file(path, data):
    with open(path, "wb") as f:
        f.write(data)


def stderr_lines_naming(driver, text):
    return [l.text for l in driver.err if text in l.text]


def sanitizer_reports(driver):
    return [l.text for l in driver.err if re.search(r"Sanitizer|runtime error:", l.text)]


class LocalFaults(unittest.TestCase):
    def start(self, rig, scenario, v8_up=True, **main):
        rx = rig.start_receiver(scenario)
        v8 = rig.start_v8() if v8_up else None
        if not v8_up:
            rig.reserve_v8_port()
        rig.write_ini(SendV7=0, **main)
        return rx, v8

    def delivered_objects(self, v8):
        return sorted(int(l["object"]) for l in v8.lines("recv", type="event"))

    def check_delivery(self, v8):
        events = v8.lines("recv", type="event")
        self.assertEqual([l.text for l in events if l.get("check") != "ok" or l.get("dup") != "0"],
                         [], "an event with a broken layout, or the same event twice")

    def test_junk_dd8_ahead_of_valid_ones_drains(self):
        rig = Rig(self)
        junk = rig.spool + "00000001.dd8"
        write_file(junk, struct.pack("<I", 0x12345678) + b"\x55" * 22)
        for i, name in enumerate(["0000000A.dd8", "0000000B.dd8", "0000000C.dd8"]):
            write_file(rig.spool + name, dd8_file(50001 + i))
        rx, v8 = self.start(rig, [EVENT])
        driver = rig.start_driver()
        rx.wait_for("ack", 20)
        wait_until(lambda: v8.count("recv", type="event") == 4 and not rig.spool_files(".dd8"),
                   20, "the three spooled records and the live one at the server", rig.dump)
        rig.wait_v8_idle(v8)
        self.assertEqual(driver.stop(), 0)
        self.assertEqual(sanitizer_reports(driver), [])
        self.assertEqual(self.delivered_objects(v8), [50001, 50002, 50003, 70123])
        self.check_delivery(v8)
        self.assertEqual(v8.count("recv", type="0x12345678"), 0, "the junk went to the server")
        self.assertTrue(os.path.exists(junk + ".bad"))
        self.assertEqual(len(stderr_lines_naming(driver, junk)), 1, driver.tail())

    def test_spool_prefix_with_a_backslash(self):
        # What a station copying its old settings writes: the files are named "sp\" + stem.
        rig = Rig(self)
        prefix = os.path.join(rig.dir, "sp\\")
        rx, _ = self.start(rig, [EVENT, "event 0456 R 401 02 003"], v8_up=False,
                           PathForSoob=prefix)
        driver = rig.start_driver()
        rx.wait_for("ack", 20, nth=2)
        spooled = lambda: [n for n in os.listdir(rig.dir) if n.startswith("sp\\")]
        wait_until(lambda: len(spooled()) == 2, 10, "two spool files named sp\\...", rig.dump)
        v8 = rig.start_v8()
        wait_until(lambda: v8.count("recv", type="event") == 2 and not spooled(), 20,
                   "both spooled records at the server", rig.dump)
        self.assertEqual(driver.stop(), 0)
        self.assertEqual(sanitizer_reports(driver), [])
        self.assertEqual(self.delivered_objects(v8), [70123, 70456])
        self.check_delivery(v8)

    def test_ini_file_with_a_byte_order_mark(self):
        rig = Rig(self)
        rx, v8 = self.start(rig, [EVENT])
        path = os.path.join(rig.dir, "drvnt417.ini")
        with open(path, "rb") as f:
            text = f.read()
        write_file(path, b"\xef\xbb\xbf" + text)
        driver = rig.start_driver()
        rx.wait_for("ack", 20)
        wait_until(lambda: v8.count("recv", type="event") == 1, 10, "the event at the server",
                   rig.dump)
        self.assertEqual(driver.stop(), 0)
        self.assertEqual(sanitizer_reports(driver), [])
        self.assertEqual(self.delivered_objects(v8), [70123])

    def test_large_ini_file_does_not_delay_the_acknowledgements(self):
        # A Razdels section of a big station, with the override of the test's account at its end
        # and the port's device name after it.
        rig = Rig(self)
        rx, v8 = self.start(rig, [EVENT] * 4)
        path = os.path.join(rig.dir, "drvnt417.ini")
        with open(path, "r", encoding="utf-8") as f:
            text = f.read()
        main, rest = text.split("\n[ComPorts]", 1)
        razdels = ["[Razdels]"]
        size, n = 0, 1000
        while size < LARGE_INI_BYTES:
            line = f"{n}_{n % 7}={n + 100000}"
            razdels.append(line)
            size += len(line) + 1
            n += 1
        razdels.append("123_1=777")
        with open(path, "w", encoding="utf-8") as f:
            f.write(main + "\n" + "\n".join(razdels) + "\n\n[ComPorts]" + rest)

        started = time.monotonic()
        driver = rig.start_driver()
        first = rx.wait_for("ack", 30)
        acks = [rx.wait_for("ack", 30, nth=i) for i in range(1, 5)]
        wait_until(lambda: v8.count("recv", type="event") == 4, 10, "four events at the server",
                   rig.dump)
        self.assertEqual(driver.stop(), 0)
        self.assertEqual(sanitizer_reports(driver), [])
        # Generous bounds for a sanitizer build, where the first acknowledgement comes about 1 s
        # after the start (the receiver holds its first frame 300 ms after the port opened);
        # reading the file for every scanned port and every frame took 14 to 18 s before it.
        self.assertLess(first.at - started, 4.0, "start to the first acknowledgement")
        self.assertEqual([int(a["after_ms"]) < 1000 for a in acks], [True] * 4, acks)
        self.assertEqual(self.delivered_objects(v8), [70777] * 4)

    def test_read_only_spool_directory(self):
        # Nothing in a read-only spool directory can be written, set aside or deleted: the junk
        # file is passed over, each spooled record goes once, and a live event, which cannot be
        # put on disk before its acknowledgement, is not acknowledged and goes nowhere: the
        # receiver keeps it and repeats the frame.
        rig = Rig(self)
        junk = rig.spool + "00000001.dd8"
        write_file(junk, b"\x32\x00")
        write_file(rig.spool + "0000000A.dd8", dd8_file(50001))
        write_file(rig.spool + "0000000B.dd8", dd8_file(50002))
        bind = subprocess.run(["mount", "--bind", rig.spool, rig.spool], capture_output=True,
                              text=True)
        if bind.returncode != 0:
            self.skipTest("no bind mount here: " + bind.stderr)
        self.addCleanup(subprocess.run, ["umount", "-l", rig.spool], capture_output=True)
        remount = subprocess.run(["mount", "-o", "remount,ro,bind", rig.spool],
                                 capture_output=True, text=True)
        if remount.returncode != 0:
            self.skipTest("no read-only remount here: " + remount.stderr)
        rx, v8 = self.start(rig, [EVENT, "wait 2000", "event 0456 R 401 02 003"])
        driver = rig.start_driver()
        rx.wait_for("noack", 20, retry=1)
        wait_until(lambda: v8.count("recv", type="event") == 2, 20,
                   "the two spooled events at the server", rig.dump)
        time.sleep(2)  # ten service ticks: time enough to send a file again
        self.assertEqual(driver.stop(), 0)
        self.assertEqual(sanitizer_reports(driver), [])
        self.assertEqual(rx.count("ack"), 0, rx.tail())
        self.assertEqual(self.delivered_objects(v8), [50001, 50002])
        self.assertTrue(any("event frame not acknowledged" in l.text for l in driver.err),
                        driver.tail())
        self.check_delivery(v8)
        self.assertEqual(len(stderr_lines_naming(driver, junk)), 1, driver.tail())
        for name in ("0000000A.dd8", "0000000B.dd8"):
            self.assertEqual(len(stderr_lines_naming(driver, rig.spool + name)), 1, driver.tail())


if __name__ == "__main__":
    unittest.main()
