"""An event's road through the running driver: the receiver's frame is acknowledged once and
reaches both servers with the object number, code and zone it carried, also when the line cuts the
frame in two."""

import os
import re
import unittest

from e2e_rig import Rig, acked_events, frame_bytes, v7_delivered, v7_key, v8_delivered, v8_key


class Delivery(unittest.TestCase):
    def run_events(self, scenario):
        """Runs the scenario with both servers up until every event has reached both of them; the
        driver is stopped and the books checked before this returns."""
        rig = Rig(self)
        rx = rig.start_receiver(scenario)
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver()
        v8.wait_for("recv", 20, nth=len(scenario), type="event")
        v7.wait_for("recv", 20, nth=len(scenario), type="event")
        rig.wait_v8_idle(v8)
        self.assertEqual(driver.stop(), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)
        rig.check_accounting(rx, [v8], [v7])
        self.assertEqual(rx.summary()["retries"], "0", "a frame went unacknowledged")
        self.assertEqual(rx.summary()["unexpected"], "0", "bytes other than 0x06 at the receiver")
        # The raw log holds the packets as they came, with nothing added.
        self.assertEqual(rig.raw_log(), b"".join(frame_bytes(e) for e in acked_events(rx)))
        return rig, rx, v8, v7, driver

    def test_one_event_reaches_both_servers_after_their_hello(self):
        rig, rx, v8, v7, driver = self.run_events(["event 0123 E 130 01 015 hdigit=2 hnumber=34"])
        self.assertEqual(rx.summary()["acked"], "1")

        v8_recv = [l for l in v8.lines("recv") if l["type"] != "poll"]
        self.assertEqual([l["type"] for l in v8_recv],
                         ["hello", "port-status", "first-number", "version", "event"])
        self.assertEqual({l["conn"] for l in v8_recv}, {"1"})
        hello, port, first, version, event = v8_recv
        self.assertEqual(hello["value"], "27")
        self.assertEqual((port["name"], port["open"]), ("COM1", "1"))
        self.assertEqual(first["value"], "7")
        self.assertEqual([version[k] for k in ("major", "minor", "release", "build")],
                         os.environ["DRVNT_VERSION"].split("."))
        # check=ok: every packet has its layout, the event record its 61 bytes on the wire.
        self.assertEqual([l.get("check") for l in v8_recv], ["ok"] * 5)
        self.assertEqual(
            [event[k] for k in ("tag", "object", "code", "zone", "hnumber", "hdigit")],
            ["24", "70123", "1130", "15", "34", "2"])

        v7_recv = v7.lines("recv")
        self.assertEqual([l["type"] for l in v7_recv if not l["type"].startswith("status")],
                         ["greeting", "port-status", "event"])
        # The first service tick finds the receiver alive and says so, once.
        self.assertEqual([l["type"] for l in v7_recv if l["type"].startswith("status")],
                         ["status-restored"])
        self.assertEqual(v7.lines("recv", type="greeting")[0]["value"], "9")
        self.assertEqual(v7.lines("recv", type="port-status")[0]["port"], "1")
        event = v7.lines("recv", type="event")[0]
        self.assertEqual([event[k] for k in ("object", "code", "zone", "hnumber", "check")],
                         ["70123", "1130", "015", "34", "ok"])

        # The V8 link's log lines go to standard output with the date and time in front.
        self.assertTrue(any(re.fullmatch(r"\S+ \S+ Соединение установлено\.", l.text)
                            for l in driver.out), "\n".join(map(str, driver.out)))

    def test_frame_cut_by_the_line_is_one_event(self):
        # Each frame in two writes with a pause past the driver's 80 ms packet time-out, so that
        # the driver sees two packets: cut after the kind byte, in the middle, before the
        # terminator.
        scenario = ["cut 0123 E 130 01 015 1 pause=250",
                    "cut 0456 R 401 02 003 10 pause=250",
                    "cut 0789 P 602 03 100 20 pause=250"]
        self.check_cut_frames(scenario)

    def test_frame_cut_before_a_9_is_one_event(self):
        # Cut after 10 bytes, the second piece of this frame begins with the account's "9", like
        # an event frame of its own: it must still complete the first piece, not replace it.
        self.check_cut_frames(["cut 0789 E 110 01 004 10 pause=250"])

    def check_cut_frames(self, scenario):
        rig, rx, v8, v7, _ = self.run_events(scenario)
        self.assertEqual(rx.summary()["acked"], str(len(scenario)))
        acked = acked_events(rx)
        self.assertEqual(v8_delivered([v8]), [v8_key(e, rig.first_number) for e in acked])
        self.assertEqual(v7_delivered([v7]), [v7_key(e, rig.first_number) for e in acked])


if __name__ == "__main__":
    unittest.main()
