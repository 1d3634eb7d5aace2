#pragma once
// The service timer's two spool jobs: every tick, one .dd8 file to the V8 link (paced to one every
// 3 s unless the link acknowledged the last one) and one .ddk file to the V7 link.
//
// A tick must stay short whatever the spool directory holds: each job looks at a bounded number of
// files per tick, and a file can never hold back the files behind it. A file that cannot be used
// is set aside as ".bad" with one line on standard error; one that cannot be set aside either, or
// one that was delivered but cannot be deleted, is passed over by this process from then on and
// reported once to the error report. A spool file is never deleted unless it was delivered.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "core/bytes.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "v8link/v8_link.h"

namespace drvnt {

// The program's error report (a message box and the same line on standard error).
using ReportError = std::function<void(const std::string& text)>;

// Files of one spool kind that this process passes over; each is reported once.
class SkippedSpoolFiles {
 public:
  explicit SkippedSpoolFiles(ReportError report) : report_(std::move(report)) {}

  // Passes over `path` from now on; the first time, reports `why`.
  void Skip(const std::string& path, const std::string& why);
  bool Contains(const std::string& path) const { return paths_.contains(path); }
  std::size_t Count() const { return paths_.size(); }

 private:
  ReportError report_;
  std::set<std::string> paths_;
};

// Files a job looks at in one tick: a directory full of bad files is worked off a few at a time.
inline constexpr int kSpoolFilesPerTick = 8;
// Hand-overs of one .dd8 file without an acknowledgement before the files behind it go first.
inline constexpr int kDd8HandOversBeforeMovingOn = 3;
inline constexpr std::uint32_t kDd8PacingMs = 3000;

class Dd8SpoolJob {
 public:
  Dd8SpoolJob(SpoolDir& dir, Clock& clock, SpoolHandOver& handOver, ReportError report);

  // One tick, while the V8 link is connected: hands at most one .dd8 file under `prefix` to
  // `link`. A file that is not one 26-byte event record of type 0x03000032 (the only kind the
  // driver writes) is set aside at once. A file handed over kDd8HandOversBeforeMovingOn times in
  // a row without an acknowledgement waits until every other file has gone; then it is handed
  // over again, so a record is never given up while the server may still take it.
  void Tick(const std::string& prefix, V8Link& link);

  const SkippedSpoolFiles& Skipped() const { return skipped_; }

 private:
  std::optional<std::string> NextFile(const std::string& prefix);
  std::optional<Bytes> ReadRecord(const std::string& path);
  void CountHandOver(const std::string& path);

  SpoolDir& dir_;
  Clock& clock_;
  SpoolHandOver& handOver_;
  SkippedSpoolFiles skipped_;
  std::set<std::string> movedOn_;  // unacknowledged too often: after the others
  std::string lastHandedOver_;
  int handOversInARow_ = 0;
};

class DdkSpoolJob {
 public:
  // `send` hands the message of the file `path` to the V7 link and says whether it is on its way;
  // the file goes once the server's TCP has acknowledged it (Delivered).
  using Send = std::function<bool(const std::string& path, std::span<const std::uint8_t> message)>;

  DdkSpoolJob(SpoolDir& dir, ReportError report);

  // One tick, while the V7 link is connected: sends at most one .ddk file under `prefix` that
  // `inFlight` does not name. A file shorter than a message goes out zero-filled to 555 bytes (the
  // server frames by 555 bytes); a file whose send fails stays for a later tick.
  void Tick(const std::string& prefix, const Send& send, const SkipFile& inFlight);

  // The server has the message of `path`: the file goes; one that cannot be deleted is passed over
  // from now on, so that it is not sent again.
  void Delivered(const std::string& path);

  const SkippedSpoolFiles& Skipped() const { return skipped_; }

 private:
  SpoolDir& dir_;
  SkippedSpoolFiles skipped_;
};

// Lists on `out`, once, the temporary files of spool writes that a crash or a power loss cut
// short: they are never sent, and the operator should know they are there.
void ListLeftoverTempFiles(SpoolDir& dir, const std::string& prefix, std::ostream& out);

}  // namespace drvnt
