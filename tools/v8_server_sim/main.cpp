// v8-server-sim: plays the V8 server, fault modes included, for the demo, for commissioning and
// for the end-to-end tests.

#include "common/cli.h"
#include "common/line_out.h"
#include "common/stop_signal.h"
#include "v8_server_sim/v8_server.h"

namespace drvnt::sim {
namespace {

const std::vector<OptionRule> kOptions = {
    {"port", "P", "TCP port to listen on, 0 for any free one; 12543"},
    {"bind", "ADDR", "IPv4 address to listen on; 127.0.0.1"},
    {"mode", "MODE", "normal|silent|deny|drop|disconnect|slow|garbage|late|flood; normal"},
    {"fault-at", "N",
     "drop, disconnect, garbage: the packet of a connection answered so; late: the event record; "
     "1"},
    {"fault-once", "", "the fault (and deny) on the first connection only"},
    {"fault-connections", "N", "the fault (and deny) on the first N connections only"},
    {"garbage", "KIND", "garbage mode: header (wrong marker), junk, huge, negative or cut; header"},
    {"flood-count", "N",
     "flood mode: unasked packets sent after every reply from packet --fault-at on; 100"},
    {"delay-ms", "MS", "slow mode: delay of every reply; late mode: of the late one; 1500"},
    {"probe-every", "N", "send a probe instead of a plain poll reply every N packets"},
    {"no-ack", "", "answer event records with a poll instead of an acknowledgement"},
};

const char* const kUsageHead =
    "usage: v8-server-sim [options]\n"
    "Plays the V8 server: one connection at a time (a new one replaces the old), every packet\n"
    "printed decoded and answered: hello -> accepted, event -> event-ack, anything else -> "
    "poll.\n\n";

const char* const kUsageTail =
    "\nModes: silent never answers; deny answers hello with access-denied; drop and disconnect\n"
    "answer packet --fault-at with a drop order or a disconnect order; slow delays every reply\n"
    "by --delay-ms; garbage answers packet --fault-at with a transport header whose marker is\n"
    "wrong (header), with 39 junk bytes (junk), with a transport header whose length is\n"
    "2^31-1 (huge) or -1 (negative), or with the first 10 bytes of a reply and no more (cut);\n"
    "flood sends --flood-count event-acks, polls and probes nobody asked for after every\n"
    "reply from the one to packet --fault-at on; late\n"
    "answers event record --fault-at of a connection --delay-ms late, and the replies behind it "
    "wait for it.\n"
    "\nOutput, one line each, on standard output:\n"
    "  listen addr=127.0.0.1 port=12543\n"
    "  connect conn=1 peer=127.0.0.1:40000\n"
    "  disconnect conn=1 reason=peer|replaced|error|bad-stream partial=N\n"
    "  recv conn=1 n=1 type=hello seq=0 value=27 check=ok\n"
    "  recv conn=1 n=2 type=port-status seq=1 name=COM1 open=1 check=ok\n"
    "  recv conn=1 n=3 type=first-number seq=2 value=4 check=ok\n"
    "  recv conn=1 n=4 type=version seq=3 major=1 minor=0 release=0 build=1 check=ok\n"
    "  recv conn=1 n=5 type=event seq=4 tag=24 object=40123 code=1130 zone=15 hnumber=18\n"
    "       hdigit=1 time=2026-05-01T10:30:00.250 check=ok dup=0\n"
    "  recv conn=1 n=6 type=poll|probe-answer|0x12345678 seq=0 check=ok\n"
    "       (check=bad:head,tail,len2,blen,size,seq,name names what breaks the layout;\n"
    "       marker=0xF0 is added for a header with that marker; dup=1: the same object, code\n"
    "       and time arrived before)\n"
    "  bad-stream conn=1 reason=marker|length value=...   (the connection is then dropped)\n"
    "  sent conn=1 n=1 type=accepted seq=0 [unasked=N] | type=garbage bytes=21\n"
    "  summary conns=N packets=N poll=N hello=N port-status=N first-number=N version=N event=N\n"
    "          probe-answer=N other=N bad=N acked=N probes=N orders=N garbage=N seqs=N dups=N\n"
    "          (seqs: distinct sequence numbers of packets other than polls)\n"
    "Exit codes: 0 stopped by SIGINT/SIGTERM, 1 cannot listen, 2 bad arguments.\n";

std::string Usage() {
  return kUsageHead + CommandLine(kOptions).OptionsHelp() + kUsageTail;
}

V8ServerOptions ReadOptions(const CommandLine& cl) {
  V8ServerOptions o;
  const std::string mode = cl.Text("mode", "normal");
  const auto parsed = ParseV8Mode(mode);
  if (!parsed)
    throw UsageError("bad value \"" + mode + "\" for --mode (see --help)");
  o.responder.mode = *parsed;
  o.responder.faultAt = static_cast<int>(cl.Int("fault-at", 1, 1, 1000000000));
  o.responder.faultOnce = cl.Has("fault-once");
  o.responder.faultConnections = static_cast<int>(cl.Int("fault-connections", 0, 1, 1000000000));
  o.responder.probeEvery = static_cast<int>(cl.Int("probe-every", 0, 1, 1000000000));
  o.responder.noAck = cl.Has("no-ack");
  const std::string garbage = cl.Text("garbage", "header");
  const auto kind = ParseV8Garbage(garbage);
  if (!kind) {
    throw UsageError("bad value \"" + garbage +
                     "\" for --garbage (header, junk, huge, negative or cut)");
  }
  o.responder.garbage = *kind;
  o.responder.floodCount = static_cast<int>(cl.Int("flood-count", 100, 1, 100000));
  const int delay = static_cast<int>(cl.Int("delay-ms", 1500, 0, 600000));
  o.delayMs = o.responder.mode == V8Mode::kSlow ? delay : 0;
  o.lateDelayMs = o.responder.mode == V8Mode::kLate ? delay : 0;
  return o;
}

int Run(const std::vector<std::string>& args) {
  CommandLine cl(kOptions);
  cl.Parse(args);
  const V8ServerOptions options = ReadOptions(cl);
  StopSignal::Install();
  Listener listener = ListenFromCommandLine(cl, 12543);
  V8Server server(std::move(listener), options);
  server.Run();
  server.PrintSummary();
  return 0;
}

}  // namespace
}  // namespace drvnt::sim

int main(int argc, char** argv) {
  return drvnt::sim::RunTool("v8-server-sim", drvnt::sim::Usage(), argc, argv, drvnt::sim::Run);
}
