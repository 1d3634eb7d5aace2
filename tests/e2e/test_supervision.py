"""Supervision of the receiver: a receiver silent for longer than `Attention` is reported lost
("H") to the V7 server, and reported back ("I") when frames come again."""

import unittest

from e2e_rig import Rig

ATTENTION_S = 3


class Supervision(unittest.TestCase):
    def test_silence_reports_lost_then_restored(self):
        rig = Rig(self)
        rx = rig.start_receiver(["event 0123 E 130 01 015",
                                 f"wait {ATTENTION_S * 1000 + 1500}",
                                 "event 0456 R 401 02 003"])
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rig.write_ini(Attention=f"0:00:0{ATTENTION_S}")
        driver = rig.start_driver()
        v7.wait_for("recv", 20, nth=2, type="status-restored")
        v8.wait_for("recv", 10, nth=2, type="event")
        rig.wait_v8_idle(v8)
        self.assertEqual(driver.stop(), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)
        rig.check_accounting(rx, [v8], [v7])

        # The first tick after the start finds the receiver alive ("I"); the silence after the
        # first frame makes it lost once ("H"); the second frame brings it back.
        order = [(l["type"], l.get("object")) for l in v7.lines("recv")
                 if l["type"] in ("event", "status-restored", "status-lost")]
        statuses = [t for t, _ in order if t != "event"]
        self.assertEqual(statuses, ["status-restored", "status-lost", "status-restored"], order)
        lost = order.index(("status-lost", None))
        first, second = order.index(("event", "70123")), order.index(("event", "70456"))
        self.assertTrue(first < lost < second, order)
        self.assertEqual(order[-1], ("status-restored", None), order)

        # Not before `Attention` has passed since the last frame.
        first_ack = rx.wait_for("ack", 0, n="1")
        lost_at = v7.lines("recv", type="status-lost")[0].at
        self.assertGreater(lost_at - first_ack.at, ATTENTION_S - 0.3)


if __name__ == "__main__":
    unittest.main()
