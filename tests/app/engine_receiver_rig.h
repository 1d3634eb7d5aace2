#pragma once
// The receiver side of the engine tests: a real pseudo-terminal whose master side plays the
// receiver and reads the acknowledgements, and the frames the receiver sends.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "engine_fixture.h"

namespace drvnt::testing {

class ReceiverPty {
 public:
  ReceiverPty() {
    int slave = -1;
    char name[256] = {};
    if (openpty(&master_, &slave, name, nullptr, nullptr) == 0) {
      path_ = name;
      ::close(slave);
      ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
  }
  ~ReceiverPty() {
    if (master_ >= 0)
      ::close(master_);
  }
  const std::string& Path() const { return path_; }
  void Write(const std::vector<std::uint8_t>& bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Everything the driver has written so far, waiting a little for bytes still on their way.
  std::string Drain(int settleMs = 100) {
    std::string out;
    auto quietSince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - quietSince < std::chrono::milliseconds(settleMs)) {
      char buf[256];
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        quietSince = std::chrono::steady_clock::now();
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
    return out;
  }

 private:
  int master_ = -1;
  std::string path_;
};

inline std::vector<std::uint8_t> Frame(const std::string& account, char qualifier,
                                       const std::string& code, const std::string& partition = "01",
                                       const std::string& zone = "015") {
  std::string s = "9015 12" + account + qualifier + code + partition + zone + "\x14";
  return {s.begin(), s.end()};
}

inline std::vector<std::uint8_t> Bytes(const std::string& s) {
  return {s.begin(), s.end()};
}

inline std::int32_t ObjectOf(const FakeV8Worker::Packet& p) {
  return static_cast<std::int32_t>(p.body[1] | (p.body[2] << 8) | (p.body[3] << 16) |
                                   (static_cast<std::uint32_t>(p.body[4]) << 24));
}

}  // namespace drvnt::testing
