"""Ending the driver: the V7 server's close command, SIGTERM and SIGINT each end it in order with
exit code 0 and without the close-password dialog, and leave the serial port free for the next
program at once."""

import signal
import unittest

from e2e_rig import Rig


class Shutdown(unittest.TestCase):
    def end_and_check(self, end):
        rig = Rig(self)
        rx = rig.start_receiver(["event 0123 E 130 01 015"])
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver()
        v8.wait_for("recv", 20, type="event")
        v7.wait_for("recv", 20, type="event")
        rig.wait_v8_idle(v8)
        with self.assertRaises(OSError, msg="a second program could take the port"):
            rig.exclusive_open()

        end(driver, v7)
        # A dialog waiting for the password would keep it running.
        self.assertEqual(driver.wait_exit(10), 0)
        # The port is free at once, and the tty is not left in exclusive mode.
        self.assertFalse(rig.exclusive_open(), "the tty was left in exclusive mode")

        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)
        rig.check_accounting(rx, [v8], [v7])

    def test_v7_close_command(self):
        def close(driver, v7):
            v7.send("close")
            v7.wait_for("sent", 5, type="close")
        self.end_and_check(close)

    def test_sigterm(self):
        self.end_and_check(lambda driver, v7: driver.send_signal(signal.SIGTERM))

    def test_sigint(self):
        self.end_and_check(lambda driver, v7: driver.send_signal(signal.SIGINT))

    def test_sigterm_while_a_record_awaits_its_acknowledgement(self):
        # The server has the event record and answers it after 400 ms, well within the driver's
        # 1000 ms wait for a reply; the stop comes in between. Finishing that exchange before
        # stopping settles the record; spooling it instead sends it to the server a second time
        # after the next start.
        rig = Rig(self)
        rx = rig.start_receiver(["event 0123 E 130 01 015"])
        v8 = rig.start_v8("--mode", "slow", "--delay-ms", "400")
        v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver()
        v8.wait_for("recv", 20, type="event")
        driver.send_signal(signal.SIGTERM)
        self.assertEqual(driver.wait_exit(10), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        self.assertEqual(rig.spool_files(".dd8"), [],
                         "a record the server has was spooled at the stop, to go again")
        rig.check_accounting(rx, [v8], [v7])


if __name__ == "__main__":
    unittest.main()
