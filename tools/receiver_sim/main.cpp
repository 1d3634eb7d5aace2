// receiver-sim: plays the alarm receiver on a serial device or on a pseudo-terminal of its own,
// for the demo, for commissioning and for the end-to-end tests.

#include <fstream>
#include <iostream>
#include <stdexcept>

#include "common/cli.h"
#include "common/line_out.h"
#include "common/stop_signal.h"
#include "receiver_sim/receiver_run.h"

namespace drvnt::sim {
namespace {

const std::vector<OptionRule> kOptions = {
    {"device", "PATH", "serial device to use, set to raw 2400 8N1"},
    {"pty", "", "create a pseudo-terminal and print its slave path first"},
    {"pty-link", "PATH", "with --pty: symbolic link to the slave path"},
    {"wait-open", "", "with --pty: send nothing before another program opens the slave"},
    {"start-delay", "MS", "pause before the first frame (after the open with --wait-open); 0"},
    {"burst", "", "write each frame at once instead of a byte every 4.17 ms"},
    {"ack-timeout", "MS", "wait this long for the 0x06 after a frame; 2000"},
    {"retries", "N", "repeat an unacknowledged frame this often; 3"},
    {"scenario", "FILE", "send what the file lists instead of the built-in mix"},
    {"count", "N", "built-in mix: number of events, 0 until stopped; 10"},
    {"interval", "MS", "built-in mix: pause after each exchange; 1000"},
    {"seed", "N", "seed of the built-in mix and of noise; 1"},
    {"hold", "", "keep the line open after the last item until stopped"},
};

const char* const kUsageHead =
    "usage: receiver-sim (--pty [--pty-link PATH] | --device PATH) [options]\n"
    "Plays an alarm receiver: sends 21-byte event frames ending in 0x14, waits for the 0x06\n"
    "after each and repeats an unacknowledged frame.\n\n";

const char* const kUsageTail =
    "\nScenario file, one command a line (# starts a comment):\n"
    "  event ACCOUNT Q CODE PART ZONE [hdigit=D] [hnumber=NN]   e.g. event 0123 E 130 01 015\n"
    "  cut ACCOUNT Q CODE PART ZONE AT [pause=MS]  the frame in two writes, AT bytes first, with\n"
    "                                    a pause (150 ms) between\n"
    "  glued ACCOUNT Q CODE PART ZONE N  N random bytes (never 0x14) directly before the\n"
    "                                    frame, in the frame's write\n"
    "  heartbeat                         a frame of another kind ending in 0x14\n"
    "  noise N                           N random bytes, never 0x14\n"
    "  raw HEX...                        bytes as given; a frame if the last one is 14\n"
    "  wait MS\n"
    "\nOutput, one line each, on standard output:\n"
    "  pty=/dev/pts/5 | device=PATH\n"
    "  port event=open|close            another program opened or closed the slave (--pty)\n"
    "  sent n=1 try=1 kind=event account=0123 q=E code=130 part=01 zone=015 hdigit=1 hnumber=18\n"
    "       (kind=cut adds at=AT; kind=glued noise=N; kind=heartbeat; kind=raw hex=...;\n"
    "        the mix adds what=alarm)\n"
    "  ack n=1 after_ms=93 | noack n=1 retry=1 | lost n=1\n"
    "  stray after_n=1                  a 0x06 that no frame was waiting for\n"
    "  unexpected hex=15                any other byte received\n"
    "  data kind=noise|raw bytes=N      bytes sent without a terminator\n"
    "  summary sent=N acked=N lost=N retries=N stray=N unexpected=N data_bytes=N\n"
    "Texts are printed with blanks and other unprintable bytes as %XX.\n"
    "Exit codes: 0 done or stopped by SIGINT/SIGTERM, 1 line failure, 2 bad arguments.\n";

std::string Usage() {
  return kUsageHead + CommandLine(kOptions).OptionsHelp() + kUsageTail;
}

ReceiverOptions ReadOptions(const CommandLine& cl) {
  ReceiverOptions o;
  o.burst = cl.Has("burst");
  o.ackTimeoutMs = static_cast<int>(cl.Int("ack-timeout", 2000, 1, 600000));
  o.retries = static_cast<int>(cl.Int("retries", 3, 0, 1000));
  o.waitOpen = cl.Has("wait-open");
  o.startDelayMs = static_cast<int>(cl.Int("start-delay", 0, 0, 3600000));
  o.count = static_cast<long>(cl.Int("count", 10, 0, 1000000000));
  o.intervalMs = static_cast<int>(cl.Int("interval", 1000, 0, 3600000));
  o.seed = static_cast<unsigned>(cl.Int("seed", 1, 0, 4294967295LL));
  o.hold = cl.Has("hold");
  return o;
}

void CheckCombinations(const CommandLine& cl) {
  if (cl.Has("pty") == cl.Has("device"))
    throw UsageError("give either --pty or --device PATH");
  if (!cl.Has("pty") && (cl.Has("pty-link") || cl.Has("wait-open"))) {
    throw UsageError(std::string(cl.Has("pty-link") ? "--pty-link" : "--wait-open") +
                     " needs --pty");
  }
  if (cl.Has("scenario") && (cl.Has("count") || cl.Has("interval"))) {
    throw UsageError(std::string(cl.Has("count") ? "--count" : "--interval") +
                     " belongs to the built-in mix, not to --scenario");
  }
}

std::vector<ScenarioItem> LoadScenario(const std::string& path) {
  std::ifstream in(path);
  if (!in)
    throw UsageError("cannot read --scenario " + path);
  try {
    return ParseScenario(in, path);
  } catch (const std::invalid_argument& e) {
    throw UsageError(std::string("bad --scenario line ") + e.what());
  }
}

int Run(const std::vector<std::string>& args) {
  CommandLine cl(kOptions);
  cl.Parse(args);
  CheckCombinations(cl);
  const ReceiverOptions options = ReadOptions(cl);
  const bool scripted = cl.Has("scenario");
  const std::vector<ScenarioItem> items =
      scripted ? LoadScenario(cl.Text("scenario", "")) : std::vector<ScenarioItem>{};
  StopSignal::Install();
  const auto line = cl.Has("pty") ? SerialLine::CreatePty(cl.Text("pty-link", ""))
                                  : SerialLine::OpenDevice(cl.Text("device", ""));
  EmitLine((line->IsPty() ? "pty=" : "device=") + line->Path());
  ReceiverRun run(*line, options);
  if (run.Start() && (scripted ? run.RunScenario(items) : run.RunMix()) && options.hold) {
    run.HoldUntilStopped();
  }
  run.PrintSummary();
  return run.LineFailed() ? 1 : 0;
}

}  // namespace
}  // namespace drvnt::sim

int main(int argc, char** argv) {
  return drvnt::sim::RunTool("receiver-sim", drvnt::sim::Usage(), argc, argv, drvnt::sim::Run);
}
