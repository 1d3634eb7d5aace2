#pragma once
// The journal of the event frames. Before the receiver gets the 0x06 of an event frame, the event
// is on disk for every link that will carry it: its .dd8 record for the V8 link (unless
// NotSendToDiskV8 keeps V8 records in memory only, as that setting asks) and its .ddk message for
// the V7 link. Each file is written under a temporary name, flushed and renamed into place, and the
// spool directory is flushed once for the frame, so a crash, a kill or a power cut after the 0x06
// cannot take the event with it. A file leaves only when its server has the event.
//
// When one of the frame's files cannot be written, or the directory flush fails, the other is
// removed again: the frame is not acknowledged, the receiver repeats it, and no link gets the
// event from this frame, so the repeat does not bring it twice.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/files.h"
#include "receiver/spool_writer.h"

namespace drvnt {

struct JournalEntry {
  std::optional<std::string> dd8;  // the .dd8 file in place, when one was asked for
  std::optional<std::string> ddk;  // the .ddk file in place, when one was asked for
  bool dd8Failed = false;
  bool ddkFailed = false;
  // Every file that was asked for is in place and its name survives a power cut.
  bool Kept() const { return !dd8Failed && !ddkFailed; }
};

class EventJournal {
 public:
  EventJournal(SpoolWriter& writer, SpoolDir& dir) : writer_(writer), dir_(dir) {}

  // Writes the files asked for under `prefix`: `dd8` the contents of the .dd8 file, `ddk` the V7
  // message; an empty optional asks for no file of that kind.
  JournalEntry Write(const std::string& prefix, std::optional<std::span<const std::uint8_t>> dd8,
                     std::optional<std::span<const std::uint8_t>> ddk);

 private:
  void Undo(JournalEntry& entry);

  SpoolWriter& writer_;
  SpoolDir& dir_;
};

}  // namespace drvnt
