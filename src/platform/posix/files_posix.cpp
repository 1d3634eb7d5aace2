// Files on POSIX. Spool files are written whole or not at all: temporary name, fsync, rename, and
// the directory fsynced so that the rename survives a power loss.

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string_view>

#include "platform/files.h"

namespace drvnt {
namespace {

FileError ErrnoError(int err) {
  return FileError{std::strerror(err)};
}

std::pair<std::string, std::string> SplitPattern(const std::string& pattern) {
  const std::size_t slash = pattern.rfind('/');
  if (slash == std::string::npos)
    return {".", pattern};
  return {slash == 0 ? "/" : pattern.substr(0, slash), pattern.substr(slash + 1)};
}

std::string DirectoryOf(const std::string& path) {
  return SplitPattern(path).first;
}

std::optional<FileError> WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return ErrnoError(errno);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return std::nullopt;
}

std::optional<FileError> SyncDirectory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return ErrnoError(errno);
  std::optional<FileError> error;
  if (::fsync(fd) != 0)
    error = ErrnoError(errno);
  ::close(fd);
  return error;
}

enum class DirectoryFlush { kNow, kLater };

std::optional<FileError> WriteFileAtomically(const std::string& path, const std::uint8_t* data,
                                             std::size_t size,
                                             DirectoryFlush flush = DirectoryFlush::kNow) {
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return ErrnoError(errno);
  std::optional<FileError> error = WriteAll(fd, data, size);
  if (!error && ::fsync(fd) != 0)
    error = ErrnoError(errno);
  if (::close(fd) != 0 && !error)
    error = ErrnoError(errno);
  if (!error && ::rename(tmp.c_str(), path.c_str()) != 0)
    error = ErrnoError(errno);
  if (error) {
    ::unlink(tmp.c_str());
    return error;
  }
  if (flush == DirectoryFlush::kLater)
    return std::nullopt;
  return SyncDirectory(DirectoryOf(path));
}

class PosixSpoolDir final : public SpoolDir {
 public:
  std::optional<FileError> WriteAtomically(const std::string& path,
                                           std::span<const std::uint8_t> data) override {
    if (auto error = WriteAtomicallyUnflushed(path, data))
      return error;
    // A name that may not survive a power cut is no kept file: it goes, and the write failed.
    if (auto error = SyncDirectoryOf(path)) {
      ::unlink(path.c_str());
      return error;
    }
    return std::nullopt;
  }

  std::optional<FileError> WriteAtomicallyUnflushed(const std::string& path,
                                                    std::span<const std::uint8_t> data) override {
    return WriteFileAtomically(path, data.data(), data.size(), DirectoryFlush::kLater);
  }

  std::optional<FileError> SyncDirectoryOf(const std::string& path) override {
    return SyncDirectory(DirectoryOf(path));
  }

  bool Exists(const std::string& path) override { return ::access(path.c_str(), F_OK) == 0; }

  std::optional<std::string> FindFirst(const std::string& prefix, const std::string& namePattern,
                                       const SkipFile& skip) override {
    const auto [dir, lead] = SplitPattern(prefix);
    const std::string key = prefix + '\0' + namePattern;
    struct stat st {};
    const bool statOk = ::stat(dir.c_str(), &st) == 0;
    if (statOk && RecentMissStillValid(key, st))
      return std::nullopt;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr)
      return std::nullopt;
    // The path as the caller will use it: the prefix as written, then the name.
    const std::string base = prefix.substr(0, prefix.size() - lead.size());
    std::optional<std::string> found;
    bool skipped = false;
    while (dirent* e = ::readdir(d)) {
      if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN)
        continue;
      const std::string_view name(e->d_name);
      if (!name.starts_with(lead) ||
          ::fnmatch(namePattern.c_str(), e->d_name + lead.size(), 0) != 0)
        continue;
      std::string path = base + e->d_name;
      if (skip && skip(path)) {
        skipped = true;
        continue;
      }
      found = std::move(path);
      break;
    }
    ::closedir(d);
    // A miss that passed over files holds only for that caller's list: it is not remembered.
    if (!found && statOk && !skipped)
      RememberMiss(key, st);
    return found;
  }

  std::optional<std::vector<std::uint8_t>> Read(const std::string& path, std::size_t maxBytes,
                                                FileError* error) override {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      if (error)
        *error = ErrnoError(errno);
      return std::nullopt;
    }
    std::vector<std::uint8_t> data(maxBytes);
    std::size_t got = 0;
    while (got < maxBytes) {
      const ssize_t n = ::read(fd, data.data() + got, maxBytes - got);
      if (n < 0) {
        if (errno == EINTR)
          continue;
        if (error)
          *error = ErrnoError(errno);
        ::close(fd);
        return std::nullopt;
      }
      if (n == 0)
        break;
      got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    data.resize(got);
    return data;
  }

  bool Remove(const std::string& path) override { return ::unlink(path.c_str()) == 0; }

  // An earlier file set aside under the same name is kept: a rename would replace it.
  std::optional<FileError> SetAside(const std::string& path) override {
    const std::string bad = path + ".bad";
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, bad.c_str(), RENAME_NOREPLACE) == 0)
      return std::nullopt;
    if (errno != EINVAL && errno != ENOSYS)
      return ErrnoError(errno);
    // A file system without that kind of rename: look first, then rename.
    if (::access(bad.c_str(), F_OK) == 0)
      return ErrnoError(EEXIST);
    if (::rename(path.c_str(), bad.c_str()) != 0)
      return ErrnoError(errno);
    return std::nullopt;
  }

 private:
  // A search that found nothing is not repeated while the directory is unchanged: with a large
  // backlog of one kind of spool file, the search for the other kind would otherwise read the
  // whole directory at every tick. Every file created, renamed or deleted in the directory changes
  // its modification time; a miss older than a second is searched again all the same, for file
  // systems whose time stamps are coarse.
  struct Miss {
    timespec mtime;
    ino_t inode;
    std::uint64_t atMs;
  };

  static std::uint64_t MonotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  }

  bool RecentMissStillValid(const std::string& key, const struct stat& st) {
    std::lock_guard lock(mutex_);
    const auto it = misses_.find(key);
    if (it == misses_.end())
      return false;
    const Miss& m = it->second;
    return m.inode == st.st_ino && m.mtime.tv_sec == st.st_mtim.tv_sec &&
           m.mtime.tv_nsec == st.st_mtim.tv_nsec && MonotonicMs() - m.atMs < 1000;
  }

  void RememberMiss(const std::string& key, const struct stat& st) {
    std::lock_guard lock(mutex_);
    if (misses_.size() > 64)
      misses_.clear();
    misses_[key] = Miss{st.st_mtim, st.st_ino, MonotonicMs()};
  }

  std::mutex mutex_;
  std::map<std::string, Miss> misses_;
};

}  // namespace

std::optional<FileError> MakeDirectoryPath(const std::string& dir, bool& created) {
  created = false;
  // Each leading part in turn, the root excluded: "a/b/c" makes "a", "a/b", "a/b/c".
  for (std::size_t end = 0; end != std::string::npos && !dir.empty();) {
    end = dir.find('/', end + 1);
    const std::string part = dir.substr(0, end);
    if (::mkdir(part.c_str(), 0755) == 0) {
      created = true;
      continue;
    }
    if (errno != EEXIST)
      return ErrnoError(errno);
    struct stat st {};
    if (::stat(part.c_str(), &st) != 0)
      return ErrnoError(errno);
    if (!S_ISDIR(st.st_mode))
      return ErrnoError(ENOTDIR);
  }
  return std::nullopt;
}

std::optional<FileError> SpoolDir::MakeDirectories(const std::string& dir, bool& created) {
  return MakeDirectoryPath(dir, created);
}

SpoolDir& SystemSpoolDir() {
  static PosixSpoolDir dir;
  return dir;
}

std::optional<FileError> AppendToFile(const std::string& path, std::span<const std::uint8_t> data) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0)
    return ErrnoError(errno);
  std::optional<FileError> error = WriteAll(fd, data.data(), data.size());
  if (::close(fd) != 0 && !error)
    error = ErrnoError(errno);
  return error;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return std::nullopt;
  std::string content;
  char buf[8192];
  while (true) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0)
      break;
    content.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

std::optional<FileError> ReplaceFile(const std::string& path, std::string_view content) {
  return WriteFileAtomically(path, reinterpret_cast<const std::uint8_t*>(content.data()),
                             content.size());
}

bool PathExists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

std::optional<FileStamp> StampOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return std::nullopt;
  auto ns = [](const timespec& t) {
    return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
  };
  return FileStamp{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                   static_cast<std::uint64_t>(st.st_size), ns(st.st_mtim), ns(st.st_ctim)};
}

// A stamp from the future (the clock was set back) is recent as well.
bool IsRecentChange(const FileStamp& stamp, std::int64_t windowNs) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const std::int64_t nowNs = static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
  return nowNs - std::max(stamp.modifiedNs, stamp.changedNs) < windowNs;
}

std::string CurrentDirectory() {
  std::string buf(4096, '\0');
  while (::getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE)
      return ".";
    buf.resize(buf.size() * 2);
  }
  buf.resize(std::strlen(buf.c_str()));
  return buf;
}

}  // namespace drvnt
