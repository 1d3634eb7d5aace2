// The engine's frame handling: acknowledgement, decoding, partition override, the "1001" filter,
// the raw log, a frame cut in two by the serial port, and the start-up and close steps around the
// serial port. The port is a real pseudo-terminal; the test reads the acknowledgements from its
// master side.

#include <set>

#include "engine_receiver_rig.h"
#include "support/run_until.h"

namespace drvnt::testing {
namespace {

class EngineReceiverTest : public EngineTest {
 protected:
  // A started engine on a pseudo-terminal with a connected fake V8 link.
  Driver& Started(const std::string& extraMain = "") {
    WriteIni("[main]\nComPort=COM1\n" + extraMain + "[ComPorts]\nCOM1=" + pty_.Path() + "\n");
    Driver& d = MakeDriver();
    d.Start();
    EXPECT_TRUE(d.CommPortDriver1().IsPortOpen());
    v8_->connected = true;
    return d;
  }

  void Feed(const std::vector<std::uint8_t>& packet) {
    driver_->CommPortDriver1ReceivePacket(packet.data(), static_cast<std::uint32_t>(packet.size()));
  }

  ReceiverPty pty_;
};

TEST_F(EngineReceiverTest, EventFrameIsAcknowledgedOnceThenDecodedAndHandedOver) {
  Driver& d = Started();
  clock_.AdvanceMs(5000);
  Feed(Frame("0123", 'E', "130"));
  EXPECT_EQ(pty_.Drain(), "\x06");
  ASSERT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(v8_->queued[0].type, kEventRecordType);
  EXPECT_EQ(ObjectOf(v8_->queued[0]), 40123);
  EXPECT_EQ(std::string(v8_->queued[0].body.begin() + 6, v8_->queued[0].body.begin() + 10), "1130");
  EXPECT_EQ(d.LastFrameTime(), clock_.Now());
  EXPECT_EQ(d.ReceiverActivity(), 1);
  EXPECT_TRUE(std::equal(d.LastEventRecord().begin(), d.LastEventRecord().end(),
                         v8_->queued[0].body.begin()));
  const auto paints = ui_.PaintsOf(LinkGlyph::Receiver);
  ASSERT_EQ(paints.size(), 1u);
  EXPECT_EQ(paints[0].counter, 1);
}

TEST_F(EngineReceiverTest, PacketsThatAreNoEventFrames) {
  Driver& d = Started();
  const DateTime started = d.LastFrameTime();
  clock_.AdvanceMs(1000);

  Feed(Bytes("line noise"));  // no terminator: nothing at all
  EXPECT_EQ(pty_.Drain(), "");
  EXPECT_EQ(d.LastFrameTime(), started);
  EXPECT_EQ(d.ReceiverActivity(), 0);

  Feed(Bytes("1011    \x14"));  // another kind of frame: a sign of life, acknowledged, no event
  EXPECT_EQ(pty_.Drain(), "\x06");
  EXPECT_EQ(d.LastFrameTime(), clock_.Now());
  EXPECT_EQ(d.ReceiverActivity(), 1);

  Feed(Frame("0123", 'E', "001"));  // code 1001: acknowledged and decoded, but goes nowhere
  EXPECT_EQ(pty_.Drain(), "\x06");
  EXPECT_TRUE(v8_->queued.empty());
  EXPECT_EQ(d.LastEventRecord()[5], 4);

  auto two = Frame("0123", 'E', "130");
  const auto second = Frame("0456", 'E', "130");
  two.insert(two.end(), second.begin(), second.end());
  Feed(two);  // two frames in one packet: one acknowledgement, the first frame decoded
  EXPECT_EQ(pty_.Drain(), "\x06");
  ASSERT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(ObjectOf(v8_->queued[0]), 40123);

  Feed(Bytes("9\x14"));  // the bare event frame is dispatched with zero fields
  EXPECT_EQ(pty_.Drain(), "\x06");
  ASSERT_EQ(v8_->queued.size(), 2u);
  EXPECT_EQ(ObjectOf(v8_->queued[1]), 40000);
}

TEST_F(EngineReceiverTest, ActivityCounterWrapsAfterSixteen) {
  Driver& d = Started();
  std::vector<int> seen;
  for (int i = 0; i < 18; ++i) {
    Feed(Bytes("1011\x14"));
    seen.push_back(d.ReceiverActivity());
  }
  EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 0, 1}));
}

TEST_F(EngineReceiverTest, PartitionOverrideIsReadForEveryFrame) {
  Started("FirstNumber=4\n");
  Feed(Frame("0123", 'E', "130"));
  WriteIni("[main]\nComPort=COM1\n[Razdels]\n123_1=777\n124_1=-1\n[ComPorts]\nCOM1=" + pty_.Path() +
           "\n");
  Feed(Frame("0123", 'E', "130"));
  Feed(Frame("0124", 'E', "130"));  // -1 written in the file is no override
  ASSERT_EQ(v8_->queued.size(), 3u);
  EXPECT_EQ(ObjectOf(v8_->queued[0]), 40123);
  EXPECT_EQ(ObjectOf(v8_->queued[1]), 40777);
  EXPECT_EQ(ObjectOf(v8_->queued[2]), 40124);
}

TEST_F(EngineReceiverTest, PartitionAddedWithRazdel) {
  Started("Razdel=1\nFirstNumber=2\n");
  Feed(Frame("0123", 'E', "130", "03"));
  ASSERT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(ObjectOf(v8_->queued[0]), 20126);
}

// A frame cut in two by the packet time-out is one event, acknowledged once.
TEST_F(EngineReceiverTest, FrameCutByThePortIsStillDelivered) {
  Started();
  const auto frame = Frame("0321", 'R', "401");
  for (std::size_t cut : {1u, 7u, 11u, 20u}) {
    Feed(std::vector<std::uint8_t>(frame.begin(), frame.begin() + static_cast<long>(cut)));
    Feed(std::vector<std::uint8_t>(frame.begin() + static_cast<long>(cut), frame.end()));
    EXPECT_EQ(pty_.Drain(20), "\x06") << "cut at " << cut;
  }
  ASSERT_EQ(v8_->queued.size(), 4u);
  for (const auto& p : v8_->queued)
    EXPECT_EQ(ObjectOf(p), 40321);
}

// A piece without a terminator is joined only to the packet right after it, and only into one
// event frame: "901" followed later by a frame of another kind is no alarm.
TEST_F(EngineReceiverTest, StrayPieceIsNoAlarm) {
  Started();
  Feed(Bytes("901"));
  clock_.AdvanceMs(4000);
  Feed(Bytes("1" + std::string(19, ' ') + "\x14"));  // the receiver's frame of another kind
  EXPECT_EQ(pty_.Drain(20), "\x06");
  EXPECT_TRUE(v8_->queued.empty());
}

// The second piece of a cut frame that could not be logged goes no further; it still ends the
// first piece, which a later packet of the right length must not complete.
TEST_F(EngineReceiverTest, PieceBeforeAnUnloggedPacketIsDropped) {
  Started("Log=1\n");
  const auto frame = Frame("0321", 'R', "401");
  Feed(std::vector<std::uint8_t>(frame.begin(), frame.begin() + 9));
  std::filesystem::remove(dir_ + "/drvnt417.log");
  std::filesystem::create_directory(dir_ + "/drvnt417.log");  // the log path is a directory
  EXPECT_THROW(Feed(std::vector<std::uint8_t>(frame.begin() + 9, frame.end())), std::runtime_error);
  std::filesystem::remove(dir_ + "/drvnt417.log");
  Feed(Bytes("1011 ABCDEF\x14"));  // 12 bytes of another kind of frame
  EXPECT_EQ(pty_.Drain(20), "\x06");
  EXPECT_TRUE(v8_->queued.empty());
}

TEST_F(EngineReceiverTest, RawLogHoldsEveryPacketAsReceived) {
  Started("Log=1\n");
  Feed(Bytes("noise"));
  Feed(Frame("0123", 'E', "130"));
  const auto log = FileBytes(dir_ + "/drvnt417.log");
  auto expected = Bytes("noise");
  const auto frame = Frame("0123", 'E', "130");
  expected.insert(expected.end(), frame.begin(), frame.end());
  EXPECT_EQ(log, expected);
}

// Through the real port, its polling timer and the engine's guard: an unwritable raw log reaches
// the error report with the file's name, the packet is not acknowledged, the next one is.
TEST_F(EngineReceiverTest, UnwritableRawLogStopsThatPacketOnly) {
  Started("Log=1\n");
  std::filesystem::create_directory(dir_ + "/drvnt417.log");  // the log path is a directory
  const auto frame = Frame("0123", 'E', "130");
  pty_.Write(frame);
  // The serial port reads the fake clock's ticks: move them on while the loop runs.
  ASSERT_TRUE(RunUntil([&] {
    clock_.AdvanceMs(5);
    return !ui_.errors.empty();
  }));
  EXPECT_NE(ui_.errors[0].find("drvnt417.log"), std::string::npos) << ui_.errors[0];
  EXPECT_EQ(pty_.Drain(), "");
  EXPECT_TRUE(v8_->queued.empty());

  std::filesystem::remove(dir_ + "/drvnt417.log");
  pty_.Write(frame);
  ASSERT_TRUE(RunUntil([&] {
    clock_.AdvanceMs(5);
    return !v8_->queued.empty();
  }));
  EXPECT_EQ(pty_.Drain(), "\x06");
  EXPECT_EQ(ui_.errors.size(), 1u);
}

// Noise on the line just before a frame: the frame behind it is the event, handed over once and
// acknowledged once; one line names the noise; the raw log keeps every byte.
TEST_F(EngineReceiverTest, EventFrameBehindNoiseIsDeliveredOnce) {
  Driver& d = Started("Log=1\n");
  auto glued = Bytes("\xC3\x80\x01");
  const auto frame = Frame("0123", 'E', "130");
  glued.insert(glued.end(), frame.begin(), frame.end());
  ::testing::internal::CaptureStderr();
  pty_.Write(glued);
  ASSERT_TRUE(RunUntil([&] {
    clock_.AdvanceMs(5);
    return !v8_->queued.empty();
  }));
  EXPECT_EQ(pty_.Drain(), "\x06");
  // A frame cut by the packet time-out behind the noise.
  auto head = Bytes("ab");
  head.insert(head.end(), frame.begin(), frame.begin() + 9);
  Feed(head);
  Feed(std::vector<std::uint8_t>(frame.begin() + 9, frame.end()));
  EXPECT_EQ(pty_.Drain(20), "\x06");
  const std::string err = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(v8_->queued.size(), 2u);
  for (const auto& p : v8_->queued)
    EXPECT_EQ(ObjectOf(p), 40123);
  EXPECT_EQ(err,
            "receiver: 3 bytes of noise before an event frame dropped: C3 80 01\n"
            "receiver: 2 bytes of noise before an event frame dropped: 61 62\n");
  EXPECT_EQ(d.ReceiverActivity(), 2);
  auto logged = glued;
  logged.insert(logged.end(), {'a', 'b'});
  logged.insert(logged.end(), frame.begin(), frame.end());
  EXPECT_EQ(FileBytes(dir_ + "/drvnt417.log"), logged);
}

// The V8 hand-over: the queue while the link is up, a .dd8 file otherwise, and a record the queue
// refuses or never sent before the program stopped is spooled rather than lost.
// Every event record is in a .dd8 file before its acknowledgement, whether the link is down, its
// queue refuses it, or it is queued at once (with its file, which the worker deletes on the
// server's acknowledgement); nothing is left to spool at the stop.
TEST_F(EngineReceiverTest, EveryEventRecordIsInASpoolFileWhetherOrNotItGoesAtOnce) {
  Driver& d = Started("PathForSoob=spool/\n");
  std::filesystem::create_directory(dir_ + "/spool");
  // The spool prefix is relative to the current directory; run the engine's writes there.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_);
  v8_->connected = false;
  Feed(Frame("0123", 'E', "130"));
  v8_->connected = true;
  v8_->refuse = true;
  Feed(Frame("0124", 'E', "130"));
  v8_->refuse = false;
  Feed(Frame("0125", 'E', "130"));
  d.Shutdown();
  std::filesystem::current_path(cwd);

  const auto files = Files(".dd8");
  ASSERT_EQ(files.size(), 3u);
  ASSERT_EQ(v8_->queued.size(), 1u);
  EXPECT_EQ(v8_->queued[0].spoolFile,
            "spool/" + std::filesystem::path(v8_->queued[0].spoolFile).filename().string());
  std::set<std::int32_t> objects;
  for (const auto& f : files) {
    const auto bytes = FileBytes(f);
    ASSERT_EQ(bytes.size(), 26u) << f;
    EXPECT_EQ((std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 4)),
              (std::vector<std::uint8_t>{0x32, 0x00, 0x00, 0x03}));
    EXPECT_EQ(f.find(dir_ + "/spool/"), 0u) << f;
    objects.insert(bytes[5] | (bytes[6] << 8));
  }
  EXPECT_EQ(objects, (std::set<std::int32_t>{40123, 40124, 40125}));
}

TEST_F(EngineReceiverTest, NotSendToDiskV8DropsWhatCannotGoAtOnce) {
  Started("NotSendToDiskV8=1\nPathForSoob=" + dir_ + "/\n");
  v8_->connected = false;
  Feed(Frame("0123", 'E', "130"));
  EXPECT_EQ(pty_.Drain(), "\x06");
  EXPECT_TRUE(Files(".dd8").empty());
  EXPECT_TRUE(v8_->queued.empty());
}

}  // namespace
}  // namespace drvnt::testing
