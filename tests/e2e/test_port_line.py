"""A receiver line that goes away and comes back, through the real program: the simulated receiver
ends (its pseudo-terminal hangs up, as a USB adapter that is unplugged) and a new one starts on a
new pseudo-terminal behind the same link, as the adapter plugged back in appears again under its
/dev/serial/by-id name. The driver says once that the line is lost and once that it is back, and
the events after the return are delivered."""

import os
import signal
import unittest

from e2e_rig import RECEIVER_START, Rig, program, wait_until


class PortLine(unittest.TestCase):
    def start_receiver_at(self, rig, link, event):
        path = os.path.join(rig.dir, f"scenario-{len(rig.procs)}.txt")
        with open(path, "w") as f:
            f.write(event + "\n")
        return rig._start("receiver-sim", [program("RECEIVER_SIM"), "--pty", "--pty-link", link,
                                           *RECEIVER_START, "--scenario", path])

    def test_unplugged_receiver_is_opened_again_when_it_comes_back(self):
        rig = Rig(self)
        link = os.path.join(rig.dir, "receiver")
        rx1 = self.start_receiver_at(rig, link, "event 0123 E 130 01 015")
        wait_until(lambda: os.path.islink(link), 10, "the receiver's link", rig.dump)
        rig.pty = link
        v8 = rig.start_v8()
        rig.write_ini(SendV7=0)
        driver = rig.start_driver(headless=True)
        v8.wait_for("recv", 20, type="event")

        rx1.stop(signal.SIGTERM)
        wait_until(lambda: any("the line is lost" in l.text for l in driver.err), 10,
                   "the line reported lost", rig.dump)
        rx2 = self.start_receiver_at(rig, link, "event 0456 R 401 02 003")
        wait_until(lambda: any("the line is back" in l.text for l in driver.err), 10,
                   "the line reported back", rig.dump)
        v8.wait_for("recv", 20, type="event", nth=2)
        rx2.wait_for("ack", 10)

        lost = [l.text for l in driver.err if "the line is lost" in l.text]
        back = [l.text for l in driver.err if "the line is back" in l.text]
        self.assertEqual((len(lost), len(back)), (1, 1), driver.tail())
        self.assertIn(f"COM1 ({link})", lost[0])
        driver.send_signal(signal.SIGTERM)
        self.assertEqual(driver.wait_exit(10), 0)
        rig.check_driver_output(driver)


if __name__ == "__main__":
    unittest.main()
