// The acknowledgement of event frames, which goes only after both hand-overs: withheld while
// nothing keeps the event (both links down and the spool directory missing or full), given again by
// itself once a spool file or a link keeps the repeated frame, and given as before wherever the
// settings send an event nowhere. The receiver is a real pseudo-terminal, the V7 server a loopback
// socket on an address of the test's own; the spool directory that cannot be made lies under a
// regular file, which stops root too.

#include <filesystem>
#include <fstream>

#include "app/spool_directory.h"
#include "engine_receiver_rig.h"
#include "loopback_server.h"
#include "support/run_until.h"

namespace drvnt::testing {
namespace {

namespace fs = std::filesystem;

int CountOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

// The system's spool directory, whose writes fail while `full` is set, as on a full disk, and
// whose directory flush fails while `flushFails` is set, as on a failing disk.
class FillingSpoolDir final : public SpoolDir {
 public:
  bool full = false;
  bool flushFails = false;
  std::vector<std::string> written;  // the files of event frames, in order

  std::optional<FileError> WriteAtomicallyUnflushed(const std::string& path,
                                                    std::span<const std::uint8_t> data) override {
    if (full)
      return FileError{"No space left on device"};
    written.push_back(path);
    return real_.WriteAtomicallyUnflushed(path, data);
  }
  std::optional<FileError> SyncDirectoryOf(const std::string& path) override {
    if (flushFails)
      return FileError{"Input/output error"};
    return real_.SyncDirectoryOf(path);
  }

  std::optional<FileError> WriteAtomically(const std::string& path,
                                           std::span<const std::uint8_t> data) override {
    if (full)
      return FileError{"No space left on device"};
    return real_.WriteAtomically(path, data);
  }
  bool Exists(const std::string& path) override { return real_.Exists(path); }
  std::optional<std::string> FindFirst(const std::string& prefix, const std::string& namePattern,
                                       const SkipFile& skip) override {
    return real_.FindFirst(prefix, namePattern, skip);
  }
  std::optional<std::vector<std::uint8_t>> Read(const std::string& path, std::size_t maxBytes,
                                                FileError* error) override {
    return real_.Read(path, maxBytes, error);
  }
  bool Remove(const std::string& path) override { return real_.Remove(path); }
  std::optional<FileError> SetAside(const std::string& path) override {
    return real_.SetAside(path);
  }

 private:
  SpoolDir& real_ = SystemSpoolDir();
};

class EngineAcknowledgementTest : public EngineTest {
 protected:
  // A started engine on the pseudo-terminal; the V8 link is a fake that stays down unless the test
  // connects it. `main`: the rest of section [main].
  Driver& Started(const std::string& main) {
    driver_.reset();  // a table row's engine before it holds the port
    v8_ = nullptr;
    WriteIni("[main]\nComPort=COM1\n" + main + "[ComPorts]\nCOM1=" + pty_.Path() + "\n");
    Driver& d = MakeDriver();
    d.Start();
    EXPECT_TRUE(d.CommPortDriver1().IsPortOpen());
    return d;
  }

  // What the receiver gets back for `packet`.
  std::string Answer(const std::vector<std::uint8_t>& packet) {
    driver_->CommPortDriver1ReceivePacket(packet.data(), static_cast<std::uint32_t>(packet.size()));
    return pty_.Drain(40);
  }

  // A spool prefix whose directory cannot be made: it lies under a regular file.
  std::string BlockedPrefix() {
    std::ofstream(dir_ + "/blocker") << "a file, not a directory";
    return dir_ + "/blocker/spool/";
  }

  // The V7 link on, aimed at an address of the test's own where nothing listens.
  static std::string V7Down() {
    return "SendV7=1\nhost=" + DottedAddress(OwnLoopbackAddress(6)) + "\n";
  }

  ReceiverPty pty_;
  FillingSpoolDir fillingSpool_;
};

// Both links down and a spool directory that cannot be made: the receiver gets no 0x06 for the
// frame and its repeats, even when the port cuts a repeat in two, while each still counts as a sign
// of life. Once the directory is there the next repeat is kept, once, and acknowledged.
TEST_F(EngineAcknowledgementTest, NothingKeepsTheEventUntilTheSpoolDirectoryIsThere) {
  Driver& d = Started("PathForSoob=" + BlockedPrefix() + "\n" + V7Down());
  ASSERT_EQ(ui_.errors.size(), 1u);  // at start: the directory cannot be made
  EXPECT_NE(ui_.errors[0].find(dir_ + "/blocker/spool\": Not a directory"), std::string::npos)
      << ui_.errors[0];
  EXPECT_FALSE(d.SimpleTCPClient1().Connected());

  const auto frame = Frame("0123", 'E', "130");
  const std::vector<std::uint8_t> head(frame.begin(), frame.begin() + 9);
  const std::vector<std::uint8_t> tail(frame.begin() + 9, frame.end());
  ::testing::internal::CaptureStderr();
  clock_.AdvanceMs(1000);
  EXPECT_EQ(Answer(frame), "");
  EXPECT_EQ(d.LastFrameTime(), clock_.Now());
  EXPECT_EQ(Answer(head), "");
  EXPECT_EQ(Answer(tail), "");
  EXPECT_EQ(d.ReceiverActivity(), 2);
  const std::string withheld = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(withheld, "event frame not acknowledged"), 2) << withheld;
  EXPECT_EQ(CountOf(withheld, "object 40123, code 1130, zone 015"), 2) << withheld;
  ASSERT_EQ(ui_.errors.size(), 2u) << "one error report for the outage";
  EXPECT_NE(ui_.errors[1].find("Events cannot be kept"), std::string::npos) << ui_.errors[1];

  fs::remove(dir_ + "/blocker");
  fs::create_directories(dir_ + "/blocker/spool");
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Answer(head), "");
  EXPECT_EQ(Answer(tail), "\x06");
  const std::string back = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(back, "events are kept again; 2 event frame(s)"), 1) << back;
  EXPECT_EQ(ui_.errors.size(), 2u);
  const auto dd8 = Files(".dd8");
  ASSERT_EQ(dd8.size(), 1u);
  EXPECT_EQ(dd8[0].find(dir_ + "/blocker/spool/"), 0u);
  const auto record = FileBytes(dd8[0]);
  ASSERT_EQ(record.size(), 26u);
  EXPECT_EQ(record[5] | (record[6] << 8), 40123);
  EXPECT_EQ(Files(".ddk").size(), 1u);
}

// A full spool and the V8 link down: one error report per outage, and every withheld frame on
// standard error beside the spool writer's own line.
TEST_F(EngineAcknowledgementTest, FullSpoolIsReportedOncePerOutage) {
  spoolDir_ = &fillingSpool_;
  Started("SendV7=0\nPathForSoob=" + dir_ + "/\n");
  ASSERT_TRUE(ui_.errors.empty());
  ::testing::internal::CaptureStderr();
  fillingSpool_.full = true;
  EXPECT_EQ(Answer(Frame("0123", 'E', "130")), "");
  EXPECT_EQ(Answer(Frame("0123", 'E', "130")), "");
  EXPECT_EQ(ui_.errors.size(), 1u);

  fillingSpool_.full = false;
  EXPECT_EQ(Answer(Frame("0123", 'E', "130")), "\x06");
  EXPECT_EQ(Files(".dd8").size(), 1u);

  fillingSpool_.full = true;
  EXPECT_EQ(Answer(Frame("0456", 'E', "130")), "");
  EXPECT_EQ(ui_.errors.size(), 2u) << "a new outage is reported again";
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(CountOf(err, "event frame not acknowledged"), 3) << err;
  EXPECT_EQ(CountOf(err, "No space left on device"), 3) << err;
}

// Which frames are acknowledged when no spool file can be written: none that a link carries on
// disk, and what the settings send nowhere or keep in memory is acknowledged as before. A record
// the connected V8 link refuses is no record dropped on purpose.
TEST_F(EngineAcknowledgementTest, FramesAcknowledgedWithoutASpool) {
  struct Case {
    const char* what;
    std::string main;
    bool v8Up;
    std::vector<std::uint8_t> frame;
    bool acknowledged;
    const char* line;  // on standard error, when not empty
  };
  LoopbackServer server(OwnLoopbackAddress(5), kV7Port);
  ASSERT_TRUE(server.Ok());
  const std::string v7Up = "SendV7=1\nhost=" + DottedAddress(OwnLoopbackAddress(5)) + "\n";
  const auto event = Frame("0123", 'E', "130");
  const Case cases[] = {
      // Every link an event goes to needs its file before the acknowledgement.
      {"V8 up, V7 down", V7Down(), true, event, false,
       "V8: neither sent nor spooled, V7: neither sent nor spooled"},
      {"V7 up, V8 down", v7Up, false, event, false, "(object 40123"},
      {"NotSendToDiskV8 with V8 up, V7 off", "NotSendToDiskV8=1\n", true, event, true, ""},
      {"NotSendToDiskV8 with V8 down, V7 off", "NotSendToDiskV8=1\n", false, event, true, ""},
      {"NotSendToDiskV8 with V8 down, V7 down", "NotSendToDiskV8=1\n" + V7Down(), false, event,
       false, "V8: dropped (NotSendToDiskV8), V7: neither sent nor spooled"},
      {"event code 1001, both down", V7Down(), false, Frame("0123", 'E', "001"), true, ""},
      {"frame of another kind, both down", V7Down(), false, Bytes("1011    \x14"), true, ""},
      {"no link enabled", "SendV8=0\n", false, event, true, ""},
      {"V8 up, V7 off", "", true, event, false, "V8: neither sent nor spooled, V7: off"},
      {"NotSendToDiskV8, V8 queue refuses, V7 off", "NotSendToDiskV8=1\n", true, event, false,
       "V8: neither sent nor spooled, V7: off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Driver& d = Started("PathForSoob=" + BlockedPrefix() + "\n" + c.main);
    if (c.main == v7Up) {
      ASSERT_TRUE(RunUntilServed(server, [&] { return d.V7Connected(); }));
    }
    if (v8_) {
      v8_->connected = c.v8Up;
      v8_->refuse = std::string(c.what).find("refuses") != std::string::npos;
    }
    const std::size_t reports = ui_.errors.size();
    // Past the time after the port's open in which a short packet is taken for the rest of a
    // frame that the open cut.
    clock_.AdvanceMs(kPurgeCutWindowMs + 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Answer(c.frame), c.acknowledged ? "\x06" : "");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(ui_.errors.size(), reports + (c.acknowledged ? 0 : 1));
    if (*c.line) {
      EXPECT_EQ(CountOf(err, c.line), 1) << err;
    }
  }
}

TEST_F(EngineAcknowledgementTest, MissingSpoolDirectoryIsMadeAtStart) {
  ::testing::internal::CaptureStdout();
  Started("SendV7=0\nPathForSoob=" + dir_ + "/a/b/spool/x\n");
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(CountOf(out, "spool: created the directory \"" + dir_ + "/a/b/spool\""), 1) << out;
  EXPECT_TRUE(fs::is_directory(dir_ + "/a/b/spool"));
  EXPECT_FALSE(fs::exists(dir_ + "/a/b/spool/x"));
  EXPECT_TRUE(ui_.errors.empty());
  EXPECT_EQ(Answer(Frame("0123", 'E', "130")), "\x06");
  const auto dd8 = Files(".dd8");
  ASSERT_EQ(dd8.size(), 1u);
  EXPECT_EQ(dd8[0].find(dir_ + "/a/b/spool/x"), 0u) << dd8[0];
}

TEST(SpoolDirectoryOf, ThePrefixUpToItsLastSeparator) {
  const std::pair<std::string, std::string> rows[] = {
      {"spool/", "spool"}, {"spool/x", "spool"}, {"", ""},
      {"x", ""},           {"/x", "/"},          {"/var/lib/drvnt417/", "/var/lib/drvnt417"},
      {"a/b/c", "a/b"},    {"sp\\x", ""},
  };
  for (const auto& [prefix, dir] : rows)
    EXPECT_EQ(SpoolDirectoryOf(prefix), dir) << '"' << prefix << '"';
}

}  // namespace
}  // namespace drvnt::testing

namespace drvnt::testing {
namespace {

// With both links up the event is on disk for each before its 0x06: the V8 record is queued with
// its .dd8 file, which the worker deletes on the server's acknowledgement, and the V7 message's
// .ddk file goes once the server's system has acknowledged every byte of it.
TEST_F(EngineAcknowledgementTest, EventIsOnDiskForBothLinksBeforeItsAcknowledgement) {
  spoolDir_ = &fillingSpool_;
  LoopbackServer server(OwnLoopbackAddress(7), kV7Port);
  ASSERT_TRUE(server.Ok());
  Driver& d = Started("PathForSoob=" + dir_ +
                      "/spool/\nSendV7=1\nhost=" + DottedAddress(OwnLoopbackAddress(7)) + "\n");
  ASSERT_TRUE(RunUntilServed(server, [&] { return d.V7Connected(); }));
  v8_->connected = true;
  clock_.AdvanceMs(kPurgeCutWindowMs + 1);

  ASSERT_EQ(Answer(Frame("0123", 'E', "130")), "\x06");
  const auto dd8 = Files(".dd8");
  ASSERT_EQ(dd8.size(), 1u) << "the V8 record is on disk before the acknowledgement";
  // The V7 message's file may be gone already: the server's system acknowledges at once here.
  ASSERT_EQ(fillingSpool_.written.size(), 2u);
  EXPECT_EQ(fillingSpool_.written[0], dd8[0]);
  EXPECT_TRUE(fillingSpool_.written[1].ends_with(".ddk")) << fillingSpool_.written[1];
  ASSERT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(v8_->queued[0].spoolFile, dd8[0]) << "queued at once, with its file";
  EXPECT_TRUE(d.HandOver().IsQueued(dd8[0]));

  // The service timer hands neither file over again while its copy is on its way.
  ASSERT_TRUE(RunUntilServed(server, [&] {
    d.Timer2Timer();
    return Files(".ddk").empty();
  }));
  EXPECT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(Files(".dd8").size(), 1u) << "only the server's acknowledgement deletes it";
}

}  // namespace
}  // namespace drvnt::testing

namespace drvnt::testing {
namespace {

// A directory flush that fails leaves the event's names unsure to survive a power cut: the frame
// is not acknowledged, neither file stays behind (the repeat would bring the event twice), and
// nothing goes out; the repeat is kept once the flush works again.
TEST_F(EngineAcknowledgementTest, FailedDirectoryFlushWithholdsTheFrameAndLeavesNoFile) {
  spoolDir_ = &fillingSpool_;
  Started("PathForSoob=" + dir_ + "/spool/\n" + V7Down());
  v8_->connected = true;
  clock_.AdvanceMs(kPurgeCutWindowMs + 1);
  fillingSpool_.flushFails = true;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Answer(Frame("0123", 'E', "130")), "");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Input/output error"), std::string::npos) << err;
  EXPECT_TRUE(Files(".dd8").empty());
  EXPECT_TRUE(Files(".ddk").empty());
  EXPECT_TRUE(v8_->queued.empty());

  fillingSpool_.flushFails = false;
  EXPECT_EQ(Answer(Frame("0123", 'E', "130")), "\x06");
  EXPECT_EQ(Files(".dd8").size(), 1u);
  EXPECT_EQ(Files(".ddk").size(), 1u);
  EXPECT_EQ(v8_->queued.size(), 1u);
}

}  // namespace
}  // namespace drvnt::testing
