"""Running without a screen: with no display the driver starts no window and no Qt platform,
delivers as usual, puts operator messages on standard error and its V8 log on standard output,
and ends in order on SIGTERM. A port that does not open gives its message without holding up the
links, with or without a window, and a signal ends the driver while that message is open."""

import signal
import unittest

from e2e_rig import Rig, wait_until

PORT_BUSY_AT_START = "Порт уже занят. Смените его."


def loaded_platform_plugins(pid):
    with open(f"/proc/{pid}/maps") as f:
        return sorted({line.split()[-1] for line in f if "/platforms/" in line})


class Headless(unittest.TestCase):
    def test_runs_and_delivers_without_a_display(self):
        rig = Rig(self)
        rx = rig.start_receiver(["event 0123 E 130 01 015", "event 0456 R 401 02 003"])
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver(headless=True)
        v8.wait_for("recv", 20, type="event", nth=2)
        v7.wait_for("recv", 20, type="event", nth=2)
        rig.wait_v8_idle(v8)

        self.assertIn("running without a window", driver.out[0].text)
        self.assertEqual(loaded_platform_plugins(driver.pid), [], "a Qt platform was opened")
        # The V8 log lines, date and time in front, on standard output.
        wait_until(lambda: any("Соединение" in l.text for l in driver.out[1:]), 5,
                   "a V8 log line on standard output", rig.dump)

        driver.send_signal(signal.SIGTERM)
        self.assertEqual(driver.wait_exit(10), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)
        rig.check_accounting(rx, [v8], [v7])

    def test_missing_port_is_reported_on_standard_error_and_the_links_run(self):
        rig = Rig(self)
        rig.pty = "/dev/drvnt417-e2e-no-such-device"
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver(headless=True)
        v8.wait_for("recv", 20, type="hello")
        v7.wait_for("connect", 20)
        wait_until(lambda: any(PORT_BUSY_AT_START in l.text for l in driver.err), 5,
                   "the operator message on standard error", rig.dump)
        reasons = [l.text for l in driver.err if "did not open" in l.text]
        self.assertEqual(len(reasons), 1, driver.tail())
        self.assertIn("COM1 (/dev/drvnt417-e2e-no-such-device)", reasons[0])
        self.assertIn("no such device", reasons[0])
        driver.send_signal(signal.SIGTERM)
        self.assertEqual(driver.wait_exit(10), 0)


    def test_a_display_qt_cannot_open_means_no_window(self):
        # A display that is named but not there (a stale DISPLAY): Qt would abort the program.
        rig = Rig(self)
        v8 = rig.start_v8()
        rig.pty = "/dev/drvnt417-e2e-no-such-device"
        rig.write_ini(SendV7=0)
        driver = rig.start_driver(headless=True, DISPLAY=":93", WAYLAND_DISPLAY="drvnt417-none")
        v8.wait_for("recv", 20, type="hello")
        self.assertIn("Qt cannot open the display: running without a window", driver.out[0].text)
        self.assertEqual(loaded_platform_plugins(driver.pid), [])
        driver.send_signal(signal.SIGTERM)
        self.assertEqual(driver.wait_exit(10), 0)


class PortMessageAtStart(unittest.TestCase):
    def test_sigterm_while_the_port_message_waits_for_the_operator(self):
        # On the offscreen platform the message window is open and nobody presses OK.
        rig = Rig(self)
        rig.pty = "/dev/drvnt417-e2e-no-such-device"
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rig.write_ini()
        driver = rig.start_driver()
        v8.wait_for("recv", 20, type="hello")
        v7.wait_for("connect", 20)
        driver.send_signal(signal.SIGTERM)
        self.assertEqual(driver.wait_exit(10), 0)
        self.assertNotIn("running without a window", driver.out[0].text if driver.out else "")


if __name__ == "__main__":
    unittest.main()
