// Fuzz target: spool files as the service timer meets them, of any length and content (a file cut
// short by a full disk, one from another program, junk). The input is a flags byte, two size
// bytes, a 16-bit length and the bytes of the .dd8 file, then the bytes of the .ddk file. Each
// size byte makes its file that many MiB longer (a sparse tail of zeros, so that the length costs
// nothing). The files are real, in a scratch directory, and go through the service timer's two
// spool jobs with the real spool directory: one tick each, a V8 link that records what it is given
// and a V7 send that records what it is asked to send.
//
// Checks: a .dd8 file is handed over only when it is one 26-byte event record (type 0x03000032),
// as its 22-byte record and under its own name, and stays until the server acknowledges it;
// anything else is set aside as ".bad", never handed over. A .ddk file goes out as its first 555
// bytes, zero-filled, and is deleted only when the send succeeded. A file's length never decides
// how much is read (the fuzzer fails any allocation over 64 MiB).

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/spool_jobs.h"
#include "fuzz_check.h"
#include "receiver/event_record.h"

namespace drvnt::fuzz {
namespace {

constexpr std::uint8_t kDd8IsDirectory = 1;
constexpr std::uint8_t kDdkIsDirectory = 2;
constexpr std::uint8_t kNoDd8 = 4;
constexpr std::uint8_t kNoDdk = 8;
constexpr std::uint8_t kQueueFull = 16;
constexpr std::uint8_t kSendFails = 32;
constexpr off_t kMiB = 1 << 20;

class FixedClock final : public Clock {
 public:
  DateTime Now() const override { return 46000.5; }
  std::uint32_t Ticks() const override { return 0; }
  bool SetLocalTime(const CalendarTime&) override { return false; }
};

class RecordingLink final : public V8Link {
 public:
  explicit RecordingLink(bool accepts) : accepts_(accepts) {}
  bool IsConnected() const override { return true; }
  bool Enqueue(std::uint32_t type, std::span<const std::uint8_t> body,
               std::string spoolFile) override {
    calls.push_back({type, Bytes(body.begin(), body.end()), std::move(spoolFile)});
    return accepts_;
  }
  struct Call {
    std::uint32_t type;
    Bytes body;
    std::string file;
  };
  std::vector<Call> calls;

 private:
  bool accepts_;
};

// A directory of the run's own under $TMPDIR, removed at exit (a crash leaves it behind).
struct ScratchDirectory {
  ScratchDirectory() {
    // The lines on standard error of every file set aside would only slow the run.
    std::cerr.rdbuf(nullptr);
    const char* tmp = std::getenv("TMPDIR");
    path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/drvnt-fuzz-spool-XXXXXX";
    FUZZ_CHECK(::mkdtemp(path.data()) != nullptr);
  }
  ~ScratchDirectory() { std::filesystem::remove_all(path); }
  std::string path;
};

void Empty(const std::string& dir) {
  for (const auto& entry : std::filesystem::directory_iterator(dir))
    std::filesystem::remove_all(entry.path());
}

// The file as the flags and the size byte say: missing, a directory, or the bytes followed by
// `extraMiB` MiB of zeros.
void Make(const std::string& path, std::span<const std::uint8_t> bytes, std::uint8_t extraMiB,
          bool missing, bool directory) {
  if (missing)
    return;
  if (directory) {
    FUZZ_CHECK(::mkdir(path.c_str(), 0755) == 0);
    return;
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  FUZZ_CHECK(fd >= 0);
  FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
  FUZZ_CHECK(::ftruncate(fd, static_cast<off_t>(bytes.size()) + extraMiB * kMiB) == 0);
  ::close(fd);
}

// The spool directory does not search again while the directory's time stamp is the one of its
// last search that found nothing; runs follow each other faster than the stamp's tick.
void MarkChanged(const std::string& dir) {
  static std::int64_t run = 0;
  const timespec times[2] = {{run, 0}, {run, 0}};
  ++run;
  FUZZ_CHECK(::utimensat(AT_FDCWD, dir.c_str(), times, 0) == 0);
}

bool Exists(const std::string& path) {
  return ::access(path.c_str(), F_OK) == 0;
}

void CheckDd8(const std::string& path, std::span<const std::uint8_t> bytes, std::uint8_t extraMiB,
              std::uint8_t flags, const RecordingLink& link) {
  if (flags & (kNoDd8 | kDd8IsDirectory)) {
    // A directory matches no search for spool files.
    FUZZ_CHECK(link.calls.empty());
    return;
  }
  const bool record =
      extraMiB == 0 && bytes.size() == kDd8FileSize && GetU32(bytes.data()) == kEventRecordType;
  if (!record) {
    FUZZ_CHECK(link.calls.empty());
    FUZZ_CHECK(!Exists(path) && Exists(path + ".bad"));
    return;
  }
  FUZZ_CHECK(link.calls.size() == 1);
  FUZZ_CHECK(link.calls[0].type == kEventRecordType && link.calls[0].file == path);
  FUZZ_CHECK(std::equal(link.calls[0].body.begin(), link.calls[0].body.end(), bytes.begin() + 4,
                        bytes.end()));
  FUZZ_CHECK(Exists(path));  // until the server acknowledges it
}

void CheckDdk(const std::string& path, std::span<const std::uint8_t> bytes, std::uint8_t flags,
              const std::vector<Bytes>& sent) {
  if (flags & (kNoDdk | kDdkIsDirectory)) {
    FUZZ_CHECK(sent.empty());
    return;
  }
  FUZZ_CHECK(sent.size() == 1 && sent[0].size() == kV7MessageSize);
  Bytes expected(bytes.begin(), bytes.begin() + std::min(bytes.size(), kV7MessageSize));
  expected.resize(kV7MessageSize, 0);
  FUZZ_CHECK(sent[0] == expected);
  FUZZ_CHECK(Exists(path) == ((flags & kSendFails) != 0));
}

}  // namespace
}  // namespace drvnt::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace drvnt;
  using namespace drvnt::fuzz;
  static const ScratchDirectory scratch;
  const std::string& dir = scratch.path;
  Empty(dir);
  InputReader in(data, size);
  const std::uint8_t flags = in.Byte();
  const std::uint8_t dd8Extra = in.Byte();
  const std::uint8_t ddkExtra = in.Byte();
  const std::size_t dd8Length = in.Byte() | in.Byte() << 8;
  const std::span<const std::uint8_t> dd8 = in.Take(dd8Length);
  const std::span<const std::uint8_t> ddk = in.Rest();

  const std::string prefix = dir + "/";
  const std::string dd8Path = prefix + "a.dd8";
  const std::string ddkPath = prefix + "a.ddk";
  Make(dd8Path, dd8, dd8Extra, flags & kNoDd8, flags & kDd8IsDirectory);
  Make(ddkPath, ddk, ddkExtra, flags & kNoDdk, flags & kDdkIsDirectory);
  MarkChanged(dir);

  FixedClock clock;
  SpoolHandOver handOver;
  int reports = 0;
  const ReportError report = [&](const std::string&) { ++reports; };
  RecordingLink link(!(flags & kQueueFull));
  Dd8SpoolJob(SystemSpoolDir(), clock, handOver, report).Tick(prefix, link);
  CheckDd8(dd8Path, dd8, dd8Extra, flags, link);

  // A message on its way goes once the server acknowledged it: here at once.
  std::vector<Bytes> sent;
  DdkSpoolJob ddkJob(SystemSpoolDir(), report);
  ddkJob.Tick(
      prefix,
      [&](const std::string& path, std::span<const std::uint8_t> message) {
        sent.emplace_back(message.begin(), message.end());
        if (!(flags & kSendFails))
          ddkJob.Delivered(path);
        return !(flags & kSendFails);
      },
      {});
  CheckDdk(ddkPath, ddk, flags, sent);
  // Nothing in a scratch directory of one's own is beyond setting aside or deleting.
  FUZZ_CHECK(reports == 0);
  return 0;
}
