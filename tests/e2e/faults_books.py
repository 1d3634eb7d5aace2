"""Books of the fault-injection runs: what the receiver sent and saw acknowledged, what each server
received and what still waits in spool files, counted per event, and the one line of counts each
run prints (docs/reliability.md quotes them).

Every event of a fault run has an account of its own, so that an event is known by its key alone
and a loss or a repeat names the event it happened to."""

import collections
import os
import random
import re
import sys
import time

from e2e_rig import (acked_events, v7_delivered, v7_key, v8_delivered, v8_key, v8_unconfirmed,
                     ReceiverEvent)

V7_MESSAGE_BYTES = 555
CODES = [("E", "130"), ("R", "130"), ("E", "602"), ("E", "401"), ("R", "401"), ("E", "110")]


def event_lines(count, first):
    """Scenario lines of `count` events, each with an account of its own."""
    lines = []
    for i in range(count):
        q, code = CODES[i % len(CODES)]
        lines.append(f"event {first + i:04d} {q} {code} 01 {i % 1000:03d}")
    return lines


def seeded_random(test):
    """A random generator whose seed is printed, and taken from FAULTS_SEED when it is set, so
    that a failing run can be repeated."""
    seed = int(os.environ.get("FAULTS_SEED") or time.time_ns() % 1_000_000)
    sys.stderr.write(f"{test.id()}: seed {seed} (FAULTS_SEED={seed} repeats it)\n")
    return random.Random(seed), seed


def sent_events(rx):
    """Every event frame the receiver sent, acknowledged or not, each once."""
    sent = {}
    for l in rx.lines("sent"):
        if l["kind"] in ("event", "cut", "glued") and l["n"] not in sent:
            sent[l["n"]] = ReceiverEvent(l["account"], l["q"], l["code"], l["part"], l["zone"],
                                         l["hdigit"], l["hnumber"])
    return list(sent.values())


class Books:
    """Per link: acknowledged, delivered, spooled; what is missing (acknowledged, nowhere) and
    what is there more often than acknowledged (repeats, or sent and kept but never
    acknowledged because the driver died before its 0x06)."""

    def __init__(self, rig, rx, v8s, v7s):
        fn = rig.first_number
        self.sent = sent_events(rx)
        self.acked = acked_events(rx)
        self.sent_keys8 = {v8_key(e, fn) for e in self.sent}
        self.sent_keys7 = {v7_key(e, fn) for e in self.sent}
        self.acked8 = collections.Counter(v8_key(e, fn) for e in self.acked)
        self.acked7 = collections.Counter(v7_key(e, fn) for e in self.acked)
        self.delivered8 = collections.Counter(v8_delivered(v8s))
        self.delivered7 = collections.Counter(v7_delivered(v7s))
        self.spooled8 = collections.Counter(rig.spooled_v8())
        self.spooled7 = collections.Counter(rig.spooled_v7()[0])
        self.unconfirmed8 = collections.Counter(v8_unconfirmed(v8s))
        self.found8 = self.delivered8 + self.spooled8
        self.found7 = self.delivered7 + self.spooled7
        self.missing8 = self.acked8 - self.found8
        self.missing7 = self.acked7 - self.found7
        self.extra8 = self.found8 - self.acked8
        self.extra7 = self.found7 - self.acked7
        # Acknowledged events that neither link has: gone altogether.
        self.lost_both = [e for e in self.acked
                          if v8_key(e, fn) in self.missing8 and v7_key(e, fn) in self.missing7]
        self.invented8 = {k for k in self.found8 if k not in self.sent_keys8}
        self.invented7 = {k for k in self.found7 if k not in self.sent_keys7}

    def line(self, name, **more):
        """One line of counts: sent and acknowledged events, delivered to and spooled for each
        link, lost (acknowledged, nowhere) and duplicated (there more often than acknowledged)."""
        words = {"sent": len(self.sent), "acked": len(self.acked),
                 "v8_delivered": sum(self.delivered8.values()),
                 "v7_delivered": sum(self.delivered7.values()),
                 "v8_spooled": sum(self.spooled8.values()),
                 "v7_spooled": sum(self.spooled7.values()),
                 "v8_lost": sum(self.missing8.values()), "v7_lost": sum(self.missing7.values()),
                 "v8_dup": sum(self.extra8.values()), "v7_dup": sum(self.extra7.values())}
        words.update(more)
        text = f"faults {name} " + " ".join(f"{k}={v}" for k, v in words.items())
        sys.stderr.write(text + "\n")
        return text


def v7_unacknowledged_bytes(driver):
    """The bytes the driver's V7 socket held unacknowledged when connections ended, summed over
    its standard-error lines about them."""
    total = 0
    for l in driver.err:
        m = re.search(r"V7 link: connection ended with (\d+) bytes the server had not", l.text)
        if m:
            total += int(m.group(1))
    return total


def whole_spool_files(rig):
    """Checks that every file under a final spool name is whole: a .dd8 of 26 bytes whose record
    type is 32 00 00 03, a .ddk of 555 bytes that starts FF FF. The count of each."""
    dd8 = ddk = 0
    for name in os.listdir(rig.spool):
        if not name.endswith((".dd8", ".ddk")):
            continue
        data = rig.read_spool(name)
        if name.endswith(".dd8"):
            ok = len(data) == 26 and data[:4] == b"\x32\x00\x00\x03"
            dd8 += 1
        else:
            ok = len(data) == V7_MESSAGE_BYTES and data[:2] == b"\xff\xff"
            ddk += 1
        if not ok:
            raise AssertionError(f"partial spool file {name}: {len(data)} bytes {data[:8].hex()}")
    return dd8, ddk


def vm_rss_kib(pid):
    """The resident memory of a process in KiB, from /proc."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0
