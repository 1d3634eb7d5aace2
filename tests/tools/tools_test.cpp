// The three built tools as the end-to-end tests use them: help, argument errors, and one real
// exchange each over a pseudo-terminal or a loopback socket, with the peer's bytes written here.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tool_process.h"

namespace drvnt::sim::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

bool StartsWith(const std::string& s, std::string_view prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Reads exactly n bytes, or what came within the time.
Bytes ReadBytes(int fd, std::size_t n, int timeoutMs = 5000) {
  Bytes b;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (b.size() < n && Clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0)
      continue;
    std::uint8_t buf[600];
    const ssize_t got = read(fd, buf, std::min(sizeof buf, n - b.size()));
    if (got <= 0)
      break;
    b.insert(b.end(), buf, buf + got);
  }
  return b;
}

void WriteBytes(int fd, const Bytes& b) {
  ASSERT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
}

// The simulated servers under test listen on a loopback address of their own.
constexpr const char* kSimAddress = "127.0.0.6";

int ConnectTo(const std::string& listenLine) {
  const std::size_t at = listenLine.find("port=");
  EXPECT_NE(at, std::string::npos) << listenLine;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(std::atoi(listenLine.c_str() + at + 5)));
  inet_pton(AF_INET, kSimAddress, &addr.sin_addr);
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  return fd;
}

std::string TempFile(const std::string& name, const std::string& content) {
  char dir[] = "/tmp/sim-tools-XXXXXX";
  const std::string path = std::string(mkdtemp(dir)) + "/" + name;
  std::ofstream(path) << content;
  return path;
}

TEST(ToolCommandLine, HelpAndBadArguments) {
  struct Case {
    const char* tool;
    std::vector<std::string> args;
    int exitCode;
    const char* text;  // in the usage on standard output, or in the one error line
  };
  const Case cases[] = {
      {"receiver-sim", {"--help"}, 0, "usage: receiver-sim"},
      {"receiver-sim", {"--pty", "--retries", "many"}, 2, "--retries"},
      {"receiver-sim", {"--pty", "--bogus"}, 2, "--bogus"},
      {"receiver-sim", {}, 2, "--pty"},
      {"receiver-sim", {"--device", "/dev/null", "--wait-open"}, 2, "--wait-open"},
      {"receiver-sim", {"--pty", "--scenario", "/nonexistent/s.txt"}, 2, "--scenario"},
      {"receiver-sim",
       {"--pty", "--scenario", TempFile("s.txt", "event 1 E 130 01 015\n")},
       2,
       "s.txt:1"},
      {"v7-server-sim", {"--help"}, 0, "usage: v7-server-sim"},
      {"v7-server-sim", {"--port", "70000"}, 2, "--port"},
      {"v7-server-sim", {"--bind", "localhost"}, 2, "--bind"},
      {"v7-server-sim", {"--send-time-after-ms"}, 2, "--send-time-after-ms"},
      {"v8-server-sim", {"--help"}, 0, "usage: v8-server-sim"},
      {"v8-server-sim", {"--mode", "loud"}, 2, "--mode"},
      {"v8-server-sim", {"--probe-every=0"}, 2, "--probe-every"},
  };
  for (const Case& c : cases) {
    const RunResult r = RunToEnd(c.tool, c.args);
    const std::string where = std::string(c.tool) + " " + (c.args.empty() ? "" : c.args.back());
    EXPECT_EQ(r.exitCode, c.exitCode) << where;
    if (c.exitCode == 0) {
      EXPECT_TRUE(StartsWith(r.out, c.text)) << where;
    } else {
      EXPECT_NE(r.err.find(c.text), std::string::npos) << where << ": " << r.err;
      EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << where << ": " << r.err;
    }
  }
}

class ReceiverSimTest : public ::testing::Test {
 protected:
  // Starts the tool on its own pty and opens the slave as the driver would.
  void Start(const std::string& scenario, std::vector<std::string> args) {
    args.insert(args.end(), {"--pty", "--wait-open", "--scenario", TempFile("s.txt", scenario)});
    tool_ = std::make_unique<ToolProcess>("receiver-sim", args);
    const std::string first = tool_->NextLine();
    ASSERT_TRUE(StartsWith(first, "pty=/dev/pts/")) << first;
    openedAt_ = Clock::now();
    slave_ = open(first.substr(4).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(slave_, 0);
    ASSERT_EQ(tool_->NextLine(), "port event=open");
  }
  void TearDown() override {
    if (slave_ >= 0)
      close(slave_);
  }

  std::unique_ptr<ToolProcess> tool_;
  int slave_ = -1;
  Clock::time_point openedAt_;
};

const std::string kFrame0123 = "9011 180123E13001015\x14";

TEST_F(ReceiverSimTest, WaitsForEachAckRepeatsAndAccountsForEveryAckByte) {
  Start("event 0123 E 130 01 015\nwait 300\nheartbeat\n",
        {"--burst", "--ack-timeout", "1000", "--retries", "1"});
  const Bytes frame = ReadBytes(slave_, 21);
  EXPECT_EQ(std::string(frame.begin(), frame.end()), kFrame0123);
  EXPECT_EQ(tool_->NextLine(),
            "sent n=1 try=1 kind=event account=0123 q=E code=130 part=01 zone=015 hdigit=1 "
            "hnumber=18");
  // Two acknowledgements in one write: the second is reported, not swallowed.
  WriteBytes(slave_, {0x06, 0x06});
  EXPECT_TRUE(StartsWith(tool_->NextLine(), "ack n=1 after_ms="));
  EXPECT_EQ(tool_->NextLine(), "stray after_n=1");

  // The heartbeat goes unanswered: sent twice, then given up.
  EXPECT_EQ(ReadBytes(slave_, 21).size(), 21u);
  EXPECT_EQ(tool_->NextLine(), "sent n=2 try=1 kind=heartbeat");
  EXPECT_EQ(tool_->NextLine(), "noack n=2 retry=1");
  EXPECT_EQ(ReadBytes(slave_, 21).size(), 21u);
  EXPECT_EQ(tool_->NextLine(), "sent n=2 try=2 kind=heartbeat");
  EXPECT_EQ(tool_->NextLine(), "lost n=2");
  EXPECT_EQ(tool_->NextLine(),
            "summary sent=2 acked=1 lost=1 retries=1 stray=1 unexpected=0 data_bytes=0");
  EXPECT_EQ(tool_->Wait(), 0);
}

TEST_F(ReceiverSimTest, PacesBytesAtLineSpeedAndPausesInsideACutFrame) {
  Start("cut 0123 E 130 01 015 5\n", {});
  const Bytes frame = ReadBytes(slave_, 21);
  const auto took = Clock::now() - openedAt_;
  EXPECT_EQ(std::string(frame.begin(), frame.end()), kFrame0123);
  // Nothing goes out before the open, so the frame cannot be complete sooner than the 150 ms
  // pause plus 20 byte times of 4.17 ms after it; a slow reader only makes this longer.
  EXPECT_GE(took, std::chrono::milliseconds(225));
  EXPECT_EQ(tool_->NextLine(),
            "sent n=1 try=1 kind=cut at=5 account=0123 q=E code=130 part=01 zone=015 hdigit=1 "
            "hnumber=18");
  WriteBytes(slave_, {0x06});
  EXPECT_TRUE(StartsWith(tool_->NextLine(), "ack n=1 after_ms="));
  EXPECT_TRUE(StartsWith(tool_->NextLine(), "summary sent=1 acked=1 lost=0"));
  EXPECT_EQ(tool_->Wait(), 0);
}

Bytes V7Message(const Bytes& head) {
  Bytes m(555, 0);
  std::copy(head.begin(), head.end(), m.begin());
  return m;
}

TEST(V7ServerSim, FramesMessagesAndSendsCloseAndTime) {
  ToolProcess tool("v7-server-sim",
                   {"--bind", kSimAddress, "--port", "0", "--close-after-events", "1"});
  const int fd = ConnectTo(tool.NextLine());
  EXPECT_TRUE(StartsWith(tool.NextLine(), "connect conn=1 peer=127.0.0.1:"));
  WriteBytes(fd, V7Message({0xFF, 0xFF, 0x14, 0x09}));
  EXPECT_EQ(tool.NextLine(), "recv conn=1 n=1 type=greeting value=9");

  // An event message in two writes is one message.
  const Bytes event =
      V7Message({0xFF, 0xFF, 0x15, 0x01, 0x18, 0xBB, 0x9C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                 0x04, '1',  '1',  '3',  '0',  0x12, 0x00, 0x01, '8',  0x03, '0',  '1',  '5',
                 0x03, '0',  '0',  '0',  0x72, 0x11, 0x06, 0x00, 0xEE, 0x87, 0xE6, 0x40});
  WriteBytes(fd, Bytes(event.begin(), event.begin() + 300));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  WriteBytes(fd, Bytes(event.begin() + 300, event.end()));
  EXPECT_EQ(tool.NextLine(),
            "recv conn=1 n=2 type=event object=40123 code=1130 hnumber=18 zone=015 "
            "time=2026-05-01T10:30:00.250 check=ok dup=0");
  EXPECT_EQ(ReadBytes(fd, 555), V7Message({0xFF, 0xFF, 0x11}));
  EXPECT_EQ(tool.NextLine(), "sent conn=1 type=close");

  tool.WriteInput("time 2026-05-01T10:30:00.250\n");
  Bytes timeMessage = V7Message({0xFF, 0xFF, 0x04});
  const Bytes when = {0x72, 0x11, 0x06, 0x00, 0xEE, 0x87, 0xE6, 0x40};
  std::copy(when.begin(), when.end(), timeMessage.begin() + 30);
  EXPECT_EQ(ReadBytes(fd, 555), timeMessage);
  EXPECT_EQ(tool.NextLine(), "sent conn=1 type=time time=2026-05-01T10:30:00.250");

  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.NextLine(),
            "summary conns=1 messages=2 greeting=1 port-status=0 event=1 status-restored=0 "
            "status-lost=0 time=0 close=0 other=0 unmarked=0 dups=0 sent_time=1 sent_close=1");
  EXPECT_EQ(tool.Wait(), 0);
  close(fd);
}

// The faults for fault injection: each misbehaves as the servers a driver must survive.
TEST(V7ServerSim, FaultsCloseAfterAnEventFloodOrNeverRead) {
  {
    ToolProcess tool("v7-server-sim",
                     {"--bind", kSimAddress, "--port", "0", "--fault", "close-after-event"});
    const int fd = ConnectTo(tool.NextLine());
    EXPECT_TRUE(StartsWith(tool.NextLine(), "connect conn=1"));
    Bytes two = V7Message({0xFF, 0xFF, 0x15});
    const Bytes greeting = V7Message({0xFF, 0xFF, 0x14, 0x09});
    two.insert(two.end(), greeting.begin(), greeting.end());
    WriteBytes(fd, two);
    EXPECT_TRUE(StartsWith(tool.NextLine(), "recv conn=1 n=1 type=event"));
    EXPECT_EQ(tool.NextLine(), "disconnect conn=1 reason=fault partial=0");
    EXPECT_TRUE(ReadBytes(fd, 1).empty());  // closed in order, the message behind it unread
    close(fd);
  }
  {
    ToolProcess tool("v7-server-sim", {"--bind", kSimAddress, "--port", "0", "--fault", "flood"});
    const int fd = ConnectTo(tool.NextLine());
    EXPECT_EQ(ReadBytes(fd, 200000), Bytes(200000, 0x5A));
    close(fd);
  }
  {
    ToolProcess tool("v7-server-sim",
                     {"--bind", kSimAddress, "--port", "0", "--fault", "never-read"});
    const int fd = ConnectTo(tool.NextLine());
    EXPECT_TRUE(StartsWith(tool.NextLine(), "connect conn=1"));
    WriteBytes(fd, V7Message({0xFF, 0xFF, 0x14, 0x09}));
    tool.WriteInput("reset\n");
    EXPECT_EQ(tool.NextLine(), "disconnect conn=1 reason=reset partial=0");
    char c;
    errno = 0;
    EXPECT_EQ(recv(fd, &c, 1, 0), -1);
    EXPECT_EQ(errno, ECONNRESET);
    close(fd);
  }
}

TEST(V8ServerSim, AnswersEachPacketAndDropsAStreamOutOfStep) {
  ToolProcess tool("v8-server-sim", {"--bind", kSimAddress, "--port", "0", "--probe-every", "2"});
  const int fd = ConnectTo(tool.NextLine());
  EXPECT_TRUE(StartsWith(tool.NextLine(), "connect conn=1 peer=127.0.0.1:"));
  // hello with sequence number 7: N = 20, B = 2.
  WriteBytes(fd,
             {0xFF, 0,    0, 0, 0,    0x14, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0, 0x14, 0,    0,   0,
              0xFF, 0x01, 0, 0, 0x02, 0x02, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0, 0xFE, 0x1B, 0x00});
  EXPECT_EQ(ReadBytes(fd, 39),
            (Bytes{0xFF, 0,    0,    0, 0, 0x12, 0, 0, 0, 0, 0,    0, 0, 0, 0, 0, 0, 0x12, 0,   0,
                   0,    0xFF, 0x03, 0, 0, 0x02, 0, 0, 0, 0, 0x07, 0, 0, 0, 0, 0, 0, 0,    0xFE}));
  EXPECT_EQ(tool.NextLine(), "recv conn=1 n=1 type=hello seq=7 value=27 check=ok");
  EXPECT_EQ(tool.NextLine(), "sent conn=1 n=1 type=accepted seq=7");

  // The second packet, a poll, is answered with a probe.
  const Bytes poll = {0xFF, 0,    0, 0, 0, 0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x12, 0,   0,
                      0,    0xFF, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,    0xFE};
  WriteBytes(fd, poll);
  const Bytes probe = ReadBytes(fd, 39);
  ASSERT_EQ(probe.size(), 39u);
  EXPECT_EQ(Bytes(probe.begin() + 22, probe.begin() + 26), (Bytes{0x04, 0, 0, 0x02}));
  EXPECT_EQ(tool.NextLine(), "recv conn=1 n=2 type=poll seq=0 check=ok");
  EXPECT_EQ(tool.NextLine(), "sent conn=1 n=2 type=probe seq=0");

  Bytes wrongMarker = poll;
  wrongMarker[0] = 0x00;
  WriteBytes(fd, wrongMarker);
  EXPECT_EQ(tool.NextLine(), "bad-stream conn=1 reason=marker value=0x00");
  EXPECT_EQ(tool.NextLine(), "disconnect conn=1 reason=bad-stream partial=39");
  EXPECT_TRUE(ReadBytes(fd, 1).empty());

  tool.Signal(SIGTERM);
  EXPECT_EQ(tool.NextLine(),
            "summary conns=1 packets=2 poll=1 hello=1 port-status=0 first-number=0 version=0 "
            "event=0 probe-answer=0 other=0 bad=0 acked=0 probes=1 orders=0 garbage=0 seqs=1 "
            "dups=0");
  EXPECT_EQ(tool.Wait(), 0);
  close(fd);
}

}  // namespace
}  // namespace drvnt::sim::test
