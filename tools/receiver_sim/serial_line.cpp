#include "receiver_sim/serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "common/stop_signal.h"

namespace drvnt::sim {
namespace {

std::runtime_error SystemError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// Raw 2400 8N1, no flow control, reads return at once.
bool ApplyLineSettings(int fd) {
  termios t{};
  if (tcgetattr(fd, &t) != 0)
    return false;
  cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, B2400);
  cfsetospeed(&t, B2400);
  return tcsetattr(fd, TCSANOW, &t) == 0;
}

void MakeLink(const std::string& link, const std::string& target) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      throw std::runtime_error("cannot link " + link + ": it exists and is no symbolic link");
    }
    unlink(link.c_str());
  }
  if (symlink(target.c_str(), link.c_str()) != 0)
    throw SystemError("cannot link " + link);
}

}  // namespace

std::unique_ptr<SerialLine> SerialLine::CreatePty(const std::string& linkPath) {
  int master = -1;
  int slave = -1;
  char name[256] = {};
  if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
    throw SystemError("cannot create a pseudo-terminal");
  }
  std::unique_ptr<SerialLine> line(new SerialLine);
  line->fd_.Reset(master);
  line->slave_.Reset(slave);
  line->path_ = name;
  line->isPty_ = true;
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  if (!ApplyLineSettings(slave))
    throw SystemError("cannot set up " + line->path_);
  // Our own slave descriptor is open already, so every open seen from now on is another
  // program's.
  line->watch_.Reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  if (!line->watch_.Valid() ||
      inotify_add_watch(line->watch_.Get(), name, IN_OPEN | IN_CLOSE) < 0) {
    throw SystemError("cannot watch " + line->path_);
  }
  if (!linkPath.empty()) {
    MakeLink(linkPath, line->path_);
    line->link_ = linkPath;
  }
  return line;
}

std::unique_ptr<SerialLine> SerialLine::OpenDevice(const std::string& path) {
  std::unique_ptr<SerialLine> line(new SerialLine);
  line->fd_.Reset(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!line->fd_.Valid())
    throw SystemError("cannot open " + path);
  if (!ApplyLineSettings(line->fd_.Get()))
    throw SystemError("cannot set up " + path);
  tcflush(line->fd_.Get(), TCIOFLUSH);
  line->path_ = path;
  return line;
}

SerialLine::~SerialLine() {
  // Remove the link only while it still points at this pty: another run may have taken it.
  if (!link_.empty()) {
    char target[512] = {};
    const ssize_t n = readlink(link_.c_str(), target, sizeof target - 1);
    if (n > 0 && path_ == std::string(target, static_cast<std::size_t>(n)))
      unlink(link_.c_str());
  }
}

SerialLine::PortEvent SerialLine::ReadPortEvent() {
  char buf[4096];
  const ssize_t n = watch_.Valid() ? read(watch_.Get(), buf, sizeof buf) : -1;
  if (n > 0)
    events_.append(buf, static_cast<std::size_t>(n));
  if (events_.size() < sizeof(inotify_event))
    return PortEvent::kNone;
  inotify_event e{};
  std::memcpy(&e, events_.data(), sizeof e);
  events_.erase(0, sizeof e + e.len);
  if (e.mask & IN_OPEN)
    return PortEvent::kOpened;
  if (e.mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE))
    return PortEvent::kClosed;
  return ReadPortEvent();
}

long SerialLine::Read(std::uint8_t* buffer, std::size_t size) {
  const ssize_t n = read(fd_.Get(), buffer, size);
  if (n >= 0)
    return n;
  return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
}

bool SerialLine::WriteAll(const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd_.Get(), data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
      return false;
    pollfd p[2] = {{fd_.Get(), POLLOUT, 0}, {StopSignal::Fd(), POLLIN, 0}};
    poll(p, 2, 100);
    if (StopSignal::Requested())
      return false;
  }
  return true;
}

}  // namespace drvnt::sim
