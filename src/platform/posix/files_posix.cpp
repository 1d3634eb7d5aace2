// Files on POSIX. Spool files are written whole or not at all: temporary name, fsync, rename, and
// the directory fsynced so that the rename survives a power loss.

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/files.h"

namespace drvnt {
namespace {

FileError ErrnoError(int err) { return FileError{std::strerror(err)}; }

std::pair<std::string, std::string> SplitPattern(const std::string& pattern) {
  const std::size_t slash = pattern.rfind('/');
  if (slash == std::string::npos) return {".", pattern};
  return {slash == 0 ? "/" : pattern.substr(0, slash), pattern.substr(slash + 1)};
}

std::string DirectoryOf(const std::string& path) { return SplitPattern(path).first; }

std::optional<FileError> WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoError(errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

void SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    ::fsync(fd);
    ::close(fd);
  }
}

std::optional<FileError> WriteFileAtomically(const std::string& path, const std::uint8_t* data,
                                             std::size_t size) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return ErrnoError(errno);
  std::optional<FileError> error = WriteAll(fd, data, size);
  if (!error && ::fsync(fd) != 0) error = ErrnoError(errno);
  if (::close(fd) != 0 && !error) error = ErrnoError(errno);
  if (!error && ::rename(tmp.c_str(), path.c_str()) != 0) error = ErrnoError(errno);
  if (error) {
    ::unlink(tmp.c_str());
    return error;
  }
  SyncDirectory(DirectoryOf(path));
  return std::nullopt;
}

class PosixSpoolDir final : public SpoolDir {
 public:
  std::optional<FileError> WriteAtomically(const std::string& path,
                                           std::span<const std::uint8_t> data) override {
    return WriteFileAtomically(path, data.data(), data.size());
  }

  bool Exists(const std::string& path) override { return ::access(path.c_str(), F_OK) == 0; }

  std::optional<std::string> FindFirst(const std::string& pattern) override {
    const auto [dir, glob] = SplitPattern(pattern);
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return std::nullopt;
    std::optional<std::string> found;
    while (dirent* e = ::readdir(d)) {
      if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
      if (::fnmatch(glob.c_str(), e->d_name, FNM_PERIOD) == 0) {
        found = (pattern.find('/') == std::string::npos ? std::string() : dir + (dir == "/" ? "" : "/")) +
                e->d_name;
        break;
      }
    }
    ::closedir(d);
    return found;
  }

  std::optional<std::vector<std::uint8_t>> Read(const std::string& path, std::size_t maxBytes,
                                                FileError* error) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (error) *error = ErrnoError(errno);
      return std::nullopt;
    }
    std::vector<std::uint8_t> data(maxBytes);
    std::size_t got = 0;
    while (got < maxBytes) {
      const ssize_t n = ::read(fd, data.data() + got, maxBytes - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (error) *error = ErrnoError(errno);
        ::close(fd);
        return std::nullopt;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.resize(got);
    return data;
  }

  bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

  std::optional<FileError> SetAside(const std::string& path) override {
    const std::string bad = path + ".bad";
    if (::rename(path.c_str(), bad.c_str()) != 0) return ErrnoError(errno);
    return std::nullopt;
  }
};

}  // namespace

SpoolDir& SystemSpoolDir() {
  static PosixSpoolDir dir;
  return dir;
}

std::optional<FileError> AppendToFile(const std::string& path,
                                      std::span<const std::uint8_t> data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return ErrnoError(errno);
  std::optional<FileError> error = WriteAll(fd, data.data(), data.size());
  if (::close(fd) != 0 && !error) error = ErrnoError(errno);
  return error;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string content;
  char buf[8192];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

std::optional<FileError> ReplaceFile(const std::string& path, std::string_view content) {
  return WriteFileAtomically(path, reinterpret_cast<const std::uint8_t*>(content.data()),
                             content.size());
}

std::string CurrentDirectory() {
  std::string buf(4096, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE) return ".";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

}  // namespace drvnt
