#pragma once
// The V8 worker of one test against a real loopback V8 server of the test's own: a host that
// records what the worker hands off, a FakeClock (started just before the 32-bit tick wrap) for the
// pacing of attempts and polls, and the server. Reply time-outs are real.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_clock.h"
#include "v8link/v8_test_server.h"
#include "v8link/v8_worker.h"

namespace drvnt::testing {

inline constexpr std::uint32_t kPollType = 0x02000000;
inline constexpr std::uint32_t kHelloType = 0x02000001;
inline constexpr std::uint32_t kAcceptedType = 0x02000003;
inline constexpr std::uint32_t kProbeType = 0x02000004;
inline constexpr std::uint32_t kAccessDeniedType = 0x02000005;
inline constexpr std::uint32_t kPortStatusType = 0x02200062;
inline constexpr std::uint32_t kVersionType = 0x02200063;
inline constexpr std::uint32_t kFirstNumberType = 0x02200065;
inline constexpr std::uint32_t kDisconnectOrderType = 0x02FFFFFD;
inline constexpr std::uint32_t kDropOrderType = 0x02FFFFFE;
inline constexpr std::uint32_t kProbeAnswerType = 0x02FFFFFF;
inline constexpr std::uint32_t kEventRecordType = 0x03000032;
inline constexpr std::uint32_t kEventAckType = 0x03000033;

inline const std::string kConnecting = "Соединение...";
inline const std::string kConnected = "Соединение установлено.";
inline const std::string kNetworkErrors = "Ошибки по сети - переподсоединение.";

// A few seconds before the tick counter wraps, so that every pacing test crosses the wrap.
inline constexpr std::uint32_t kStartTicks = 0xFFFFF000u;
inline constexpr DateTime kStartNow = 46000.5;

class TestHost final : public V8Host {
 public:
  void LogLine(const std::string& message) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(message);
  }
  void ActivityStep() override {
    std::lock_guard lock(mutex_);
    ++steps_;
  }
  PortStatus CurrentPortStatus() override {
    std::lock_guard lock(mutex_);
    return port_;
  }
  std::int32_t FirstNumber() override {
    std::lock_guard lock(mutex_);
    return firstNumber_;
  }
  ServerHostConfig ReadServerHost() override {
    std::lock_guard lock(mutex_);
    ++hostReads_;
    return config_;
  }

  void SpoolUnconfirmedEventRecord(std::span<const std::uint8_t> record) override {
    std::lock_guard lock(mutex_);
    unconfirmed_.emplace_back(record.begin(), record.end());
  }
  std::vector<Wire> Unconfirmed() const {
    std::lock_guard lock(mutex_);
    return unconfirmed_;
  }

  void ReportConfigurationProblem(const std::string& text) override {
    std::lock_guard lock(mutex_);
    problems_.push_back(text);
  }
  std::vector<std::string> Problems() const {
    std::lock_guard lock(mutex_);
    return problems_;
  }

  void SetPort(std::int32_t port) {
    std::lock_guard lock(mutex_);
    config_.port = port;
  }
  void SetAddress(std::string address) {
    std::lock_guard lock(mutex_);
    config_.address = std::move(address);
  }
  void SetPortStatus(PortStatus status) {
    std::lock_guard lock(mutex_);
    port_ = std::move(status);
  }
  void SetFirstNumber(std::int32_t n) {
    std::lock_guard lock(mutex_);
    firstNumber_ = n;
  }
  std::vector<std::string> Lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  int Steps() const {
    std::lock_guard lock(mutex_);
    return steps_;
  }
  int HostReads() const {
    std::lock_guard lock(mutex_);
    return hostReads_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
  int steps_ = 0;
  PortStatus port_{"COM1", true};
  std::int32_t firstNumber_ = 4;
  ServerHostConfig config_{kV8TestAddress, 0, 2000};
  int hostReads_ = 0;
  std::vector<Wire> unconfirmed_;
  std::vector<std::string> problems_;
};

inline bool Eventually(const std::function<bool()>& done, int timeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

inline void Pause(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

inline ServerPolicy AnswerWith(std::uint32_t type) {
  return [type](const ServerPacket&) { return ServerAction{Reply(type)}; };
}

inline ServerPolicy Silent() {
  return [](const ServerPacket&) { return ServerAction{}; };
}

// A port on which nothing listens.
inline std::int32_t UnusedPort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  ::inet_pton(AF_INET, kV8TestAddress, &addr.sin_addr);
  socklen_t len = sizeof addr;
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

inline Wire EventBody(std::uint8_t tag) {
  Wire body(22, 0x11);
  body[0] = tag;
  return body;
}

// Worker, host, clock and server of one test; the worker is stopped before the server goes.
struct Rig {
  explicit Rig(ServerPolicy policy) : server(std::move(policy)) { host.SetPort(server.Port()); }
  ~Rig() {
    worker.Stop();
    worker.Join();
  }
  std::vector<std::string> Lines() const { return host.Lines(); }
  bool HasLine(const std::string& line) const {
    const auto lines = host.Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  bool WaitExchanges(std::uint64_t n, int timeoutMs = 5000) {
    return Eventually([&] { return worker.ExchangeCount() >= n; }, timeoutMs);
  }

  FakeClock clock{kStartNow, kStartTicks};
  TestHost host;
  SpoolHandOver spool;
  V8TestServer server;
  cl worker{host, spool, clock, SystemSpoolDir()};
};

// Ends the server's connection before the worker of the same test stops, so that a worker caught in
// a write or a read that never ends still stops.
struct HangupFirst {
  V8TestServer& server;
  ~HangupFirst() { server.Hangup(); }
};

}  // namespace drvnt::testing
