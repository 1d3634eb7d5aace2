// The serial port driver on the real POSIX device and the Qt event loop, over a pseudo-terminal
// whose master side plays the alarm receiver.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/qt/qt_event_loop.h"
#include "receiver/comm_port_driver.h"
#include "support/fake_clock.h"
#include "support/pty.h"
#include "support/run_until.h"
#include "support/temp_dir.h"

namespace drvnt {
namespace {

constexpr const char* kPortName = "\\\\.\\COM9";

// A receiver frame as the receiver sends it: 21 bytes ending in 0x14.
Bytes ReceiverFrame() {
  const std::string text = "9 1234 18 1131 01 015";
  Bytes frame(text.begin(), text.end());
  frame.back() = 0x14;
  return frame;
}

class PtyPortTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.Ok()); }

  // A port whose name the [ComPorts] section maps to `path` (the pty's slave by default).
  std::unique_ptr<TCommPortDriver> MakePort(std::string path = {}, Clock& clock = SystemClock(),
                                            EventLoop* loop = nullptr) {
    if (path.empty())
      path = pty_.SlavePath();
    auto port = std::make_unique<TCommPortDriver>(
        loop ? *loop : loop_, clock, CreateSystemSerialDevice(),
        [path](std::string_view name) -> std::optional<std::string> {
          if (name == "COM9")
            return path;
          return std::nullopt;
        });
    ApplySystemValues(*port);
    port->SetPortName(kPortName);
    return port;
  }

  int ExclusiveFlag() const {
    int excl = -1;
    EXPECT_EQ(::ioctl(pty_.Slave(), TIOCGEXCL, &excl), 0);
    return excl;
  }

  testing::Pty pty_;
  QtEventLoop loop_;
};

// Root passes TIOCEXCL, so this holds only through the lock on the device.
TEST_F(PtyPortTest, SecondPortCannotOpenAHeldDeviceUntilTheFirstCloses) {
  auto first = MakePort();
  auto second = MakePort();
  ASSERT_TRUE(first->OpenPort()) << first->LastDeviceError().text;
  EXPECT_FALSE(second->OpenPort());
  EXPECT_FALSE(second->IsPortOpen());
  EXPECT_EQ(second->LastDeviceError().code, SerialErrorCode::kBusy);
  first->ClosePort();
  EXPECT_TRUE(second->OpenPort()) << second->LastDeviceError().text;
}

TEST_F(PtyPortTest, ExclusiveFlagIsSetWhileOpenAndClearedOnClose) {
  auto port = MakePort();
  ASSERT_TRUE(port->OpenPort());
  EXPECT_EQ(ExclusiveFlag(), 1);
  port->ClosePort();
  EXPECT_EQ(ExclusiveFlag(), 0);
}

TEST_F(PtyPortTest, OpenMakesTheLineRaw2400With8N1AndNoFlowControl) {
  termios cooked{};
  ASSERT_EQ(::tcgetattr(pty_.Slave(), &cooked), 0);
  cooked.c_iflag |= IXON | IXOFF | ICRNL;
  cooked.c_oflag |= OPOST | ONLCR;
  cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  cooked.c_cflag |= CSTOPB | CRTSCTS;
  cfsetispeed(&cooked, B9600);
  cfsetospeed(&cooked, B9600);
  ASSERT_EQ(::tcsetattr(pty_.Slave(), TCSANOW, &cooked), 0);

  auto port = MakePort();
  ASSERT_TRUE(port->OpenPort()) << port->LastDeviceError().text;
  termios t{};
  ASSERT_EQ(::tcgetattr(pty_.Slave(), &t), 0);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B2400));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B2400));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP | INPCK), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

TEST_F(PtyPortTest, FrameArrivesAsOnePacketThroughThePollingTimerAndIsAcknowledged) {
  auto port = MakePort();
  std::vector<Bytes> packets;
  port->SetOnReceivePacket([&](TCommPortDriver& sender, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(p, p + n);
    const std::uint8_t ack = 0x06;
    sender.SendBytes(&ack, 1);
  });
  ASSERT_TRUE(port->OpenPort()) << port->LastDeviceError().text;
  const Bytes frame = ReceiverFrame();
  ASSERT_TRUE(pty_.WriteToMaster(frame));

  ASSERT_TRUE(testing::RunUntil([&] { return !packets.empty(); }, 5000));
  testing::RunFor(300);  // a second packet would have come by now
  EXPECT_EQ(packets, std::vector<Bytes>{frame});
  EXPECT_EQ(pty_.ReadFromMaster(2000), Bytes{0x06});
}

// The port's clock stands still until the test moves it, so only the terminator can deliver a
// packet before the 80 ms have been made to pass.
class StillClockPortTest : public PtyPortTest {
 protected:
  void Open(bool atFrameEnd) {
    port_ = MakePort({}, clock_);
    port_->SetDeliverAtFrameEnd(atFrameEnd);
    port_->SetOnReceivePacket([this](TCommPortDriver& p, const std::uint8_t* b, std::uint32_t n) {
      packets_.emplace_back(b, b + n);
      const std::uint8_t ack = 0x06;
      p.SendBytes(&ack, 1);
    });
    ASSERT_TRUE(port_->OpenPort()) << port_->LastDeviceError().text;
  }

  testing::FakeClock clock_;
  std::unique_ptr<TCommPortDriver> port_;
  std::vector<Bytes> packets_;
};

TEST_F(StillClockPortTest, AtFrameEndAFrameIsDeliveredAndAcknowledgedWithoutTheTimeout) {
  Open(true);
  const Bytes frame = ReceiverFrame();
  ASSERT_TRUE(pty_.WriteToMaster(frame));
  ASSERT_TRUE(testing::RunUntil([&] { return !packets_.empty(); }, 3000));
  EXPECT_EQ(packets_, std::vector<Bytes>{frame});
  EXPECT_EQ(pty_.ReadFromMaster(2000), Bytes{0x06});
}

TEST_F(StillClockPortTest, WithoutTheTerminatorOrTheSettingBytesWaitForTheTimeout) {
  const Bytes frame = ReceiverFrame();
  const Bytes cut(frame.begin(), frame.end() - 1);
  for (const auto& [atFrameEnd, bytes] : {std::pair{false, frame}, std::pair{true, cut}}) {
    SCOPED_TRACE(atFrameEnd);
    packets_.clear();
    Open(atFrameEnd);
    ASSERT_TRUE(pty_.WriteToMaster(bytes));
    testing::RunFor(300);
    EXPECT_TRUE(packets_.empty());
    clock_.AdvanceMs(81);
    ASSERT_TRUE(testing::RunUntil([&] { return !packets_.empty(); }, 3000));
    EXPECT_EQ(packets_, std::vector<Bytes>{bytes});
    EXPECT_EQ(pty_.ReadFromMaster(2000), Bytes{0x06});
    port_.reset();
  }
}

// The Qt loop, with the port's timer seen from outside: whether it runs and how often it fired.
class TimerSeeingLoop final : public EventLoop {
 public:
  explicit TimerSeeingLoop(EventLoop& inner) : inner_(inner) {}

  std::unique_ptr<Timer> CreateTimer(std::function<void()> onTimeout) override {
    auto timer = inner_.CreateTimer([this, fn = std::move(onTimeout)] {
      ++fired;
      fn();
    });
    timer_ = timer.get();
    return timer;
  }
  std::unique_ptr<SocketWatch> WatchSocket(int fd, std::function<void()> onReadable,
                                           std::function<void()> onWritable) override {
    ++watches;
    return inner_.WatchSocket(fd, std::move(onReadable), std::move(onWritable));
  }
  void RunAndWait(std::function<void()> fn) override { inner_.RunAndWait(std::move(fn)); }
  void WaitForEvents() override { inner_.WaitForEvents(); }
  void WakeUp() override { inner_.WakeUp(); }
  void Quit() override { inner_.Quit(); }

  bool TimerActive() const { return timer_ && timer_->IsActive(); }
  int fired = 0;
  int watches = 0;

 private:
  EventLoop& inner_;
  Timer* timer_ = nullptr;
};

TEST_F(PtyPortTest, IdlePortIsWatchedAndItsTimerRunsOnlyWhileAPacketIsPending) {
  testing::FakeClock clock;  // stands still until moved
  TimerSeeingLoop loop(loop_);
  auto port = MakePort({}, clock, &loop);
  std::vector<Bytes> packets;
  port->SetOnReceivePacket([&](TCommPortDriver&, const std::uint8_t* p, std::uint32_t n) {
    packets.emplace_back(p, p + n);
  });
  ASSERT_TRUE(port->OpenPort()) << port->LastDeviceError().text;
  EXPECT_EQ(loop.watches, 1);
  testing::RunFor(200);
  EXPECT_EQ(loop.fired, 0);
  EXPECT_FALSE(loop.TimerActive());

  ASSERT_TRUE(pty_.WriteToMaster(ReceiverFrame()));
  ASSERT_TRUE(testing::RunUntil([&] { return loop.TimerActive(); }, 3000));
  testing::RunFor(100);
  EXPECT_TRUE(packets.empty()) << "the packet time-out runs on the clock";
  clock.AdvanceMs(81);
  ASSERT_TRUE(testing::RunUntil([&] { return !packets.empty(); }, 3000));
  EXPECT_EQ(packets, std::vector<Bytes>{ReceiverFrame()});
  EXPECT_FALSE(loop.TimerActive());
  const int fired = loop.fired;
  testing::RunFor(200);
  EXPECT_EQ(loop.fired, fired);
}

TEST_F(PtyPortTest, PathsThatAreNoSerialDeviceDoNotOpenAndAreLeftAlone) {
  char tmpl[] = "/tmp/drvnt-serial-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const std::string dir = tmpl;
  std::ofstream(dir + "/file") << "keep";
  for (const std::string& path : {dir + "/missing", dir + "/file", dir}) {
    auto port = MakePort(path);
    EXPECT_FALSE(port->OpenPort()) << path;
    EXPECT_FALSE(port->IsPortOpen()) << path;
  }
  EXPECT_FALSE(std::filesystem::exists(dir + "/missing"));
  std::ifstream file(dir + "/file");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "keep");
  std::filesystem::remove_all(dir);
}

// A USB adapter unplugged and plugged back in: its tty hangs up, and its next device appears at
// the same path ([ComPorts] names a stable link such as /dev/serial/by-id/...).
class LineLossTest : public PtyPortTest {
 protected:
  void SetUp() override {
    PtyPortTest::SetUp();
    ASSERT_EQ(::symlink(pty_.SlavePath().c_str(), link_.c_str()), 0);
    port_ = MakePort(link_);
    port_->SetReopenInterval(200);
    port_->SetOnLineLost([this](const SerialError& why) { lost_.push_back(why); });
    port_->SetOnLineBack([this] { ++back_; });
    port_->SetOnReceivePacket([this](TCommPortDriver& p, const std::uint8_t*, std::uint32_t n) {
      packets_.push_back(n);
      const std::uint8_t ack = 0x06;
      p.SendBytes(&ack, 1);
    });
    ASSERT_TRUE(port_->OpenPort()) << port_->LastDeviceError().text;
  }

  // Points the link at another device, as the system does for a new adapter.
  void Repoint(const std::string& target) {
    const std::string fresh = link_ + ".new";
    ASSERT_EQ(::symlink(target.c_str(), fresh.c_str()), 0);
    ASSERT_EQ(::rename(fresh.c_str(), link_.c_str()), 0);
  }

  testing::TempDir dir_;
  const std::string link_ = dir_.Path() + "/receiver";
  std::unique_ptr<TCommPortDriver> port_;
  std::vector<SerialError> lost_;
  int back_ = 0;
  std::vector<std::uint32_t> packets_;
};

TEST_F(LineLossTest, HungUpLineIsOpenedAgainAtTheSamePathAndCarriesFramesAgain) {
  pty_.CloseMaster();
  ASSERT_TRUE(testing::RunUntil([&] { return !lost_.empty(); }, 2000));
  EXPECT_TRUE(port_->IsPortOpen()) << "nobody stopped the port";
  EXPECT_TRUE(port_->LineLost());
  // Attempts at the hung-up device fail quietly: one line for the loss, however long it lasts.
  testing::RunFor(700);
  EXPECT_EQ(lost_.size(), 1u);
  EXPECT_EQ(back_, 0);

  testing::Pty second;
  ASSERT_TRUE(second.Ok());
  Repoint(second.SlavePath());
  ASSERT_TRUE(testing::RunUntil([&] { return back_ == 1; }, 2000));
  EXPECT_FALSE(port_->LineLost());
  EXPECT_TRUE(port_->IsPortOpen());
  ASSERT_TRUE(second.WriteToMaster(ReceiverFrame()));
  ASSERT_TRUE(testing::RunUntil([&] { return !packets_.empty(); }, 2000));
  EXPECT_EQ(packets_, std::vector<std::uint32_t>{21});
  EXPECT_EQ(second.ReadFromMaster(1000), Bytes{0x06});
  EXPECT_EQ(lost_.size(), 1u);
  EXPECT_EQ(back_, 1);
}

TEST_F(LineLossTest, ClosingThePortWhileTheLineIsLostEndsTheAttempts) {
  pty_.CloseMaster();
  ASSERT_TRUE(testing::RunUntil([&] { return !lost_.empty(); }, 2000));
  port_->ClosePort();
  EXPECT_FALSE(port_->IsPortOpen());
  EXPECT_FALSE(port_->LineLost());
  testing::Pty second;
  ASSERT_TRUE(second.Ok());
  Repoint(second.SlavePath());
  testing::RunFor(500);
  EXPECT_EQ(back_, 0);
  EXPECT_FALSE(port_->IsPortOpen());
}

}  // namespace
}  // namespace drvnt
