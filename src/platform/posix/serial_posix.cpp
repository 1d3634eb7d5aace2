// The serial device on POSIX: a tty opened non-blocking, held exclusively by an flock on the
// device (TIOCEXCL alone does not stop a process with CAP_SYS_ADMIN), raw termios, tcflush for the
// purge and the TIOCINQ/TIOCOUTQ/TIOCM* ioctls. A pseudo-terminal has no modem lines: those ioctls
// fail there with ENOTTY or EINVAL, which means "no modem lines", never a failed open. It must
// never block the main thread longer than the write time-out, and never leave TIOCEXCL set on a
// tty it no longer holds.

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/ini_profile.h"
#include "platform/files.h"
#include "platform/serial_device.h"

namespace drvnt {
namespace {

SerialError ErrnoError(int err) {
  SerialErrorCode code = SerialErrorCode::kIo;
  switch (err) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      code = SerialErrorCode::kNotFound;
      break;
    case EBUSY:
    case EWOULDBLOCK:
      code = SerialErrorCode::kBusy;
      break;
    case EACCES:
    case EPERM:
      code = SerialErrorCode::kAccessDenied;
      break;
    case ENOTTY:
      code = SerialErrorCode::kNotSerial;
      break;
    default:
      break;
  }
  return SerialError{code, std::strerror(err)};
}

// The ioctl errors by which a tty says it has no modem lines.
bool IsNoModemLines(int err) {
  return err == ENOTTY || err == EINVAL;
}

std::optional<speed_t> SpeedCode(std::uint32_t baudRate) {
  static constexpr std::pair<std::uint32_t, speed_t> kSpeeds[] = {
      {110, B110},       {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},
      {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
      {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
  };
  for (const auto& [value, code] : kSpeeds) {
    if (value == baudRate)
      return code;
  }
  return std::nullopt;
}

tcflag_t DataBitsFlag(int dataBits) {
  switch (dataBits) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

tcflag_t ParityFlags(SerialParity parity) {
  switch (parity) {
    case SerialParity::kOdd:
      return PARENB | PARODD;
    case SerialParity::kEven:
      return PARENB;
    case SerialParity::kMark:
      return PARENB | CMSPAR | PARODD;
    case SerialParity::kSpace:
      return PARENB | CMSPAR;
    case SerialParity::kNone:
      break;
  }
  return 0;
}

// The control flags that the settings decide; the device must keep exactly these.
constexpr tcflag_t kDecidedControlFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

// Byte-transparent: no line editing, no echo, no signals, no character translation, no parity
// marking or stripping, a break inserts no byte. A read returns at once with what is queued.
termios RawTermios(termios t, const SerialLineSettings& s, speed_t speed) {
  cfmakeraw(&t);
  t.c_iflag &= ~(INPCK | IGNPAR | PARMRK | ISTRIP | IXON | IXOFF | IXANY);
  t.c_iflag |= IGNBRK;
  t.c_cflag &= ~kDecidedControlFlags;
  t.c_cflag |= CLOCAL | CREAD | HUPCL | DataBitsFlag(s.dataBits) | ParityFlags(s.parity);
  // With 5 data bits a UART sends 1.5 stop bits for CSTOPB.
  if (s.stopBits != SerialStopBits::kOne)
    t.c_cflag |= CSTOPB;
  if (s.rts == SerialRtsMode::kHandshake)
    t.c_cflag |= CRTSCTS;
  if (s.xonXoff) {
    t.c_iflag |= IXON | IXOFF;
    t.c_cc[VSTART] = s.xonChar;
    t.c_cc[VSTOP] = s.xoffChar;
  }
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  return t;
}

class PosixSerialDevice final : public SerialDevice {
 public:
  ~PosixSerialDevice() override { Close(); }

  bool Open(const std::string& path) override {
    if (fd_ >= 0)
      return Fail(SerialErrorCode::kBusy, "the device is already open");
    if (path.empty())
      return Fail(SerialErrorCode::kNotFound, "no device for this port name");
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
      return FailErrno();
    if (!::isatty(fd)) {
      ::close(fd);
      return Fail(SerialErrorCode::kNotSerial, "not a serial device");
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int err = errno;
      ::close(fd);
      return err == EWOULDBLOCK ? Fail(SerialErrorCode::kBusy, "held by another program")
                                : FailErrno(err);
    }
    // Keeps out other openers that do not take the lock, unless they have CAP_SYS_ADMIN.
    ::ioctl(fd, TIOCEXCL);
    fd_ = fd;
    writeTimeoutMs_ = 0;
    return true;
  }

  bool IsOpen() const override { return fd_ >= 0; }
  int Descriptor() const override { return fd_; }

  void Close() override {
    if (fd_ < 0)
      return;
    // The flag belongs to the tty and would outlive this descriptor while anyone else holds it.
    ::ioctl(fd_, TIOCNXCL);
    ::close(fd_);  // releases the flock
    fd_ = -1;
  }

  bool ApplyLineSettings(const SerialLineSettings& s) override {
    if (fd_ < 0)
      return Fail(SerialErrorCode::kNotOpen, "the device is not open");
    const std::optional<speed_t> speed = SpeedCode(s.baudRate);
    if (!speed)
      return Fail(SerialErrorCode::kUnsupported, "unsupported line speed");
    if (s.dataBits < 5 || s.dataBits > 8) {
      return Fail(SerialErrorCode::kUnsupported, "unsupported number of data bits");
    }
    if (s.rts == SerialRtsMode::kToggle) {
      return Fail(SerialErrorCode::kUnsupported, "RTS toggling is not supported");
    }
    termios t{};
    if (::tcgetattr(fd_, &t) != 0)
      return FailErrno();
    const termios wanted = RawTermios(t, s, *speed);
    if (::tcsetattr(fd_, TCSANOW, &wanted) != 0)
      return FailErrno();
    if (!DeviceKept(wanted))
      return Fail(SerialErrorCode::kUnsupported, "settings not taken");
    return SetModemLine(TIOCM_DTR, s.dtrOn) &&
           (s.rts == SerialRtsMode::kHandshake ||
            SetModemLine(TIOCM_RTS, s.rts == SerialRtsMode::kOn));
  }

  bool SetTimeouts(const SerialTimeouts& timeouts) override {
    if (fd_ < 0)
      return Fail(SerialErrorCode::kNotOpen, "the device is not open");
    // Reads never wait (VMIN 0, VTIME 0, O_NONBLOCK); only the write constant is kept.
    writeTimeoutMs_ = timeouts.writeTotalConstantMs;
    return true;
  }

  bool Purge() override {
    if (fd_ < 0)
      return Fail(SerialErrorCode::kNotOpen, "the device is not open");
    return ::tcflush(fd_, TCIOFLUSH) == 0 || FailErrno();
  }

  bool SetQueueSizes(std::uint32_t, std::uint32_t) override {
    // The kernel sizes a tty's queues itself; the driver bounds what it reads and writes.
    return fd_ >= 0 || Fail(SerialErrorCode::kNotOpen, "the device is not open");
  }

  std::optional<SerialQueueCounts> QueryStatus() override {
    if (fd_ < 0)
      return FailNothing(SerialErrorCode::kNotOpen);
    int in = 0;
    int out = 0;
    if (::ioctl(fd_, TIOCINQ, &in) != 0 || ::ioctl(fd_, TIOCOUTQ, &out) != 0) {
      FailErrno();
      return std::nullopt;
    }
    return SerialQueueCounts{static_cast<std::uint32_t>(in), static_cast<std::uint32_t>(out)};
  }

  std::optional<std::size_t> Read(std::uint8_t* buffer, std::size_t size) override {
    if (fd_ < 0)
      return FailNothing(SerialErrorCode::kNotOpen);
    const ssize_t n = ::read(fd_, buffer, size);
    if (n >= 0)
      return static_cast<std::size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return 0;
    FailErrno();
    return std::nullopt;
  }

  std::optional<std::size_t> Write(const std::uint8_t* data, std::size_t size) override {
    if (fd_ < 0)
      return FailNothing(SerialErrorCode::kNotOpen);
    std::optional<std::size_t> n = WriteOnce(data, size);
    if (n && *n == 0 && size > 0 && WaitWritable())
      n = WriteOnce(data, size);
    return n;
  }

  bool SetDtr(bool on) override {
    if (fd_ < 0)
      return Fail(SerialErrorCode::kNotOpen, "the device is not open");
    return SetModemLine(TIOCM_DTR, on);
  }

  std::optional<ModemLines> GetModemLines() override {
    if (fd_ < 0)
      return FailNothing(SerialErrorCode::kNotOpen);
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) {
      if (IsNoModemLines(errno))
        return ModemLines{};
      FailErrno();
      return std::nullopt;
    }
    return ModemLines{(bits & TIOCM_CTS) != 0, (bits & TIOCM_DSR) != 0, (bits & TIOCM_RNG) != 0,
                      (bits & TIOCM_CAR) != 0};
  }

  SerialError LastError() const override { return lastError_; }

 private:
  bool Fail(SerialErrorCode code, std::string text) {
    lastError_ = SerialError{code, std::move(text)};
    return false;
  }
  bool FailErrno(int err = errno) {
    lastError_ = ErrnoError(err);
    return false;
  }
  std::nullopt_t FailNothing(SerialErrorCode code) {
    Fail(code, "the device is not open");
    return std::nullopt;
  }

  // Whether the tty kept what was set: tcsetattr succeeds when any part of a change was taken.
  bool DeviceKept(const termios& wanted) {
    termios now{};
    if (::tcgetattr(fd_, &now) != 0)
      return false;
    return (now.c_cflag & kDecidedControlFlags) == (wanted.c_cflag & kDecidedControlFlags) &&
           cfgetospeed(&now) == cfgetospeed(&wanted) && cfgetispeed(&now) == cfgetispeed(&wanted);
  }

  bool SetModemLine(int line, bool on) {
    if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &line) == 0 || IsNoModemLines(errno))
      return true;
    return FailErrno();
  }

  std::optional<std::size_t> WriteOnce(const std::uint8_t* data, std::size_t size) {
    const ssize_t n = ::write(fd_, data, size);
    if (n >= 0)
      return static_cast<std::size_t>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
      return 0;
    FailErrno();
    return std::nullopt;
  }

  bool WaitWritable() {
    if (writeTimeoutMs_ == 0)
      return false;
    pollfd p{fd_, POLLOUT, 0};
    return ::poll(&p, 1, static_cast<int>(writeTimeoutMs_)) > 0 && (p.revents & POLLOUT) != 0;
  }

  int fd_ = -1;
  std::uint32_t writeTimeoutMs_ = 0;
  SerialError lastError_;
};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) != prefix[i])
      return false;
  }
  return true;
}

// n of "COMn" (n from 1, no leading zero), as the number of its /dev/ttyS device.
std::optional<std::uint32_t> ComPortIndex(std::string_view name) {
  if (!StartsWithNoCase(name, "COM"))
    return std::nullopt;
  const std::string_view digits = name.substr(3);
  if (digits.empty() || digits.size() > 9 || digits[0] == '0')
    return std::nullopt;
  std::uint32_t n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9')
      return std::nullopt;
    n = n * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return n - 1;
}

}  // namespace

std::unique_ptr<SerialDevice> CreateSystemSerialDevice() {
  return std::make_unique<PosixSerialDevice>();
}

std::string SerialDevicePath(std::string_view portName, const ComPortsLookup& comPorts) {
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  std::string_view name = portName;
  if (name.starts_with(kDevicePrefix))
    name.remove_prefix(kDevicePrefix.size());
  if (name.empty())
    return {};
  if (comPorts) {
    if (std::optional<std::string> path = comPorts(name); path && !path->empty())
      return *path;
  }
  if (const std::optional<std::uint32_t> index = ComPortIndex(name)) {
    return "/dev/ttyS" + std::to_string(*index);
  }
  // Only the INI file may point outside the device directory.
  if (name.find('/') != std::string_view::npos || name == "." || name == "..")
    return {};
  return "/dev/" + std::string(name);
}

ComPortsLookup ComPortsFromIniFile(std::string iniPath) {
  return [iniPath = std::move(iniPath)](std::string_view name) -> std::optional<std::string> {
    std::optional<std::string> text = ReadWholeFile(iniPath);
    if (!text)
      return std::nullopt;
    return IniProfile(std::move(*text)).Find("ComPorts", name);
  };
}

}  // namespace drvnt
