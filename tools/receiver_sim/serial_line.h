#pragma once
// The alarm receiver's end of the serial line: a pseudo-terminal made here, whose slave the driver
// opens as its serial port, or a real device, both raw 2400 8N1 without flow control. It moves
// bytes and reports who opens the slave; what the bytes mean is the run's business.
//
// The pty keeps a slave descriptor of its own open for its whole life: the driver can then close
// and reopen its port without the master seeing a hang-up, and the line settings made here (raw,
// no echo) hold before the driver sets its own, so nothing written early comes back as an echo.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/tcp_listen.h"

namespace drvnt::sim {

class SerialLine {
 public:
  enum class PortEvent { kNone, kOpened, kClosed };

  // Throws std::runtime_error with the reason. linkPath, when not empty, becomes a symbolic link
  // to the slave path (an old link there is replaced; any other file is left alone and refused).
  static std::unique_ptr<SerialLine> CreatePty(const std::string& linkPath);
  static std::unique_ptr<SerialLine> OpenDevice(const std::string& path);
  ~SerialLine();

  bool IsPty() const { return isPty_; }
  const std::string& Path() const { return path_; }
  int Fd() const { return fd_.Get(); }
  // Readable when another program opened or closed the slave; -1 for a device.
  int WatchFd() const { return watch_.Get(); }

  // The next open or close of the slave by another program, kNone when none is waiting.
  PortEvent ReadPortEvent();

  // Bytes received, 0 when none are waiting, -1 when the line failed.
  long Read(std::uint8_t* buffer, std::size_t size);
  // Writes everything, waiting for room while the peer is slow; false when the line failed or a
  // stop was requested while waiting.
  bool WriteAll(const std::uint8_t* data, std::size_t size);

 private:
  SerialLine() = default;

  UniqueFd fd_;
  UniqueFd slave_;
  UniqueFd watch_;
  std::string path_;
  std::string link_;
  bool isPty_ = false;
  std::string events_;  // inotify bytes not yet taken apart
};

}  // namespace drvnt::sim
