// The serial port driver over a scripted device and a hand-driven clock: packets, sending, opening
// and the properties that shape them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>

#include "receiver/comm_port_driver.h"
#include "support/fake_clock.h"

namespace drvnt {
namespace {

using testing::FakeClock;

// What the scripted device holds and what it was told; the test keeps it, the driver owns the
// device.
struct FakeLine {
  bool openFails = false;
  bool applyFails = false;
  bool purgeFails = false;
  bool queueSizesFail = false;
  bool statusFails = false;
  bool readFails = false;
  bool writeFails = false;

  bool open = false;
  int opens = 0;
  std::string openedPath;
  std::vector<SerialLineSettings> applied;
  int purges = 0;
  std::pair<std::uint32_t, std::uint32_t> queueSizes;
  SerialTimeouts timeouts;

  Bytes input;                                                     // waiting to be read
  std::uint32_t outputQueued = 0;                                  // never drains by itself
  std::size_t maxWrite = std::numeric_limits<std::size_t>::max();  // taken per write
  Bytes written;
  std::uint32_t lastWriteTicks = 0;
  std::optional<ModemLines> modem = ModemLines{};
  std::vector<bool> dtr;

  FakeClock* clock = nullptr;  // moved on by every status query, so send loops always end
  std::uint32_t msPerQuery = 0;
  int statusQueries = 0;
};

class FakeSerialDevice final : public SerialDevice {
 public:
  explicit FakeSerialDevice(FakeLine& line) : l_(line) {}

  bool Open(const std::string& path) override {
    ++l_.opens;
    l_.openedPath = path;
    l_.open = !l_.openFails;
    return l_.open;
  }
  bool IsOpen() const override { return l_.open; }
  void Close() override { l_.open = false; }
  bool ApplyLineSettings(const SerialLineSettings& s) override {
    l_.applied.push_back(s);
    return !l_.applyFails;
  }
  bool SetTimeouts(const SerialTimeouts& t) override {
    l_.timeouts = t;
    return true;
  }
  bool Purge() override {
    ++l_.purges;
    l_.input.clear();
    return !l_.purgeFails;
  }
  bool SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
    l_.queueSizes = {in, out};
    return !l_.queueSizesFail;
  }
  std::optional<SerialQueueCounts> QueryStatus() override {
    ++l_.statusQueries;
    if (l_.clock != nullptr)
      l_.clock->AdvanceMs(l_.msPerQuery);
    if (l_.statusFails)
      return std::nullopt;
    return SerialQueueCounts{static_cast<std::uint32_t>(l_.input.size()), l_.outputQueued};
  }
  // Fills exactly what it hands over, so a read past the driver's buffer shows under ASan.
  std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t size) override {
    if (l_.readFails)
      return std::nullopt;
    const std::size_t n = std::min(size, l_.input.size());
    std::memcpy(buffer, l_.input.data(), n);
    l_.input.erase(l_.input.begin(), l_.input.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
  }
  std::optional<std::size_t> Write(const std::uint8_t* data, std::size_t size) override {
    if (l_.writeFails)
      return std::nullopt;
    const std::size_t n = std::min(size, l_.maxWrite);
    l_.written.insert(l_.written.end(), data, data + n);
    l_.outputQueued += static_cast<std::uint32_t>(n);
    if (l_.clock != nullptr)
      l_.lastWriteTicks = l_.clock->Ticks();
    return n;
  }
  bool SetDtr(bool on) override {
    l_.dtr.push_back(on);
    return true;
  }
  std::optional<ModemLines> GetModemLines() override { return l_.modem; }
  SerialError LastError() const override { return {}; }

 private:
  FakeLine& l_;
};

class FakeTimer final : public Timer {
 public:
  explicit FakeTimer(std::vector<std::uint32_t>& starts) : starts_(starts) {}
  void Start(std::uint32_t periodMs) override {
    starts_.push_back(periodMs);
    active_ = true;
  }
  void Stop() override { active_ = false; }
  bool IsActive() const override { return active_; }

 private:
  std::vector<std::uint32_t>& starts_;
  bool active_ = false;
};

// Only the polling timer is used; the tests call PollPort themselves.
class FakeLoop final : public EventLoop {
 public:
  std::unique_ptr<Timer> CreateTimer(std::function<void()>) override {
    auto timer = std::make_unique<FakeTimer>(timerStarts);
    timer_ = timer.get();
    return timer;
  }
  std::unique_ptr<SocketWatch> WatchSocket(int, std::function<void()>,
                                           std::function<void()>) override {
    return nullptr;
  }
  void RunAndWait(std::function<void()> fn) override { fn(); }
  void WaitForEvents() override {}
  void WakeUp() override {}
  void Quit() override {}

  bool TimerActive() const { return timer_ != nullptr && timer_->IsActive(); }
  std::vector<std::uint32_t> timerStarts;

 private:
  FakeTimer* timer_ = nullptr;
};

Bytes Sequence(std::size_t from, std::size_t count) {
  Bytes b(count);
  for (std::size_t i = 0; i < count; ++i)
    b[i] = static_cast<std::uint8_t>((from + i) % 251);
  return b;
}

class CommPortTest : public ::testing::Test {
 protected:
  CommPortTest() {
    ApplySystemValues(port_);
    port_.SetOnReceivePacket([this](TCommPortDriver&, const std::uint8_t* p, std::uint32_t n) {
      packets_.emplace_back(p, p + n);
    });
  }

  void OpenAt(std::uint32_t ticks) {
    clock_.SetTicks(ticks);
    ASSERT_TRUE(port_.OpenPort());
  }
  // Bytes that reach the device's input queue; numbered on from the previous arrivals.
  void Arrive(std::size_t count) {
    const Bytes b = Sequence(arrived_, count);
    line_.input.insert(line_.input.end(), b.begin(), b.end());
    arrived_ += count;
  }
  void PollAfter(std::uint32_t ms) {
    clock_.AdvanceMs(ms);
    port_.PollPort();
  }
  std::vector<std::size_t> PacketSizes() const {
    std::vector<std::size_t> sizes;
    for (const Bytes& p : packets_)
      sizes.push_back(p.size());
    return sizes;
  }
  // Everything delivered so far, joined.
  Bytes Delivered() const {
    Bytes all;
    for (const Bytes& p : packets_)
      all.insert(all.end(), p.begin(), p.end());
    return all;
  }

  FakeClock clock_{46000.5, 5'000'000};
  FakeLine line_;
  FakeLoop loop_;
  TCommPortDriver port_{loop_, clock_, std::make_unique<FakeSerialDevice>(line_), {}};
  std::vector<Bytes> packets_;
  std::size_t arrived_ = 0;
};

// --- Packets ---

class BurstTest : public CommPortTest, public ::testing::WithParamInterface<std::uint32_t> {};

TEST_P(BurstTest, BurstIsOnePacketOnlyOnceMoreThanTheTimeoutHasPassed) {
  OpenAt(GetParam());
  Arrive(21);
  port_.PollPort();
  PollAfter(80);
  EXPECT_TRUE(packets_.empty()) << "delivered at exactly 80 ms";
  PollAfter(1);
  ASSERT_EQ(PacketSizes(), std::vector<std::size_t>{21});
  EXPECT_EQ(packets_[0], Sequence(0, 21));
  PollAfter(20);
  EXPECT_EQ(packets_.size(), 1u);
}

// An ordinary tick, and first ticks from which the 80 ms run across the 32-bit wrap.
INSTANTIATE_TEST_SUITE_P(StartTicks, BurstTest,
                         ::testing::Values(5'000'000u, 0xFFFFFFD0u, 0xFFFFFFB0u, 0xFFFFFFFEu));

// --- Delivery at the end of a frame ---

class FrameEndTest : public CommPortTest {
 protected:
  FrameEndTest() { port_.SetDeliverAtFrameEnd(true); }

  void ArriveBytes(const Bytes& b) { line_.input.insert(line_.input.end(), b.begin(), b.end()); }
  static Bytes Frame(std::uint8_t fill, std::size_t size = 21) {
    Bytes frame(size, fill);
    frame.back() = 0x14;
    return frame;
  }
  static Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }
};

TEST_F(FrameEndTest, IsOffUnlessSet) {
  TCommPortDriver fresh(loop_, clock_, std::make_unique<FakeSerialDevice>(line_), {});
  EXPECT_FALSE(fresh.DeliverAtFrameEnd());
}

TEST_F(FrameEndTest, FrameIsDeliveredAtTheTickThatSeesItsTerminator) {
  OpenAt(0xFFFFFFF0u);
  ArriveBytes(Frame('9'));
  port_.PollPort();
  EXPECT_EQ(packets_, std::vector<Bytes>{Frame('9')});
  PollAfter(200);
  EXPECT_EQ(packets_.size(), 1u);
}

TEST_F(FrameEndTest, TwoFramesThatArriveTogetherAreOnePacket) {
  OpenAt(5'000'000);
  ArriveBytes(Join(Frame('1'), Frame('2')));
  port_.PollPort();
  EXPECT_EQ(packets_, std::vector<Bytes>{Join(Frame('1'), Frame('2'))});
}

TEST_F(FrameEndTest, BytesWithoutTheTerminatorWaitForTheTimeout) {
  OpenAt(5'000'000);
  ArriveBytes(Bytes(10, '9'));
  port_.PollPort();
  PollAfter(40);
  ArriveBytes(Bytes(5, '8'));
  PollAfter(40);
  EXPECT_TRUE(packets_.empty()) << "delivered at exactly 80 ms";
  PollAfter(1);
  EXPECT_EQ(packets_, std::vector<Bytes>{Join(Bytes(10, '9'), Bytes(5, '8'))});
}

TEST_F(FrameEndTest, FrameCutBeforeItsEndGoesWholeWhenTheTerminatorArrives) {
  OpenAt(5'000'000);
  const Bytes frame = Frame('7');
  ArriveBytes(Bytes(frame.begin(), frame.begin() + 12));
  port_.PollPort();
  PollAfter(30);
  ArriveBytes(Bytes(frame.begin() + 12, frame.end()));
  PollAfter(30);
  EXPECT_EQ(packets_, std::vector<Bytes>{frame});
}

TEST_F(FrameEndTest, FullPacketsStillGoAsPacketSizeBytesAndTheRestAtItsTerminator) {
  OpenAt(5'000'000);
  const Bytes burst = Join(Sequence(0, 280), Frame('5'));
  ArriveBytes(burst);
  port_.PollPort();
  ASSERT_EQ(PacketSizes(), std::vector<std::size_t>{256});
  port_.PollPort();
  EXPECT_EQ(PacketSizes(), (std::vector<std::size_t>{256, 45}));
  EXPECT_EQ(Delivered(), burst);
}

TEST_F(FrameEndTest, DiscardModeStillDropsIncompletePacketsOnly) {
  port_.SetPacketMode(TPacketMode::pmDiscard);
  OpenAt(5'000'000);
  ArriveBytes(Bytes(10, '9'));
  port_.PollPort();
  PollAfter(81);
  EXPECT_TRUE(packets_.empty());
  ArriveBytes(Frame('3'));
  PollAfter(1);
  EXPECT_EQ(packets_, std::vector<Bytes>{Frame('3')});
}

TEST_F(FrameEndTest, HeldBytesAreDroppedByAPurgeAndByClosing) {
  OpenAt(5'000'000);
  ArriveBytes(Bytes(10, '9'));
  port_.PollPort();
  port_.SetBaudRateValue(9600);  // applied at once, with a purge
  ArriveBytes(Frame('4'));
  port_.PollPort();
  EXPECT_EQ(packets_, std::vector<Bytes>{Frame('4')});
  ArriveBytes(Bytes(10, '9'));
  port_.PollPort();
  port_.ClosePort();
  ASSERT_TRUE(port_.OpenPort());
  ArriveBytes(Frame('6'));
  port_.PollPort();
  EXPECT_EQ(packets_, (std::vector<Bytes>{Frame('4'), Frame('6')}));
}

TEST_F(CommPortTest, BytesTricklingInAfterTheFirstTickGoWithThePacketWithoutPostponingIt) {
  OpenAt(5'000'000);
  Arrive(5);
  port_.PollPort();
  Arrive(8);
  PollAfter(30);
  Arrive(8);
  PollAfter(30);
  PollAfter(20);
  EXPECT_TRUE(packets_.empty());
  PollAfter(1);
  EXPECT_EQ(packets_, std::vector<Bytes>{Sequence(0, 21)});
}

struct FullPacketCase {
  const char* name;
  std::size_t seenBefore;  // bytes already seen at an earlier tick
  std::size_t burst;
  std::vector<std::size_t> firstTick;
  std::vector<std::size_t> nextTick;
  friend void PrintTo(const FullPacketCase& c, std::ostream* os) { *os << c.name; }
};

class FullPacketTest : public CommPortTest, public ::testing::WithParamInterface<FullPacketCase> {};

// The rest after full packets counts as old at once, the start time having moved on by their
// transmit time (from none, or from a tick that is then ahead of the clock).
TEST_P(FullPacketTest, FullPacketsGoAtTheTickThatSeesThemTheRestAtTheNextTick) {
  const FullPacketCase& c = GetParam();
  OpenAt(5'000'000);
  if (c.seenBefore > 0) {
    Arrive(c.seenBefore);
    PollAfter(20);
  }
  Arrive(c.burst);
  PollAfter(20);
  EXPECT_EQ(PacketSizes(), c.firstTick);
  packets_.clear();
  PollAfter(20);
  EXPECT_EQ(PacketSizes(), c.nextTick);
  EXPECT_TRUE(line_.input.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, FullPacketTest,
    ::testing::Values(FullPacketCase{"BurstOf600", 0, 600, {256, 256}, {88}},
                      FullPacketCase{"SeenBeforeThenFull", 10, 290, {256}, {44}},
                      FullPacketCase{"ExactlyTwoFull", 0, 512, {256, 256}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommPortTest, FullPacketsKeepTheByteOrder) {
  OpenAt(5'000'000);
  Arrive(600);
  port_.PollPort();
  PollAfter(20);
  EXPECT_EQ(Delivered(), Sequence(0, 600));
}

TEST_F(CommPortTest, NothingLeftAfterFullPacketsMeansTheNextBytesWaitTheirFullTimeout) {
  OpenAt(5'000'000);
  Arrive(512);
  port_.PollPort();
  packets_.clear();
  Arrive(10);
  PollAfter(20);
  PollAfter(80);
  EXPECT_TRUE(packets_.empty());
  PollAfter(1);
  EXPECT_EQ(PacketSizes(), std::vector<std::size_t>{10});
}

struct TransmitTimeCase {
  std::uint32_t bitsPerSecond;
  std::uint32_t ms;  // of 256 bytes at 10 bit times each, rounded to the nearest
  friend void PrintTo(const TransmitTimeCase& c, std::ostream* os) {
    *os << c.bitsPerSecond << " bit/s";
  }
};

class TransmitTimeTest : public CommPortTest,
                         public ::testing::WithParamInterface<TransmitTimeCase> {};

// A full packet moves the start time of bytes seen before it on by its transmit time: what is left
// over is old once that time plus the timeout has passed since the first tick.
TEST_P(TransmitTimeTest, FullPacketMovesTheStartTimeOnByItsTransmitTime) {
  port_.SetBaudRateValue(GetParam().bitsPerSecond);
  OpenAt(5'000'000);
  Arrive(4);
  port_.PollPort();
  Arrive(256);
  port_.PollPort();
  ASSERT_EQ(PacketSizes(), std::vector<std::size_t>{256});
  PollAfter(GetParam().ms + 80);
  EXPECT_EQ(packets_.size(), 1u);
  PollAfter(1);
  EXPECT_EQ(PacketSizes(), (std::vector<std::size_t>{256, 4}));
}

INSTANTIATE_TEST_SUITE_P(Speeds, TransmitTimeTest,
                         ::testing::Values(TransmitTimeCase{2400, 1067},
                                           TransmitTimeCase{1200, 2133},
                                           TransmitTimeCase{9600, 267}));

TEST_F(CommPortTest, DiscardModeConsumesIncompletePacketsButPassesFullOnes) {
  port_.SetPacketMode(TPacketMode::pmDiscard);
  OpenAt(5'000'000);
  Arrive(21);
  port_.PollPort();
  PollAfter(81);
  EXPECT_TRUE(packets_.empty());
  EXPECT_TRUE(line_.input.empty());
  PollAfter(1000);
  Arrive(256);
  PollAfter(20);
  EXPECT_EQ(PacketSizes(), std::vector<std::size_t>{256});
}

TEST_F(CommPortTest, FailedReadDeliversNothingAndTheNextBytesStartAFreshTimeout) {
  OpenAt(5'000'000);
  Arrive(10);
  port_.PollPort();
  line_.readFails = true;
  PollAfter(81);
  line_.readFails = false;
  EXPECT_TRUE(packets_.empty());
  PollAfter(20);  // the bytes are still queued: a new start time, not the old one
  EXPECT_TRUE(packets_.empty());
  PollAfter(81);
  EXPECT_EQ(PacketSizes(), std::vector<std::size_t>{10});
}

TEST_F(CommPortTest, FailedStatusQueryEndsTheTickWithoutTouchingTheDevice) {
  OpenAt(5'000'000);
  Arrive(10);
  port_.PollPort();
  line_.statusFails = true;
  PollAfter(81);
  EXPECT_EQ(line_.input.size(), 10u);
  line_.statusFails = false;
  PollAfter(20);
  EXPECT_EQ(PacketSizes(), std::vector<std::size_t>{10});
}

TEST_F(CommPortTest, WithoutPacketTimeoutAnIncompletePacketWaits) {
  port_.SetPacketTimeout(-5);
  OpenAt(5'000'000);
  Arrive(21);
  port_.PollPort();
  PollAfter(60'000);
  EXPECT_TRUE(packets_.empty());
  Arrive(235);
  PollAfter(20);
  EXPECT_EQ(PacketSizes(), std::vector<std::size_t>{256});
}

// The kernel's queue may hold more than the input buffer: a packet never exceeds the buffer, and
// the rest waits for the next one.
TEST_F(CommPortTest, WithoutPacketSizeAPacketIsAtMostTheInputBuffer) {
  port_.SetPacketSize(0);
  OpenAt(5'000'000);
  Arrive(5000);
  port_.PollPort();
  PollAfter(81);
  ASSERT_EQ(PacketSizes(), std::vector<std::size_t>{2048});
  EXPECT_EQ(packets_[0], Sequence(0, 2048));
  EXPECT_EQ(line_.input.size(), 5000u - 2048u);
}

TEST_F(CommPortTest, HandlerMaySendOnTheSamePortAndCloseIt) {
  port_.SetOnReceivePacket([](TCommPortDriver& sender, const std::uint8_t*, std::uint32_t) {
    const std::uint8_t ack = 0x06;
    EXPECT_EQ(sender.SendBytes(&ack, 1), 1u);
    sender.ClosePort();
  });
  OpenAt(5'000'000);
  Arrive(600);
  port_.PollPort();
  EXPECT_EQ(line_.written, Bytes{0x06});
  EXPECT_FALSE(port_.IsPortOpen());
  EXPECT_EQ(line_.input.size(), 600u - 256u) << "read on after the handler closed the port";
}

// --- Sizes ---

TEST(CommPortSizesTest, SizesAreKeptInRangeAndTheInputNeverBelowThePacket) {
  FakeClock clock;
  FakeLine line;
  FakeLoop loop;
  TCommPortDriver port(loop, clock, std::make_unique<FakeSerialDevice>(line), {});
  port.SetInBufSize(100);
  EXPECT_EQ(port.InBufSize(), 128u);
  port.SetInBufSize(9000);
  EXPECT_EQ(port.InBufSize(), 8192u);
  port.SetOutBufSize(1);
  EXPECT_EQ(port.OutBufSize(), 128u);
  port.SetOutBufSize(100000);
  EXPECT_EQ(port.OutBufSize(), 8192u);
  port.SetPacketSize(256);
  port.SetInBufSize(200);
  EXPECT_EQ(port.InBufSize(), 256u);
  port.SetPacketSize(3000);
  EXPECT_EQ(port.InBufSize(), 3000u);
  port.SetPacketSize(10000);  // beyond the largest input buffer
  EXPECT_EQ(port.PacketSize(), 8192);
  EXPECT_EQ(port.InBufSize(), 8192u);
  port.SetPacketSize(-1);
  EXPECT_EQ(port.PacketSize(), 0);
  port.SetPacketTimeout(0);
  EXPECT_EQ(port.PacketTimeout(), 0);
  port.SetPollingDelay(2);
  EXPECT_EQ(port.PollingDelay(), 5);
}

TEST_F(CommPortTest, RaisingThePacketSizeGrowsTheBufferThatPacketsAreReadInto) {
  port_.SetPacketSize(3000);
  OpenAt(5'000'000);
  Arrive(3000);
  port_.PollPort();
  ASSERT_EQ(PacketSizes(), std::vector<std::size_t>{3000});
  EXPECT_EQ(packets_[0], Sequence(0, 3000));
}

TEST_F(CommPortTest, WhileOpenTheBuffersStayAndAPacketCannotOutgrowThem) {
  OpenAt(5'000'000);
  port_.SetInBufSize(4096);
  port_.SetOutBufSize(4096);
  port_.SetPacketSize(4000);
  EXPECT_EQ(port_.InBufSize(), 2048u);
  EXPECT_EQ(port_.OutBufSize(), 2048u);
  EXPECT_EQ(port_.PacketSize(), 2048);
  Arrive(4096);
  port_.PollPort();
  EXPECT_EQ(PacketSizes(), (std::vector<std::size_t>{2048, 2048}));
}

// --- Opening and closing ---

TEST_F(CommPortTest, OpenSetsUpTheDeviceWithTheSystemValues) {
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_TRUE(port_.IsPortOpen());
  EXPECT_EQ(line_.openedPath, "/dev/ttyS0");  // "\\.\COM1", the default name
  SerialLineSettings expected;
  expected.baudRate = 2400;
  expected.dataBits = 8;
  expected.parity = SerialParity::kNone;
  expected.stopBits = SerialStopBits::kOne;
  expected.rts = SerialRtsMode::kOff;
  expected.dtrOn = true;
  expected.xonXoff = false;
  expected.xonLimit = 512;
  expected.xoffLimit = 512;
  ASSERT_EQ(line_.applied.size(), 1u);
  EXPECT_EQ(line_.applied[0], expected);
  EXPECT_EQ(line_.purges, 1);
  EXPECT_EQ(line_.queueSizes, std::make_pair(2048u, 2048u));
  EXPECT_EQ(line_.timeouts, (SerialTimeouts{1, 0, 1, 0, 10}));
  EXPECT_EQ(loop_.timerStarts, std::vector<std::uint32_t>{20});
  EXPECT_TRUE(loop_.TimerActive());
}

struct OpenFailureCase {
  const char* name;
  bool FakeLine::*failure;
  friend void PrintTo(const OpenFailureCase& c, std::ostream* os) { *os << c.name; }
};

class OpenFailureTest : public CommPortTest,
                        public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(OpenFailureTest, FailedOpenLeavesThePortAndTheDeviceClosed) {
  line_.*GetParam().failure = true;
  EXPECT_FALSE(port_.OpenPort());
  EXPECT_FALSE(port_.IsPortOpen());
  EXPECT_FALSE(line_.open);
  EXPECT_FALSE(loop_.TimerActive());
  EXPECT_EQ(port_.SendBytes(Bytes{1}.data(), 1), 0u);
  line_.*GetParam().failure = false;
  EXPECT_TRUE(port_.OpenPort());
}

INSTANTIATE_TEST_SUITE_P(Steps, OpenFailureTest,
                         ::testing::Values(OpenFailureCase{"Open", &FakeLine::openFails},
                                           OpenFailureCase{"LineSettings", &FakeLine::applyFails},
                                           OpenFailureCase{"Purge", &FakeLine::purgeFails},
                                           OpenFailureCase{"QueueSizes",
                                                           &FakeLine::queueSizesFail}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CommPortTest, OpenOnAnOpenPortAndCloseOnAClosedOneChangeNothing) {
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_TRUE(port_.OpenPort());
  EXPECT_EQ(line_.opens, 1);
  EXPECT_EQ(line_.applied.size(), 1u);
  port_.ClosePort();
  EXPECT_FALSE(port_.IsPortOpen());
  EXPECT_FALSE(line_.open);
  EXPECT_FALSE(loop_.TimerActive());
  port_.ClosePort();
  const int queries = line_.statusQueries;
  port_.PollPort();
  EXPECT_EQ(line_.statusQueries, queries) << "polled a closed port";
}

TEST_F(CommPortTest, PortNameSetWhileOpenIsIgnoredAndTheNextOpenUsesTheNameSetWhileClosed) {
  port_.SetPortName("\\\\.\\COM3");
  ASSERT_TRUE(port_.OpenPort());
  port_.SetPortName("\\\\.\\COM5");
  EXPECT_EQ(port_.PortName(), "\\\\.\\COM3");
  port_.ClosePort();
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(line_.openedPath, "/dev/ttyS2");
  port_.ClosePort();
  port_.SetPortName("\\\\.\\COM7");
  port_.SetComPortsLookup([](std::string_view name) -> std::optional<std::string> {
    if (name == "COM7")
      return "/dev/ttyUSB1";
    return std::nullopt;
  });
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(line_.openedPath, "/dev/ttyUSB1");
}

TEST_F(CommPortTest, LineSettingChangedWhileOpenIsAppliedAtOnceWithAPurge) {
  port_.SetBaudRateValue(4800);  // closed: nothing reaches the device
  EXPECT_TRUE(line_.applied.empty());
  port_.SetBaudRateValue(2400);
  OpenAt(5'000'000);
  Arrive(10);
  port_.PollPort();
  port_.SetParity(TParity::ptEVEN);
  ASSERT_EQ(line_.applied.size(), 2u);
  EXPECT_EQ(line_.applied[1].parity, SerialParity::kEven);
  EXPECT_EQ(line_.purges, 2);
  Arrive(5);  // the purge dropped the earlier bytes and their start time
  PollAfter(20);
  PollAfter(80);
  EXPECT_TRUE(packets_.empty());
  PollAfter(1);
  EXPECT_EQ(PacketSizes(), std::vector<std::size_t>{5});
}

TEST_F(CommPortTest, PollingDelayChangedWhileOpenRestartsTheTimer) {
  port_.SetPollingDelay(30);
  EXPECT_TRUE(loop_.timerStarts.empty());
  ASSERT_TRUE(port_.OpenPort());
  port_.SetPollingDelay(50);
  EXPECT_EQ(loop_.timerStarts, (std::vector<std::uint32_t>{30, 50}));
}

TEST_F(CommPortTest, DtrReachesTheDeviceOnlyWhileOpen) {
  port_.SetDtr(false);
  EXPECT_TRUE(line_.dtr.empty());
  ASSERT_TRUE(port_.OpenPort());
  port_.SetDtr(false);
  port_.SetDtr(true);
  EXPECT_EQ(line_.dtr, (std::vector<bool>{false, true}));
}

// --- Sending ---

class SendTest : public CommPortTest {
 protected:
  SendTest() {
    line_.clock = &clock_;
    line_.msPerQuery = 10;
  }
  // Sends `count` bytes; the milliseconds that went by come back in `elapsed`.
  std::uint32_t Send(std::uint32_t count, std::uint32_t* elapsed = nullptr) {
    const Bytes data = Sequence(0, count);
    const std::uint32_t before = clock_.Ticks();
    const std::uint32_t n = port_.SendBytes(data.data(), count);
    if (elapsed != nullptr)
      *elapsed = clock_.Ticks() - before;
    return n;
  }
};

TEST_F(SendTest, ClosedPortSendsNothing) {
  EXPECT_EQ(Send(3), 0u);
  EXPECT_TRUE(line_.written.empty());
}

TEST_F(SendTest, EverythingGoesOutWhenThereIsRoom) {
  ASSERT_TRUE(port_.OpenPort());
  EXPECT_EQ(Send(300), 300u);
  EXPECT_EQ(line_.written, Sequence(0, 300));
}

struct StallCase {
  const char* name;
  std::uint32_t outputQueued;
  bool writeFails;
  std::uint32_t written;
  friend void PrintTo(const StallCase& c, std::ostream* os) { *os << c.name; }
};

class StallTest : public SendTest, public ::testing::WithParamInterface<StallCase> {};

// Without progress a send gives up once more than OutputTimeout (80 ms) has passed.
TEST_P(StallTest, SendStopsAfterTheOutputTimeoutWithoutProgress) {
  ASSERT_TRUE(port_.OpenPort());
  line_.outputQueued = GetParam().outputQueued;
  line_.writeFails = GetParam().writeFails;
  std::uint32_t elapsed = 0;
  EXPECT_EQ(Send(20, &elapsed), GetParam().written);
  EXPECT_EQ(line_.written, Sequence(0, GetParam().written));
  EXPECT_GT(elapsed, 80u);
  EXPECT_LT(elapsed, 200u);
}

INSTANTIATE_TEST_SUITE_P(Stalls, StallTest,
                         ::testing::Values(StallCase{"QueueFillsUp", 2040, false, 8},
                                           StallCase{"QueueAlreadyFull", 2048, false, 0},
                                           StallCase{"QueueBeyondItsSize", 3000, false, 0},
                                           StallCase{"WritesFail", 0, true, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// Slow progress is no stall: the 80 ms count from the last byte that went out.
TEST_F(SendTest, EachWrittenByteRestartsTheOutputTimeout) {
  ASSERT_TRUE(port_.OpenPort());
  line_.outputQueued = 2043;  // room for 5 more
  line_.maxWrite = 1;
  line_.msPerQuery = 30;
  EXPECT_EQ(Send(10), 5u);
  EXPECT_GT(clock_.Ticks() - line_.lastWriteTicks, 80u);
}

struct LineStatusCase {
  const char* name;
  std::optional<ModemLines> lines;
  std::uint32_t written;
  friend void PrintTo(const LineStatusCase& c, std::ostream* os) { *os << c.name; }
};

class LineStatusTest : public SendTest, public ::testing::WithParamInterface<LineStatusCase> {};

TEST_P(LineStatusTest, CheckedLineStatusStopsASendWhenAllModemLinesAreOff) {
  port_.SetCheckLineStatus(true);
  ASSERT_TRUE(port_.OpenPort());
  line_.modem = GetParam().lines;
  EXPECT_EQ(Send(5), GetParam().written);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineStatusTest,
    ::testing::Values(LineStatusCase{"AllOff", ModemLines{}, 0},
                      LineStatusCase{"QueryFails", std::nullopt, 0},
                      LineStatusCase{"Cts", ModemLines{true, false, false, false}, 5},
                      LineStatusCase{"Dsr", ModemLines{false, true, false, false}, 5},
                      LineStatusCase{"Ring", ModemLines{false, false, true, false}, 5},
                      LineStatusCase{"Rlsd", ModemLines{false, false, false, true}, 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendTest, UncheckedLineStatusSendsWithAllModemLinesOff) {
  ASSERT_TRUE(port_.OpenPort());
  line_.modem = ModemLines{};
  EXPECT_EQ(Send(5), 5u);
}

}  // namespace
}  // namespace drvnt
