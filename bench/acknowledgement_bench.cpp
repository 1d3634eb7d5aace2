// What the receiver's acknowledgement of an event frame waits for, now that it goes after both
// hand-overs: decoding the frame, the `Razdels` lookup, the V8 queue, the V7 socket, and a spool
// file written whole (temporary name, fsync, rename, fsync of the directory). The parts one by one,
// then the whole frame through the engine's frame handler on a pseudo-terminal, as the receiver
// waits for it. Spool writes run in a directory beside the build (this machine's disk) and in
// /dev/shm (tmpfs) where there is one.
// Run: build-release/bench/acknowledgement_bench (a Release build without sanitizers)

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "app/driver.h"
#include "app/event_journal.h"
#include "platform/qt/qt_event_loop.h"
#include "receiver/event_record.h"
#include "receiver/frame_decoder.h"
#include "receiver/spool_writer.h"
#include "v8link/send_queue.h"

namespace {

using namespace drvnt;

// A directory for spool files: "disk" beside the current directory, "shm" under /dev/shm.
class BenchDir {
 public:
  explicit BenchDir(const std::string& where) {
    std::string pattern =
        (where == "shm" ? std::string("/dev/shm") : std::filesystem::current_path().string()) +
        "/drvnt-bench-ack-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
      path_ = pattern;
  }
  ~BenchDir() {
    std::error_code ignored;
    if (!path_.empty())
      std::filesystem::remove_all(path_, ignored);
  }
  bool Ok() const { return !path_.empty(); }
  const std::string& Path() const { return path_; }
  void Clear() const {
    for (const auto& e : std::filesystem::directory_iterator(path_))
      std::filesystem::remove(e.path());
  }

 private:
  std::string path_;
};

// The system's clock, whose date-time moves on one millisecond at every reading: a benchmark
// writes files far faster than the line brings frames, and each file keeps a stem of its own.
class SteppingClock final : public Clock {
 public:
  DateTime Now() const override {
    return SystemClock().Now() + static_cast<double>(++steps_) / kMsPerDay;
  }
  std::uint32_t Ticks() const override { return SystemClock().Ticks(); }
  bool SetLocalTime(const CalendarTime&) override { return false; }

 private:
  mutable std::uint64_t steps_ = 0;
};

std::vector<std::uint8_t> Packet(const std::string& s) {
  return std::vector<std::uint8_t>(s.begin(), s.end());
}

const std::vector<std::uint8_t> kFrame = Packet("9015 120123E13001015\x14");
const std::vector<std::uint8_t> kOtherFrame = Packet("1011 120123E13001015\x14");

std::string IniText(const std::string& main) {
  std::string text = "[main]\nFirstNumber=4\n" + main + "[Razdels]\n";
  for (int n = 1; n <= 100; ++n)
    text += std::to_string(n) + "_1=" + std::to_string(n + 5000) + "\n";
  return text;
}

void BM_DecodeEventFrame(benchmark::State& state) {
  for (auto _ : state) {
    const EventFrame fields = ParseEventFrame(kFrame);
    benchmark::DoNotOptimize(PartitionOverrideKey(fields));
    const DecodedEvent event = DecodeEvent(fields, -1, 4, false, 46366.5);
    benchmark::DoNotOptimize(BuildEventRecord(event));
    benchmark::DoNotOptimize(BuildEventMessage(event, 46366.5));
  }
}
BENCHMARK(BM_DecodeEventFrame);

// An unchanged INI file with a Razdels section of 100 keys: the stamp check and the lookup.
void BM_RazdelsLookup(benchmark::State& state) {
  BenchDir dir("disk");
  std::ofstream(dir.Path() + "/drvnt417.ini") << IniText("");
  const IniFile ini(dir.Path(), 0);
  for (auto _ : state)
    benchmark::DoNotOptimize(ini.Load()->ReadInteger("Razdels", "123_1", -1));
}
BENCHMARK(BM_RazdelsLookup);

// The V8 hand-over while the link is up: the record into the send queue (and out again, as the
// worker takes it).
void BM_V8QueueHandOver(benchmark::State& state) {
  SendQueue queue;
  const EventRecord record{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(queue.Enqueue(kEventRecordType, record, {}));
    queue.RemoveOldest();
  }
}
BENCHMARK(BM_V8QueueHandOver);

// The V7 hand-over while the link is up: one 555-byte message into a loopback TCP socket whose
// peer reads everything.
void BM_V7SocketSend(benchmark::State& state) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::inet_pton(AF_INET, "127.0.77.3", &a.sin_addr);
  socklen_t len = sizeof a;
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
      ::connect(client, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    state.SkipWithError("no loopback socket");
    return;
  }
  const int server = ::accept(listener, nullptr, nullptr);
  ::fcntl(client, F_SETFL, O_NONBLOCK);
  std::thread reader([server] {
    char buf[65536];
    while (::read(server, buf, sizeof buf) > 0) {
    }
  });
  const V7Message message{};
  for (auto _ : state)
    benchmark::DoNotOptimize(::send(client, message.data(), message.size(), MSG_NOSIGNAL));
  ::shutdown(client, SHUT_WR);
  reader.join();
  ::close(client);
  ::close(server);
  ::close(listener);
}
BENCHMARK(BM_V7SocketSend);

// One spool file written whole: a .dd8 (26 bytes) or .ddk (555 bytes), on disk or on tmpfs.
void BM_SpoolWrite(benchmark::State& state) {
  BenchDir dir(state.range(0) == 0 ? "disk" : "shm");
  if (!dir.Ok()) {
    state.SkipWithError("no such directory");
    return;
  }
  SteppingClock clock;
  SpoolWriter writer(SystemSpoolDir(), clock, nullptr);
  const std::vector<std::uint8_t> data(state.range(1), 0x55);
  const std::string prefix = dir.Path() + "/";
  const std::string extension = state.range(1) == 26 ? ".dd8" : ".ddk";
  std::int64_t written = 0;
  for (auto _ : state) {
    if (!writer.Write(prefix, "", extension, data)) {
      state.SkipWithError("the spool file was not written");
      break;
    }
    if (++written % 1000 == 0) {
      state.PauseTiming();
      dir.Clear();
      state.ResumeTiming();
    }
  }
}
BENCHMARK(BM_SpoolWrite)
    ->ArgNames({"shm", "bytes"})
    ->Args({0, 26})
    ->Args({0, 555})
    ->Args({1, 26})
    ->Args({1, 555})
    ->UseRealTime();

// The journal of one event frame: its .dd8 and .ddk, each written under a temporary name, flushed
// and renamed, then one flush of the directory; on this machine's disk and on tmpfs.
void BM_JournalWrite(benchmark::State& state) {
  BenchDir dir(state.range(0) == 0 ? "disk" : "shm");
  if (!dir.Ok()) {
    state.SkipWithError("no such directory");
    return;
  }
  SteppingClock clock;
  SpoolWriter writer(SystemSpoolDir(), clock, nullptr);
  EventJournal journal(writer, SystemSpoolDir());
  const std::vector<std::uint8_t> dd8(26, 0x55), ddk(555, 0x55);
  const std::string prefix = dir.Path() + "/";
  std::int64_t frames = 0;
  std::chrono::steady_clock::duration slowest{};
  for (auto _ : state) {
    const auto began = std::chrono::steady_clock::now();
    if (!journal.Write(prefix, dd8, ddk).Kept()) {
      state.SkipWithError("the journal was not written");
      break;
    }
    slowest = std::max(slowest, std::chrono::steady_clock::now() - began);
    if (++frames % 500 == 0) {
      state.PauseTiming();
      dir.Clear();
      state.ResumeTiming();
    }
  }
  state.counters["slowest_ms"] = std::chrono::duration<double, std::milli>(slowest).count();
}
BENCHMARK(BM_JournalWrite)->ArgName("shm")->Arg(0)->Arg(1)->UseRealTime();

// ---- The whole frame through the engine --------------------------------------------------------

class QuietUi final : public OperatorUi {
 public:
  void PaintGlyph(LinkGlyph, bool, int) override {}
  void AppendLogLine(const std::string&) override {}
  void ShowMessageWindow(const std::string&) override {}
  int ShowAccessDialog(const std::string&) override { return kAccessCancelled; }
  void ShowStartTime(const std::string&) override {}
  void ShowClosePassword(const std::string&) override {}
  void SetV7RowVisible(bool) override {}
  void ShowPortControls(const PortControls&) override {}
  void ReportError(const std::string&) override { ++errors; }
  void RequestClose() override {}
  int errors = 0;
};

// The V8 link without its thread: a real send queue, emptied as the worker would.
class QueueOnlyWorker final : public V8Worker {
 public:
  explicit QueueOnlyWorker(bool connected) : connected_(connected) {}
  bool IsConnected() const override { return connected_; }
  bool Enqueue(std::uint32_t type, std::span<const std::uint8_t> body,
               std::string spoolFile) override {
    const bool taken = queue_.Enqueue(type, body, std::move(spoolFile));
    queue_.RemoveOldest();
    return taken;
  }
  void Start() override {}
  void Stop() override { stopped_ = true; }
  bool Finished() const override { return stopped_; }
  void Join() override {}

 private:
  bool connected_;
  bool stopped_ = false;
  SendQueue queue_;
};

enum FrameCase { kNoEvent, kV8Queue, kV8SpoolDisk, kBothSpoolDisk, kBothSpoolShm };

// From the packet to the 0x06 on the pseudo-terminal: a frame of another kind (acknowledged at
// once, as every frame was before: the base line), an event with the V8 link up (its .dd8 file,
// then the queue), or down with the V8 link alone (one spool file) or both links on (two spool
// files, one directory flush). Every event is on disk before its 0x06, whether its link is up or
// not, so these are also the costs with the servers up.
void BM_EventFrameToAcknowledgement(benchmark::State& state) {
  const auto which = static_cast<FrameCase>(state.range(0));
  BenchDir work("disk");
  BenchDir spool(which == kBothSpoolShm ? "shm" : "disk");
  int master = -1, slave = -1;
  char name[256] = {};
  if (!work.Ok() || !spool.Ok() || openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    state.SkipWithError("no directory or no pseudo-terminal");
    return;
  }
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  // V7 down: an address of its own where nothing listens; the connection never completes here.
  const std::string v7 = which >= kBothSpoolDisk ? "SendV7=1\nhost=127.0.77.4\n" : "SendV7=0\n";
  std::ofstream(work.Path() + "/drvnt417.ini")
      << IniText("ComPort=COM1\nPathForSoob=" + spool.Path() + "/\n" + v7) +
             "[ComPorts]\nCOM1=" + name + "\n";
  // A stamp this fresh is not trusted yet: let it age, so the INI file is read once.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  QtEventLoop loop;
  SteppingClock clock;
  QuietUi ui;
  DriverEnvironment env{loop, clock, ui, SystemSpoolDir(), work.Path(), nullptr, nullptr};
  env.v8Worker = [which](V8Host&, SpoolHandOver&) {
    return std::make_unique<QueueOnlyWorker>(which == kV8Queue);
  };
  auto driver = std::make_unique<Driver>(std::move(env));
  driver->Start();
  const std::vector<std::uint8_t>& packet = which == kNoEvent ? kOtherFrame : kFrame;
  char acks[4096];
  std::int64_t frames = 0;
  // The slowest frame too: one slow fsync is what a receiver would feel.
  std::chrono::steady_clock::duration slowest{};
  for (auto _ : state) {
    const auto began = std::chrono::steady_clock::now();
    driver->CommPortDriver1ReceivePacket(packet.data(), static_cast<std::uint32_t>(packet.size()));
    slowest = std::max(slowest, std::chrono::steady_clock::now() - began);
    if (++frames % 512 == 0) {
      state.PauseTiming();
      while (::read(master, acks, sizeof acks) > 0) {
      }
      spool.Clear();
      state.ResumeTiming();
    }
  }
  state.counters["slowest_ms"] = std::chrono::duration<double, std::milli>(slowest).count();
  if (ui.errors > 0)
    state.SkipWithError("an event was not kept");
  driver.reset();
  ::close(master);
  ::close(slave);
}
BENCHMARK(BM_EventFrameToAcknowledgement)
    ->ArgName("case")
    ->Arg(kNoEvent)
    ->Arg(kV8Queue)
    ->Arg(kV8SpoolDisk)
    ->Arg(kBothSpoolDisk)
    ->Arg(kBothSpoolShm)
    ->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
