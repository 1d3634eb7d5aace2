"""The V8 link against a server that answers one record late: the driver gives up on that reply
and starts a fresh connection, so that no later reply counts for a packet it does not answer. The
backlog of spool files drains, every acknowledged event arrives, and a record goes twice only where
its reply came late."""

import unittest

from e2e_rig import Rig, v8_delivered, wait_until

SPOOLED = ["event 0101 E 130 01 001",
           "event 0102 R 401 02 002",
           "event 0103 P 602 03 003",
           "event 0104 E 110 01 004",
           "event 0105 E 130 02 005",
           "event 0106 R 130 03 006"]
# Sent after a pause, while the driver works through the backlog (live, or spooled while the
# link is down between the two connections: either way they must arrive).
LIVE = ["event 0201 E 130 01 011",
        "event 0202 E 130 01 012"]


class V8Faults(unittest.TestCase):
    def test_late_reply_the_backlog_drains_and_everything_arrives(self):
        rig = Rig(self)
        rx = rig.start_receiver(SPOOLED + ["wait 6000"] + LIVE)
        rig.reserve_v8_port()
        v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver()
        rx.wait_for("ack", 20, nth=len(SPOOLED))
        wait_until(lambda: len(rig.spool_files(".dd8")) == len(SPOOLED), 10,
                   f"{len(SPOOLED)} .dd8 files", rig.dump)

        # The second record of the first connection is acknowledged 1.5 s late, the rest at once;
        # the replies behind the late one wait for it.
        v8 = rig.start_v8("--mode", "late", "--fault-at", "2", "--fault-once",
                          "--delay-ms", "1500")
        total = len(SPOOLED) + len(LIVE)
        wait_until(lambda: len(set(v8_delivered([v8]))) == total and not rig.spool_files(".dd8"),
                   40, f"{total} distinct events at the V8 server and no .dd8 file left",
                   rig.dump)
        rig.wait_v8_idle(v8)
        self.assertEqual(driver.stop(), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)
        repeats = rig.check_accounting(rx, [v8], [v7])
        self.assertLessEqual(repeats, 1, "only the record answered late may go twice")
        self.assertGreaterEqual(int(v8.summary()["conns"]), 2,
                                "the late reply did not end the connection")


if __name__ == "__main__":
    unittest.main()
