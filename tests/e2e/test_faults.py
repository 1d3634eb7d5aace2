"""Fault injection through the real program: the driver killed while it spools, its spool directory
full, its servers killed and restarted, peers that send what no peer should, and a receiver line
that brings noise directly before frames. Whatever happens, an event the receiver saw acknowledged
is delivered or still in a spool file, nothing appears that was never sent, and repeats are
counted. Each run has accounts of its own, so that frames that
reach another run's driver show up as invented events. Each run prints one line of counts
("faults NAME ...") and the seed of its random moments (FAULTS_SEED repeats a run)."""

import collections
import errno
import os
import re
import signal
import subprocess
import time
import unittest

from e2e_rig import ReceiverEvent, Rig, v7_key, v8_key, wait_until
from faults_books import (Books, event_lines, seeded_random, v7_unacknowledged_bytes,
                          V7_MESSAGE_BYTES, vm_rss_kib, whole_spool_files)

KILLS = int(os.environ.get("FAULTS_KILLS", "20"))
SERVER_FAULT_SECONDS = float(os.environ.get("FAULTS_SECONDS", "40"))
# A V7 message the kernel took shortly before its server died may be gone with the server.
V7_DEATH_WINDOW_S = 5.0
# Resident memory of the sanitizer build, whose shadow memory makes up most of it; the quarantine of
# freed blocks is held small, so that what grows is what the driver keeps. A buffer fed without
# bound by a hostile peer passes these within seconds.
RSS_LIMIT_KIB = 160 * 1024
RSS_GROWTH_LIMIT_KIB = 32 * 1024
SMALL_QUARANTINE = "quarantine_size_mb=8"
ACK_LIMIT_MS = 1000
STOP_LIMIT_S = 5.0


def drain(rig, v8, timeout=90):
    """Waits until no .dd8 or .ddk file is left and the V8 link is idle. The service timer sends
    at most one .dd8 and one .ddk a tick (five a second each): a large backlog gets the time it
    needs at that pace, and a drain that stops still fails."""
    backlog = max(len(rig.spool_files(".dd8")), len(rig.spool_files(".ddk")))
    timeout = max(timeout, 30 + backlog / 4)
    wait_until(lambda: not rig.spool_files(".dd8") and not rig.spool_files(".ddk"), timeout,
               "an empty spool directory", rig.dump)
    rig.wait_v8_idle(v8, 20)


class BooksChecks:
    """Assertions over Books shared by the runs."""

    def assert_nothing_invented(self, books):
        self.assertEqual(books.invented8, set(), "V8: an event that was never sent")
        self.assertEqual(books.invented7, set(), "V7: an event that was never sent")

    def assert_repeats_allowed(self, extra, allowance, link):
        """Every key there more often than acknowledged has its reasons in `allowance`."""
        unjustified = {k: (n, allowance[k]) for k, n in extra.items() if n > allowance[k]}
        self.assertEqual(unjustified, {}, f"{link}: (repeats, allowed) beyond what is explained")


class DriverKilled(unittest.TestCase, BooksChecks):
    """SIGKILL at random moments while both links are down and the receiver sends at line rate:
    every spool file under its final name is whole after each kill, and once the servers are up
    every acknowledged event arrives. A kill between keeping an event and its 0x06 makes the
    receiver send it again, so each event may be there once more than acknowledged."""

    def test_sigkill_while_spooling(self):
        rnd, seed = seeded_random(self)
        rig = Rig(self)
        # The receiver repeats a frame the dead driver did not acknowledge until a new one does.
        rx = rig.start_receiver(event_lines(3000, first=1000), "--ack-timeout", "500",
                                "--retries", "1000")
        rig.reserve_v8_port()
        rig.write_ini(Log=0)
        kill_lag_ms = []
        for _ in range(KILLS):
            driver = rig.start_driver()
            time.sleep(rnd.uniform(0.3, 1.5))
            driver.stop(signal.SIGKILL)
            kill_lag_ms.append(self.ms_since_last_ack(rx))
            whole_spool_files(rig)
        spooled_files = whole_spool_files(rig)

        v8 = rig.start_v8()
        v7 = rig.start_v7()
        driver = rig.start_driver()
        wait_until(lambda: v8.count("recv", type="event") >= 5, 30, "live events at V8", rig.dump)
        rx.stop()
        drain(rig, v8)
        self.assertEqual(driver.stop(), 0)
        v8.stop()
        v7.stop()
        # The kills leave temporary files behind; the new run says so and removes them.
        self.assertEqual([l.text for l in driver.err
                          if re.search(r"Sanitizer|runtime error:|^spool:", l.text)
                          and "leftover temporary file" not in l.text], [])

        books = Books(rig, rx, [v8], [v7])
        near = sum(1 for ms in kill_lag_ms if ms is not None and ms < 100)
        at_open = self.keys_acknowledged_first_after_an_open(rig, rx)
        books.line("sigkill", seed=seed, kills=KILLS, kills_within_100ms_of_an_ack=near,
                   spooled_dd8_ddk=f"{spooled_files[0]}/{spooled_files[1]}",
                   lost_at_port_open=sum(n for k, n in books.missing8.items() if k in at_open))
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {}, "V8: acknowledged, then lost by a kill")
        self.assertEqual(dict(books.missing7), {}, "V7: acknowledged, then lost by a kill")
        # One repeat per event at most, for a kill between its keeping and its 0x06, plus what
        # the V8 server did not confirm.
        self.assert_repeats_allowed(books.extra8, books.unconfirmed8 + self.once_each(books), "V8")
        self.assert_repeats_allowed(books.extra7, self.once_each(books), "V7")
        self.assertLessEqual(sum(books.extra7.values()), KILLS + 1, "V7: more repeats than kills")

    @staticmethod
    def keys_acknowledged_first_after_an_open(rig, rx):
        """The V8 keys of events whose acknowledgement was the first after the driver opened the
        port. The driver purges the port when it opens it: a frame the receiver was repeating at
        that moment loses its beginning, and an acknowledgement of the rest would make the
        receiver count the event as delivered. Counted apart in the line (lost_at_port_open)."""
        sent = {l["n"]: l for l in rx.lines("sent") if l["kind"] == "event"}
        keys = set()
        opened = False
        for l in rx.lines():
            if l.is_("port", event="open"):
                opened = True
            elif l.verb == "ack":
                if opened and l["n"] in sent:
                    s = sent[l["n"]]
                    keys.add(v8_key(ReceiverEvent(s["account"], s["q"], s["code"], s["part"],
                                                  s["zone"], s["hdigit"], s["hnumber"]),
                                    rig.first_number))
                opened = False
        return keys

    def ms_since_last_ack(self, rx):
        acks = rx.lines("ack")
        return (time.monotonic() - acks[-1].at) * 1000 if acks else None

    @staticmethod
    def once_each(books):
        return collections.Counter({k: 1 for k in books.found8 | books.found7})


class DriverKilledWithLinksUp(unittest.TestCase, BooksChecks):
    """SIGKILL a few milliseconds after an acknowledgement while both links are up and the V8
    server answers each record 250 ms late, well inside the driver's wait: the acknowledged events
    that were only on their way (queued for the V8 worker, in the V7 socket) are in spool files, so
    every one of them arrives after the last start."""

    KILLS = int(os.environ.get("FAULTS_KILLS_UP", "16"))

    def test_sigkill_with_both_links_up_and_a_late_v8_server(self):
        rnd, seed = seeded_random(self)
        rig = Rig(self)
        rx = rig.start_receiver(event_lines(3000, first=7000), "--ack-timeout", "500",
                                "--retries", "1000")
        v8 = rig.start_v8("--mode", "slow", "--delay-ms", "250")
        v7 = rig.start_v7()
        rig.write_ini(Log=0)
        for _ in range(self.KILLS):
            driver = rig.start_driver()
            acks = rx.count("ack")
            rx.wait_for("ack", 30, nth=acks + rnd.randint(2, 6))
            time.sleep(rnd.uniform(0.0, 0.003))
            driver.stop(signal.SIGKILL)
            whole_spool_files(rig)
        spooled_files = whole_spool_files(rig)

        driver = rig.start_driver()
        rx.wait_for("ack", 30, nth=rx.count("ack") + 3)
        rx.stop()
        drain(rig, v8, timeout=120)
        self.assertEqual(driver.stop(), 0)
        v8.stop()
        v7.stop()

        books = Books(rig, rx, [v8], [v7])
        books.line("sigkill-links-up", seed=seed, kills=self.KILLS,
                   spooled_dd8_ddk=f"{spooled_files[0]}/{spooled_files[1]}")
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {}, "V8: acknowledged, then lost by a kill")
        self.assertEqual(dict(books.missing7), {}, "V7: acknowledged, then lost by a kill")
        # A record or message the server had, whose file a kill left in place before the
        # acknowledgement was counted, goes again: at most once per kill, and per kill no more
        # than what can be on its way at once.
        per_kill = collections.Counter({k: self.KILLS + 1 for k in books.found8 | books.found7})
        self.assert_repeats_allowed(books.extra8, books.unconfirmed8 + per_kill, "V8")
        self.assert_repeats_allowed(books.extra7, per_kill, "V7")
        self.assertLessEqual(sum(books.extra7.values()), 20 * (self.KILLS + 1), "V7 repeats")


class StoppedWhileTheV7ServerReadsLate(unittest.TestCase, BooksChecks):
    """SIGTERM while the V7 server, with a 4 KiB receive buffer, has not read for seconds (stopped
    by SIGSTOP; its system takes and acknowledges what fits): the driver shuts its sending side and
    gives the server up to 3 s to acknowledge, and it never resets the connection, which would make
    the server's system discard what it took and the server had not read. Whatever the server has
    not acknowledged keeps its file. Once the server reads again and a new driver runs, every
    acknowledged event is there; what the server's system took after the stop may come twice."""

    def test_sigterm_while_the_v7_server_reads_late(self):
        rig = Rig(self)
        rx = rig.start_receiver(event_lines(60, first=8000), "--ack-timeout", "500",
                                "--retries", "1000")
        v8 = rig.start_v8()
        v7 = rig.start_v7("--receive-buffer", "4096")
        rig.write_ini(Log=0)
        driver = rig.start_driver()
        rx.wait_for("ack", 20)
        v7.send_signal(signal.SIGSTOP)
        rx.wait_for("ack", 30, nth=40)
        stopping = time.monotonic()
        self.assertEqual(driver.stop(), 0)
        stop_s = time.monotonic() - stopping
        v7.send_signal(signal.SIGCONT)
        spooled_files = whole_spool_files(rig)

        driver = rig.start_driver()
        wait_until(lambda: len({l["n"] for l in rx.lines("ack")}) >= 60, 60,
                   "every frame acknowledged", rig.dump)
        rx.stop()
        drain(rig, v8)
        self.assertEqual(driver.stop(), 0)
        v8.stop()
        v7.stop()

        books = Books(rig, rx, [v8], [v7])
        books.line("sigterm-v7-reads-late", stop_s=f"{stop_s:.1f}",
                   spooled_dd8_ddk=f"{spooled_files[0]}/{spooled_files[1]}")
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {}, "V8: acknowledged, then lost at the stop")
        self.assertEqual(dict(books.missing7), {}, "V7: acknowledged, then lost at the stop")
        self.assertLess(stop_s, STOP_LIMIT_S)


class SpoolSpace:
    """A spool directory that can be filled up and emptied again: a small tmpfs mounted on it
    (where the test may mount one), or a file-size limit on the driver process (prlimit), which
    fails every write past 10 bytes."""

    TMPFS_BYTES = 256 * 1024

    def __init__(self, rig, how):
        self.rig = rig
        self.how = how
        self.filler = os.path.join(rig.spool, "filler.bin")
        if how == "tmpfs":
            result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={self.TMPFS_BYTES}",
                                     "tmpfs", rig.spool], capture_output=True)
            if result.returncode != 0:
                raise unittest.SkipTest("no tmpfs may be mounted here: " + result.stderr.decode())
            rig.test.addCleanup(subprocess.run, ["umount", "-l", rig.spool], capture_output=True)

    def fill(self, driver):
        if self.how == "prlimit":
            self.set_fsize(driver, "10:unlimited")
            return
        with open(self.filler, "wb", buffering=0) as f:
            try:
                while True:
                    f.write(b"\0" * 4096)
            except OSError as e:
                if e.errno != errno.ENOSPC:
                    raise

    def free(self, driver):
        if self.how == "prlimit":
            self.set_fsize(driver, "unlimited:unlimited")
        else:
            os.unlink(self.filler)

    def set_fsize(self, driver, limit):
        subprocess.run(["prlimit", "--pid", str(driver.pid), f"--fsize={limit}"], check=True)


class SpoolFull(unittest.TestCase, BooksChecks):
    """Both links down and the spool directory full: no acknowledged event is lost, frames that
    nothing could keep are not acknowledged, and when space returns spooling and acknowledgements
    resume by themselves. The driver outlives a file-size limit, which raises SIGXFSZ."""

    FULL_S = 4.0

    def test_spool_directory_fills_up_and_empties_again(self):
        for how in ("tmpfs", "prlimit"):
            with self.subTest(how):
                self.fill_and_free(how)

    def fill_and_free(self, how):
        rig = Rig(self)
        space = SpoolSpace(rig, how)
        rx = rig.start_receiver(event_lines(200, first=7000), "--ack-timeout", "500",
                                "--retries", "1000")
        rig.reserve_v8_port()
        rig.write_ini(Log=0)
        driver = rig.start_driver()
        rx.wait_for("ack", 20, nth=5)

        space.fill(driver)
        acked_at_fill = rx.count("ack")
        time.sleep(self.FULL_S)
        acked_while_full = rx.count("ack") - acked_at_fill
        withheld = rx.count("noack")
        self.assertTrue(driver.running(), "the driver ended while the spool directory was full")
        space.free(driver)
        # Acknowledgements resume by themselves: the receiver's next repeat is kept.
        rx.wait_for("ack", 10, nth=rx.count("ack") + 5)

        rx.stop()
        self.assertEqual(driver.stop(), 0)
        if os.path.exists(space.filler):
            os.unlink(space.filler)
        books = Books(rig, rx, [], [])
        books.line("spool-full", how=how, acked_while_full=acked_while_full,
                   repeats_withheld=withheld)
        self.assert_nothing_invented(books)
        self.assertEqual(books.lost_both, [], "acknowledged, and kept by neither link")
        # An event in flight when the directory filled may still have found room; after that
        # the receiver hears nothing until space returns.
        self.assertLessEqual(acked_while_full, 2, "acknowledged while nothing could keep it")
        self.assertGreater(withheld, 0, "no frame was repeated while the directory was full")


class ServersKilled(unittest.TestCase, BooksChecks):
    """Both servers crashed and restarted at random moments while the receiver sends at line
    rate (the V8 server by SIGKILL, the V7 server by its "die" command, which ends it at once and
    says first how many bytes wait unread in its socket): acknowledged = delivered + spooled. V7
    has no acknowledgement: a .ddk file goes once the server's system acknowledged its message, so
    what a dying V7 server takes with it is what waited unread in its own socket, and nothing
    beyond that. The V7 losses must also lie near a death."""

    def test_servers_killed_and_restarted_at_random_moments(self):
        rnd, seed = seeded_random(self)
        rig = Rig(self)
        rx = rig.start_receiver(event_lines(3000, first=4000))
        v8s, v7s = [rig.start_v8()], [rig.start_v7()]
        rig.write_ini(Log=0)
        driver = rig.start_driver()
        rx.wait_for("ack", 20)
        v7_deaths, kills, unread_msgs = [], collections.Counter(), 0
        end = time.monotonic() + SERVER_FAULT_SECONDS
        while time.monotonic() < end:
            time.sleep(rnd.uniform(0.5, 4.0))
            which = rnd.choice(["v8", "v7", "both"])
            if which in ("v8", "both"):
                v8s[-1].stop(signal.SIGKILL)
                kills["v8"] += 1
            if which in ("v7", "both"):
                unread_msgs += self.crash_v7(v7s[-1])
                v7_deaths.append(time.monotonic())
                kills["v7"] += 1
            time.sleep(rnd.uniform(0.0, 3.0))
            if not v8s[-1].running():
                v8s.append(rig.start_v8())
            if not v7s[-1].running():
                v7s.append(rig.start_v7())
        rx.stop()
        drain(rig, v8s[-1])
        self.assertEqual(driver.stop(), 0)
        for s in v8s + v7s:
            s.stop()
        rig.check_driver_output(driver)

        books = Books(rig, rx, v8s, v7s)
        unacked_msgs = -(-v7_unacknowledged_bytes(driver) // V7_MESSAGE_BYTES)
        books.line("servers-killed", seed=seed, seconds=int(SERVER_FAULT_SECONDS),
                   v8_kills=kills["v8"], v7_kills=kills["v7"],
                   v7_lost_with_server=sum(books.missing7.values()),
                   v7_unread_in_dead_servers_msgs=unread_msgs,
                   v7_unacked_bytes_as_msgs=unacked_msgs)
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {},
                         "V8: acknowledged, neither delivered nor spooled")
        self.assert_v7_losses_at_deaths(rig, rx, books, v7_deaths)
        self.assertLessEqual(sum(books.missing7.values()), unread_msgs,
                             "V7: lost beyond what waited unread in the dead servers' sockets")
        unacked8 = collections.Counter(books.sent_keys8 - set(books.acked8))
        self.assert_repeats_allowed(books.extra8, books.unconfirmed8 + unacked8, "V8")
        unacked7 = collections.Counter(books.sent_keys7 - set(books.acked7))
        self.assert_repeats_allowed(books.extra7, unacked7, "V7")
        for s in v7s:
            self.assertEqual([l.text for l in s.lines("recv", type="event") if l["check"] != "ok"],
                             [], "V7: a message with a broken layout")

    @staticmethod
    def crash_v7(v7):
        """Ends the V7 server as a crash between two reads would, and returns how many messages
        went with it: those whose bytes waited unread in its socket or were read only in part."""
        v7.send("die")
        dying = v7.wait_for("dying", 10)
        v7.wait_exit(10)
        gone = int(dying["unread"]) + int(dying["partial"])
        return -(-gone // V7_MESSAGE_BYTES)

    def assert_v7_losses_at_deaths(self, rig, rx, books, deaths):
        """Each V7 event missing was acknowledged shortly before or after a V7 server died."""
        sent = {l["n"]: l for l in rx.lines("sent") if l["kind"] == "event"}
        far = []
        for ack in rx.lines("ack"):
            line = sent.get(ack["n"])
            if line is None:
                continue
            key = v7_key(ReceiverEvent(line["account"], line["q"], line["code"], line["part"],
                                       line["zone"], line["hdigit"], line["hnumber"]),
                         rig.first_number)
            if key in books.missing7 and not any(d - V7_DEATH_WINDOW_S <= ack.at <= d + 1.0
                                                 for d in deaths):
                far.append(line.text)
        self.assertEqual(far, [], "V7: lost far from any server's death")


class HostilePeers(unittest.TestCase, BooksChecks):
    """Peers that send what no peer should, while events flow: the driver acknowledges every
    valid frame within a second, its resident memory stays bounded and it ends in order on
    SIGTERM. Events go on to the spool while a link is useless."""

    # name, V8 server options, V7 server options. Replies are never matched to their request by
    # sequence number, so a flood of unasked packets stands in for replies: a poll read where the
    # acknowledgement of a record belonged sends that record again (counted as repeats).
    SERVERS = [
        ("v8-huge-length_v7-junk-flood",
         ["--mode", "garbage", "--garbage", "huge", "--fault-at", "6"], ["--fault", "flood"]),
        ("v8-negative-length_v7-never-reads",
         ["--mode", "garbage", "--garbage", "negative", "--fault-at", "6"],
         ["--fault", "never-read"]),
        ("v8-cut-header_v7-junk-flood",
         ["--mode", "garbage", "--garbage", "cut", "--fault-at", "6"], ["--fault", "flood"]),
        ("v8-unasked-flood_v7-never-reads", ["--mode", "flood"], ["--fault", "never-read"]),
        ("v8-silent_v7-junk-flood", ["--mode", "silent"], ["--fault", "flood"]),
    ]
    UNASKED = "v8-unasked-flood"

    def test_hostile_servers(self):
        only = os.environ.get("FAULTS_ONLY", "")
        for name, v8_options, v7_options in self.SERVERS:
            if only not in name:
                continue
            with self.subTest(name):
                rig = Rig(self)
                rx = rig.start_receiver(event_lines(60, first=7300), "--ack-timeout", "1000",
                                        "--retries", "1")
                v8 = rig.start_v8(*v8_options)
                v7 = rig.start_v7(*v7_options)
                self.run_hostile(rig, rx, name, [v8], [v7], events=60)

    def test_hostile_receiver(self):
        rnd, seed = seeded_random(self)
        rig = Rig(self)
        events = iter(event_lines(100, first=7500))
        scenario, valid = [], 0
        for length in range(1, 301):
            scenario.append(junk_frame(rnd, length))
            if length % 10 == 0:
                scenario += ["noise 200", "wait 150", next(events)]
                valid += 1
        # Line noise ends well before the next frame begins, so that each valid frame comes alone
        # (frames directly behind noise are the noisy-line run's).
        for noise in (5000, 60000):
            scenario += [f"noise {noise}", "wait 150", next(events), next(events)]
            valid += 2
        rx = rig.start_receiver(scenario, "--burst", "--ack-timeout", "1000", "--retries", "1")
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        self.run_hostile(rig, rx, f"receiver-junk seed={seed}", [v8], [v7], events=valid)

    def run_hostile(self, rig, rx, name, v8s, v7s, events):
        rig.write_ini(Log=0)
        asan = os.environ.get("ASAN_OPTIONS", "")
        driver = rig.start_driver(ASAN_OPTIONS=f"{asan}:{SMALL_QUARANTINE}" if asan
                                  else SMALL_QUARANTINE)
        rss = []

        def all_sent():
            rss.append(vm_rss_kib(driver.pid))
            return rx.count("ack") + rx.count("lost") >= events and self.events_done(rx, events)
        wait_until(all_sent, 120, f"{events} event frames answered", rig.dump)
        started = time.monotonic()
        rc = driver.stop(timeout=STOP_LIMIT_S)
        stop_s = time.monotonic() - started
        for p in [rx] + v8s + v7s:
            p.stop()
        rig.check_driver_output(driver)

        books = Books(rig, rx, v8s, v7s)
        slow = [l.text for l in rx.lines("ack") if int(l["after_ms"]) > ACK_LIMIT_MS]
        unanswered = [l.text for l in rx.lines("lost")
                      if l["n"] in {s["n"] for s in rx.lines("sent", kind="event")}]
        junk = [l["n"] for l in rx.lines("sent", kind="raw")]
        books.line(f"hostile {name}", junk_frames=len(junk),
                   junk_acked=len({l["n"] for l in rx.lines("ack")} & set(junk)),
                   rss_max_mib=max(rss) // 1024,
                   rss_growth_mib=(max(rss) - rss[min(len(rss) - 1, 20)]) // 1024,
                   stop_s=f"{stop_s:.1f}")
        self.assertEqual(rc, 0, "the driver did not end in order on SIGTERM")
        self.assertLess(stop_s, STOP_LIMIT_S)
        self.assertEqual(slow, [], "acknowledged later than a second")
        self.assertEqual(unanswered, [], "a valid event frame never acknowledged")
        self.assertLess(max(rss), RSS_LIMIT_KIB, "resident memory")
        self.assertLess(max(rss) - rss[min(len(rss) - 1, 20)], RSS_GROWTH_LIMIT_KIB,
                        "resident memory grew")
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {},
                         "V8: acknowledged, neither delivered nor spooled")
        if self.UNASKED not in name:
            self.assert_repeats_allowed(books.extra8, books.unconfirmed8, "V8")
        self.assert_repeats_allowed(books.extra7, collections.Counter(), "V7")

    @staticmethod
    def events_done(rx, events):
        sent = {l["n"] for l in rx.lines("sent", kind="event")}
        done = {l["n"] for l in rx.lines("ack")} | {l["n"] for l in rx.lines("lost")}
        return len(sent) >= events and sent <= done


class NoisyLine(unittest.TestCase, BooksChecks):
    """Line noise directly before event frames: each frame behind its noise is one event,
    acknowledged once and delivered to both servers once, and the driver names the noise it
    dropped. Once in one write per frame, once at the line's pace, where the driver's packet
    time-out cuts the longer run of bytes in two."""

    EVENTS = 30

    def test_noise_glued_before_event_frames(self):
        rnd, seed = seeded_random(self)
        for name, first, options in (("one-write", 7700, ["--burst"]), ("paced", 7800, [])):
            with self.subTest(name):
                scenario = [f"glued {line[len('event '):]} {rnd.randint(1, 12)}"
                            for line in event_lines(self.EVENTS, first=first)]
                self.run_noisy(f"{name} seed={seed}", scenario, options)

    def run_noisy(self, name, scenario, options):
        rig = Rig(self)
        rx = rig.start_receiver(scenario, *options, "--ack-timeout", "1000", "--retries", "2")
        v8 = rig.start_v8()
        v7 = rig.start_v7()
        rig.write_ini(Log=0)
        driver = rig.start_driver()
        try:
            wait_until(lambda: rx.count("ack") + rx.count("lost") >= self.EVENTS, 60,
                       f"{self.EVENTS} glued frames answered", rig.dump)
            # An event that never comes shows in the books below, with the counts line.
            delivered = (lambda: v8.count("recv", type="event") >= self.EVENTS
                         and v7.count("recv", type="event") >= self.EVENTS)
            deadline = time.monotonic() + 20
            while not delivered() and time.monotonic() < deadline:
                time.sleep(0.1)
            if delivered():
                rig.wait_v8_idle(v8)
        finally:
            rc = driver.stop()
            for p in (rx, v8, v7):
                p.stop()
        self.assertEqual(rc, 0, "the driver did not end in order on SIGTERM")
        rig.check_driver_output(driver)

        books = Books(rig, rx, [v8], [v7])
        noise_lines = [l.text for l in driver.err
                       if re.search(r"^receiver: \d+ bytes? of noise before an event frame dropped:",
                                    l.text)]
        books.line(f"noisy-line {name}", noise_lines=len(noise_lines),
                   retries=rx.summary()["retries"])
        self.assertEqual(len(books.sent), self.EVENTS)
        self.assertEqual(len(books.acked), self.EVENTS, "a glued frame never acknowledged")
        self.assertEqual(rx.summary()["stray"], "0", "more than one 0x06 for a frame")
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {}, "V8: acknowledged, neither delivered nor spooled")
        self.assertEqual(dict(books.missing7), {}, "V7: acknowledged, neither delivered nor spooled")
        self.assert_repeats_allowed(books.extra8, books.unconfirmed8, "V8")
        self.assert_repeats_allowed(books.extra7, collections.Counter(), "V7")
        self.assertGreaterEqual(len(noise_lines), self.EVENTS, "noise dropped without a line")


class ClockSteps(unittest.TestCase, BooksChecks):
    """The wall clock stepped by two hours each way under the running driver (libfaketime, the
    monotonic clock left alone), as the V7 server's time message, daylight saving or NTP would
    step it. A step forward while the receiver talks invents no loss ("H"); a step back while it
    is silent hides none: "H" comes `Attention` after the last frame. A step back while a .dd8
    hand-over waits for an acknowledgement that never comes does not freeze the hand-overs: the
    file goes again every 3 s, and the spool empties once a server acknowledges."""

    ATTENTION_S = 8
    FAKETIME = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"

    def test_wall_clock_stepped_forward_and_back(self):
        if not os.path.exists(self.FAKETIME):
            self.fail(f"{self.FAKETIME} is missing (Debian package faketime)")
        rig = Rig(self)
        lines = event_lines(12, first=8100)
        scenario = [x for line in lines for x in (line, "wait 1000")] + ["wait 120000"]
        rx = rig.start_receiver(scenario)
        rig.reserve_v8_port()  # down at first: every event goes to a .dd8 file
        v7 = rig.start_v7()
        rig.write_ini(Log=0, Attention=f"0:00:{self.ATTENTION_S:02d}")
        offset = os.path.join(rig.dir, "faketime.rc")
        self.set_offset(offset, "+0")
        driver = rig.start_driver(**self.faketime_env(offset))
        v7.wait_for("recv", 20, type="status-restored")

        rx.wait_for("ack", 20, nth=4)
        self.set_offset(offset, "+2h")  # forward while the receiver talks
        last_ack = rx.wait_for("ack", 30, nth=len(lines))
        # The receiver is silent from here. The V8 server answers event records with a poll: the
        # file handed over stays unacknowledged and goes again every 3 s.
        mute = rig.start_v8("--no-ack")
        first = mute.wait_for("recv", 10, type="event")
        self.set_offset(offset, "+0")  # back while the hand-over waits
        self.assert_clock_was_ahead(driver, 2 * 3600)
        again = mute.wait_for("recv", 12, nth=3, type="event")
        lost = v7.wait_for("recv", self.ATTENTION_S + 10, type="status-lost")
        mute.stop()
        v8 = rig.start_v8()  # one that acknowledges: the spool drains
        drain(rig, v8, timeout=30)
        rx.stop()
        self.assertEqual(driver.stop(), 0)
        for p in (v8, v7):
            p.stop()
        rig.check_driver_output(driver)

        books = Books(rig, rx, [mute, v8], [v7])
        statuses = "".join("I" if l["type"] == "status-restored" else "H"
                           for l in v7.lines("recv")
                           if l["type"] in ("status-restored", "status-lost"))
        silence_s = lost.at - last_ack.at
        books.line("clock-steps", steps="+2h,-2h", v7_statuses=statuses,
                   h_after_silence_s=f"{silence_s:.1f}",
                   unacked_handovers_3_in_s=f"{again.at - first.at:.1f}")
        self.assertEqual(statuses, "IH", "V7 statuses: I at start, H once after the silence")
        self.assertGreater(silence_s, self.ATTENTION_S - 0.3)
        self.assertLess(silence_s, self.ATTENTION_S + 2.0)
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {}, "V8: acknowledged, then lost")
        self.assertEqual(dict(books.missing7), {}, "V7: acknowledged, then lost")
        self.assert_repeats_allowed(books.extra8, books.unconfirmed8, "V8")
        self.assert_repeats_allowed(books.extra7, collections.Counter(), "V7")

    def assert_clock_was_ahead(self, driver, seconds):
        """The V8 link connected while the offset was on: its log line bears the stepped time, so
        the step did reach the driver."""
        line = next((l for l in driver.lines() if l.text.endswith("Соединение установлено.")),
                    None)
        self.assertIsNotNone(line, "no V8 connection line on the driver's standard output")
        stamp = time.mktime(time.strptime(" ".join(line.text.split()[:2]), "%d.%m.%Y %H:%M:%S"))
        real = time.time() - (time.monotonic() - line.at)
        self.assertAlmostEqual(stamp - real, seconds, delta=60, msg=line.text)

    @staticmethod
    def set_offset(path, offset):
        """The wall clock's offset from the real one, read by libfaketime at every clock call."""
        with open(path + ".new", "w") as f:
            f.write(offset + "\n")
        os.replace(path + ".new", path)

    def faketime_env(self, offset_file):
        # The sanitizer runtime wants to come first among the preloaded libraries; libfaketime
        # must, to take the clock calls.
        asan = os.environ.get("ASAN_OPTIONS", "")
        return {"LD_PRELOAD": self.FAKETIME, "FAKETIME_TIMESTAMP_FILE": offset_file,
                "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                "ASAN_OPTIONS": f"{asan}:verify_asan_link_order=0" if asan
                else "verify_asan_link_order=0"}


class V8UnaskedFlood(unittest.TestCase, BooksChecks):
    """A V8 server that follows its replies with a flood of packets nobody asked for (event
    acknowledgements, polls, probes) on its first connections, while events come. The driver
    finds the unasked bytes behind a reply or before its next request and ends the connection:
    no stray acknowledgement confirms a record, so nothing is lost, and a record goes twice at
    most once for each connection the flood ended. Once the server is well, everything arrives."""

    FLOODED_CONNECTIONS = 3

    def test_flood_of_unasked_packets_while_events_come(self):
        rig = Rig(self)
        scenario = []
        for line in event_lines(30, first=7900):
            scenario += [line, "wait 400"]
        rx = rig.start_receiver(scenario)
        # The reply to the second record of each of the first connections brings the flood.
        v8 = rig.start_v8("--mode", "flood", "--fault-at", "6", "--fault-connections",
                          str(self.FLOODED_CONNECTIONS))
        v7 = rig.start_v7()
        rig.write_ini(Log=0)
        driver = rig.start_driver()
        rx.wait_for("ack", 60, nth=30)
        drain(rig, v8)
        self.assertEqual(driver.stop(), 0)
        for proc in (v8, v7, rx):
            proc.stop()
        rig.check_driver_output(driver)

        books = Books(rig, rx, [v8], [v7])
        flooded = {l["conn"] for l in v8.lines("sent") if "unasked" in l.fields}
        # The driver closes with the flood unread: the server sees an end or a reset.
        ended_by_driver = {l["conn"] for l in v8.lines("disconnect")
                           if l["reason"] in ("peer", "error")}
        books.line("v8-unasked-flood", flooded_connections=len(flooded),
                   connections=v8.summary()["conns"])
        self.assertEqual(len(flooded), self.FLOODED_CONNECTIONS, "the flood never came")
        self.assertLessEqual(flooded, ended_by_driver, "a flooded connection went on")
        self.assert_nothing_invented(books)
        self.assertEqual(dict(books.missing8), {}, "V8: acknowledged, neither delivered nor spooled")
        self.assertEqual(books.spooled8, collections.Counter(), "V8: left in the spool")
        self.assertLessEqual(sum(books.extra8.values()), len(flooded),
                             "V8: more than one repeat for each connection the flood ended")
        self.assertEqual(dict(books.missing7), {}, "V7: acknowledged, then lost")


def junk_frame(rnd, length):
    """A raw frame of `length` bytes ending in 0x14, none of the others a terminator or the digit
    that starts an event frame, so that it can never pass for an event."""
    body = [rnd.choice([b for b in range(256) if b not in (0x14, 0x39)])
            for _ in range(length - 1)]
    return "raw " + " ".join(f"{b:02x}" for b in body + [0x14])


if __name__ == "__main__":
    unittest.main()
