#include "app/spool_jobs.h"

#include <cstdio>
#include <iostream>
#include <ostream>

#include "receiver/event_record.h"

namespace drvnt {
namespace {

constexpr std::size_t kLeftoversListed = 20;

// A file that cannot be used is set aside, so that the search no longer meets it; when even that
// fails it stays where it is and this process passes over it.
void SetAsideOrSkip(SpoolDir& dir, SkippedSpoolFiles& skipped, const std::string& path,
                    const std::string& why) {
  if (const auto error = dir.SetAside(path)) {
    skipped.Skip(path, "spool: cannot use " + path + " (" + why + ") nor set it aside (" +
                           error->text + "); it is passed over until the driver restarts");
    return;
  }
  std::cerr << "spool: cannot use " << path << " (" << why << "); set aside as " << path << ".bad"
            << std::endl;
}

std::optional<Bytes> ReadOrSetAside(SpoolDir& dir, SkippedSpoolFiles& skipped,
                                    const std::string& path, std::size_t maxBytes) {
  FileError error;
  auto data = dir.Read(path, maxBytes, &error);
  if (!data)
    SetAsideOrSkip(dir, skipped, path, error.text);
  return data;
}

// Why a .dd8 file holds no event record the driver could have written, if it does not.
std::optional<std::string> Dd8Fault(const Bytes& data) {
  if (data.size() != kDd8FileSize) {
    const std::string size =
        data.size() > kDd8FileSize ? "more than 26" : std::to_string(data.size());
    return size + " bytes, not the 26 of an event record";
  }
  const std::uint32_t type =
      data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<std::uint32_t>(data[3]) << 24);
  if (type == kEventRecordType)
    return std::nullopt;
  char text[64];
  std::snprintf(text, sizeof text, "record type 0x%08X, not an event record", type);
  return std::string(text);
}

std::string DeliveredNotDeleted(const std::string& path, const char* how) {
  return "spool: " + path + " was " + how +
         " but cannot be deleted; it is not sent again until the driver restarts";
}

}  // namespace

void SkippedSpoolFiles::Skip(const std::string& path, const std::string& why) {
  if (paths_.insert(path).second)
    report_(why);
}

// ---- .dd8 files to the V8 link -----------------------------------------------------------

Dd8SpoolJob::Dd8SpoolJob(SpoolDir& dir, Clock& clock, SpoolHandOver& handOver, ReportError report)
    : dir_(dir), clock_(clock), handOver_(handOver), skipped_(std::move(report)) {}

void Dd8SpoolJob::Tick(const std::string& prefix, V8Link& link) {
  for (const std::string& path : handOver_.TakeUndeletedDd8Files())
    skipped_.Skip(path, DeliveredNotDeleted(path, "acknowledged by the V8 server"));
  if (!handOver_.Dd8Due(clock_.Ticks(), kDd8PacingMs))
    return;
  for (int looked = 0; looked < kSpoolFilesPerTick; ++looked) {
    const auto path = NextFile(prefix);
    if (!path)
      return;
    const auto record = ReadRecord(*path);
    if (!record)
      continue;
    // Recorded before the record is queued: the worker may have its acknowledgement at once.
    handOver_.Dd8HandedOver(*path, clock_.Ticks());
    handOver_.MarkQueued(*path);
    if (link.Enqueue(kEventRecordType, *record, *path))
      CountHandOver(*path);
    else
      handOver_.ReleaseQueued(*path);
    return;
  }
}

std::optional<std::string> Dd8SpoolJob::NextFile(const std::string& prefix) {
  // A file whose record is queued or on its way is never handed over a second time.
  auto path = dir_.FindFirst(prefix, "*.dd8", [this](const std::string& p) {
    return skipped_.Contains(p) || movedOn_.contains(p) || handOver_.IsQueued(p);
  });
  if (path || movedOn_.empty())
    return path;
  // Every other file has gone: back to those that waited.
  movedOn_.clear();
  return dir_.FindFirst(prefix, "*.dd8", [this](const std::string& p) {
    return skipped_.Contains(p) || handOver_.IsQueued(p);
  });
}

// The event record of the file, or nothing when the file was set aside or passed over.
std::optional<Bytes> Dd8SpoolJob::ReadRecord(const std::string& path) {
  // One byte more than a file holds, to tell a longer file from a whole one.
  const auto data = ReadOrSetAside(dir_, skipped_, path, kDd8FileSize + 1);
  if (!data)
    return std::nullopt;
  if (const auto fault = Dd8Fault(*data)) {
    SetAsideOrSkip(dir_, skipped_, path, *fault);
    return std::nullopt;
  }
  return Bytes(data->begin() + 4, data->end());
}

void Dd8SpoolJob::CountHandOver(const std::string& path) {
  if (path != lastHandedOver_) {
    lastHandedOver_ = path;
    handOversInARow_ = 0;
  }
  if (++handOversInARow_ < kDd8HandOversBeforeMovingOn)
    return;
  movedOn_.insert(path);
  handOversInARow_ = 0;
}

// ---- .ddk files to the V7 link -----------------------------------------------------------

DdkSpoolJob::DdkSpoolJob(SpoolDir& dir, ReportError report)
    : dir_(dir), skipped_(std::move(report)) {}

void DdkSpoolJob::Tick(const std::string& prefix, const Send& send, const SkipFile& inFlight) {
  const SkipFile skip = [&](const std::string& p) {
    return skipped_.Contains(p) || (inFlight && inFlight(p));
  };
  for (int looked = 0; looked < kSpoolFilesPerTick; ++looked) {
    const auto path = dir_.FindFirst(prefix, "*.ddk", skip);
    if (!path)
      return;
    auto data = ReadOrSetAside(dir_, skipped_, *path, kV7MessageSize);
    if (!data)
      continue;
    // A short file goes out zero-filled to a whole message, so the server stays in step.
    data->resize(kV7MessageSize, 0);
    send(*path, *data);
    return;
  }
}

void DdkSpoolJob::Delivered(const std::string& path) {
  if (!dir_.Remove(path) && dir_.Exists(path))
    skipped_.Skip(path, DeliveredNotDeleted(path, "acknowledged by the V7 server"));
}

// ---- Leftovers of writes cut short -------------------------------------------------------

void ListLeftoverTempFiles(SpoolDir& dir, const std::string& prefix, std::ostream& out) {
  std::set<std::string> listed;
  const SkipFile skip = [&](const std::string& p) { return listed.contains(p); };
  for (const char* pattern : {"*.dd8.tmp", "*.ddk.tmp"}) {
    while (listed.size() < kLeftoversListed) {
      const auto path = dir.FindFirst(prefix, pattern, skip);
      if (!path)
        break;
      out << "spool: leftover temporary file " << *path
          << " (a write cut short by a crash or a power loss; it is not sent)\n";
      listed.insert(*path);
    }
  }
  if (listed.size() == kLeftoversListed)
    out << "spool: there may be more leftover temporary files under \"" << prefix << "\"\n";
  out.flush();
}

}  // namespace drvnt
