// v7-server-sim: plays the message server of the V7 link for the demo, for commissioning and for
// the end-to-end tests.

#include <sys/socket.h>

#include "common/cli.h"
#include "common/line_out.h"
#include "common/stop_signal.h"
#include "v7_server_sim/v7_server.h"

namespace drvnt::sim {
namespace {

const std::vector<OptionRule> kOptions = {
    {"port", "P", "TCP port to listen on, 0 for any free one; 7788"},
    {"bind", "ADDR", "IPv4 address to listen on; 127.0.0.1"},
    {"send-time-after-ms", "MS", "send a time message this long after each connection begins"},
    {"time", "ISO", "date-time of that message, e.g. 2026-05-01T10:30:00.250; now"},
    {"close-after-events", "N", "send the close command once N event messages have arrived"},
    {"receive-buffer", "BYTES",
     "the connection's receive buffer (SO_RCVBUF), small for a server whose system soon stops "
     "taking what it does not read; the system's default"},
    {"fault", "MODE",
     "misbehave: never-read (accept, never read), close-after-event (close in order right after "
     "each event), flood (send junk as fast as the driver takes it)"},
};

const char* const kUsageHead =
    "usage: v7-server-sim [options]\n"
    "Plays the V7 message server: one connection at a time (a new one replaces the old), the\n"
    "stream cut into 555-byte messages, each printed decoded.\n\n";

const char* const kUsageTail =
    "\nCommands on standard input, one a line:\n"
    "  time [ISO]     send a time message with now or the date-time given\n"
    "  close          send the close command\n"
    "  drop           close the connection\n"
    "  reset          reset the connection\n"
    "  die            end at once, as a crash between two reads would (exit code 3)\n"
    "\nOutput, one line each, on standard output:\n"
    "  listen addr=127.0.0.1 port=7788\n"
    "  connect conn=1 peer=127.0.0.1:40000\n"
    "  disconnect conn=1 reason=peer|replaced|drop|reset|fault|error partial=N\n"
    "       (N bytes short of a message)\n"
    "  recv conn=1 n=1 type=greeting value=9\n"
    "  recv conn=1 n=2 type=port-status port=3\n"
    "  recv conn=1 n=3 type=event object=40123 code=1130 hnumber=18 zone=015\n"
    "       time=2026-05-01T10:30:00.250 check=ok dup=0\n"
    "       (check=bad:OFFSETS lists the offsets that break the event layout; dup=1: the same\n"
    "       object, code, zone and time arrived before)\n"
    "  recv conn=1 n=4 type=status-restored|status-lost value=9\n"
    "  recv conn=1 n=5 type=time time=... | type=close | type=other code=0x33\n"
    "  recv conn=1 n=6 type=unmarked head=FFFE15    (a piece without FF FF in front)\n"
    "  sent conn=1 type=time time=2026-05-01T10:30:00.250 | sent conn=1 type=close\n"
    "  summary conns=N messages=N greeting=N port-status=N event=N status-restored=N\n"
    "          status-lost=N time=N close=N other=N unmarked=N dups=N sent_time=N sent_close=N\n"
    "          [flooded=BYTES with --fault flood]\n"
    "Texts are printed with blanks and other unprintable bytes as %XX; time=invalid for a value\n"
    "that is no date-time. Exit codes: 0 stopped by SIGINT/SIGTERM, 1 cannot listen,\n"
    "2 bad arguments.\n";

std::string Usage() {
  return kUsageHead + CommandLine(kOptions).OptionsHelp() + kUsageTail;
}

V7ServerOptions ReadOptions(const CommandLine& cl) {
  V7ServerOptions o;
  o.sendTimeAfterMs = static_cast<long>(cl.Int("send-time-after-ms", -1, 0, 86400000));
  o.closeAfterEvents = static_cast<long>(cl.Int("close-after-events", 0, 1, 1000000000));
  if (cl.Has("time")) {
    const std::string text = cl.Text("time", "");
    if (!ParseIsoDateTime(text, o.time)) {
      throw UsageError("bad value \"" + text + "\" for --time (e.g. 2026-05-01T10:30:00.250)");
    }
    o.fixedTime = true;
  }
  if (o.fixedTime && o.sendTimeAfterMs < 0)
    throw UsageError("--time needs --send-time-after-ms");
  const std::string fault = cl.Text("fault", "none");
  if (fault == "never-read") {
    o.fault = V7Fault::kNeverRead;
  } else if (fault == "close-after-event") {
    o.fault = V7Fault::kCloseAfterEvent;
  } else if (fault == "flood") {
    o.fault = V7Fault::kFlood;
  } else if (fault != "none") {
    throw UsageError("bad value \"" + fault +
                     "\" for --fault (never-read, close-after-event, flood)");
  }
  return o;
}

int Run(const std::vector<std::string>& args) {
  CommandLine cl(kOptions);
  cl.Parse(args);
  const V7ServerOptions options = ReadOptions(cl);
  StopSignal::Install();
  Listener listener = ListenFromCommandLine(cl, 7788);
  // Set on the listening socket, so that the window the server offers is small from the start.
  if (const int bytes = static_cast<int>(cl.Int("receive-buffer", 0, 1, 1 << 26)); bytes > 0)
    setsockopt(listener.fd.Get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  V7Server server(std::move(listener), options);
  server.Run();
  server.PrintSummary();
  return 0;
}

}  // namespace
}  // namespace drvnt::sim

int main(int argc, char** argv) {
  return drvnt::sim::RunTool("v7-server-sim", drvnt::sim::Usage(), argc, argv, drvnt::sim::Run);
}
