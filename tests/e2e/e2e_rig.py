"""The rig of the end-to-end tests: the built driver in a fresh temporary directory, wired to the
simulated receiver (over its own pseudo-terminal) and to the simulated V7 and V8 servers (over
loopback sockets).

The rig starts and stops processes by their pid only, reads their output lines as they come, and
waits for those lines or for the spool directory, each wait with a deadline. It decodes spool files
itself, so that it checks the driver's bytes instead of trusting them.

Paths of the programs come from the environment that ctest sets: DRVNT417, RECEIVER_SIM,
V7_SERVER_SIM, V8_SERVER_SIM, and DRVNT_VERSION (the four-part version of the build).
"""

import collections
import fcntl
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import zlib

V7_PORT = 7788
# The V8 test servers listen on a loopback address of their own (the V7 server of each case on
# one of its own, below), so that they never meet a real server on 127.0.0.1 of the machine.
V8_ADDRESS = "127.0.0.3"
# The receiver-sim options every test uses: the driver empties its queues right after opening the
# port, so the first frame waits for the open and a little more.
RECEIVER_START = ["--wait-open", "--start-delay", "300", "--hold"]
STOP_DEADLINE_S = 10.0
POLL_S = 0.05

EVENT_RECORD_TYPE = 0x03000032
V7_SIZE = 555
V7_EVENT = 0x15
V7_LINK_RESTORED = 0x49
# A program left behind by a killed test runner would hold its V7 address or the pty for the tests
# after it: each program gets SIGTERM when the runner ends (setpriv execs it, same pid).
DIE_WITH_THE_TEST = (["setpriv", "--pdeathsig", "TERM", "--"] if shutil.which("setpriv") else [])
# Reads the exclusive-mode flag of a tty (_IOR('T', 0x40, int)).
TIOCGEXCL = 0x80045440

QUALIFIER_DIGIT = {"E": "1", "R": "3", "P": "6"}


def program(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        raise RuntimeError(f"{variable} does not name a built program (run through ctest)")
    return path


class Line:
    """One output line: the verb and its key=value words, and when it was read."""

    def __init__(self, text):
        self.text = text
        self.at = time.monotonic()
        words = text.split()
        self.verb = words[0] if words else ""
        self.fields = dict(w.split("=", 1) for w in words[1:] if "=" in w)

    def __getitem__(self, key):
        return self.fields[key]

    def get(self, key, default=None):
        return self.fields.get(key, default)

    def is_(self, verb, **fields):
        return self.verb == verb and all(self.fields.get(k) == str(v) for k, v in fields.items())

    def __repr__(self):
        return self.text


class Proc:
    """A started program whose standard output and error are read line by line as they come."""

    def __init__(self, name, argv, cwd, env=None, stdin=False):
        self.name = name
        self.argv = argv
        self.out = []
        self.err = []
        self._cond = threading.Condition()
        self._open_streams = 2
        self.popen = subprocess.Popen(
            DIE_WITH_THE_TEST + argv, cwd=cwd, env=env,
            stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        self._readers = [
            threading.Thread(target=self._pump, args=(self.popen.stdout, self.out), daemon=True),
            threading.Thread(target=self._pump, args=(self.popen.stderr, self.err), daemon=True),
        ]
        for reader in self._readers:
            reader.start()

    def _pump(self, stream, sink):
        for raw in iter(stream.readline, b""):
            line = Line(raw.decode("utf-8", "replace").rstrip("\r\n"))
            with self._cond:
                sink.append(line)
                self._cond.notify_all()
        with self._cond:
            self._open_streams -= 1
            self._cond.notify_all()

    @property
    def pid(self):
        return self.popen.pid

    def running(self):
        return self.popen.poll() is None

    def lines(self, verb=None, **fields):
        with self._cond:
            snapshot = list(self.out)
        return [l for l in snapshot if verb is None or l.is_(verb, **fields)]

    def count(self, verb, **fields):
        return len(self.lines(verb, **fields))

    def wait_for(self, verb, timeout, nth=1, **fields):
        """The nth line of that verb and those fields, waiting up to `timeout` seconds."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = [l for l in self.out if l.is_(verb, **fields)]
                if len(found) >= nth:
                    return found[nth - 1]
                remaining = deadline - time.monotonic()
                if remaining <= 0 or self._open_streams == 0:
                    break
                self._cond.wait(remaining)
        detail = " ".join(f"{k}={v}" for k, v in fields.items())
        why = "it ended" if self._open_streams == 0 else f"{timeout:g} s passed"
        raise AssertionError(f"{self.name}: line {nth} of '{verb} {detail}' not seen; {why}\n"
                             + self.tail())

    def send(self, text):
        self.popen.stdin.write((text + "\n").encode())
        self.popen.stdin.flush()

    def send_signal(self, sig):
        if self.running():
            os.kill(self.pid, sig)

    def wait_exit(self, timeout):
        """The exit code, once the program has ended within `timeout` seconds."""
        try:
            rc = self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{self.name}: still running after {timeout:g} s\n" + self.tail())
        self._drain()
        return rc

    def stop(self, sig=signal.SIGTERM, timeout=STOP_DEADLINE_S):
        """Ends the program by its pid: the signal, a deadline, then SIGKILL. The exit code."""
        if self.running():
            os.kill(self.pid, sig)
            try:
                self.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                os.kill(self.pid, signal.SIGKILL)
                self.popen.wait()
        self._drain()
        return self.popen.returncode

    def _drain(self):
        for reader in self._readers:
            reader.join(STOP_DEADLINE_S)
        for stream in (self.popen.stdin, self.popen.stdout, self.popen.stderr):
            if stream:
                try:
                    stream.close()
                except OSError:
                    pass

    def summary(self):
        found = self.lines("summary")
        return found[-1].fields if found else None

    def tail(self, n=80):
        with self._cond:
            out, err = list(self.out[-n:]), list(self.err[-n:])
        text = f"--- {self.name} (pid {self.pid}) stdout\n" + "\n".join(map(str, out))
        if err:
            text += f"\n--- {self.name} stderr\n" + "\n".join(map(str, err))
        return text + "\n"


def wait_until(predicate, timeout, what, dump=lambda: ""):
    """Polls `predicate` until it holds; fails with `what` once `timeout` seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise AssertionError(f"not within {timeout:g} s: {what}\n" + dump())
        time.sleep(POLL_S)


def own_loopback_address(test_id):
    """A loopback address of the test's own, 127.5.x.y from its name: the V7 server listens there
    on port 7788, so that cases run side by side and none reaches a real server on 127.0.0.1."""
    h = zlib.crc32(test_id.encode("utf-8")) % 65000 + 2
    return f"127.5.{h >> 8}.{h & 0xFF}"


def free_tcp_port():
    """A loopback port that nothing listens on now, for a server that starts later."""
    with socket.socket() as s:
        s.bind((V8_ADDRESS, 0))
        return s.getsockname()[1]


# ---- Events as the receiver sends them and as each link carries them ---------------------------

ReceiverEvent = collections.namedtuple(
    "ReceiverEvent", "account q code part zone hdigit hnumber")


def event_code(q, code):
    return QUALIFIER_DIGIT.get(q, "") + code


def v8_key(e, first_number):
    """(object, code, zone number) of a receiver event on the V8 link."""
    return (int(e.account) + first_number * 10000, event_code(e.q, e.code), int(e.zone))


def v7_key(e, first_number):
    """(object, code, zone text) of a receiver event on the V7 link."""
    return (int(e.account) + first_number * 10000, event_code(e.q, e.code), e.zone)


def frame_bytes(e):
    """The 21 bytes of an event frame: kind, "01", header digit, blank, header number, account,
    qualifier, code, partition, zone, terminator."""
    text = "9" + "01" + e.hdigit + " " + e.hnumber + e.account + e.q + e.code + e.part + e.zone
    return text.encode("ascii") + b"\x14"


def acked_events(receiver):
    """The event frames the receiver saw acknowledged, each once, in the order sent."""
    sent = {}
    for l in receiver.lines("sent"):
        if l["kind"] in ("event", "cut", "glued") and l["n"] not in sent:
            sent[l["n"]] = ReceiverEvent(l["account"], l["q"], l["code"], l["part"], l["zone"],
                                         l["hdigit"], l["hnumber"])
    return [sent[l["n"]] for l in receiver.lines("ack") if l["n"] in sent]


def v8_key_of(line):
    """(object, code, zone) of a V8 server's recv line of an event record."""
    return (int(line["object"]), urllib.parse.unquote(line["code"]), int(line["zone"]))


def v8_delivered(servers):
    return [v8_key_of(l) for s in servers for l in s.lines("recv", type="event")]


# The driver's wait for a reply is 1000 ms; a reply this much after its packet may have missed it.
V8_LATE_S = 0.9


def v8_unconfirmed(servers):
    """(object, code, zone) of each event record that the server received but did not acknowledge
    in time: no event-ack sent for it (lost with its connection, or another reply), or one sent
    so late that the driver may have given up on it. Each may rightly reach the server again."""
    keys = []
    for s in servers:
        acks = {(l["conn"], l["n"]): l for l in s.lines("sent", type="event-ack")}
        for l in s.lines("recv", type="event"):
            ack = acks.get((l["conn"], l["n"]))
            if ack is None or ack.at - l.at >= V8_LATE_S:
                keys.append(v8_key_of(l))
    return keys


def v7_delivered(servers):
    return [(int(l["object"]), urllib.parse.unquote(l["code"]), urllib.parse.unquote(l["zone"]))
            for s in servers for l in s.lines("recv", type="event")]


def decode_dd8(data):
    """(object, code, zone) of a .dd8 file: record type, then the 22-byte event record."""
    if len(data) != 26 or struct.unpack_from("<I", data, 0)[0] != EVENT_RECORD_TYPE:
        raise AssertionError(f".dd8 file of {len(data)} bytes: {data.hex()}")
    tag, obj, code_len = struct.unpack_from("<BiB", data, 4)
    code = data[10:10 + code_len].decode("cp1251")
    zone = struct.unpack_from("<H", data, 14)[0]
    if tag != 24:
        raise AssertionError(f".dd8 record tag {tag}: {data.hex()}")
    return (obj, code, zone)


def decode_ddk(data):
    """The type of a .ddk file and, for an event message, (object, code, zone text)."""
    if len(data) != V7_SIZE or data[:2] != b"\xff\xff":
        raise AssertionError(f".ddk file of {len(data)} bytes beginning {data[:3].hex()}")
    if data[2] != V7_EVENT:
        return data[2], None
    obj = struct.unpack_from("<i", data, 5)[0]
    code = data[14:14 + data[13]].decode("cp1251")
    zone = data[23:26].decode("cp1251")
    return V7_EVENT, (obj, code, zone)


# ---- The rig -----------------------------------------------------------------------------------

class Rig:
    """One test's temporary directory, its processes and its spool directory. Every process is
    stopped by pid at the end of the test, whatever its outcome; on a failure their output is
    printed."""

    def __init__(self, test, first_number=7):
        self.test = test
        self.first_number = first_number
        self.dir = tempfile.mkdtemp(prefix="drvnt417-e2e-")
        self.spool = os.path.join(self.dir, "spool") + "/"
        os.mkdir(self.spool)
        self.runtime = os.path.join(self.dir, "xdg")
        os.mkdir(self.runtime, 0o700)
        self.procs = []
        self.pty = None
        self.v8_port = None
        self.v7_host = own_loopback_address(test.id())
        test.addCleanup(self._cleanup)

    # -- processes --

    def _start(self, name, argv, **kwargs):
        proc = Proc(name, argv, cwd=self.dir, **kwargs)
        self.procs.append(proc)
        return proc

    def start_receiver(self, scenario, *options):
        path = os.path.join(self.dir, "scenario.txt")
        with open(path, "w") as f:
            f.write("\n".join(scenario) + "\n")
        # The driver opens the terminal through a link of the case's own: a driver that lost its
        # line opens the same path again every few seconds, and a terminal's name is given to
        # the next test as soon as it is free.
        link = os.path.join(self.dir, "receiver")
        rx = self._start("receiver-sim", [program("RECEIVER_SIM"), "--pty", "--pty-link", link,
                                          *RECEIVER_START, "--scenario", path, *options])
        first = wait_until(lambda: rx.lines() and rx.lines()[0], 10, "receiver-sim's pty line",
                           rx.tail)
        if not first.text.startswith("pty="):
            raise AssertionError("receiver-sim did not print its pty first\n" + rx.tail())
        self.pty = link
        return rx

    def start_v8(self, *options):
        """The V8 server, on the port reserved or taken by the last one, else on any free one."""
        v8 = self._start("v8-server-sim", [program("V8_SERVER_SIM"), "--bind", V8_ADDRESS,
                                           "--port", str(self.v8_port or 0), *options])
        self.v8_port = int(v8.wait_for("listen", 10)["port"])
        return v8

    def start_v7(self, *options):
        v7 = self._start("v7-server-sim", [program("V7_SERVER_SIM"), "--bind", self.v7_host,
                                           "--port", str(V7_PORT), *options], stdin=True)
        v7.wait_for("listen", 10)
        return v7

    def wait_v8_idle(self, v8, timeout=10):
        """Waits for a poll after the last event record: the driver has read the record's reply
        and has nothing more to send."""
        def idle():
            lines = v8.lines("recv")
            last = max((i for i, l in enumerate(lines) if l["type"] == "event"), default=-1)
            return any(l["type"] == "poll" for l in lines[last + 1:])
        wait_until(idle, timeout, "a V8 poll after the last event record", self.dump)

    def reserve_v8_port(self):
        """A port for a V8 server that is down at first and started later."""
        self.v8_port = free_tcp_port()
        return self.v8_port

    def write_ini(self, **main):
        settings = {"ComPort": "COM1", "FirstNumber": self.first_number,
                    "PathForSoob": self.spool, "host": self.v7_host, "SendV7": 1, "SendV8": 1,
                    "Log": 1}
        settings.update(main)
        lines = ["[main]"] + [f"{k}={v}" for k, v in settings.items()]
        lines += ["", "[ComPorts]", f"COM1={self.pty}", "",
                  "[ServerHost]", f"Address={V8_ADDRESS}", f"Port={self.v8_port}", ""]
        with open(os.path.join(self.dir, "drvnt417.ini"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines))

    def start_driver(self, headless=False, **extra_env):
        """The driver on Qt's offscreen platform, or with no display at all (headless)."""
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=self.runtime)
        if headless:
            for name in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"):
                env.pop(name, None)
        env.update(extra_env)
        return self._start("drvnt417", [program("DRVNT417")], env=env)

    def _cleanup(self):
        for proc in reversed(self.procs):
            proc.stop()
        if self._failed():
            sys.stderr.write(self.dump())
        shutil.rmtree(self.dir, ignore_errors=True)

    def _failed(self):
        # Cleanups run after the test's outcome is in the result; without a result, say failed so
        # that the output is shown.
        result = getattr(getattr(self.test, "_outcome", None), "result", None)
        if result is None:
            return True
        return any(getattr(t, "test_case", t) is self.test
                   for t, _ in list(result.failures) + list(result.errors))

    def dump(self):
        text = "".join(p.tail(200) for p in self.procs)
        return text + f"--- spool {self.spool}: {sorted(os.listdir(self.spool))}\n"

    # -- the serial port --

    def port_released(self, rx):
        """True when every open of the pty slave seen by the receiver has been closed again."""
        return rx.count("port", event="open") == rx.count("port", event="close")

    def exclusive_open(self):
        """Opens the pty slave as the driver does (non-blocking, then an exclusive flock) and
        reports whether the tty was left in exclusive mode, which would lock out anyone without
        privileges. Raises OSError when the port is still held."""
        fd = os.open(self.pty, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            flag = bytearray(4)
            fcntl.ioctl(fd, TIOCGEXCL, flag)
            return struct.unpack("<i", flag)[0] != 0
        finally:
            os.close(fd)

    # -- the spool directory --

    def spool_files(self, extension):
        return sorted(n for n in os.listdir(self.spool) if n.endswith(extension))

    def read_spool(self, name):
        with open(self.spool + name, "rb") as f:
            return f.read()

    def spooled_v8(self):
        return [decode_dd8(self.read_spool(n)) for n in self.spool_files(".dd8")]

    def spooled_v7(self):
        """(event keys, status types) of the .ddk files."""
        events, statuses = [], []
        for name in self.spool_files(".ddk"):
            kind, key = decode_ddk(self.read_spool(name))
            (events.append(key) if key else statuses.append((name, kind)))
        return events, statuses

    def spool_empty(self):
        return not os.listdir(self.spool)

    def raw_log(self):
        path = os.path.join(self.dir, "drvnt417.log")
        if not os.path.exists(path):
            return b""
        with open(path, "rb") as f:
            return f.read()

    # -- the checks every test makes --

    def check_accounting(self, rx, v8s, v7s):
        """Every event acknowledged at the receiver is, on each link, either delivered or still in
        a spool file, and nothing else is there. A V8 record may be there more than once only where
        a reply to it was lost or late, at most once more for each such reply; V7 has no replies,
        so nothing may be there twice. Run once the driver has stopped. Returns the number of V8
        repeats."""
        t = self.test
        acked = acked_events(rx)
        fn = self.first_number
        repeats = self._check_v8_books(v8_delivered(v8s) + self.spooled_v8(),
                                       collections.Counter(v8_key(e, fn) for e in acked),
                                       collections.Counter(v8_unconfirmed(v8s)))
        t.assertEqual(collections.Counter(v7_delivered(v7s) + self.spooled_v7()[0]),
                      collections.Counter(v7_key(e, fn) for e in acked),
                      "V7: delivered + spooled differs from acknowledged")
        for server in list(v8s) + list(v7s):
            events = server.lines("recv", type="event")
            t.assertEqual([l.text for l in events if l.get("check") != "ok"], [],
                          f"{server.name}: event with a broken layout")
        dups = sum(int((s.summary() or {}).get("dups", "0")) for s in v8s)
        t.assertLessEqual(dups, repeats, "V8: the same event more often than counted")
        for server in v7s:
            events = server.lines("recv", type="event")
            t.assertEqual([l.text for l in events if l.get("dup") != "0"], [],
                          f"{server.name}: the same event twice")
            t.assertEqual((server.summary() or {}).get("dups", "0"), "0", server.name)
        t.assertEqual(rx.count("stray"), 0, "an acknowledgement that no frame waited for")
        return repeats

    def _check_v8_books(self, found, expected, unconfirmed):
        """Per (object, code, zone): found (delivered + spooled) covers what was acknowledged, and
        what it holds beyond that is at most one repeat per reply lost or late. The repeats."""
        t = self.test
        found = collections.Counter(found)
        missing = expected - found
        t.assertEqual(dict(missing), {}, "V8: acknowledged but neither delivered nor spooled")
        invented = {k: n for k, n in found.items() if k not in expected}
        t.assertEqual(invented, {}, "V8: delivered or spooled but never acknowledged")
        extra = found - expected
        unjustified = {k: (n, unconfirmed[k]) for k, n in extra.items() if n > unconfirmed[k]}
        t.assertEqual(unjustified, {},
                      "V8: (repeats, replies lost or late) where a record went more often than "
                      "its replies were lost or late")
        return sum(extra.values())

    def check_driver_output(self, driver):
        """No sanitizer report and no spool failure on the driver's standard error."""
        bad = [l.text for l in driver.err
               if re.search(r"Sanitizer|runtime error:|^spool:", l.text)]
        self.test.assertEqual(bad, [], "driver's standard error")
