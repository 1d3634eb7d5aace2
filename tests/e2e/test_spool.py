"""Events acknowledged while both servers are down wait in spool files, one per event and link, and
each is delivered exactly once when the servers come back, also across a restart of the driver."""

import collections
import unittest

from e2e_rig import V7_LINK_RESTORED, Rig, acked_events, v7_key, v8_key, wait_until

# Qualifiers E, R and P put a digit in front of the code; any other leaves the three characters.
EVENTS = ["event 0123 E 130 01 015",
          "event 0456 R 401 02 003",
          "event 1234 P 602 00 100",
          "event 0077 e 130 03 007"]


class Spool(unittest.TestCase):
    def spool_while_down(self, rig, rx, events):
        """Waits until the driver has spooled every acknowledged event for both links, and
        checks the files against what the receiver sent."""
        rx.wait_for("ack", 20, nth=events)
        # One status message "I" joins the events: the first service tick found the receiver alive.
        wait_until(lambda: len(rig.spool_files(".dd8")) == events
                   and len(rig.spool_files(".ddk")) == events + 1,
                   10, f"{events} .dd8 and {events + 1} .ddk files", rig.dump)
        acked = acked_events(rx)
        fn = rig.first_number
        self.assertEqual(collections.Counter(rig.spooled_v8()),
                         collections.Counter(v8_key(e, fn) for e in acked))
        spooled_events, statuses = rig.spooled_v7()
        self.assertEqual(collections.Counter(spooled_events),
                         collections.Counter(v7_key(e, fn) for e in acked))
        self.assertEqual(len(statuses), 1, statuses)
        name, kind = statuses[0]
        self.assertEqual(kind, V7_LINK_RESTORED)
        self.assertTrue(name.endswith("_-1.ddk"), name)

    def wait_delivered(self, rig, v8, v7, events):
        wait_until(lambda: v8.count("recv", type="event") == events
                   and v7.count("recv", type="event") == events and rig.spool_empty(),
                   25, f"{events} events at each server and an empty spool directory", rig.dump)
        rig.wait_v8_idle(v8)

    def test_servers_down_then_up(self):
        rig = Rig(self)
        rx = rig.start_receiver(EVENTS)
        rig.reserve_v8_port()
        rig.write_ini()
        driver = rig.start_driver()
        self.spool_while_down(rig, rx, len(EVENTS))

        v8 = rig.start_v8()
        v7 = rig.start_v7()
        self.wait_delivered(rig, v8, v7, len(EVENTS))
        # An acknowledgement lets the next .dd8 file go at the next tick; without it the files
        # would go one per 3 s.
        arrivals = [l.at for l in v8.lines("recv", type="event")]
        self.assertLess(arrivals[-1] - arrivals[0], 3.0, "spooled V8 records paced, not released")

        self.assertEqual(driver.stop(), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)
        rig.check_accounting(rx, [v8], [v7])
        self.assertEqual(v7.count("recv", type="status-restored"), 1)
        self.assertEqual(v7.count("recv", type="status-lost"), 0)

    def test_restart_sends_what_the_last_run_spooled(self):
        rig = Rig(self)
        rx = rig.start_receiver(EVENTS[:2])
        rig.reserve_v8_port()
        rig.write_ini()
        first = rig.start_driver()
        self.spool_while_down(rig, rx, 2)
        spooled = rig.spool_files("")
        self.assertEqual(first.stop(), 0)
        rig.check_driver_output(first)
        self.assertEqual(rig.spool_files(""), spooled, "spool files changed by the stop")

        wait_until(lambda: rig.port_released(rx), 10, "the port closed by the first run", rig.dump)
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        second = rig.start_driver()
        self.wait_delivered(rig, v8, v7, 2)

        self.assertEqual(second.stop(), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(second)
        rig.check_accounting(rx, [v8], [v7])
        # The first run's "I" came from its spool file, the second run's from its own first tick.
        self.assertEqual(v7.count("recv", type="status-restored"), 2)

    def test_servers_restart_while_the_driver_runs(self):
        # The pauses give the test time to stop both servers after the first event and to start
        # them again before the third.
        rig = Rig(self)
        rx = rig.start_receiver([EVENTS[0], "wait 3000", EVENTS[1], "wait 3000", EVENTS[2]])
        first_v8 = rig.start_v8()
        first_v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver()
        first_v8.wait_for("recv", 20, type="event")
        first_v7.wait_for("recv", 20, type="event")
        first_v8.stop()
        first_v7.stop()

        # The second event finds both links lost: it waits in spool files.
        rx.wait_for("ack", 10, nth=2)
        wait_until(lambda: rig.spool_files(".dd8") and rig.spool_files(".ddk"), 10,
                   "the second event spooled for both links", rig.dump)
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rx.wait_for("ack", 10, nth=3)
        self.wait_delivered(rig, v8, v7, 2)

        self.assertEqual(driver.stop(), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)
        self.assertEqual(first_v8.count("recv", type="event"), 1)
        self.assertEqual(first_v7.count("recv", type="event"), 1)
        rig.check_accounting(rx, [first_v8, v8], [first_v7, v7])


if __name__ == "__main__":
    unittest.main()
