"""Under a service manager (Type=notify): the driver says "ready" once it runs, feeds the watchdog
from its main loop at half the watchdog time-out, and says "stopping" before it closes on SIGTERM.
The test plays the service manager with a datagram socket of its own."""

import os
import signal
import socket
import time
import unittest

from e2e_rig import Rig

# Long enough that a busy test machine does not starve it by chance; stations use 30 s.
WATCHDOG_USEC = 1000000


class ServiceManager(unittest.TestCase):
    def test_ready_watchdog_and_stopping(self):
        rig = Rig(self)
        path = os.path.join(rig.dir, "notify")
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(sock.close)
        sock.bind(path)
        sock.settimeout(0.2)
        rig.reserve_v8_port()
        rig.pty = "/dev/drvnt417-e2e-no-such-device"
        rig.write_ini(SendV7=0)
        driver = rig.start_driver(headless=True, NOTIFY_SOCKET=path,
                                  WATCHDOG_USEC=str(WATCHDOG_USEC))

        received = []  # (monotonic time, state)
        def collect(until, stop_at=None):
            while time.monotonic() < until:
                try:
                    received.append((time.monotonic(), sock.recv(4096).decode()))
                except socket.timeout:
                    continue
                if stop_at and received[-1][1] == stop_at:
                    return

        collect(time.monotonic() + 10, stop_at="READY=1")
        self.assertEqual([s for _, s in received][-1:], ["READY=1"], driver.tail())
        ready_at = received[-1][0]
        collect(ready_at + 2.5)
        feeds = [t for t, s in received if s == "WATCHDOG=1"]
        # Every 500 ms: about five in 2.5 s; fewer than three means the watchdog would starve.
        self.assertGreaterEqual(len(feeds), 3, received)
        self.assertLess(max(b - a for a, b in zip([ready_at] + feeds, feeds)),
                        WATCHDOG_USEC / 1e6, received)

        driver.send_signal(signal.SIGTERM)
        collect(time.monotonic() + 10, stop_at="STOPPING=1")
        self.assertEqual(received[-1][1], "STOPPING=1")
        self.assertEqual(driver.wait_exit(10), 0)


if __name__ == "__main__":
    unittest.main()
